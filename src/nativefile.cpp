#include "nativefile.hpp"

#include "compat.hpp"
#include "osfile.hpp"
#include "state.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace quorin {
namespace {

constexpr Py_ssize_t buffer_size = 128 * 1024;
constexpr Py_ssize_t first_fill = 4 * 1024;
// Reads of at least this many bytes go straight to their destination, with
// a short look ahead into the buffer for the record that usually follows.
constexpr Py_ssize_t direct_read_min = 64 * 1024;
constexpr Py_ssize_t look_ahead = 512;
// A read of a regular file this large releases the GIL; a smaller one of
// the page cache costs less than giving the GIL away and taking it back.
constexpr Py_ssize_t release_gil_min = 64 * 1024;

// Waits, without the GIL, until no other thread reads from f.
void wait_idle(NativeFile* f)
{
    while (f->busy) {
        Py_BEGIN_ALLOW_THREADS
        PyThread_acquire_lock(f->lock, WAIT_LOCK);
        PyThread_release_lock(f->lock);
        Py_END_ALLOW_THREADS
    }
}

bool check_open(NativeFile* f)
{
    wait_idle(f);
    if (f->handle != os::invalid_handle)
        return true;
    PyErr_SetString(PyExc_ValueError, "I/O operation on closed file.");
    return false;
}

// Where the size bounds allocations: a file that may hold less than this
// is read and found short rather than looked at first.
constexpr std::int64_t size_check_min = buffer_size;

void raise_errno(NativeFile* f, os::Error error)
{
    // A directory opens, but its first read fails: refused as io.open refuses it.
    os::raise_error(error, error == os::error_is_directory ? f->path : nullptr);
}

// The file's size; procfs and sysfs files report 0 whatever they hold.
void look_at_size(NativeFile* f)
{
    os::Kind kind;
    std::int64_t size;
    f->sized = true;
    if (os::describe(f->handle, kind, size))
        return;
    f->directory = kind == os::Kind::directory;
    if (kind == os::Kind::regular && size > 0)
        f->size = size;
}

// Learns whether the handle is seekable, where no read or seek did yet.
bool probe(NativeFile* f)
{
    if (f->probed)
        return true;
    std::int64_t where;
    const os::Error error = os::position(f->handle, where);
    if (!error) {
        f->probed = f->seekable = true;
        return true;
    }
    if (!os::means_not_seekable(error)) {
        os::raise_error(error, nullptr);
        return false;
    }
    f->probed = f->may_block = true;
    return true;
}

// One read into `parts`: at `offset` where the file is seekable, else the
// next bytes of the stream (which always stands at offset).  The first read
// of a handle no seek has probed is a positioned read, which fails at once
// on a pipe, a FIFO or a terminal; then the file is read in sequence, from
// where the stream stands (its start: nothing was read), or, for
// `probe_only`, -2 is returned.  Returns the byte count or -1 with OSError set.
Py_ssize_t os_read(NativeFile* f, os::Buffer* parts, int n, std::int64_t offset, bool probe_only = false)
{
    std::size_t total = 0;
    for (int i = 0; i < n; ++i)
        total += parts[i].size;
    for (;;) {
        const bool probing = !f->probed;
        const bool release = !probing && (f->may_block || total >= static_cast<std::size_t>(release_gil_min));
        if (release && !f->lock && !(f->lock = PyThread_allocate_lock())) {
            PyErr_NoMemory();
            return -1;
        }
        const std::int64_t at = probing || f->seekable ? offset : -1;  // -1: a stream's next bytes
        std::size_t got;
        os::Error error;
        if (release) {
            Py_INCREF(f);
            f->busy = true;
            if (!PyThread_acquire_lock(f->lock, NOWAIT_LOCK)) {
                Py_BEGIN_ALLOW_THREADS
                PyThread_acquire_lock(f->lock, WAIT_LOCK);
                Py_END_ALLOW_THREADS
            }
            Py_BEGIN_ALLOW_THREADS
            error = os::read_once(f->handle, parts, static_cast<std::size_t>(n), at, got);
            Py_END_ALLOW_THREADS
            PyThread_release_lock(f->lock);
            f->busy = false;
            Py_DECREF(f);  // the caller holds f
        } else {
            error = os::read_once(f->handle, parts, static_cast<std::size_t>(n), at, got);
        }
        if (!error) {
            f->probed = true;
            f->seekable |= probing;
            return static_cast<Py_ssize_t>(got);
        }
        if (probing && os::means_not_seekable(error)) {
            f->probed = f->may_block = true;
            if (probe_only)
                return -2;
        } else if (error != os::error_interrupted) {
            raise_errno(f, error);
            return -1;
        } else if (PyErr_CheckSignals() < 0) {
            return -1;
        }
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
        os::Buffer part = {f->buf + f->end, static_cast<std::size_t>(want)};
        const Py_ssize_t got = os_read(f, &part, 1, f->base + f->end);
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
    Py_XDECREF(f->path);
    PyMem_RawFree(f->buf);
    if (f->lock)
        PyThread_free_lock(f->lock);
    type->tp_free(self);
    Py_DECREF(type);
}

void raise_not_seekable(NativeFile* f)
{
    State& st = class_state(Py_TYPE(f));
    PyErr_SetString(st.unsupported_operation.get(), "File or stream is not seekable.");
}

// A seek refused for its offset before the handle read or sought anything:
// the host's open() would have refused a directory first, and its seek() a
// stream, so those errors replace the offset's.
void refuse_first(NativeFile* f)
{
    if (f->probed)
        return;
    Ref pending = take_exception();
    if (!f->sized)
        look_at_size(f);
    if (f->directory) {
        raise_errno(f, os::error_is_directory);
        return;
    }
    if (!probe(f))
        return;
    if (!f->seekable) {
        raise_not_seekable(f);
        return;
    }
    restore_exception(std::move(pending));
}

// The absolute offset a seek to `offset` asks for, with the errors of a file object's seek.
bool seek_target(PyObject* offset, std::int64_t& target)
{
    int overflow;
    if (!index_to_int64(offset, target, overflow))
        return false;
    if (overflow) {
        PyErr_SetString(PyExc_ValueError, "cannot fit 'int' into an offset-sized integer");
        return false;
    }
    if (target < 0) {
        os::raise_error(os::error_invalid, nullptr);
        return false;
    }
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
    // Sized by what the file holds where that is known, so a large size
    // asked of a small file allocates no more than the file.
    Py_ssize_t capacity = first_fill;
    if (f->sized)
        look_at_size(f);  // as the file is now
    if (native_size_known(f))
        capacity = static_cast<Py_ssize_t>(std::max<std::int64_t>(0, f->size - tell(f)));
    Py_ssize_t have;
    char* out = native_read_growing(f, size, capacity, have);
    PyObject* bytes = out ? PyBytes_FromStringAndSize(out, have) : nullptr;
    PyMem_RawFree(out);
    return bytes;
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
    if (!check_open(f) || !probe(f))
        return nullptr;
    if (!f->seekable) {
        raise_not_seekable(f);
        return nullptr;
    }
    Ref target;
    if (whence == SEEK_SET) {
        target = Ref::borrow(args[0]);
    } else {
        std::int64_t origin = tell(f);
        if (whence == SEEK_END) {
            os::Kind kind;
            std::int64_t size;
            if (const os::Error error = os::describe(f->handle, kind, size))
                return os::raise_error(error, nullptr);
            origin = std::max<std::int64_t>(size, 0);  // 0 where unknown
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
    if (!check_open(f) || !probe(f))
        return nullptr;
    if (!f->seekable)
        return os::raise_error(os::error_not_seekable, nullptr);
    return PyLong_FromLongLong(tell(f));
}

PyObject* py_close(PyObject* self, PyObject*)
{
    native_close(reinterpret_cast<NativeFile*>(self));
    Py_RETURN_NONE;
}

PyObject* py_closed(PyObject* self, void*) { return PyBool_FromLong(reinterpret_cast<NativeFile*>(self)->handle == os::invalid_handle); }

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
    // io.open asks a path object for its fspath once, and names the file by it in errors.
    os::Path fs_path;
    if (!fs_path.convert(path))
        return Ref();
    Ref shown = Ref::borrow(fs_path.object());
    if (PySys_Audit("open", "Osi", shown.get(), "r", os::open_audit_flags) < 0)
        return Ref();

    // Opening may wait (a FIFO without a writer, a slow file system): other
    // threads run meanwhile, as they do while the host's open() waits.
    const os::PathChar* name = fs_path.native();
    os::Handle handle = os::invalid_handle;
    os::Error error;
    for (;;) {
        Py_BEGIN_ALLOW_THREADS
        error = os::open_read_once(name, handle);
        Py_END_ALLOW_THREADS
        if (error != os::error_interrupted)
            break;
        if (PyErr_CheckSignals() < 0)
            return Ref();
    }
    if (error) {
        os::raise_error(error, shown.get());
        return Ref();
    }

    auto* type = reinterpret_cast<PyTypeObject*>(st.native_file_type.get());
    auto* f = reinterpret_cast<NativeFile*>(type->tp_alloc(type, 0));
    if (!f) {
        os::close(handle);
        return Ref();
    }
    Ref owner(reinterpret_cast<PyObject*>(f));
    f->handle = handle;
    f->probed = f->seekable = f->may_block = f->busy = f->sized = f->directory = false;
    f->lock = nullptr;
    f->path = shown.release();
    f->size = -1;
    f->base = f->pos = f->end = 0;
    f->cap = first_fill;
    f->next_fill = first_fill;
    f->buf = static_cast<char*>(PyMem_RawMalloc(first_fill));
    if (!f->buf) {
        PyErr_NoMemory();
        return Ref();  // dealloc closes the handle
    }
    return owner;
}

bool native_seek(NativeFile* f, PyObject* offset)
{
    if (!check_open(f))
        return false;
    if (f->probed && !f->seekable) {
        raise_not_seekable(f);
        return false;
    }
    std::int64_t target;
    if (!seek_target(offset, target)) {
        refuse_first(f);
        return false;
    }
    if (!f->probed && f->end == 0 && target < first_fill) {
        // Into the first block of a handle that read nothing yet: the block
        // is read now, which also tells a stream, where the seek fails.
        os::Buffer part = {f->buf, static_cast<std::size_t>(first_fill)};
        const Py_ssize_t got = os_read(f, &part, 1, 0, true);
        if (got == -2)
            raise_not_seekable(f);
        if (got < 0)
            return false;
        f->base = 0;
        f->end = got;
    }
    if (!f->probed) {
        // The first seek asks the system, which refuses it on a stream.
        if (const os::Error error = os::seek(f->handle, target)) {
            if (!os::means_not_seekable(error)) {
                os::raise_error(error, nullptr);
                return false;
            }
            f->probed = f->may_block = true;
            raise_not_seekable(f);
            return false;
        }
        f->probed = f->seekable = true;
    }
    if (target >= f->base && target <= f->base + f->end) {
        f->pos = static_cast<Py_ssize_t>(target - f->base);
    } else {
        // Past what the file is known to hold, the system judges the offset,
        // as it does for the host's seek (a file system has a largest one).
        if (f->size < 0 || target > f->size) {
            if (const os::Error error = os::seek(f->handle, target)) {
                os::raise_error(error, nullptr);
                return false;
            }
        }
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
    // The size bounds what a take may allocate, never a small record read:
    // a take larger than any buffer of a file known to be shorter is refused
    // without a buffer sized for it.
    if (n > buffer_size && n > f->end - f->pos && !native_may_hold(f, n)) {
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

int native_holds(NativeFile* f, Py_ssize_t n)
{
    if (f->end - f->pos >= n)
        return 1;
    if (!check_open(f) || (n > buffer_size && !native_may_hold(f, n)) || !fill(f, n))
        return PyErr_Occurred() ? -1 : 0;
    return f->end - f->pos >= n;
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
            os::Buffer parts[2] = {{dst + done, static_cast<std::size_t>(rest)},
                                   {f->buf, static_cast<std::size_t>(look_ahead)}};
            const Py_ssize_t got = os_read(f, parts, 2, f->base);
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

char* native_read_growing(NativeFile* f, Py_ssize_t n, Py_ssize_t capacity, Py_ssize_t& have)
{
    if (n >= 0)
        capacity = std::min(capacity, n);
    char* out = static_cast<char*>(PyMem_RawMalloc(static_cast<std::size_t>(std::max<Py_ssize_t>(capacity, 1))));
    for (have = 0; out && (n < 0 || have < n);) {
        if (have == capacity) {
            capacity = std::max(capacity * 2, first_fill);
            if (n >= 0)
                capacity = std::min(capacity, n);
            char* grown = static_cast<char*>(PyMem_RawRealloc(out, static_cast<std::size_t>(capacity)));
            if (!grown)
                PyMem_RawFree(out);
            out = grown;
            continue;
        }
        const Py_ssize_t got = native_read_into(f, out + have, capacity - have);
        if (got <= 0) {
            if (got == 0)
                break;
            PyMem_RawFree(out);
            return nullptr;
        }
        have += got;
    }
    if (!out)
        PyErr_NoMemory();
    return out;
}

bool native_size_known(NativeFile* f)
{
    if (!f->sized && f->handle != os::invalid_handle)
        look_at_size(f);
    return f->size >= 0;
}

bool native_may_hold(NativeFile* f, std::int64_t n)
{
    if (n <= f->end - f->pos || n < size_check_min)
        return true;  // in the buffer, or too little to matter
    const bool fresh = !f->sized;
    if (!native_size_known(f) || f->size - tell(f) >= n)
        return true;
    // The file may have grown since its size was looked at.
    if (!fresh)
        look_at_size(f);
    return f->size - tell(f) >= n;
}

PyObject* native_for_caller(NativeFile* f)
{
    native_size_known(f);  // which also learns whether it is a directory
    if (f->directory) {
        raise_errno(f, os::error_is_directory);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(f);
}

void native_close(NativeFile* f)
{
    wait_idle(f);
    if (f->handle != os::invalid_handle) {
        os::close(f->handle);
        f->handle = os::invalid_handle;
    }
}

}  // namespace quorin
