#include "series.hpp"

#include "container.hpp"
#include "diskdata.hpp"
#include "generator.hpp"
#include "nativefile.hpp"
#include "plainclass.hpp"
#include "records.hpp"

namespace quorin {
namespace {

// The native iterator behind open_series.
struct SeriesItems {
    PyObject_HEAD
    PyObject* series;  // the Series; its quorin_file is looked up at the first request
    PyObject* blob;    // the blob's sequence, from the first request on
    bool native_blob;  // blob is the module's own sequence, driven without tuples
    bool started;
    bool done;
    bool running;

    void release()
    {
        done = true;
        Py_CLEAR(series);
        Py_CLEAR(blob);  // dropping the blob's sequence closes its handle
    }
    int visit_references(visitproc visit, void* arg)
    {
        Py_VISIT(series);
        Py_VISIT(blob);
        return 0;
    }
    static PyObject* next(PyObject* self);
};

// The sections a pass reads through their classes:
// quorin_file.read(quorin_file.find_indextype(CLASS_TYPE[cls])).  While
// quorin_file and its methods are the module's own, which is decided once
// for the pass, its directory is walked once and the sections are read
// natively through one handle, which reuses the block it read first.  The
// handle and the directory then go on to the blob's sequence, or the handle
// is closed with the reader.  Where a read ran the caller's code, the
// handle is closed and the next read decides afresh.
class SectionReader {
public:
    SectionReader(State& st, PyObject* quorin_file) : st_(st), file_(quorin_file) {}
    ~SectionReader() { close_handle(); }
    SectionReader(const SectionReader&) = delete;
    SectionReader& operator=(const SectionReader&) = delete;

    // The record of the section of `class_name`; or, where reading it
    // natively, what `unbuilt` reads of it (see read_record_at).
    Ref read(Name class_name, Unbuilt unbuilt, bool* was_unbuilt)
    {
        Ref class_type = st_.global(Name::CLASS_TYPE);
        Ref cls = class_type ? st_.global(class_name) : Ref();
        Ref code(cls ? PyObject_GetItem(class_type.get(), cls.get()) : nullptr);
        const int own = !code ? -1 : types_ ? 1 : is_own_spa_file(st_, file_);
        if (own < 0)
            return {};
        if (!own) {
            close_handle();
            Ref index(PyObject_CallMethodOneArg(file_, st_.name(Name::find_indextype), code.get()));
            return index ? Ref(PyObject_CallMethodOneArg(file_, st_.name(Name::read), index.get())) : Ref();
        }
        if (!types_ && !(types_ = section_types(st_, file_)))
            return {};
        Ref index = indices_of_type(types_.get(), code.get(), true);
        Ref record_class, offset;
        if (!index || !section_class_and_offset(st_, file_, index.get(), record_class, offset))
            return {};
        Ref filename(PyObject_GetAttr(file_, st_.name(Name::filename)));
        Ref record = filename ? read_record_at(st_, filename.get(), handle_, offset.get(), record_class.get(), unbuilt,
                                               was_unbuilt)
                              : Ref();
        if (!handle_)
            types_.reset();
        return record;
    }

    // The handle and the directory, for the blob's sequence.
    Ref take_handle() { return std::move(handle_); }
    Ref take_types() { return std::move(types_); }

private:
    void close_handle()
    {
        if (handle_)
            native_close(reinterpret_cast<NativeFile*>(handle_.get()));
        handle_.reset();
        types_.reset();
    }

