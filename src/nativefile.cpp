#include "nativefile.hpp"

#include "state.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace quorin {
namespace {

constexpr Py_ssize_t buffer_size = 128 * 1024;
constexpr Py_ssize_t first_fill = 4 * 1024;
// Reads of at least this many bytes go straight to their destination, with
// a short look ahead into the buffer for the record that usually follows.
constexpr Py_ssize_t direct_read_min = 64 * 1024;
constexpr Py_ssize_t look_ahead = 512;

bool check_open(NativeFile* f)
{
    if (f->fd >= 0)
        return true;
    PyErr_SetString(PyExc_ValueError, "I/O operation on closed file.");
    return false;
}

// preadv that retries on EINTR; -1 with OSError set on failure.
Py_ssize_t pread_some(NativeFile* f, char* dst, Py_ssize_t n, std::int64_t offset, char* then = nullptr,
                      Py_ssize_t then_n = 0)
{
    iovec parts[2] = {{dst, static_cast<std::size_t>(n)}, {then, static_cast<std::size_t>(then_n)}};
    for (;;) {
        const ssize_t got = ::preadv(f->fd, parts, then ? 2 : 1, static_cast<off_t>(offset));
        if (got >= 0)
            return got;
        if (errno != EINTR) {
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
        if (PyErr_CheckSignals() < 0)
            return -1;
    }
}

// Makes at least n bytes readable in the buffer, or as many as the file
// holds.  Each fill reads more than the last, up to buffer_size, so a record
// read costs one small read and a stream soon reads large blocks; the buffer
// grows with the fills.
bool fill(NativeFile* f, Py_ssize_t n)
{
    const Py_ssize_t unread = f->end - f->pos;
    if (unread >= n)
        return true;
    const Py_ssize_t wanted = std::max(n, f->next_fill);
    if (f->cap - f->pos < wanted) {
        // Move the unread bytes to the front of a buffer large enough.
        if (f->cap < wanted) {
            char* bigger = static_cast<char*>(PyMem_RawMalloc(static_cast<std::size_t>(wanted)));
            if (!bigger) {
                PyErr_NoMemory();
                return false;
            }
            std::memcpy(bigger, f->buf + f->pos, static_cast<std::size_t>(unread));
            PyMem_RawFree(f->buf);
            f->buf = bigger;
            f->cap = wanted;
        } else {
            std::memmove(f->buf, f->buf + f->pos, static_cast<std::size_t>(unread));
        }
        f->base += f->pos;
        f->end = unread;
        f->pos = 0;
    }
    while (f->end - f->pos < n) {
        const Py_ssize_t want = std::min(f->cap - f->end, std::max(n - (f->end - f->pos), f->next_fill));
        const Py_ssize_t got = pread_some(f, f->buf + f->end, want, f->base + f->end);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        f->end += got;
    }
    f->next_fill = std::min(f->next_fill * 2, buffer_size);
    return true;
}

std::int64_t tell(NativeFile* f) { return f->base + f->pos; }

void dealloc(PyObject* self)
{
    auto* f = reinterpret_cast<NativeFile*>(self);
    PyTypeObject* type = Py_TYPE(self);
    native_close(f);
    PyMem_RawFree(f->buf);
    type->tp_free(self);
    Py_DECREF(type);
}

// Grows `out` (a bytes object) to `size` bytes.
bool resize_bytes(Ref& out, Py_ssize_t size)
{
    PyObject* raw = out.release();
    if (_PyBytes_Resize(&raw, size) < 0)
        return false;  // raw was released and set to null
    out.reset(raw);
    return true;
}

// read(size=-1): up to size bytes, or all that is left, as bytes.
PyObject* py_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs)
{
    auto* f = reinterpret_cast<NativeFile*>(self);
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "read expected at most 1 argument, got %zd", nargs);
        return nullptr;
    }
    Py_ssize_t size = -1;
    if (nargs == 1 && args[0] != Py_None) {
        size = PyNumber_AsSsize_t(args[0], PyExc_OverflowError);
        if (size == -1 && PyErr_Occurred())
            return nullptr;
    }
    if (!check_open(f))
        return nullptr;
    Py_ssize_t capacity = first_fill;
    if (f->regular) {
        native_may_hold(f, PY_SSIZE_T_MAX);  // refreshes the size
        capacity = static_cast<Py_ssize_t>(std::max<std::int64_t>(0, f->size - tell(f)));
    }
    if (size >= 0)
        capacity = std::min(capacity, size);
    Ref out(PyBytes_FromStringAndSize(nullptr, capacity));
    Py_ssize_t have = 0;
    while (out && (size < 0 || have < size)) {
        if (have == capacity) {
            capacity = std::max(capacity * 2, first_fill);
            if (size >= 0)
                capacity = std::min(capacity, size);
            if (!resize_bytes(out, capacity))
                return nullptr;
        }
        const Py_ssize_t got = native_read_into(f, PyBytes_AS_STRING(out.get()) + have, capacity - have);
        if (got < 0)
            return nullptr;
        if (got == 0)
            break;
        have += got;
    }
    if (!out || !resize_bytes(out, have))
        return nullptr;
    return out.release();
}

