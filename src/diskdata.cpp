#include "diskdata.hpp"

#include "container.hpp"
#include "generator.hpp"
#include "plainclass.hpp"
#include "nativefile.hpp"
#include "records.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <new>
#include <utility>

namespace quorin {

// The blob format: a signed 32-bit word whose bits 0 to 6 are seven flags.
constexpr Field data_blob_format_fields[] = {
    bits(),
    bit(Name::mini_hdr, 0),
    bit(Name::spectral_hdr, 1),
    bit(Name::bench_hdr, 2),
    bit(Name::interleaved, 3),
    bit(Name::line_data, 4),
    bit(Name::area_data, 5),
    bit(Name::depth_data, 6),
};
constexpr Step data_blob_format_steps[] = {group(data_blob_format_fields)};
const Record data_blob_format_record = {RecordId::DataBlobFormat, Name::DataBlobFormat, "\n    DATABLOBFORMAT\n    ",
                                        nullptr, data_blob_format_steps};

// The link to the data: 552 bytes.
constexpr Field link_head_fields[] = {
    u32(Name::link_type), u32(Name::section_type), u32(Name::section_number), u32(Name::mini_header_type),
};
constexpr Field link_offset_fields[] = {
    u32(Name::offset_spectral_header), u32(Name::offset_bench_header), u32(Name::offset_mini_header),
    u32(Name::offset_data_array),
};
constexpr Step link_to_data_steps[] = {
    group(link_head_fields),
    nested(Name::data_blob_format, data_blob_format_record),
    group(link_offset_fields),
    text(Name::filename, Name::MAX_PATH),
    text(Name::title, Name::FILE_ID_LENGTH),
};
const Record link_to_data_record = {RecordId::LinkToData, Name::LinkToData, "\n    LINK_TO_DATA\n    ", nullptr,
                                    link_to_data_steps};

// Mini headers: 96 bytes, or 100 with `direction`.
constexpr Field mini_header_head_fields[] = {
    u32(Name::num_scans), u32(Name::start_time), f32(Name::temp), f32(Name::pressure),
};
constexpr Field mini_header_tail_fields[] = {
    f32(Name::x_position), f32(Name::y_position), u32(Name::detector_ID), f32(Name::pk_height),
};
constexpr Step series_specheader_steps[] = {
    group(mini_header_head_fields),
    text(Name::spec_title, 64),
    group(mini_header_tail_fields),
};
const Record series_specheader_record = {RecordId::SeriesSpecheader, Name::SeriesSpecheader,
                                         "\n    A possible mini header in data blobs.\n\n    SERIES_SPECHEADER\n    ",
                                         nullptr, series_specheader_steps};

constexpr Field direction_fields[] = {u32(Name::direction)};
constexpr Step series_specheader_ver3_steps[] = {
    base(series_specheader_record),
    group(direction_fields),
};
const Record series_specheader_ver3_record = {
    RecordId::SeriesSpecheaderVer3, Name::SeriesSpecheaderVer3,
    "\n    A possible mini header in data blobs. SeriesSpecheader + direction\n\n    SERIES_SPECHEADER_VER3\n    ",
    &series_specheader_record, series_specheader_ver3_steps};

namespace {

PyObject* read_linked_data_impl(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames)
{
    static constexpr const char* params[] = {"file", "n_spectra"};
    PyObject* argv[2];
    if (!bind_arguments("read_linked_data", args, nargs, kwnames, params, argv))
        return nullptr;
    State& st = class_state(cls);
    Ref sequence = new_linked_data(st, self, argv[0], argv[1]);
    return sequence ? PyObject_CallOneArg(st.read_linked_data_shell.get(), sequence.get()) : nullptr;
}

PyMethodDef read_linked_data_def = {
    "read_linked_data", as_cfunction(read_linked_data_impl), method_flags,
    "read_linked_data($self, /, file, n_spectra)\n--\n\n"
    "A generator of the blob's header records, then of (mini header, values) per spectrum."};

}  // namespace

// The disk-resident array: 568 bytes and 332 per dimension.
constexpr Field array_head_fields[] = {
    u32(Name::structure_size), u32(Name::version), u32(Name::array_element_size),
};
constexpr Field array_count_fields[] = {u32(Name::num_dimensions)};
constexpr Step disk_resident_array_steps[] = {
    group(array_head_fields),
    nested(Name::link, link_to_data_record),
    group(array_count_fields),
    list(Name::dimensions, Name::num_dimensions, dimension_record),
};
const Record disk_resident_array_record = {RecordId::DiskResidentArray, Name::DiskResidentArray,
                                           "\n    DISK_RESIDENT_ARRAY\n    ", nullptr, disk_resident_array_steps,
                                           &read_linked_data_def};

namespace {

// The native sequence behind read_linked_data.
struct LinkedData {
    PyObject_HEAD
    PyObject* array;            // the DiskResidentArray
    PyObject* file;             // the SPAFile (or a stand-in) it belongs to
    PyObject* n_spectra;        // as given; counted when the spectra start
    PyObject* handle;           // the NativeFile, open from the first request to the end
    PyObject* types;            // the directory a series pass walked, handed on with the handle
    PyObject* spectral_header;  // the main spectral header at the head of the blob, if any
    PyObject* extent;           // for the series reader, {first, last, n} of a header not built
    PyObject* header_class;     // the mini header class, chosen when the spectra start
    PyObject* zero_value;       // a one-value array of the blob's typecode
    const Record* header_record;
    long long remaining;  // spectra still to read
    Py_ssize_t item_size;
    Py_ssize_t points;  // the point count of a header not built, else -1
    bool for_series;    // driven by the series reader, which shows no one the headers
    enum : std::uint8_t { created, at_headers, at_spectra, finished } stage;
    bool mini_headers;
    bool running;

