#include "bulk.hpp"

#include "fields.hpp"
#include "nativefile.hpp"
#include "osfile.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>

namespace quorin {
namespace {

// Spectra at least this long are read straight into their rows, one iovec
// per piece; shorter ones are read in large blocks and copied out, since the
// kernel's cost per iovec would outweigh the copy.
constexpr Py_ssize_t direct_stride_min = 2048;
constexpr Py_ssize_t bounce_size = 1024 * 1024;
// Copies of more than this many bytes from memory run with the GIL released.
constexpr Py_ssize_t copy_release_gil_min = 1 << 20;
// Reads of at most this many bytes from a file keep the GIL and, when they
// take few pieces, their iovecs on the stack.
constexpr std::int64_t small_table = 64 * 1024;
constexpr int small_iovecs = 16;
// Pieces handed to one scatter read; the file layer reads as many of them
// per call as the system takes.
constexpr int max_iovecs = 1024;
// What one read_bytes() call may ask for: a header's worth.
constexpr std::int64_t max_read_bytes = 4096;

// Where a table of spectra lies in a source and where its pieces go: spectrum
// k is `head` bytes of mini header (none when head is 0), then `row` bytes of
// values, at offset + k * (head + row).
struct Rows {
    std::int64_t offset;
    Py_ssize_t count;
    Py_ssize_t head;
    Py_ssize_t row;
    Py_ssize_t item;  // bytes per value, for the byte order
    char* heads;      // count * head bytes
    char* values;     // count * row bytes

