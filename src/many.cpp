#include "many.hpp"

#include "compat.hpp"
#include "container.hpp"
#include "fields.hpp"
#include "osfile.hpp"
#include "records.hpp"
#include "state.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace quorin {
namespace {

// Where one field lies in a record, as the decoder walks the record's
// steps: the tables in records.cpp and container.cpp are the only
// description of a layout, and the offsets below come from them.
struct Place {
    std::int64_t offset = -1;
    Py_ssize_t width = 0;
};

bool find_place(const Record& rec, Name name, std::int64_t& at, Place& out)
{
    for (const Step& step : rec.steps) {
        switch (step.op) {
        case Step::base:
            if (find_place(*step.record, name, at, out))
                return true;
            break;
        case Step::group:
            for (const Field& f : step.fields) {
                if (f.name == name && f.kind != Kind::pad && f.kind != Kind::bit) {
                    out = {at, f.width};
                    return true;
                }
                at += f.width;
            }
            break;
        case Step::text: {
            const Py_ssize_t n = step.length_constant != Name::count ? own_length(step.length_constant) : step.length;
            if (step.attr == name) {
                out = {at, n};
                return true;
            }
            at += n;
            break;
        }
        default:  // a list or a nested record: `name` is where it begins
            if (step.attr == name) {
                out = {at, 0};
                return true;
            }
            return false;
        }
    }
    return false;
}

Place place(const Record& rec, Name name)
{
    std::int64_t at = 0;
    Place out;
    find_place(rec, name, at, out);
    return out;
}

// What a single-spectrum file's headers need, from the record tables.
struct Geometry {
    Place file_type, num_sections, signature, file_id, directory;
    std::int64_t header_size;
    std::int64_t entry_size[2];  // standard, extended
    Place entry_type[2], entry_offset[2];
    std::int64_t spectral_size;
    Place num_points;