    // The end of the sequence, whether it ran out, failed or was closed:
    // the handle is closed and every reference dropped.
    void release()
    {
        stage = finished;
        if (handle)
            native_close(reinterpret_cast<NativeFile*>(handle));
        Py_CLEAR(handle);
        Py_CLEAR(types);
        Py_CLEAR(array);
        Py_CLEAR(file);
        Py_CLEAR(n_spectra);
        Py_CLEAR(spectral_header);
        Py_CLEAR(extent);
        Py_CLEAR(header_class);
        Py_CLEAR(zero_value);
    }
    int visit_references(visitproc visit, void* arg)
    {
        Py_VISIT(array);
        Py_VISIT(file);
        Py_VISIT(types);
        Py_VISIT(n_spectra);
        Py_VISIT(spectral_header);
        Py_VISIT(header_class);
        return 0;
    }
    static PyObject* next(PyObject* self);
};

// obj.<name>, where obj is the array, its link or the link's blob format;
// of an array the series reader took as bytes, each of the three is the
// bytes, and the value is read from them.
Ref value_of(State& st, PyObject* obj, Name name)
{
    if (!PyBytes_Check(obj))
        return Ref(PyObject_GetAttr(obj, st.name(name)));
    if (name == Name::link || name == Name::data_blob_format)
        return Ref::borrow(obj);
    return flat_field(disk_resident_array_record, PyBytes_AS_STRING(obj), name);
}

// Whether obj.<name> is true: 1 or 0, -1 on error.
int is_true_value(State& st, PyObject* obj, Name name)
{
    Ref value = value_of(st, obj, name);
    return value ? PyObject_IsTrue(value.get()) : -1;
}

// The record `rec` of class `cls` at nf's position: built natively while
// `cls` and everything its construction uses is the module's own, otherwise
// by calling `cls` with the handle, from which the caller's code reads on.
Ref construct(State& st, NativeFile* nf, PyObject* cls, const Record& rec)
{
    const int own = st.own_record(cls, rec);
    if (own != 0) {
        NativeSource src(st, nf);
        return own > 0 ? construct_own(st, src, rec) : Ref();
    }
    PyObject* f = native_for_caller(nf);
    return f ? Ref(PyObject_CallOneArg(cls, f)) : Ref();
}

// The bytes of the record `rec` of class `cls` at nf's position, taken (for
// flat_field) in place of building it, where it would be built natively and
// the file holds all of it; else null, with an error where one occurred.
const char* take_unbuilt(State& st, NativeFile* nf, PyObject* cls, const Record& rec)
{
    const int own = st.own_record(cls, rec);
    const Py_ssize_t size = st.flat_sizes[static_cast<std::size_t>(rec.id)];
    return own > 0 && native_holds(nf, size) > 0 ? native_take(st, nf, size) : nullptr;
}

// Steps of the first request: refuse an external link, find the blob's
// section, open it, and read the header records at its head.
Ref read_headers(State& st, LinkedData* seq)
{
    Ref link = value_of(st, seq->array, Name::link);
    const int external = link ? is_true_value(st, link.get(), Name::link_type) : -1;
    if (external < 0)
        return Ref();
    if (external) {
        PyErr_SetString(PyExc_RuntimeError, "Can not read linked external files.");
        return Ref();
    }

    Ref section_type = value_of(st, link.get(), Name::section_type);
    const int own_file = !section_type ? -1 : seq->types ? 1 : is_own_spa_file(st, seq->file);
    if (own_file < 0)
        return Ref();
    if (!own_file && seq->handle) {
        // The caller's methods may have changed the file since the handle was
        // opened: the blob is read through a handle opened afresh.
        native_close(reinterpret_cast<NativeFile*>(seq->handle));
        Py_CLEAR(seq->handle);
    }
    Ref positions;
    if (own_file) {
        Ref types = seq->types ? Ref::borrow(seq->types) : section_types(st, seq->file);
        positions = types ? indices_of_type(types.get(), section_type.get(), false) : Ref();
    } else {
        Ref found(PyObject_CallMethodOneArg(seq->file, st.name(Name::find_indextypes), section_type.get()));
        positions = Ref(found ? PySequence_List(found.get()) : nullptr);
    }
    Ref number = positions ? value_of(st, link.get(), Name::section_number) : Ref();
    Ref position(number ? PyObject_GetItem(positions.get(), number.get()) : nullptr);
    Ref info(position ? PyObject_GetAttr(seq->file, st.name(Name::info)) : nullptr);
    Ref sections(info ? PyObject_GetAttr(info.get(), st.name(Name::sections)) : nullptr);
    Ref entry(sections ? PyObject_GetItem(sections.get(), position.get()) : nullptr);
    Ref offset(entry ? PyObject_GetAttr(entry.get(), st.name(Name::section_offset)) : nullptr);
    Ref size = offset ? value_of(st, seq->array, Name::array_element_size) : Ref();
    Ref typecode(size ? PyObject_GetItem(st.typecodes.get(), size.get()) : nullptr);  // KeyError for other sizes
    if (!typecode)
        return Ref();
    const bool is_double = PyUnicode_CompareWithASCIIString(typecode.get(), "d") == 0;
    seq->zero_value = Py_NewRef(is_double ? st.zero_d.get() : st.zero_f.get());
    seq->item_size = is_double ? 8 : 4;

    if (!seq->handle) {
        Ref filename(PyObject_GetAttr(seq->file, st.name(Name::filename)));
        seq->handle = filename ? native_open(st, filename.get()).release() : nullptr;
        if (!seq->handle)
            return Ref();
    }
    auto* nf = reinterpret_cast<NativeFile*>(seq->handle);
    if (!native_seek(nf, offset.get()))
        return Ref();

    Ref headers(PyDict_New());
    Ref format = headers ? value_of(st, link.get(), Name::data_blob_format) : Ref();
    const int spectral = format ? is_true_value(st, format.get(), Name::spectral_hdr) : -1;
    if (spectral < 0)
        return Ref();
    if (spectral) {
        // The series reader keeps only the extent and point count of a
        // header no one else sees: then the header is read, not built.
        const Record& rec = main_spectral_header_record;
        Ref cls = st.global(Name::MainSpectralHeader);
        if (const char* p = cls && seq->for_series ? take_unbuilt(st, nf, cls.get(), rec) : nullptr) {
            Ref n = flat_field(rec, p, Name::num_points);
            seq->points = n ? PyLong_AsSsize_t(n.get()) : -1;  // a u32: it fits
            Ref first = n ? flat_field(rec, p, Name::first_x) : Ref();
            Ref last = first ? flat_field(rec, p, Name::last_x) : Ref();
            seq->extent = last ? range_dict(st, first.get(), last.get(), n.get()).release() : nullptr;
            if (!seq->extent)
                return Ref();
        } else {
            Ref header = cls && !PyErr_Occurred() ? construct(st, nf, cls.get(), rec) : Ref();
            if (!header || PyDict_SetItem(headers.get(), cls.get(), header.get()) < 0)
                return Ref();
            seq->spectral_header = header.release();
        }
    }
    const int bench = is_true_value(st, format.get(), Name::bench_hdr);
    if (bench < 0)
        return Ref();
    if (bench) {
        Ref cls = st.global(Name::BenchInfo);
        Ref info_record = cls ? construct(st, nf, cls.get(), bench_info_record) : Ref();
        if (!info_record || PyDict_SetItem(headers.get(), cls.get(), info_record.get()) < 0)
            return Ref();
    }
    return headers;
}

// The second request: choose the mini header class and count the spectra.
bool start_spectra(State& st, LinkedData* seq)
{
    Ref link = value_of(st, seq->array, Name::link);
    const int ver3 = link ? is_true_value(st, link.get(), Name::mini_header_type) : -1;
    if (ver3 < 0)
        return false;
    seq->header_record = ver3 ? &series_specheader_ver3_record : &series_specheader_record;
    Ref cls = st.global(seq->header_record->class_name);
    if (!cls)
        return false;
    seq->header_class = cls.release();
    Ref format = value_of(st, link.get(), Name::data_blob_format);
    const int mini = format ? is_true_value(st, format.get(), Name::mini_hdr) : -1;
    if (mini < 0)
        return false;
    seq->mini_headers = mini;

    std::int64_t n;
    int overflow;
    if (!index_to_int64(seq->n_spectra, n, overflow))
        return false;
    seq->remaining = overflow > 0 ? LLONG_MAX : overflow < 0 || n < 0 ? 0 : n;
    return true;
}

void raise_short_values() { PyErr_SetString(PyExc_EOFError, "read() didn't return enough bytes"); }

// A new array of `count` values, filled by `read(dst, bytes)`, which returns
// how many bytes it read or -1 on error.
template <typename Read>
Ref new_values(LinkedData* seq, Py_ssize_t count, Read read)
{
    const Py_ssize_t bytes = count * seq->item_size;
    Ref values(PySequence_Repeat(seq->zero_value, count));
    if (!values)
        return values;
    Py_buffer view;
    if (PyObject_GetBuffer(values.get(), &view, PyBUF_WRITABLE) < 0)
        return Ref();
    const Py_ssize_t got = read(static_cast<char*>(view.buf), bytes);
    if (got > 0)
        to_native_order(static_cast<char*>(view.buf), got, seq->item_size);
    PyBuffer_Release(&view);
    if (got < 0)
        return Ref();
    if (got < bytes) {
        raise_short_values();
        return Ref();
    }
    return values;
}

// Where a file's size is not known, values are read in steps that double,
// so that no more is allocated than the file turned out to hold.
constexpr Py_ssize_t unknown_size_step = 1 << 20;

Ref read_values_in_steps(LinkedData* seq, Py_ssize_t count)
{
    const Py_ssize_t bytes = count * seq->item_size;
    Py_ssize_t have;
    char* data = native_read_growing(reinterpret_cast<NativeFile*>(seq->handle), bytes, unknown_size_step, have);
    Ref values = !data || have < bytes ? Ref() : new_values(seq, count, [data](char* dst, Py_ssize_t n) {
        std::memcpy(dst, data, static_cast<std::size_t>(n));
        return n;
    });
    if (data && have < bytes)
        raise_short_values();
    PyMem_RawFree(data);
    return values;
}

// A new array of `count` values read from the handle.
Ref read_values(LinkedData* seq, Py_ssize_t count)
{
    auto* nf = reinterpret_cast<NativeFile*>(seq->handle);
    if (count > PY_SSIZE_T_MAX / seq->item_size || !native_may_hold(nf, count * seq->item_size)) {
        raise_short_values();  // refused before allocating for a count the file cannot hold
        return Ref();
    }
    if (count * seq->item_size > unknown_size_step && !native_size_known(nf))
        return read_values_in_steps(seq, count);
    return new_values(seq, count, [nf](char* dst, Py_ssize_t n) { return native_read_into(nf, dst, n); });
}

// The spectral header's num_points, read again for every spectrum as the
// caller may change it.  -1 on error.
Py_ssize_t spectrum_points(State& st, LinkedData* seq)
{
    if (seq->points >= 0)
        return seq->points;
    Ref num_points(PyObject_GetAttr(seq->spectral_header, st.name(Name::num_points)));
    const Py_ssize_t count = num_points ? PyNumber_AsSsize_t(num_points.get(), PyExc_OverflowError) : -1;
    if (count < 0 && !PyErr_Occurred())
        PyErr_SetString(PyExc_ValueError, "negative count");
    return count;
}

// The spec_title of the next mini header, as constructing it and reading
// the attribute would give it.  Natively only the title's bytes are
// decoded, where the file holds the whole mini header.
Ref read_title(State& st, LinkedData* seq, NativeFile* nf)
{
    const Record& rec = *seq->header_record;
    if (const char* p = take_unbuilt(st, nf, seq->header_class, rec))
        return flat_field(rec, p, Name::spec_title);
    Ref header = PyErr_Occurred() ? Ref() : construct(st, nf, seq->header_class, rec);
    return header ? Ref(PyObject_GetAttr(header.get(), st.name(Name::spec_title))) : Ref();
}

// The next item: at the first request the headers dictionary (in `header`),
// then each spectrum's mini header (or only its title, when `title_only`;
// None without mini headers) and its values.  1, or 0 at the end.
int read_item(State& st, LinkedData* seq, Ref& header, Ref& values, bool title_only)
{
    if (seq->stage == LinkedData::finished)
        return 0;
    if (seq->stage == LinkedData::created) {
        seq->stage = LinkedData::at_headers;
        return (header = read_headers(st, seq)) ? 1 : -1;
    }
    if (seq->stage == LinkedData::at_headers) {
        if (!start_spectra(st, seq))
            return -1;
        seq->stage = LinkedData::at_spectra;
    }
    if (seq->remaining == 0) {
        seq->release();
        return 0;
    }
    if (!seq->spectral_header && seq->points < 0) {
        PyErr_SetString(PyExc_RuntimeError, "Can not read spectra without a spectral header.");
        return -1;
    }
    if (seq->mini_headers) {
        auto* nf = reinterpret_cast<NativeFile*>(seq->handle);
        header = title_only ? read_title(st, seq, nf) : construct(st, nf, seq->header_class, *seq->header_record);
        if (!header)
            return -1;
    } else {
        header = Ref::borrow(Py_None);
    }
    const Py_ssize_t count = spectrum_points(st, seq);
    if (count < 0)
        return -1;
    values = read_values(seq, count);
    if (!values)
        return -1;
    if (--seq->remaining == 0)
        seq->release();  // the last spectrum is read: close the handle at once
    return 1;
}

// read_item, ending the sequence on an error.
int next_item(State& st, LinkedData* seq, Ref& header, Ref& values, bool title_only)
{
    const int status = read_item(st, seq, header, values, title_only);
    if (status < 0) {
        seq->release();
        stop_iteration_to_runtime_error();
    }
    return status;
}

PyObject* LinkedData::next(PyObject* self)
{
    auto* seq = reinterpret_cast<LinkedData*>(self);
    State& st = class_state(Py_TYPE(self));
    OwnCall call(st);
    Running running(seq->running);  // a request is one: not re-entered meanwhile
    if (!running)
        return nullptr;
    const bool headers = seq->stage == LinkedData::created;
    Ref header, values;
    if (next_item(st, seq, header, values, false) <= 0)
        return nullptr;
    return headers ? header.release() : PyTuple_Pack(2, header.get(), values.get());
}

}  // namespace

PyType_Spec linked_data_spec = NativeIterator<LinkedData>::spec("quorinreader._LinkedData");

bool is_own_read_linked_data(PyObject* method, PyObject* array)
{
    return PyCFunction_Check(method) && PyCFunction_GET_FUNCTION(method) == read_linked_data_def.ml_meth &&
           PyCFunction_GET_SELF(method) == array;
}

Ref new_linked_data(State& st, PyObject* array, PyObject* file, PyObject* n_spectra, Ref handle, Ref types,
                    bool for_series)
{
    auto* type = reinterpret_cast<PyTypeObject*>(st.linked_data_type.get());
    auto* seq = PyObject_GC_New(LinkedData, type);
    if (!seq)
        return Ref();
    seq->array = Py_NewRef(array);
    seq->file = Py_NewRef(file);
    seq->n_spectra = Py_NewRef(n_spectra);
    seq->handle = handle.release();
    seq->types = types.release();
    seq->spectral_header = seq->extent = seq->header_class = seq->zero_value = nullptr;
    seq->points = -1;
    seq->for_series = for_series;
    seq->header_record = nullptr;
    seq->remaining = 0;
    seq->item_size = 0;
    seq->stage = LinkedData::created;
    seq->mini_headers = false;
    seq->running = false;
    PyObject_GC_Track(seq);
    return Ref(reinterpret_cast<PyObject*>(seq));
}

Ref range_dict(State& st, PyObject* first, PyObject* last, PyObject* n)
{
    Ref dict(PyDict_New());
    if (!dict || PyDict_SetItem(dict.get(), st.name(Name::first), first) < 0 ||
        PyDict_SetItem(dict.get(), st.name(Name::last), last) < 0 || PyDict_SetItem(dict.get(), st.name(Name::n), n) < 0)
        return Ref();
    return dict;
}

// The bytes before the dimensions, and those of each dimension.
constexpr Py_ssize_t array_head_size = 568;

Ref take_array_bytes(State& st, NativeFile* f, const Record& rec)
{
    if (&rec != &disk_resident_array_record || native_holds(f, array_head_size) <= 0)
        return Ref();
    Ref count = flat_field(rec, f->buf + f->pos, Name::num_dimensions);  // a u32
    const Py_ssize_t size =
        array_head_size + static_cast<Py_ssize_t>(PyLong_AsSize_t(count.get())) * st.flat_sizes[static_cast<std::size_t>(RecordId::Dimension)];
    return native_holds(f, size) > 0 ? Ref(PyBytes_FromStringAndSize(native_take(st, f, size), size)) : Ref();
}

Ref dimension_field(State& st, PyObject* array_bytes, Py_ssize_t i, Name name)
{
    const Py_ssize_t size = st.flat_sizes[static_cast<std::size_t>(RecordId::Dimension)];
    return flat_field(dimension_record, PyBytes_AS_STRING(array_bytes) + array_head_size + i * size, name);
}

PyObject* blob_extent(PyObject* linked_data) { return reinterpret_cast<LinkedData*>(linked_data)->extent; }

int next_title(State& st, PyObject* linked_data, Ref& title, Ref& values)
{
    // The series reader's own request guards the series, and this one the
    // sequence: a caller's mini header class runs meanwhile, and may find
    // the sequence (through gc) and close it under the handle being read.
    auto* seq = reinterpret_cast<LinkedData*>(linked_data);
    Running running(seq->running);
    return running ? next_item(st, seq, title, values, true) : -1;
}

}  // namespace quorin
