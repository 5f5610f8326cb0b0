#include "container.hpp"

#include "generator.hpp"
#include "nativefile.hpp"
#include "plainclass.hpp"

namespace quorin {

// The directory entry layouts: 16 bytes, or 22 with a 64-bit offset.
constexpr Field index_entry_fields[] = {
    u16(Name::section_type), u32(Name::section_offset), u32(Name::section_length),
    u16(Name::index_unsigned), u32(Name::index_long),
};
constexpr Step index_entry_steps[] = {group(index_entry_fields)};
const Record index_entry_record = {RecordId::IndexEntry, Name::IndexEntry, "\n    ST_INDEX_ENTRY\n    ", nullptr,
                                   index_entry_steps};

constexpr Field index_entry_extended_fields[] = {
    u16(Name::section_type), u64(Name::section_offset), u32(Name::section_length),
    u32(Name::index_unsigned), u32(Name::index_long),
};
constexpr Step index_entry_extended_steps[] = {group(index_entry_extended_fields)};
const Record index_entry_extended_record = {RecordId::IndexEntryExtended, Name::IndexEntryExtended,
                                            "\n    ST_INDEX_ENTRY_EXTENDED\n    ", &index_entry_record,
                                            index_entry_extended_steps};

// The file header is 304 packed bytes, followed by the directory; a signature
// whose text contains "Exte" announces the extended entries.
constexpr Field file_header_byte_fields[] = {byte(Name::hard_eof), pad(1)};
constexpr Field file_header_number_fields[] = {
    u16(Name::file_type), u16(Name::version), pad(2), u16(Name::num_sections), u32(Name::time), u32(Name::ex_time),
};
constexpr Step file_header_steps[] = {
    text(Name::sti_id_string, Name::ST_ID_LENGTH),
    text(Name::file_id, Name::FILE_ID_LENGTH),
    group(file_header_byte_fields),
    group(file_header_number_fields),
    list(Name::sections, Name::num_sections, index_entry_record, index_entry_extended_record, Name::sti_id_string,
         Name::text_exte),
};
const Record file_header_record = {RecordId::FileHeader, Name::FileHeader, "\n    ST_FILE_HEADER\n    ", nullptr,
                                   file_header_steps};

namespace {

// Whether directory entry `entry` has section type `t`, by `entry.section_type == t`.
int has_type(State& st, PyObject* entry, PyObject* t)
{
    Ref type(PyObject_GetAttr(entry, st.name(Name::section_type)));
    Ref equal(type ? PyObject_RichCompare(type.get(), t, Py_EQ) : nullptr);
    return equal ? PyObject_IsTrue(equal.get()) : -1;
}

// An iterator over self.info.sections.
Ref iterate_sections(State& st, PyObject* spa)
{
    Ref info(PyObject_GetAttr(spa, st.name(Name::info)));
    Ref sections(info ? PyObject_GetAttr(info.get(), st.name(Name::sections)) : nullptr);
    return sections ? Ref(PyObject_GetIter(sections.get())) : Ref();
}

// self.read_basic_info(), where it is the module's own method: from the file
// at self.filename, self.info = FileHeader(f).
bool read_basic_info(State& st, PyObject* self)
{
    Ref filename(PyObject_GetAttr(self, st.name(Name::filename)));
    Ref header_class = filename ? st.global(Name::FileHeader) : Ref();
    Ref header = header_class ? read_record_at(st, filename.get(), nullptr, header_class.get()) : Ref();
    return header && PyObject_SetAttr(self, st.name(Name::info), header.get()) == 0;
}

PyObject* spa_read_basic_info(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames)
{
    if (!bind_arguments("read_basic_info", args, nargs, kwnames, {}, nullptr))
        return nullptr;
    if (!read_basic_info(class_state(cls), self))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* spa_init(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    static constexpr const char* params[] = {"filename"};
    PyObject* filename;
    if (!bind_arguments("__init__", args, nargs, kwnames, params, &filename))
        return nullptr;
    State& st = class_state(cls);
    if (PyObject_SetAttr(self, st.name(Name::filename), filename) < 0)
        return nullptr;
    Ref done(PyObject_CallMethodNoArgs(self, st.name(Name::read_basic_info)));
    return done ? Py_NewRef(Py_None) : nullptr;
}

PyObject* spa_find_indextype(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames)
{
    static constexpr const char* params[] = {"t"};
    PyObject* t;
    if (!bind_arguments("find_indextype", args, nargs, kwnames, params, &t))
        return nullptr;
    return find_index(class_state(cls), self, t).release();
}

// The native iterator behind find_indextypes.
struct IndexTypes {
    PyObject_HEAD
    PyObject* spa;      // owned
    PyObject* t;        // owned
    PyObject* entries;  // owned; null until the first request
    Py_ssize_t index;
    bool done;
    bool running;

    void release()
    {
        done = true;
        Py_CLEAR(spa);
        Py_CLEAR(t);
        Py_CLEAR(entries);
    }
    int visit(visitproc visit, void* arg)
    {
        Py_VISIT(spa);
        Py_VISIT(t);
        Py_VISIT(entries);
        return 0;
    }
    static PyObject* next(PyObject* self);
};

PyObject* IndexTypes::next(PyObject* self)
{
    auto* it = reinterpret_cast<IndexTypes*>(self);
    Running running(it->running);
    if (!running || it->done)
        return nullptr;
    State& st = class_state(Py_TYPE(self));
    if (!it->entries)
        it->entries = iterate_sections(st, it->spa).release();
    while (it->entries) {
        Ref entry(PyIter_Next(it->entries));
        if (!entry)
            break;
        const int found = has_type(st, entry.get(), it->t);
        if (found < 0)
            break;
        const Py_ssize_t index = it->index++;
        if (found)
            return PyLong_FromSsize_t(index);
    }
    it->release();
    stop_iteration_to_runtime_error();
    return nullptr;
}

PyObject* spa_find_indextypes(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames)
{
    static constexpr const char* params[] = {"t"};
    PyObject* t;
    if (!bind_arguments("find_indextypes", args, nargs, kwnames, params, &t))
        return nullptr;
    State& st = class_state(cls);
    auto* type = reinterpret_cast<PyTypeObject*>(st.indextypes_type.get());
    auto* it = PyObject_GC_New(IndexTypes, type);
    if (!it)
        return nullptr;
    it->spa = Py_NewRef(self);
    it->t = Py_NewRef(t);
    it->entries = nullptr;
    it->index = 0;
    it->done = false;
    it->running = false;
    PyObject_GC_Track(it);
    Ref iterator(reinterpret_cast<PyObject*>(it));
    return make_generator(st.find_indextypes_shell.get(), iterator.get()).release();
}

PyObject* spa_read(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
{
    static constexpr const char* params[] = {"index"};
    PyObject* index;
    if (!bind_arguments("read", args, nargs, kwnames, params, &index))
        return nullptr;
    State& st = class_state(cls);
    Ref record_class, offset;
    if (!section_class_and_offset(st, self, index, record_class, offset))
        return nullptr;
    PyObject* call[] = {self, record_class.get(), offset.get()};
    return PyObject_VectorcallMethod(st.name(Name::read_offset), call, 3, nullptr);
}

PyObject* spa_read_offset(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames)
{
    static constexpr const char* params[] = {"rclass", "offset"};
    PyObject* argv[2];
    if (!bind_arguments("read_offset", args, nargs, kwnames, params, argv))
        return nullptr;
    State& st = class_state(cls);
    Ref filename(PyObject_GetAttr(self, st.name(Name::filename)));
    return filename ? read_record_at(st, filename.get(), argv[1], argv[0]).release() : nullptr;
}

PyMethodDef spa_method_defs[] = {
    {"read_basic_info", as_cfunction(spa_read_basic_info), method_flags,
     "read_basic_info($self, /)\n--\n\nRead the file header and the section directory into info."},
    {"__init__", as_cfunction(spa_init), method_flags,
     "__init__($self, /, filename)\n--\n\nOpen a spectral file and read its header and directory."},
    {"find_indextype", as_cfunction(spa_find_indextype), method_flags,
     "find_indextype($self, /, t)\n--\n\nThe index of the first section of type t, or None."},
    {"find_indextypes", as_cfunction(spa_find_indextypes), method_flags,
     "find_indextypes($self, /, t)\n--\n\nA generator of the indices of all sections of type t."},
    {"read", as_cfunction(spa_read), method_flags,
     "read($self, /, index)\n--\n\nRead the section at directory position index with its record class."},
    {"read_offset", as_cfunction(spa_read_offset), method_flags,
     "read_offset($self, /, rclass, offset)\n--\n\nConstruct rclass from the file opened at byte offset."},
};

const Member spa_member_table[] = {
    {"type", nullptr},
    {"read_basic_info", &spa_method_defs[0]},
    {"__init__", &spa_method_defs[1]},
    {"find_indextype", &spa_method_defs[2]},
    {"find_indextypes", &spa_method_defs[3]},
    {"read", &spa_method_defs[4]},
    {"read_offset", &spa_method_defs[5]},
};

}  // namespace

const std::span<const Member> spa_file_members = spa_member_table;

namespace {

// Walks self.info.sections as find_indextypes does, calling found(i) for the
// index of every entry of type t until it returns false: 1 when it stopped
// so, 0 at the end of the directory, -1 on error.
template <typename Found>
int walk_sections(State& st, PyObject* spa, PyObject* t, Found found)
{
    Ref entries = iterate_sections(st, spa);
    if (!entries)
        return -1;
    for (Py_ssize_t i = 0;; ++i) {
        Ref entry(PyIter_Next(entries.get()));
        if (!entry)
            return PyErr_Occurred() ? -1 : 0;
        const int matches = has_type(st, entry.get(), t);
        if (matches < 0)
            return -1;
        if (matches) {
            const int more = found(i);
            if (more <= 0)
                return more < 0 ? -1 : 1;
        }
    }
}

}  // namespace

Ref construct_spa_file(State& st, PyObject* cls, PyObject* filename)
{
    const int native = st.is_own(cls, Name::SPAFile) ? st.own(Scope{1} << State::spa_class) : 0;
    if (native <= 0)
        return native < 0 ? Ref() : Ref(PyObject_CallOneArg(cls, filename));
    // What type.__call__ does here: object.__new__(cls), then __init__,
    // which stores the path and reads the header through read_basic_info.
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    Ref self(type->tp_alloc(type, 0));
    if (!self || PyObject_SetAttr(self.get(), st.name(Name::filename), filename) < 0 ||
        !read_basic_info(st, self.get()))
        return Ref();
    return self;
}

Ref find_index(State& st, PyObject* spa, PyObject* t)
{
    Ref index;
    const int status = walk_sections(st, spa, t, [&](Py_ssize_t i) {
        index = Ref(PyLong_FromSsize_t(i));
        return index ? 0 : -1;
    });
    return status < 0 ? Ref() : status ? std::move(index) : Ref::borrow(Py_None);
}

Ref find_indices(State& st, PyObject* spa, PyObject* t)
{
    Ref found(PyList_New(0));
    const int status = !found ? -1 : walk_sections(st, spa, t, [&](Py_ssize_t i) {
        Ref index(PyLong_FromSsize_t(i));
        return index && PyList_Append(found.get(), index.get()) == 0 ? 1 : -1;
    });
    return status < 0 ? Ref() : std::move(found);
}

bool section_class_and_offset(State& st, PyObject* spa, PyObject* index, Ref& record_class, Ref& offset)
{
    Ref info(PyObject_GetAttr(spa, st.name(Name::info)));
    Ref sections(info ? PyObject_GetAttr(info.get(), st.name(Name::sections)) : nullptr);
    Ref section(sections ? PyObject_GetItem(sections.get(), index) : nullptr);
    Ref registry = section ? st.global(Name::TYPE_CLASS) : Ref();
    Ref type(registry ? PyObject_GetAttr(section.get(), st.name(Name::section_type)) : nullptr);
    record_class = Ref(type ? PyObject_GetItem(registry.get(), type.get()) : nullptr);
    offset = Ref(record_class ? PyObject_GetAttr(section.get(), st.name(Name::section_offset)) : nullptr);
    return static_cast<bool>(offset);
}

int is_own_spa_file(State& st, PyObject* obj)
{
    if (Py_TYPE(obj) != reinterpret_cast<PyTypeObject*>(st.bound[index(Name::SPAFile)].get()))
        return 0;
    const int own = st.own(Scope{1} << State::spa_class);
    if (own <= 0)
        return own;
    // An instance attribute would hide a method.
    Ref dict = plain_instance_dict(obj);
    for (Name m : {Name::find_indextype, Name::find_indextypes, Name::read, Name::read_offset}) {
        const int hidden = dict ? PyDict_Contains(dict.get(), st.name(m)) : 0;
        if (hidden)
            return hidden < 0 ? -1 : 0;
    }
    return 1;
}

PyType_Spec indextypes_spec = NativeIterator<IndexTypes>::spec("quorinreader._IndexTypes");

bool bind_registry(State& st)
{
    PyObject* spectral = st.bound[index(Name::MainSpectralHeader)].get();
    PyObject* series = st.bound[index(Name::SeriesHeader)].get();
    PyObject* array = st.bound[index(Name::DiskResidentArray)].get();
    Ref type_class(Py_BuildValue("{i:O,i:O,i:O}", 2, spectral, 325, series, 300, array));
    Ref class_type(Py_BuildValue("{O:i,O:i,O:i}", spectral, 2, series, 325, array, 300));
    if (!type_class || !class_type || PyDict_SetItem(st.globals, st.name(Name::TYPE_CLASS), type_class.get()) < 0 ||
        PyDict_SetItem(st.globals, st.name(Name::CLASS_TYPE), class_type.get()) < 0)
        return false;
    st.bound[index(Name::TYPE_CLASS)] = std::move(type_class);
    st.bound[index(Name::CLASS_TYPE)] = std::move(class_type);
    return true;
}

Ref read_record_through(State& st, PyObject* spa, Ref& handle, PyObject* offset, PyObject* cls, Unbuilt unbuilt,
                        bool* was_unbuilt)
{
    Ref filename(PyObject_GetAttr(spa, st.name(Name::filename)));
    if (!filename)
        return {};
    const Record* rec = st.record_of(cls);
    const int own = rec ? st.own(st.scopes[static_cast<std::size_t>(rec->id)]) : 0;
    if (own < 0)
        return {};
    if (!own) {
        // The caller's code runs: it sees what read_offset would give it, and
        // whatever it did, later reads open the file afresh.
        if (handle)
            native_close(reinterpret_cast<NativeFile*>(handle.get()));
        handle.reset();
        return read_record_at(st, filename.get(), offset, cls);
    }
    if (!handle && !(handle = native_open(st, filename.get())))
        return {};
    auto* file = reinterpret_cast<NativeFile*>(handle.get());
    if (!native_seek(file, offset))
        return {};
    if (unbuilt) {
        Ref kept = unbuilt(st, file, *rec);
        if (kept || PyErr_Occurred()) {
            *was_unbuilt = true;
            return kept;
        }
    }
    NativeSource src(st, file);
    return Decoder(st, src).construct_own(*rec);
}

Ref read_record_at(State& st, PyObject* filename, PyObject* offset, PyObject* cls)
{
    const Record* rec = st.record_of(cls);
    const int own = rec ? st.own(st.scopes[static_cast<std::size_t>(rec->id)]) : 0;
    PyObject* args[] = {filename, cls, offset};  // with a file opened by io.open, as read_offset does
    if (own <= 0)
        return own < 0 ? Ref() : Ref(PyObject_Vectorcall(st.read_with.get(), args, offset ? 3 : 2, nullptr));
    ClosingFile file(native_open(st, filename));
    if (!file || (offset && !native_seek(file.get(), offset)))
        return Ref();
    NativeSource src(st, file.get());
    return Decoder(st, src).construct_own(*rec);
}

}  // namespace quorin