    Geometry()
    {
        const Record& fh = file_header_record;
        file_type = place(fh, Name::file_type);
        num_sections = place(fh, Name::num_sections);
        signature = place(fh, Name::sti_id_string);
        file_id = place(fh, Name::file_id);
        directory = place(fh, Name::sections);
        header_size = directory.offset;
        const Record* entries[] = {&index_entry_record, &index_entry_extended_record};
        for (int k = 0; k < 2; ++k) {
            entry_size[k] = flat_size(*entries[k]);
            entry_type[k] = place(*entries[k], Name::section_type);
            entry_offset[k] = place(*entries[k], Name::section_offset);
        }
        spectral_size = flat_size(main_spectral_header_record);
        num_points = place(main_spectral_header_record, Name::num_points);
    }
};

const Geometry& geometry()
{
    static const Geometry g;
    return g;
}

std::uint64_t little(const unsigned char* p, Py_ssize_t width)
{
    std::uint64_t v = 0;
    for (Py_ssize_t i = width; i-- > 0;)
        v = v << 8 | p[i];
    return v;
}

// Whether the signature announces extended directory entries: "Exte" in its
// text, which ends at the first zero byte and leaves out bytes 0x80..0xFF.
bool extended_signature(const unsigned char* p, Py_ssize_t n)
{
    const char* want = name_texts[index(Name::text_exte)];
    const std::size_t want_size = std::strlen(want);
    char text[64];
    std::size_t size = 0;
    for (Py_ssize_t i = 0; i < n && p[i] && size < sizeof text; ++i)
        if (p[i] < 0x80)
            text[size++] = static_cast<char>(p[i]);
    return std::string_view(text, size).find(std::string_view(want, want_size)) != std::string_view::npos;
}

// What the header pass keeps of one file: well under 1 KiB.
enum Status : std::int32_t {
    single = 0,        // a single spectrum whose values lie at values_at
    elsewhere = 1,     // read by the Python layer: a series, or something to explain
    os_failed = 2,     // error holds the system's code
    not_spectral = 3,  // too short for its own header and directory, or no section of ours
    placed = 4,        // a single spectrum whose values are in its row already
};

constexpr std::size_t start_bytes = 24;
constexpr std::size_t spectral_bytes = 140;
constexpr std::size_t file_id_bytes = 256;

struct FileScan {
    std::int64_t values_at;
    std::int64_t size;
    std::int32_t status;
    std::int32_t error;
    std::int32_t start_size;
    std::uint16_t file_type;
    std::uint16_t reserved;
    unsigned char start[start_bytes];
    unsigned char header[spectral_bytes];
    unsigned char file_id[file_id_bytes];
};

// The fields of a FileScan as NumPy spells them, for the Python layer's view.
struct ScanField {
    const char* name;
    const char* format;
    std::size_t offset;
};
const ScanField scan_fields[] = {
    {"values_at", "<i8", offsetof(FileScan, values_at)},
    {"size", "<i8", offsetof(FileScan, size)},
    {"status", "<i4", offsetof(FileScan, status)},
    {"error", "<i4", offsetof(FileScan, error)},
    {"start_size", "<i4", offsetof(FileScan, start_size)},
    {"file_type", "<u2", offsetof(FileScan, file_type)},
    {"start", "V24", offsetof(FileScan, start)},
    {"header", "V140", offsetof(FileScan, header)},
    {"file_id", "V256", offsetof(FileScan, file_id)},
};

constexpr std::size_t first_block = 4096;
constexpr std::int32_t section_spectral = 2, section_values = 3, section_series = 325, section_array = 300;

// Reads n bytes at `at` from the first block when it holds them, else from the file.
bool bytes_at(os::Handle h, const unsigned char* block, std::size_t got, std::int64_t at, std::size_t n,
              unsigned char* out, os::Error& error)
{
    if (at >= 0 && static_cast<std::uint64_t>(at) + n <= got) {
        std::memcpy(out, block + at, n);
        return true;
    }
    std::size_t read = 0;
    error = os::read_at(h, out, n, at, read);
    return !error && read == n;
}

void scan_open(os::Handle h, FileScan& s, unsigned char* block, std::size_t& got,
               std::vector<unsigned char>& directory)
{
    const Geometry& g = geometry();
    // The first block says how big the file is when it comes up short.  A
    // larger file's size is not asked for: that costs as much as the read,
    // and every read below says when the file ends before it.
    got = 0;
    if ((s.error = os::read_at(h, block, first_block, 0, got)) != 0) {
        // A directory is refused here as io.open refuses it; a pipe or a
        // device goes to the Python layer, which reads it in sequence.
        s.status = os::means_not_seekable(s.error) ? elsewhere : os_failed;
        return;
    }
    const std::int64_t size = got < first_block ? static_cast<std::int64_t>(got) : INT64_MAX;
    s.size = got < first_block ? size : -1;
    s.start_size = static_cast<std::int32_t>(std::min(got, start_bytes));
    std::memcpy(s.start, block, static_cast<std::size_t>(s.start_size));
    if (got < static_cast<std::size_t>(g.header_size)) {
        s.status = not_spectral;
        return;
    }
    s.file_type = static_cast<std::uint16_t>(little(block + g.file_type.offset, g.file_type.width));
    const auto sections = static_cast<std::int64_t>(little(block + g.num_sections.offset, g.num_sections.width));
    const int ext = extended_signature(block + g.signature.offset, g.signature.width) ? 1 : 0;
    const std::int64_t entry = g.entry_size[ext];
    const std::int64_t directory_end = g.header_size + sections * entry;
    if (directory_end > size) {  // a file of fewer bytes than its own directory
        s.status = not_spectral;
        return;
    }
    std::memcpy(s.file_id, block + g.file_id.offset,
                std::min(file_id_bytes, static_cast<std::size_t>(g.file_id.width)));
    const unsigned char* entries = block + g.header_size;
    if (static_cast<std::uint64_t>(directory_end) > got) {
        try {
            directory.resize(static_cast<std::size_t>(directory_end - g.header_size));
        } catch (const std::bad_alloc&) {
            s.status = elsewhere;  // read again, with the GIL, by the Python layer
            return;
        }
        if (!bytes_at(h, block, got, g.header_size, directory.size(), directory.data(), s.error)) {
            s.status = s.error ? os_failed : not_spectral;
            return;
        }
        entries = directory.data();
    }
    std::int64_t spectral_at = -1, values_at = -1;
    bool ours = false;
    for (std::int64_t k = 0; k < sections; ++k, entries += entry) {
        const auto type = static_cast<std::int32_t>(little(entries + g.entry_type[ext].offset, g.entry_type[ext].width));
        const auto at = static_cast<std::int64_t>(
            std::min<std::uint64_t>(little(entries + g.entry_offset[ext].offset, g.entry_offset[ext].width), INT64_MAX));
        if (type == section_spectral && spectral_at < 0)
            spectral_at = at;
        else if (type == section_values && values_at < 0)
            values_at = at;
        ours |= type == section_spectral || type == section_values || type == section_series || type == section_array;
    }
    if (!ours) {
        s.status = not_spectral;
        return;
    }
    // A series, a group, a section missing or past the end: the Python
    // layer's header phase reads those and says what is wrong.
    s.status = elsewhere;
    if (s.file_type == ft_series || s.file_type == ft_group || spectral_at < 0 || values_at < 0 ||
        spectral_at > size - g.spectral_size)
        return;
    if (!bytes_at(h, block, got, spectral_at, spectral_bytes, s.header, s.error)) {
        s.status = s.error ? os_failed : elsewhere;
        return;
    }
    const auto points = static_cast<std::int64_t>(little(s.header + g.num_points.offset, g.num_points.width));
    if (values_at > size || points > (size - values_at) / 4)  // the value pass finds out for a larger file
        return;
    s.values_at = values_at;
    s.status = single;
}

// Runs one(i, block, directory) for i < n on up to `workers` threads, the
// caller's among them; returns once every index is done and every thread
// is joined.
template <class One>
void run_parallel(Py_ssize_t n, int workers, One one)
{
    constexpr Py_ssize_t batch = 8;
    std::atomic<Py_ssize_t> next{0};
    auto work = [&] {
        unsigned char block[first_block];
        std::vector<unsigned char> directory;
        for (;;) {
            const Py_ssize_t start = next.fetch_add(batch, std::memory_order_relaxed);
            if (start >= n)
                return;
            for (Py_ssize_t i = start; i < std::min(n, start + batch); ++i)
                one(i, block, directory);
        }
    };
    const auto extra = static_cast<std::size_t>(std::max<Py_ssize_t>(0, std::min<Py_ssize_t>(workers, (n + batch - 1) / batch) - 1));
    std::vector<std::thread> threads;
    threads.reserve(extra);
    for (std::size_t k = 0; k < extra; ++k) {
        try {
            threads.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // fewer threads: the ones running share the work
        }
    }
    work();
    for (std::thread& t : threads)
        t.join();
}

bool workers_arg(PyObject* obj, int& out)
{
    const long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred())
        return false;
    if (v < 1) {
        PyErr_Format(PyExc_ValueError, "workers must be at least 1, not %ld", v);
        return false;
    }
    out = static_cast<int>(std::min<long>(v, 256));
    return true;
}