PyObject* py_seek(PyObject* self, PyObject* const* args, Py_ssize_t nargs)
{
    auto* f = reinterpret_cast<NativeFile*>(self);
    if (nargs < 1 || nargs > 2) {
        PyErr_Format(PyExc_TypeError, "seek expected 1 or 2 arguments, got %zd", nargs);
        return nullptr;
    }
    int whence = 0;
    if (nargs == 2) {
        const long value = PyLong_AsLong(args[1]);
        if (value == -1 && PyErr_Occurred())
            return nullptr;
        whence = value == SEEK_SET || value == SEEK_CUR || value == SEEK_END ? static_cast<int>(value) : -1;
    }
    if (!check_open(f))
        return nullptr;
    Ref target;
    if (whence == SEEK_SET) {
        target = Ref::borrow(args[0]);
    } else {
        std::int64_t origin = tell(f);
        if (whence == SEEK_END) {
            struct stat sb;
            if (fstat(f->fd, &sb) < 0)
                return PyErr_SetFromErrno(PyExc_OSError);
            origin = sb.st_size;
        } else if (whence != SEEK_CUR) {
            PyErr_SetString(PyExc_ValueError, "invalid whence, should be 0, 1 or 2");
            return nullptr;
        }
        Ref start(PyLong_FromLongLong(origin));
        target = Ref(start ? PyNumber_Add(start.get(), args[0]) : nullptr);
    }
    if (!target || !native_seek(f, target.get()))
        return nullptr;
    return PyLong_FromLongLong(tell(f));
}

PyObject* py_tell(PyObject* self, PyObject*)
{
    auto* f = reinterpret_cast<NativeFile*>(self);
    return check_open(f) ? PyLong_FromLongLong(tell(f)) : nullptr;
}

PyObject* py_close(PyObject* self, PyObject*)
{
    native_close(reinterpret_cast<NativeFile*>(self));
    Py_RETURN_NONE;
}

PyObject* py_closed(PyObject* self, void*) { return PyBool_FromLong(reinterpret_cast<NativeFile*>(self)->fd < 0); }

PyMethodDef methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_read)), METH_FASTCALL,
     "read($self, size=-1, /)\n--\n\nRead up to size bytes; all that is left when size is negative."},
    {"seek", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_seek)), METH_FASTCALL,
     "seek($self, offset, whence=0, /)\n--\n\nMove to a new position and return it."},
    {"tell", py_tell, METH_NOARGS, "tell($self, /)\n--\n\nThe current position."},
    {"close", py_close, METH_NOARGS, "close($self, /)\n--\n\nClose the file."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"closed", py_closed, nullptr, "True once the file is closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_doc, const_cast<char*>("A read-only binary file opened by quorinreader.")},
    {0, nullptr},
};

}  // namespace