    std::int64_t stride() const { return head + row; }
    std::int64_t total() const { return count * stride(); }
};

// The pieces of the byte range [done, total) of `r` as iovecs, at most `max`.
int pieces(const Rows& r, std::int64_t done, os::Buffer* iov, int max)
{
    int n = 0;
    const std::int64_t stride = r.stride();
    while (n < max && done < r.total()) {
        const std::int64_t k = done / stride;
        const std::int64_t within = done % stride;
        char* start;
        std::int64_t length;
        if (within < r.head) {
            start = r.heads + k * r.head + within;
            length = r.head - within;
        } else {
            start = r.values + k * r.row + (within - r.head);
            length = stride - within;
        }
        iov[n++] = {start, static_cast<std::size_t>(length)};
        done += length;
    }
    return n;
}

// Copies n bytes.  The pieces of short spectra (a 96-byte mini header, 16
// values) are too small for a call of memcpy to pay: they go as 16-byte
// moves, the last one overlapping the one before so that no byte outside
// [0, n) is touched.
inline void copy_piece(char* to, const char* from, std::size_t n)
{
    constexpr std::size_t block = 16;
    if (n < block || n > 16 * block) {
        std::memcpy(to, from, n);
        return;
    }
    std::size_t i = 0;
    for (; i + block <= n; i += block)
        std::memcpy(to + i, from + i, block);
    if (i < n)
        std::memcpy(to + n - block, from + n - block, block);
}

// Copies the whole spectra held in `block` (spectrum `first` onwards) to their places.
void scatter(const Rows& r, std::int64_t first, const char* block, std::int64_t spectra)
{
    const auto head = static_cast<std::size_t>(r.head);
    const auto row = static_cast<std::size_t>(r.row);
    char* heads = r.heads + first * r.head;
    char* values = r.values + first * r.row;
    for (std::int64_t k = 0; k < spectra; ++k) {
        if (head) {
            copy_piece(heads, block, head);
            heads += head;
        }
        copy_piece(values, block + head, row);
        values += row;
        block += head + row;
    }
}

// Reads `r` from fd, from byte `done` of the table on; runs without the GIL.
// Returns 0 at the end of the table or of the file, else the system's error
// (os::error_interrupted: call again once signals are handled).  `done`
// counts the bytes read.
os::Error read_table(os::Handle fd, const Rows& r, std::int64_t& done, os::Buffer* iov, int iov_max, char* bounce)
{
    const std::int64_t stride = r.stride();
    while (done < r.total()) {
        if (!bounce) {
            const int n = pieces(r, done, iov, iov_max);
            std::size_t got;
            if (const os::Error error = os::read_once(fd, iov, static_cast<std::size_t>(n), r.offset + done, got))
                return error;
            if (got == 0)
                return 0;
            done += static_cast<std::int64_t>(got);
            continue;
        }
        // Whole spectra per block; a spectrum cut by an earlier short read is read again.
        const std::int64_t first = done / stride;
        const std::int64_t want = std::min<std::int64_t>(std::max<std::int64_t>(1, bounce_size / stride),
                                                         r.count - first) * stride;
        std::int64_t have = 0;
        os::Error status = 0;
        bool at_end = false;
        while (have < want) {
            const os::Buffer part = {bounce + have, static_cast<std::size_t>(want - have)};
            std::size_t got;
            status = os::read_once(fd, &part, 1, r.offset + first * stride + have, got);
            if (status)
                break;
            if (got == 0) {
                at_end = true;
                break;
            }
            have += static_cast<std::int64_t>(got);
        }
        scatter(r, first, bounce, have / stride);
        done = std::max(done, first * stride + have);
        if (status || at_end)
            return status;
    }
    return 0;
}

// The reader behind quorinreader._Reader.
struct Reader {
    PyObject_HEAD
    PyObject* file;  // the NativeFile of a path; null for bytes in memory, or once closed
    PyObject* path;  // the path as given, for errors
    Py_buffer view;  // the bytes in memory
    bool viewing;
    bool busy;  // a bulk read runs with the GIL released
};

bool check_usable(Reader* r)
{
    if (r->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the reader is in use by another thread");
        return false;
    }
    if (!r->file && !r->viewing) {
        PyErr_SetString(PyExc_ValueError, "I/O operation on closed reader.");
        return false;
    }
    return true;
}

void close_reader(Reader* r)
{
    if (r->file) {
        native_close(reinterpret_cast<NativeFile*>(r->file));
        Py_CLEAR(r->file);
    }
    if (r->viewing) {
        PyBuffer_Release(&r->view);
        r->viewing = false;
    }
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwds)
{
    PyObject* source;
    if ((kwds && PyDict_GET_SIZE(kwds)) || !PyArg_ParseTuple(args, "O:_Reader", &source))
        return kwds && PyDict_GET_SIZE(kwds) ? PyErr_Format(PyExc_TypeError, "_Reader() takes no keyword arguments")
                                             : nullptr;
    State& st = class_state(type);
    const bool is_path = PyUnicode_Check(source) || PyObject_HasAttr(source, st.name(Name::dunder_fspath));
    if (!is_path && !PyObject_CheckBuffer(source))
        return PyErr_Format(PyExc_TypeError, "expected a path or a bytes-like object, not '%.200s'",
                            Py_TYPE(source)->tp_name);
    Ref self(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    auto* r = reinterpret_cast<Reader*>(self.get());
    r->file = r->path = nullptr;
    r->viewing = r->busy = false;
    if (is_path) {
        r->path = Py_NewRef(source);
        r->file = native_open(st, source).release();
        if (!r->file)
            return nullptr;
    } else {
        if (PyObject_GetBuffer(source, &r->view, PyBUF_SIMPLE) < 0)
            return nullptr;
        r->viewing = true;
    }
    return self.release();
}

void reader_dealloc(PyObject* self)
{
    auto* r = reinterpret_cast<Reader*>(self);
    PyTypeObject* type = Py_TYPE(self);
    close_reader(r);
    Py_CLEAR(r->path);
    type->tp_free(self);
    Py_DECREF(type);
}

// An int argument that must not be negative.
bool non_negative(PyObject* obj, const char* what, std::int64_t& out)
{
    std::int64_t v;
    int overflow;
    if (!index_to_int64(obj, v, overflow))
        return false;
    if (overflow || v < 0) {
        PyErr_Format(PyExc_ValueError, "%s must be a non-negative 64-bit integer, not %R", what, obj);
        return false;
    }
    out = v;
    return true;
}

PyObject* reader_size(PyObject* self, void*)
{
    auto* r = reinterpret_cast<Reader*>(self);
    if (!check_usable(r))
        return nullptr;
    if (r->viewing)
        return PyLong_FromSsize_t(r->view.len);
    // As the file is when first asked.  A size that is not a regular
    // file's (a pipe, procfs) says nothing.
    auto* nf = reinterpret_cast<NativeFile*>(r->file);
    return native_size_known(nf) ? PyLong_FromLongLong(nf->size) : Py_NewRef(Py_None);
}

PyObject* reader_record(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames)
{
    static constexpr const char* params[] = {"cls", "offset"};
    PyObject* argv[2];
    if (!bind_arguments("record", args, nargs, kwnames, params, argv))
        return nullptr;
    auto* r = reinterpret_cast<Reader*>(self);
    State& st = class_state(cls);
    const Record* rec = st.record_of(argv[0]);
    if (!rec)
        return PyErr_Format(PyExc_TypeError, "record() takes one of the module's record classes, not %R", argv[0]);
    // The offset's __index__ is the caller's code, which may close the
    // reader: it is found usable again before its source is touched.
    std::int64_t offset;
    if (!check_usable(r) || !non_negative(argv[1], "offset", offset) || !check_usable(r))
        return nullptr;
    if (r->viewing) {
        const Py_ssize_t size = r->view.len;
        MemorySource src(st, static_cast<const char*>(r->view.buf), size,
                         static_cast<Py_ssize_t>(std::min<std::int64_t>(offset, size)));
        return construct_own(st, src, *rec).release();
    }
    auto* nf = reinterpret_cast<NativeFile*>(r->file);
    if (!native_seek(nf, argv[1]))
        return nullptr;
    NativeSource src(st, nf);
    return construct_own(st, src, *rec).release();
}

// The bytes of the source from `offset` on, at most `size` of them: fewer
// where the source ends sooner.  For what a message shows of a file, and the
// raw text fields the arrays layer decodes in the user's code page.
PyObject* reader_read_bytes(PyObject* self, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames)
{
    static constexpr const char* params[] = {"offset", "size"};
    PyObject* argv[2];
    if (!bind_arguments("read_bytes", args, nargs, kwnames, params, argv))
        return nullptr;
    auto* r = reinterpret_cast<Reader*>(self);
    std::int64_t offset, size;
    if (!check_usable(r) || !non_negative(argv[0], "offset", offset) || !non_negative(argv[1], "size", size))
        return nullptr;
    if (size > max_read_bytes)
        return PyErr_Format(PyExc_ValueError, "read_bytes() reads at most %lld bytes, not %lld",
                            static_cast<long long>(max_read_bytes), static_cast<long long>(size));
    if (r->viewing) {
        const std::int64_t start = std::min<std::int64_t>(offset, r->view.len);
        return PyBytes_FromStringAndSize(static_cast<const char*>(r->view.buf) + start,
                                         static_cast<Py_ssize_t>(std::min(size, r->view.len - start)));
    }
    auto* nf = reinterpret_cast<NativeFile*>(r->file);
    if (!native_seek(nf, argv[0]))
        return nullptr;
    char block[max_read_bytes];
    const Py_ssize_t got = native_read_into(nf, block, static_cast<Py_ssize_t>(size));
    return got < 0 ? nullptr : PyBytes_FromStringAndSize(block, got);
}

// A buffer held for the length of one call.
struct View {
    Py_buffer view{};
    bool held = false;
    ~View()
    {
        if (held)
            PyBuffer_Release(&view);
    }
    bool get(PyObject* obj, int flags) { return held = PyObject_GetBuffer(obj, &view, flags) == 0; }
};

// A writable buffer of at least `need` bytes; false with the error set.
bool writable(PyObject* obj, const char* what, Py_ssize_t need, View& out)
{
    if (!out.get(obj, PyBUF_WRITABLE))
        return false;
    if (out.view.len < need)
        PyErr_Format(PyExc_ValueError, "%s holds %zd bytes, %zd are needed", what, out.view.len, need);
    return out.view.len >= need;
}

// Spectra from a file: straight into their rows, or through a block buffer.
bool read_file_table(Reader* r, const Rows& rows, std::int64_t& done)
{
    const os::Handle fd = native_handle(reinterpret_cast<NativeFile*>(r->file));
    const bool direct = rows.stride() >= direct_stride_min;
    const int iov_max = max_iovecs;
    // A small table (a single spectrum) is read on the stack, holding the
    // GIL: a heap block and a GIL round trip would cost more than the read.
    const bool small = rows.total() <= small_table;
    os::Buffer few[small_iovecs];
    void* scratch = few;
    int iovecs = small_iovecs;
    if (!direct || rows.count * 2 > small_iovecs) {
        iovecs = iov_max;
        scratch = PyMem_RawMalloc(direct ? sizeof(os::Buffer) * static_cast<std::size_t>(iov_max)
                                         : static_cast<std::size_t>(std::min<std::int64_t>(
                                               std::max<std::int64_t>(bounce_size, rows.stride()),
                                               std::max<std::int64_t>(rows.total(), 1))));
        if (!scratch) {
            PyErr_NoMemory();
            return false;
        }
    }
    os::Error status;
    r->busy = true;
    for (;;) {
        if (small) {
            status = read_table(fd, rows, done, static_cast<os::Buffer*>(scratch), iovecs,
                                direct ? nullptr : static_cast<char*>(scratch));
        } else {
            Py_BEGIN_ALLOW_THREADS
            status = read_table(fd, rows, done, static_cast<os::Buffer*>(scratch), iovecs,
                                direct ? nullptr : static_cast<char*>(scratch));
            Py_END_ALLOW_THREADS
        }
        if (status != os::error_interrupted || PyErr_CheckSignals() < 0)
            break;
    }
    r->busy = false;
    if (scratch != few)
        PyMem_RawFree(scratch);
    if (status == os::error_interrupted)
        return false;  // a signal handler raised
    if (status) {
        os::raise_error(status, r->path);
        return false;
    }
    return true;
}

// Spectra from bytes in memory.
void copy_memory_table(Reader* r, const Rows& rows, std::int64_t& done)
{
    const std::int64_t size = r->view.len;
    const std::int64_t available = rows.offset < size ? size - rows.offset : 0;
    const std::int64_t spectra = std::min<std::int64_t>(rows.count, available / rows.stride());
    const char* start = static_cast<const char*>(r->view.buf) + std::min(rows.offset, size);
    if (spectra * rows.stride() >= copy_release_gil_min) {
        r->busy = true;
        Py_BEGIN_ALLOW_THREADS
        scatter(rows, 0, start, spectra);
        Py_END_ALLOW_THREADS
        r->busy = false;
    } else {
        scatter(rows, 0, start, spectra);
    }
    done = spectra * rows.stride();
}

PyObject* reader_read_rows(PyObject* self, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames)
{
    static constexpr const char* params[] = {"offset", "count", "head_size", "row_size", "item_size", "values",
                                             "heads"};
    PyObject* argv[7];
    if (!bind_arguments("read_rows", args, nargs, kwnames, params, argv))
        return nullptr;
    auto* r = reinterpret_cast<Reader*>(self);
    std::int64_t offset, count, head, row, item;
    if (!check_usable(r) || !non_negative(argv[0], "offset", offset) || !non_negative(argv[1], "count", count) ||
        !non_negative(argv[2], "head_size", head) || !non_negative(argv[3], "row_size", row) ||
        !non_negative(argv[4], "item_size", item))
        return nullptr;
    if (item != 4 && item != 8)
        return PyErr_Format(PyExc_ValueError, "item_size must be 4 or 8, not %lld", static_cast<long long>(item));
    if (head + row == 0 || row % item)
        return PyErr_Format(PyExc_ValueError, "row_size must be a positive multiple of item_size");
    if (count > PY_SSIZE_T_MAX / (head + row))
        return PyErr_NoMemory();

    View values, heads;
    if (!writable(argv[5], "values", static_cast<Py_ssize_t>(count * row), values) ||
        (head && !writable(argv[6], "heads", static_cast<Py_ssize_t>(count * head), heads)))
        return nullptr;
    // The arguments' __index__ and __buffer__ are the caller's code, which
    // may have closed the reader since it was found usable.
    if (!check_usable(r))
        return nullptr;
    const Rows rows{offset,
                    static_cast<Py_ssize_t>(count),
                    static_cast<Py_ssize_t>(head),
                    static_cast<Py_ssize_t>(row),
                    static_cast<Py_ssize_t>(item),
                    head ? static_cast<char*>(heads.view.buf) : nullptr,
                    static_cast<char*>(values.view.buf)};
    std::int64_t done = 0;
    if (r->viewing)
        copy_memory_table(r, rows, done);
    else if (!read_file_table(r, rows, done))
        return nullptr;
    const std::int64_t spectra = done / rows.stride();
    to_native_order(rows.values, static_cast<Py_ssize_t>(spectra) * rows.row, rows.item);
    return PyLong_FromLongLong(spectra);
}

PyObject* reader_map(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames);

PyObject* reader_close(PyObject* self, PyObject*)
{
    auto* r = reinterpret_cast<Reader*>(self);
    if (r->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the reader is in use by another thread");
        return nullptr;
    }
    close_reader(r);
    Py_RETURN_NONE;
}

PyObject* reader_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* reader_exit(PyObject* self, PyObject* const*, Py_ssize_t) { return reader_close(self, nullptr); }

PyObject* reader_closed(PyObject* self, void*)
{
    auto* r = reinterpret_cast<Reader*>(self);
    return PyBool_FromLong(!r->file && !r->viewing);
}

PyMethodDef reader_methods[] = {
    {"record", as_cfunction(reader_record), method_flags,
     "record($self, cls, offset, /)\n--\n\n"
     "The module's own record class cls, decoded from the source at byte offset."},
    {"read_rows", as_cfunction(reader_read_rows), method_flags,
     "read_rows($self, offset, count, head_size, row_size, item_size, values, heads, /)\n--\n\n"
     "Read count spectra of head_size bytes of mini header and row_size bytes of\n"
     "little-endian values each, from byte offset on, into the writable buffers\n"
     "values and heads (None without mini headers).  Returns how many spectra\n"
     "the source held in full; the values are left in native byte order."},
    {"read_bytes", as_cfunction(reader_read_bytes), method_flags,
     "read_bytes($self, offset, size, /)\n--\n\n"
     "At most size bytes (4096 or fewer) of the source from byte offset on;\n"
     "fewer where the source ends sooner."},
    {"map", as_cfunction(reader_map), method_flags,
     "map($self, /)\n--\n\nA read-only memory map of the whole file (a path only)."},
    {"close", reader_close, METH_NOARGS, "close($self, /)\n--\n\nClose the source."},
    {"__enter__", reader_enter, METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_exit)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"size", reader_size, nullptr, "The size of the source in bytes; None where it is not known.", nullptr},
    {"closed", reader_closed, nullptr, "True once the reader is closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {Py_tp_doc, const_cast<char*>("_Reader(source, /)\n--\n\n"
                                  "A source held open for one bulk load: a path (str or os.PathLike), or\n"
                                  "a bytes-like object holding a file's contents.")},
    {0, nullptr},
};

// A read-only memory map of a whole file.  close() ends it at once, or, while
// views of it are alive, as soon as the last of them is released.
struct Mapping {
    PyObject_HEAD
    os::Mapping view;  // data is null for an empty file, and once unmapped
    Py_ssize_t size;
    Py_ssize_t exports;
    bool closed;
};

void unmap(Mapping* m)
{
    if (m->view.data)
        os::unmap(m->view);
}

int mapping_getbuffer(PyObject* self, Py_buffer* view, int flags)
{
    auto* m = reinterpret_cast<Mapping*>(self);
    if (m->closed) {
        PyErr_SetString(PyExc_ValueError, "the mapping is closed");
        return -1;
    }
    static char empty = 0;  // a valid address for the buffer of an empty file
    if (PyBuffer_FillInfo(view, self, m->view.data ? const_cast<char*>(m->view.data) : &empty, m->size, 1, flags) < 0)
        return -1;
    ++m->exports;
    return 0;
}

void mapping_releasebuffer(PyObject* self, Py_buffer*)
{
    auto* m = reinterpret_cast<Mapping*>(self);
    if (--m->exports == 0 && m->closed)
        unmap(m);
}

void mapping_dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    unmap(reinterpret_cast<Mapping*>(self));
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* mapping_close(PyObject* self, PyObject*)
{
    auto* m = reinterpret_cast<Mapping*>(self);
    m->closed = true;
    if (m->exports == 0)
        unmap(m);
    Py_RETURN_NONE;
}

PyObject* mapping_closed(PyObject* self, void*) { return PyBool_FromLong(reinterpret_cast<Mapping*>(self)->closed); }

Py_ssize_t mapping_length(PyObject* self) { return reinterpret_cast<Mapping*>(self)->size; }

PyMethodDef mapping_methods[] = {
    {"close", mapping_close, METH_NOARGS,
     "close($self, /)\n--\n\nEnd the mapping; views still alive keep it until they are released."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef mapping_getset[] = {
    {"closed", mapping_closed, nullptr, "True once close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot mapping_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(mapping_dealloc)},
    {Py_tp_methods, mapping_methods},
    {Py_tp_getset, mapping_getset},
    {Py_bf_getbuffer, reinterpret_cast<void*>(mapping_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(mapping_releasebuffer)},
    {Py_mp_length, reinterpret_cast<void*>(mapping_length)},
    {Py_tp_doc, const_cast<char*>("A read-only memory map of a whole file, made by _Reader.map().")},
    {0, nullptr},
};

PyObject* reader_map(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames)
{
    if (!bind_arguments("map", nullptr, nargs, kwnames, {}, nullptr))
        return nullptr;
    auto* r = reinterpret_cast<Reader*>(self);
    if (!check_usable(r))
        return nullptr;
    if (r->viewing) {
        PyErr_SetString(PyExc_TypeError, "only a file opened by its path can be mapped");
        return nullptr;
    }
    const os::Handle fd = native_handle(reinterpret_cast<NativeFile*>(r->file));
    os::Kind kind;
    std::int64_t size;
    if (const os::Error error = os::describe(fd, kind, size))
        return os::raise_error(error, r->path);
    if (kind != os::Kind::regular) {
        // A directory is refused as io.open refuses it.
        return os::raise_error(kind == os::Kind::directory ? os::error_is_directory : os::error_not_mappable,
                               r->path);
    }
    size = std::max<std::int64_t>(size, 0);  // procfs and sysfs files say nothing
    if (static_cast<std::uint64_t>(size) > static_cast<std::uint64_t>(PY_SSIZE_T_MAX))
        return PyErr_NoMemory();
    os::Mapping view;
    if (const os::Error error = os::map_read(fd, size, view))
        return os::raise_error(error, r->path);
    State& st = class_state(cls);
    auto* type = reinterpret_cast<PyTypeObject*>(st.mapping_type.get());
    auto* m = reinterpret_cast<Mapping*>(type->tp_alloc(type, 0));
    if (!m) {
        os::unmap(view);
        return nullptr;
    }
    m->view = view;
    m->size = static_cast<Py_ssize_t>(size);
    m->exports = 0;
    m->closed = false;
    return reinterpret_cast<PyObject*>(m);
}

// Windows-1252, the code page of the instruments' PCs, for bytes 0x80 to
// 0x9F; from 0xA0 on it is Latin-1.  The five bytes it leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) become the C1 controls of the same code, as
// Windows' own conversion and the WHATWG Encoding Standard make them: no
// byte of a title is lost or refused, and each can be told from the text.
constexpr Py_UCS2 cp1252_high[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// How many of the n bytes at s are whole, valid UTF-8 (no overlong form, no
// surrogate, nothing past U+10FFFF, as Python's strict decoder has it), with
// the characters they hold and the widest of them; and whether what follows
// them is the valid start of one more character that the end cuts off.
struct Utf8Extent {
    Py_ssize_t bytes = 0;
    Py_ssize_t characters = 0;
    Py_UCS4 widest = 0;
    bool cut = false;
};

Utf8Extent utf8_extent(const unsigned char* s, Py_ssize_t n)
{
    Utf8Extent e;
    Py_ssize_t& i = e.bytes;
    while (i < n) {
        const unsigned c = s[i];
        if (c < 0x80) {
            ++i;
            ++e.characters;
            e.widest = std::max<Py_UCS4>(e.widest, c);
            continue;
        }
        int length;
        unsigned low = 0x80, high = 0xBF;  // the second byte's range
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            low = c == 0xE0 ? 0xA0 : 0x80;
            high = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            low = c == 0xF0 ? 0x90 : 0x80;
            high = c == 0xF4 ? 0x8F : 0xBF;
        } else {
            return e;
        }
        const Py_ssize_t have = std::min<Py_ssize_t>(length, n - i);
        Py_UCS4 point = c & (0x7F >> length);
        for (Py_ssize_t k = 1; k < have; ++k) {
            const unsigned b = s[i + k];
            if (k == 1 ? b < low || b > high : (b & 0xC0) != 0x80)
                return e;
            point = point << 6 | (b & 0x3F);
        }
        if (have < length) {
            e.cut = true;
            return e;
        }
        i += length;
        ++e.characters;
        e.widest = std::max(e.widest, point);
    }
    return e;
}

// Writes the characters of the first e.bytes bytes at s, which utf8_extent
// found valid, as code units of the str's own width.
template <class Unit>
void write_utf8(const unsigned char* s, const Utf8Extent& e, Unit* out)
{
    for (Py_ssize_t i = 0; i < e.bytes; ++out) {
        const unsigned c = s[i];
        if (c < 0x80) {
            *out = static_cast<Unit>(c);
            ++i;
            continue;
        }
        const int length = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        Py_UCS4 point = c & (0x7F >> length);
        for (int k = 1; k < length; ++k)
            point = point << 6 | (s[i + k] & 0x3F);
        *out = static_cast<Unit>(point);
        i += length;
    }
}

Ref decode_utf8(const unsigned char* s, const Utf8Extent& e)
{
    Ref text(PyUnicode_New(e.characters, e.widest));
    if (!text)
        return text;
    switch (PyUnicode_KIND(text.get())) {
    case PyUnicode_1BYTE_KIND:
        write_utf8(s, e, PyUnicode_1BYTE_DATA(text.get()));
        break;
    case PyUnicode_2BYTE_KIND:
        write_utf8(s, e, PyUnicode_2BYTE_DATA(text.get()));
        break;
    default:
        write_utf8(s, e, PyUnicode_4BYTE_DATA(text.get()));
    }
    return text;
}

inline Py_UCS2 cp1252_char(unsigned char b) { return b >= 0x80 && b < 0xA0 ? cp1252_high[b - 0x80] : b; }

template <class Unit>
void write_cp1252(const unsigned char* s, Py_ssize_t n, Unit* out)
{
    for (Py_ssize_t i = 0; i < n; ++i)
        out[i] = static_cast<Unit>(cp1252_char(s[i]));
}

Ref decode_cp1252(const unsigned char* s, Py_ssize_t n)
{
    Py_UCS4 widest = 0;
    for (Py_ssize_t i = 0; i < n; ++i)
        widest = std::max<Py_UCS4>(widest, cp1252_char(s[i]));
    Ref text(PyUnicode_New(n, widest));
    if (!text)
        return text;
    if (PyUnicode_KIND(text.get()) == PyUnicode_1BYTE_KIND)
        write_cp1252(s, n, PyUnicode_1BYTE_DATA(text.get()));
    else
        write_cp1252(s, n, PyUnicode_2BYTE_DATA(text.get()));
    return text;
}

// A title field of n bytes, cut at its first zero byte: in the codec named
// by `encoding` (bad bytes replaced), or by default as UTF-8 where the bytes
// are valid UTF-8 and else as Windows-1252.  A UTF-8 title that fills its
// field may end in a character the field cuts off: that character is left out.
Ref decode_title(const char* p, Py_ssize_t n, const char* encoding)
{
    const void* zero = std::memchr(p, 0, static_cast<std::size_t>(n));
    const bool full = !zero;
    if (zero)
        n = static_cast<const char*>(zero) - p;
    if (encoding)
        return Ref(PyUnicode_Decode(p, n, encoding, "replace"));
    // Most titles are plain ASCII: look for high bits eight bytes at a time.
    Py_ssize_t i = 0;
    for (std::uint64_t word; i + 8 <= n; i += 8) {
        std::memcpy(&word, p + i, sizeof word);
        if (word & 0x8080808080808080u)
            break;
    }
    while (i < n && static_cast<unsigned char>(p[i]) < 0x80)
        ++i;
    if (i == n) {
        Ref text(PyUnicode_New(n, 127));
        if (text)
            std::memcpy(PyUnicode_1BYTE_DATA(text.get()), p, static_cast<std::size_t>(n));
        return text;
    }
    const auto* s = reinterpret_cast<const unsigned char*>(p);
    const Utf8Extent e = utf8_extent(s, n);
    if (e.bytes == n || (full && e.cut))
        return decode_utf8(s, e);
    return decode_cp1252(s, n);
}

// _decode_titles(buffer, offset, stride, count, width, encoding): the text
// fields of `width` bytes at buffer[offset + k * stride], k < count, decoded
// by decode_title (encoding None for the default).
PyObject* decode_titles_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    static constexpr const char* params[] = {"buffer", "offset", "stride", "count", "width", "encoding"};
    PyObject* argv[6];
    if (!bind_arguments("_decode_titles", args, nargs, kwnames, params, argv))
        return nullptr;
    std::int64_t offset, stride, count, width;
    if (!non_negative(argv[1], "offset", offset) || !non_negative(argv[2], "stride", stride) ||
        !non_negative(argv[3], "count", count) || !non_negative(argv[4], "width", width))
        return nullptr;
    const char* encoding = nullptr;
    if (argv[5] != Py_None) {
        if (!PyUnicode_Check(argv[5]))
            return PyErr_Format(PyExc_TypeError, "encoding must be a str or None, not '%.200s'",
                                Py_TYPE(argv[5])->tp_name);
        if (!(encoding = PyUnicode_AsUTF8(argv[5])))
            return nullptr;
    }
    View buffer;
    if (!buffer.get(argv[0], PyBUF_SIMPLE))
        return nullptr;
    const Py_buffer& view = buffer.view;
    const std::int64_t last_end = count ? offset + (count - 1) * stride + width : 0;
    if (count && (count - 1 > (INT64_MAX - offset - width) / std::max<std::int64_t>(stride, 1) || last_end > view.len))
        return PyErr_Format(PyExc_ValueError, "%lld titles of %lld bytes every %lld from offset %lld do not fit "
                            "in a buffer of %zd bytes", static_cast<long long>(count), static_cast<long long>(width),
                            static_cast<long long>(stride), static_cast<long long>(offset), view.len);
    Ref titles(PyList_New(static_cast<Py_ssize_t>(count)));
    const char* p = static_cast<const char*>(view.buf) + offset;
    for (std::int64_t k = 0; titles && k < count; ++k, p += stride) {
        Ref text = decode_title(p, static_cast<Py_ssize_t>(width), encoding);
        if (!text)
            titles.reset();
        else
            PyList_SET_ITEM(titles.get(), static_cast<Py_ssize_t>(k), text.release());
    }
    return titles.release();
}

// Appends (name, code, offset) for every field of `rec` to `out`; false on error.
bool layout_of(State& st, const Record& rec, PyObject* out, Py_ssize_t& offset)
{
    for (const Step& step : rec.steps) {
        if (step.op == Step::base) {
            if (!layout_of(st, *step.record, out, offset))
                return false;
        } else if (step.op == Step::group) {
            for (const Field& f : step.fields) {
                if (f.kind != Kind::pad && f.kind != Kind::bit) {
                    Ref entry(Py_BuildValue("(Osn)", f.kind == Kind::bits ? Py_None : st.name(f.name),
                                            struct_code(f).c_str(), offset));
                    if (!entry || PyList_Append(out, entry.get()) < 0)
                        return false;
                }
                offset += f.width;
            }
        } else if (step.op == Step::text) {
            const Py_ssize_t n = step.length;
            Ref entry(Py_BuildValue("(ONn)", st.name(step.attr), PyUnicode_FromFormat("%zds", n), offset));
            if (!entry || PyList_Append(out, entry.get()) < 0)
                return false;
            offset += n;
        } else {
            PyErr_Format(PyExc_ValueError, "%U holds nested records; it has no flat layout", st.name(rec.class_name));
            return false;
        }
    }
    return true;
}

// _record_layout(cls): the fields of a flat record class as (name, struct
// code, byte offset) in layout order, from the tables the decoder reads.
PyObject* record_layout_impl(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    static constexpr const char* params[] = {"cls"};
    PyObject* cls;
    if (!bind_arguments("_record_layout", args, nargs, kwnames, params, &cls))
        return nullptr;
    State& st = module_state(module);
    const Record* rec = st.record_of(cls);
    if (!rec)
        return PyErr_Format(PyExc_TypeError, "_record_layout() takes one of the module's record classes, not %R", cls);
    Ref out(PyList_New(0));
    Py_ssize_t offset = 0;
    if (!out || !layout_of(st, *rec, out.get(), offset))
        return nullptr;
    return PyList_AsTuple(out.get());
}

}  // namespace

PyType_Spec reader_spec = {
    "quorinreader._Reader",
    sizeof(Reader),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    reader_slots,
};

PyType_Spec mapping_spec = {
    "quorinreader._Mapping",
    sizeof(Mapping),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    mapping_slots,
};

PyMethodDef decode_titles_def = {"_decode_titles", as_cfunction(decode_titles_impl), function_flags,
                                 "_decode_titles(buffer, offset, stride, count, width, encoding)\n--\n\n"
                                 "The text fields of width bytes at buffer[offset + k * stride], k < count:\n"
                                 "UTF-8 where valid, else Windows-1252 (encoding None), or in the codec\n"
                                 "named by encoding."};

PyMethodDef record_layout_def = {"_record_layout", as_cfunction(record_layout_impl), function_flags,
                                 "_record_layout(cls)\n--\n\n"
                                 "The fields of a flat record class: (name, struct code, offset) in layout order."};

}  // namespace quorin