// The paths of a list or tuple, converted while the GIL is held.  A path's
// __fspath__ is the caller's code, which may change a list meanwhile: the
// paths are those of a tuple taken first, which holds each of them.
std::unique_ptr<os::Path[]> convert_paths(PyObject* seq, Py_ssize_t& n)
{
    if (!PyList_Check(seq) && !PyTuple_Check(seq)) {
        PyErr_Format(PyExc_TypeError, "expected a list or tuple of paths, not '%.200s'", Py_TYPE(seq)->tp_name);
        return nullptr;
    }
    Ref items(PySequence_Tuple(seq));
    if (!items)
        return nullptr;
    n = PyTuple_GET_SIZE(items.get());
    std::unique_ptr<os::Path[]> paths(new (std::nothrow) os::Path[static_cast<std::size_t>(std::max<Py_ssize_t>(n, 1))]);
    if (!paths) {
        PyErr_NoMemory();
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!paths[static_cast<std::size_t>(i)].convert(PyTuple_GET_ITEM(items.get(), i)))
            return nullptr;
    return paths;
}

// Reads a single spectrum of `points` 4-byte values into `row` while its
// file is open for the header pass, from the first block where it lies
// there; false where the file ends before them.
bool place_values(os::Handle h, FileScan& s, std::int64_t points, char* row, const unsigned char* block,
                  std::size_t in_block)
{
    const auto bytes = static_cast<std::size_t>(points) * 4;
    if (!bytes_at(h, block, in_block, s.values_at, bytes, reinterpret_cast<unsigned char*>(row), s.error)) {
        if (s.error == os::error_invalid)
            s.error = 0;  // an offset no file reaches: past its end, as the Python layer says
        return false;
    }
    if constexpr (std::endian::native == std::endian::big) {
        for (char* q = row; q < row + bytes; q += 4)
            std::reverse(q, q + 4);
    }
    return true;
}