PyType_Spec native_file_spec = {
    "quorinreader._NativeFile",
    sizeof(NativeFile),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

Ref native_open(State& st, PyObject* path)
{
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded))
        return Ref();
    Ref fs_path(encoded);
    Ref shown(PyOS_FSPath(path));  // io.open names the file by its fspath in errors
    if (!shown)
        return Ref();
    const int flags = O_RDONLY | O_CLOEXEC;
    if (PySys_Audit("open", "Osi", shown.get(), "r", flags) < 0)
        return Ref();

    int fd;
    for (;;) {
        fd = ::open(PyBytes_AS_STRING(encoded), flags);
        if (fd >= 0 || errno != EINTR)
            break;
        if (PyErr_CheckSignals() < 0)
            return Ref();
    }
    struct stat sb;
    if (fd >= 0) {
        const bool stat_ok = fstat(fd, &sb) == 0;
        const int saved = stat_ok ? EISDIR : errno;
        if (!stat_ok || S_ISDIR(sb.st_mode)) {
            ::close(fd);
            fd = -1;
            errno = saved;  // a directory is refused as io.open refuses it
        }
    }
    if (fd < 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, shown.get());
        return Ref();
    }

    auto* type = reinterpret_cast<PyTypeObject*>(st.native_file_type.get());
    auto* f = reinterpret_cast<NativeFile*>(type->tp_alloc(type, 0));
    if (!f) {
        ::close(fd);
        return Ref();
    }
    Ref owner(reinterpret_cast<PyObject*>(f));
    f->fd = fd;
    f->regular = S_ISREG(sb.st_mode);
    f->size = sb.st_size;
    f->base = f->pos = f->end = 0;
    f->cap = first_fill;
    f->next_fill = first_fill;
    f->buf = static_cast<char*>(PyMem_RawMalloc(first_fill));
    if (!f->buf) {
        PyErr_NoMemory();
        return Ref();  // dealloc closes the descriptor
    }
    return owner;
}

bool native_seek(NativeFile* f, PyObject* offset)
{
    if (!check_open(f))
        return false;
    Ref index(PyNumber_Index(offset));
    if (!index)
        return false;
    int overflow = 0;
    const long long target = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (target == -1 && PyErr_Occurred())
        return false;
    if (overflow) {
        PyErr_SetString(PyExc_ValueError, "cannot fit 'int' into an offset-sized integer");
        return false;
    }
    if (target < 0) {
        errno = EINVAL;
        PyErr_SetFromErrno(PyExc_OSError);
        return false;
    }
    if (target >= f->base && target <= f->base + f->end) {
        f->pos = static_cast<Py_ssize_t>(target - f->base);
    } else {
        f->base = target;
        f->pos = f->end = 0;
        f->next_fill = first_fill;
    }
    return true;
}

const char* native_take(State& st, NativeFile* f, Py_ssize_t n)
{
    if (!check_open(f))
        return nullptr;
    if (n > f->end - f->pos && !native_may_hold(f, n)) {
        // Too few bytes left: consume them without a buffer sized for n.
        f->base = std::max(f->size, tell(f));
        f->pos = f->end = 0;
        raise_wrong_size(st, n);
        return nullptr;
    }
    if (!fill(f, n))
        return nullptr;
    if (f->end - f->pos < n) {
        f->pos = f->end;
        raise_wrong_size(st, n);
        return nullptr;
    }
    const char* p = f->buf + f->pos;
    f->pos += n;
    return p;
}

Py_ssize_t native_read_into(NativeFile* f, char* dst, Py_ssize_t n)
{
    if (!check_open(f))
        return -1;
    Py_ssize_t done = std::min(n, f->end - f->pos);
    std::memcpy(dst, f->buf + f->pos, static_cast<std::size_t>(done));
    f->pos += done;
    while (done < n) {
        const Py_ssize_t rest = n - done;
        if (rest >= direct_read_min) {
            f->base += f->end;
            f->pos = f->end = 0;
            const Py_ssize_t got = pread_some(f, dst + done, rest, f->base, f->buf, look_ahead);
            if (got < 0)
                return -1;
            if (got == 0)
                break;
            const Py_ssize_t direct = std::min(got, rest);
            f->base += direct;
            f->end = got - direct;
            done += direct;
        } else {
            if (!fill(f, rest))
                return -1;
            const Py_ssize_t chunk = std::min(rest, f->end - f->pos);
            if (chunk == 0)
                break;
            std::memcpy(dst + done, f->buf + f->pos, static_cast<std::size_t>(chunk));
            f->pos += chunk;
            done += chunk;
        }
    }
    return done;
}

bool native_may_hold(NativeFile* f, std::int64_t n)
{
    if (!f->regular || f->size - tell(f) >= n)
        return true;
    // The file may have grown since it was opened.
    struct stat sb;
    if (fstat(f->fd, &sb) == 0)
        f->size = sb.st_size;
    return f->size - tell(f) >= n;
}

void native_close(NativeFile* f)
{
    if (f->fd >= 0) {
        ::close(f->fd);
        f->fd = -1;
    }
}

}  // namespace quorin