    State& st_;
    PyObject* file_;  // borrowed from the caller
    Ref handle_;
    Ref types_;  // the directory's section types, while handle_ is open
};

// The rule of a matching dimension, written once: a dimension matches
// when its num_elements equals `count`, and its extent is then
// {"first": first_dim * scale_dim, "last": last_dim * scale_dim, "n": num_elements}.
// `field(name)` reads a field of the dimension.  1 with the extent, 0 where
// the dimension does not match, -1 on error.
template <typename Field>
int matching_extent(State& st, Field field, PyObject* count, Ref& extent)
{
    Ref n = field(Name::num_elements);
    Ref equal(n ? PyObject_RichCompare(n.get(), count, Py_EQ) : nullptr);
    const int match = equal ? PyObject_IsTrue(equal.get()) : -1;
    if (match <= 0)
        return match;
    Ref first_dim = field(Name::first_dim), scale = first_dim ? field(Name::scale_dim) : Ref();
    Ref first(scale ? PyNumber_Multiply(first_dim.get(), scale.get()) : nullptr);
    Ref last_dim = first ? field(Name::last_dim) : Ref();
    Ref last(last_dim ? PyNumber_Multiply(last_dim.get(), scale.get()) : nullptr);
    extent = last ? range_dict(st, first.get(), last.get(), n.get()) : Ref();
    return extent ? 1 : -1;
}

// What matching_dimensions is given and gives: an iterable of dimensions,
// and their extents or (dimension, extent) pairs; or the bytes of a
// disk-resident array (see take_array_bytes), and extents.
enum Matching { as_extents, as_pairs, in_array_bytes };

// The dimensions that match `count`, in order.
Ref matching_dimensions(State& st, PyObject* dimensions, PyObject* count, Matching how)
{
    const bool pairs = how == as_pairs;
    Ref found(PyList_New(0));
    auto keep = [&](const Ref& extent, PyObject* d) {
        Ref item(pairs ? PyTuple_Pack(2, d, extent.get()) : Py_NewRef(extent.get()));
        return item && PyList_Append(found.get(), item.get()) == 0;
    };
    if (found && how == in_array_bytes) {
        Ref n = flat_field(disk_resident_array_record, PyBytes_AS_STRING(dimensions), Name::num_dimensions);
        const Py_ssize_t end = n ? PyLong_AsSsize_t(n.get()) : -1;
        if (end < 0)  // the count could not be made, or does not fit
            return Ref();
        for (Py_ssize_t i = 0; i < end; ++i) {
            Ref extent;
            auto field = [&](Name name) { return dimension_field(st, dimensions, i, name); };
            const int match = matching_extent(st, field, count, extent);
            if (match < 0 || (match && !keep(extent, nullptr)))
                return Ref();
        }
        return found;
    }
    Ref iter(found ? PyObject_GetIter(dimensions) : nullptr);
    if (!iter)
        return Ref();
    while (Ref d{PyIter_Next(iter.get())}) {
        Ref extent;
        auto field = [&](Name name) { return Ref(PyObject_GetAttr(d.get(), st.name(name))); };
        const int match = matching_extent(st, field, count, extent);
        if (match < 0 || (match && !keep(extent, d.get())))
            return Ref();
    }
    return PyErr_Occurred() ? Ref() : std::move(found);
}

PyObject* matching_dimensions_impl(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    static constexpr const char* params[] = {"dimensions", "count"};
    PyObject* argv[2];
    if (!bind_arguments("_matching_dimensions", args, nargs, kwnames, params, argv))
        return nullptr;
    return matching_dimensions(module_state(module), argv[0], argv[1], as_pairs).release();
}

// The series header's max_spectra, read in place of the header (an Unbuilt).
Ref max_spectra_unbuilt(State& st, NativeFile* f, const Record& rec)
{
    const Py_ssize_t size = st.flat_sizes[static_cast<std::size_t>(rec.id)];
    if (&rec != &series_header_record || native_holds(f, size) <= 0)
        return Ref();
    return flat_field(rec, native_take(st, f, size), Name::max_spectra);
}

// The first item: (spectral_info, valid_dims).
Ref first_item(State& st, SeriesItems* items)
{
    Ref quorin_file(PyObject_GetAttr(items->series, st.name(Name::quorin_file)));
    if (!quorin_file)
        return Ref();
    SectionReader sections(st, quorin_file.get());
    bool unbuilt = false, raw = false;  // the header's max_spectra read in its place; the array's bytes
    Ref header = sections.read(Name::SeriesHeader, max_spectra_unbuilt, &unbuilt);
    Ref array = header ? sections.read(Name::DiskResidentArray, take_array_bytes, &raw) : Ref();
    Ref max_spectra = !array ? Ref() : unbuilt ? std::move(header) : Ref(PyObject_GetAttr(header.get(), st.name(Name::max_spectra)));
    Ref method(max_spectra && !raw ? PyObject_GetAttr(array.get(), st.name(Name::read_linked_data)) : nullptr);
    if (!max_spectra || (!raw && !method))
        return Ref();
    if (raw || is_own_read_linked_data(method.get(), array.get())) {
        Ref handle = sections.take_handle();
        items->blob = new_linked_data(st, array.get(), quorin_file.get(), max_spectra.get(), std::move(handle),
                                      sections.take_types(), true)
                          .release();
        items->native_blob = true;
    } else {
        PyObject* call[] = {quorin_file.get(), max_spectra.get()};
        items->blob = PyObject_Vectorcall(method.get(), call, 2, nullptr);
    }
    if (!items->blob)
        return Ref();
    if (!PyIter_Check(items->blob)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not an iterator", Py_TYPE(items->blob)->tp_name);
        return Ref();
    }
    Ref headers(PyIter_Next(items->blob));
    if (!headers) {
        if (!PyErr_Occurred())
            PyErr_SetNone(PyExc_StopIteration);
        return Ref();
    }
    if (!items->native_blob) {
        Ref blob(std::exchange(items->blob, nullptr));
        if (!(items->blob = PyObject_CallOneArg(st.titled.get(), blob.get())))
            return Ref();
    }
    Ref info = Ref::borrow(items->native_blob ? blob_extent(items->blob) : nullptr);
    if (!info) {  // the headers as a consumer of read_linked_data sees them
        Ref key = st.global(Name::MainSpectralHeader);
        Ref spectral(key ? PyObject_GetItem(headers.get(), key.get()) : nullptr);
        Ref first_x(spectral ? PyObject_GetAttr(spectral.get(), st.name(Name::first_x)) : nullptr);
        Ref last_x(first_x ? PyObject_GetAttr(spectral.get(), st.name(Name::last_x)) : nullptr);
        Ref num_points(last_x ? PyObject_GetAttr(spectral.get(), st.name(Name::num_points)) : nullptr);
        info = num_points ? range_dict(st, first_x.get(), last_x.get(), num_points.get()) : Ref();
    }
    Ref dims = !info ? Ref()
               : raw ? Ref::borrow(array.get())
                     : Ref(PyObject_GetAttr(array.get(), st.name(Name::dimensions)));
    Ref valid = dims ? matching_dimensions(st, dims.get(), max_spectra.get(), raw ? in_array_bytes : as_extents)
                     : Ref();
    return valid ? Ref(PyTuple_Pack(2, info.get(), valid.get())) : Ref();
}

// One spectrum's item: ({"title": header.spec_title}, values); 0 at the end.
int next_item(State& st, SeriesItems* items, Ref& item)
{
    if (!items->native_blob) {
        item = Ref(PyIter_Next(items->blob));
        return item ? 1 : PyErr_Occurred() ? -1 : 0;
    }
    Ref title, values;
    const int status = next_title(st, items->blob, title, values);
    if (status <= 0)
        return status;
    Ref titles(PyDict_New());
    if (!titles || PyDict_SetItem(titles.get(), st.name(Name::title), title.get()) < 0)
        return -1;
    item = Ref(PyTuple_Pack(2, titles.get(), values.get()));
    return item ? 1 : -1;
}

PyObject* SeriesItems::next(PyObject* self)
{
    auto* items = reinterpret_cast<SeriesItems*>(self);
    Running running(items->running);
    if (!running || items->done)
        return nullptr;
    State& st = class_state(Py_TYPE(self));
    OwnCall call(st);
    Ref item;
    int status;
    if (!items->started) {
        items->started = true;
        item = first_item(st, items);
        status = item ? 1 : -1;
    } else {
        status = next_item(st, items, item);
    }
    if (status <= 0) {
        items->release();
        stop_iteration_to_runtime_error();
        return nullptr;
    }
    return item.release();
}

PyObject* series_open_series(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames)
{
    if (!bind_arguments("open_series", args, nargs, kwnames, {}, nullptr))
        return nullptr;
    State& st = class_state(cls);
    auto* type = reinterpret_cast<PyTypeObject*>(st.series_items_type.get());
    auto* items = PyObject_GC_New(SeriesItems, type);
    if (!items)
        return nullptr;
    items->series = Py_NewRef(self);
    items->blob = nullptr;
    items->native_blob = items->started = items->done = items->running = false;
    PyObject_GC_Track(items);
    Ref iterator(reinterpret_cast<PyObject*>(items));
    return PyObject_CallOneArg(st.open_series_shell.get(), iterator.get());
}

PyObject* open_file_impl(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    static constexpr const char* params[] = {"filename"};
    PyObject* filename;
    if (!bind_arguments("open_file", args, nargs, kwnames, params, &filename))
        return nullptr;
    State& st = module_state(module);
    OwnCall call(st);
    Ref spa_class = st.global(Name::SPAFile);
    Ref f = spa_class ? construct_spa_file(st, spa_class.get(), filename) : Ref();
    Ref info(f ? PyObject_GetAttr(f.get(), st.name(Name::info)) : nullptr);
    Ref file_type(info ? PyObject_GetAttr(info.get(), st.name(Name::file_type)) : nullptr);
    // Compared with 11 itself: rebinding FT_SERIES changes nothing here.
    Ref equal(file_type ? PyObject_RichCompare(file_type.get(), st.series_file_type.get(), Py_EQ) : nullptr);
    const int is_series = equal ? PyObject_IsTrue(equal.get()) : -1;
    if (is_series < 0)
        return nullptr;
    if (!is_series)
        Py_RETURN_NONE;
    Ref series_class = st.global(Name::Series);
    return series_class ? PyObject_CallOneArg(series_class.get(), f.get()) : nullptr;
}

PyMethodDef open_series_def = {
    "open_series", as_cfunction(series_open_series), method_flags,
    "open_series($self, /)\n--\n\n"
    "A generator: first (spectral_info, valid_dims), then ({\"title\": ...}, values) per spectrum."};

const Member series_member_table[] = {
    {"__init__", nullptr},  // Python, as a class statement would hold it
    {"open_series", &open_series_def},
};

constexpr const char* series_python = R"(
class Series:
    def __init__(self, quorin_file):
        self.quorin_file = quorin_file
)";

}  // namespace

PyMethodDef matching_dimensions_def = {
    "_matching_dimensions", as_cfunction(matching_dimensions_impl), function_flags,
    "_matching_dimensions(dimensions, count)\n--\n\n"
    "(dimension, {\"first\", \"last\", \"n\"}) for each dimension whose num_elements equals count."};

Ref make_series_class(State& st, PyObject* module)
{
    Ref cls = make_plain_class(module, "quorinreader.Series", nullptr, nullptr, series_member_table);
    return cls && bind_python_methods(cls.get(), series_python, st.globals) ? std::move(cls) : Ref();
}

PyType_Spec series_items_spec = NativeIterator<SeriesItems>::spec("quorinreader._SeriesItems");

PyMethodDef open_file_def = {"open_file", as_cfunction(open_file_impl), function_flags,
                             "open_file(filename)\n--\n\n"
                             "A Series for a series file (file type 11), None for any other file."};

}  // namespace quorin