// _scan_many(paths, workers, values, points): the header pass.  Where the
// caller expects one single spectrum of `points` float32 values per file, it
// hands over the matrix (else None): a file that is one goes straight to its
// row, read while its file is open for its headers.
PyObject* scan_many_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    static constexpr const char* params[] = {"paths", "workers", "values", "points"};
    PyObject* argv[4];
    int workers;
    if (!bind_arguments("_scan_many", args, nargs, kwnames, params, argv) || !workers_arg(argv[1], workers))
        return nullptr;
    const long long points = PyLong_AsLongLong(argv[3]);
    if (points == -1 && PyErr_Occurred())
        return nullptr;
    if (points < 0)
        return PyErr_Format(PyExc_ValueError, "points must not be negative, not %lld", points);
    Py_ssize_t n = 0;
    std::unique_ptr<os::Path[]> paths = convert_paths(argv[0], n);
    if (!paths)
        return nullptr;
    Py_buffer dest_view{};
    struct Release {
        Py_buffer* view = nullptr;
        ~Release() { if (view) PyBuffer_Release(view); }
    } dest_release;
    char* dest = nullptr;
    if (argv[2] != Py_None) {
        if (PyObject_GetBuffer(argv[2], &dest_view, PyBUF_WRITABLE) < 0)
            return nullptr;
        dest_release.view = &dest_view;
        if (points > PY_SSIZE_T_MAX / 4 / std::max<Py_ssize_t>(n, 1) || dest_view.len < n * points * 4)
            return PyErr_Format(PyExc_ValueError, "values holds %zd bytes; %zd rows of %lld float32 values need more",
                                dest_view.len, n, points);
        dest = static_cast<char*>(dest_view.buf);
    }
    if (static_cast<std::size_t>(n) > PY_SSIZE_T_MAX / sizeof(FileScan))
        return PyErr_NoMemory();
    Ref out(PyBytes_FromStringAndSize(nullptr, n * static_cast<Py_ssize_t>(sizeof(FileScan))));
    if (!out)
        return nullptr;
    auto* scans = reinterpret_cast<FileScan*>(PyBytes_AS_STRING(out.get()));
    std::memset(scans, 0, static_cast<std::size_t>(n) * sizeof(FileScan));
    (void)geometry();
    Py_BEGIN_ALLOW_THREADS
    run_parallel(n, workers, [&](Py_ssize_t i, unsigned char* block, std::vector<unsigned char>& directory) {
        FileScan& s = scans[i];
        os::Handle h;
        if ((s.error = os::open_read(paths[static_cast<std::size_t>(i)], h)) != 0) {
            s.status = os_failed;
            return;
        }
        std::size_t got = 0;
        scan_open(h, s, block, got, directory);
        if (dest && s.status == single &&
            static_cast<long long>(little(s.header + geometry().num_points.offset, geometry().num_points.width)) == points) {
            if (place_values(h, s, points, dest + i * points * 4, block, got))
                s.status = placed;
            else
                s.status = s.error ? os_failed : elsewhere;  // the Python layer says where the file ends
        }
        os::close(h);
    });
    Py_END_ALLOW_THREADS
    Ref fields(PyTuple_New(std::ssize(scan_fields)));
    if (!fields)
        return nullptr;
    for (std::size_t k = 0; k < std::size(scan_fields); ++k) {
        const ScanField& f = scan_fields[k];
        PyObject* entry = Py_BuildValue("(ssn)", f.name, f.format, static_cast<Py_ssize_t>(f.offset));
        if (!entry)
            return nullptr;
        PyTuple_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(k), entry);
    }
    return Py_BuildValue("(NNn)", out.release(), fields.release(), static_cast<Py_ssize_t>(sizeof(FileScan)));
}

// The value pass: plan row k is (offset, count, item, first element) of
// paths[k]: count values of `item` bytes at byte offset go to the
// destination from element `first` on, widened to doubles where the
// destination holds 8-byte values and the file 4-byte ones.
struct Plan {
    std::int64_t offset, count, item, first;
};

constexpr std::int32_t read_short = -1;

void read_one(os::Handle h, const Plan& p, char* dest, std::int64_t dest_item, std::int32_t& status)
{
    const auto bytes = static_cast<std::size_t>(p.count * p.item);
    char* row = dest + p.first * dest_item;
    // 4-byte values bound for doubles are read into the back half of their
    // row and widened front to back: value i lands at or before where value
    // i + 1 lies, so nothing is overwritten before it is read.
    char* into = p.item == dest_item ? row : row + p.count * (dest_item - p.item);
    std::size_t got = 0;
    status = os::read_at(h, into, bytes, p.offset, got);
    if (status == os::error_invalid || (!status && got < bytes))
        status = read_short;  // past the end of the file, or at an offset no file reaches
    if (status)
        return;
    if constexpr (std::endian::native == std::endian::big) {
        for (char* q = into; q < into + bytes; q += p.item)
            std::reverse(q, q + p.item);
    }
    if (p.item != dest_item) {
        auto* out = reinterpret_cast<double*>(row);
        for (std::int64_t i = 0; i < p.count; ++i) {
            float v;
            std::memcpy(&v, into + i * 4, 4);
            out[i] = v;
        }
    }
}

// _read_many(paths, plan, values, item, workers): statuses as int32 bytes,
// 0 for a file read in full, -1 for one that ended early, else the system's code.
PyObject* read_many_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    static constexpr const char* params[] = {"paths", "plan", "values", "item", "workers"};
    PyObject* argv[5];
    int workers;
    if (!bind_arguments("_read_many", args, nargs, kwnames, params, argv) || !workers_arg(argv[4], workers))
        return nullptr;
    const long dest_item = PyLong_AsLong(argv[3]);
    if (dest_item == -1 && PyErr_Occurred())
        return nullptr;
    if (dest_item != 4 && dest_item != 8)
        return PyErr_Format(PyExc_ValueError, "item must be 4 or 8, not %ld", dest_item);
    Py_ssize_t n = 0;
    std::unique_ptr<os::Path[]> paths = convert_paths(argv[0], n);
    if (!paths)
        return nullptr;
    Py_buffer plan_view, dest_view;
    if (PyObject_GetBuffer(argv[1], &plan_view, PyBUF_SIMPLE) < 0)
        return nullptr;
    struct Release {
        Py_buffer* view;
        ~Release() { if (view) PyBuffer_Release(view); }
    } plan_release{&plan_view}, dest_release{nullptr};
    if (plan_view.len != n * static_cast<Py_ssize_t>(sizeof(Plan)))
        return PyErr_Format(PyExc_ValueError, "the plan holds %zd bytes; %zd paths need %zd", plan_view.len, n,
                            n * static_cast<Py_ssize_t>(sizeof(Plan)));
    if (PyObject_GetBuffer(argv[2], &dest_view, PyBUF_WRITABLE) < 0)
        return nullptr;
    dest_release.view = &dest_view;
    std::vector<Plan> plan(static_cast<std::size_t>(n));
    if (n)
        std::memcpy(plan.data(), plan_view.buf, plan.size() * sizeof(Plan));
    for (Py_ssize_t k = 0; k < n; ++k) {
        const Plan& p = plan[static_cast<std::size_t>(k)];
        if (p.offset < 0 || p.count < 0 || p.first < 0 || (p.item != 4 && p.item != dest_item) ||
            p.count > (dest_view.len / dest_item) || p.first > dest_view.len / dest_item - p.count)
            return PyErr_Format(PyExc_ValueError, "plan row %zd does not fit a destination of %zd bytes", k,
                                dest_view.len);
    }
    Ref out(PyBytes_FromStringAndSize(nullptr, n * 4));
    if (!out)
        return nullptr;
    auto* statuses = reinterpret_cast<std::int32_t*>(PyBytes_AS_STRING(out.get()));
    char* dest = static_cast<char*>(dest_view.buf);
    Py_BEGIN_ALLOW_THREADS
    run_parallel(n, workers, [&](Py_ssize_t i, unsigned char*, std::vector<unsigned char>&) {
        const Plan& p = plan[static_cast<std::size_t>(i)];
        std::int32_t& status = statuses[i];
        status = 0;
        if (p.count == 0)
            return;
        os::Handle h;
        if ((status = os::open_read(paths[static_cast<std::size_t>(i)], h)) != 0)
            return;
        read_one(h, p, dest, dest_item, status);
        os::close(h);
    });
    Py_END_ALLOW_THREADS
    return out.release();
}

// _many_error(code, path): the OSError the file layer raises for `code`.
PyObject* many_error_impl(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    static constexpr const char* params[] = {"code", "path"};
    PyObject* argv[2];
    if (!bind_arguments("_many_error", args, nargs, kwnames, params, argv))
        return nullptr;
    const long code = PyLong_AsLong(argv[0]);
    if (code == -1 && PyErr_Occurred())
        return nullptr;
    os::raise_error(static_cast<os::Error>(code), argv[1]);
    return take_exception().release();
}

}  // namespace

PyMethodDef many_functions[] = {
    {"_scan_many", as_cfunction(scan_many_impl), function_flags,
                             "_scan_many(paths, workers, values, points)\n--\n\n"
                             "The header pass of many files: (scans, fields, size), one fixed-size\n"
                             "record per path, and its fields as (name, dtype, offset).  A single\n"
                             "spectrum of `points` values is read into row k of values (a float32\n"
                             "matrix, or None) while file k is open, and its status says so."},
    {"_read_many", as_cfunction(read_many_impl), function_flags,
                             "_read_many(paths, plan, values, item, workers)\n--\n\n"
                             "The value pass of many files into one writable buffer of item-byte values;\n"
                             "the plan holds (offset, count, item, first element) as int64 per path.\n"
                             "Returns int32 statuses: 0 read, -1 ended early, else the system's code."},
    {"_many_error", as_cfunction(many_error_impl), function_flags,
                              "_many_error(code, path)\n--\n\n"
                              "The OSError the file layer raises for the system's code, naming path."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quorin
