#include "container.hpp"

#include "compat.hpp"
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

// self.read_basic_info(), where it is the module's own method: from the file
// at self.filename, self.info = FileHeader(f).
bool read_basic_info(State& st, PyObject* self)
{
    Ref filename(PyObject_GetAttr(self, st.name(Name::filename)));
    Ref header_class = filename ? st.global(Name::FileHeader) : Ref();
    Ref handle;
    Ref header = header_class ? read_record_at(st, filename.get(), handle, nullptr, header_class.get()) : Ref();
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

PyObject* spa_read_offset(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames)
{
    static constexpr const char* params[] = {"rclass", "offset"};
    PyObject* argv[2];
    if (!bind_arguments("read_offset", args, nargs, kwnames, params, argv))
        return nullptr;
    State& st = class_state(cls);
    Ref filename(PyObject_GetAttr(self, st.name(Name::filename)));
    Ref handle;
    return filename ? read_record_at(st, filename.get(), handle, argv[1], argv[0]).release() : nullptr;
}

PyMethodDef spa_method_defs[] = {
    {"read_basic_info", as_cfunction(spa_read_basic_info), method_flags,
     "read_basic_info($self, /)\n--\n\nRead the file header and the section directory into info."},
    {"read_offset", as_cfunction(spa_read_offset), method_flags,
     "read_offset($self, /, rclass, offset)\n--\n\nConstruct rclass from the file opened at byte offset."},
};

// None stands for the class attribute `type` and for the methods written in Python.
const Member spa_member_table[] = {
    {"type", nullptr},
    {"read_basic_info", &spa_method_defs[0]},
    {"__init__", nullptr},
    {"find_indextype", nullptr},
    {"find_indextypes", nullptr},
    {"read", nullptr},
    {"read_offset", &spa_method_defs[1]},
};

}  // namespace

// What needs no native road is Python, as a class statement would hold it:
// no pass calls these methods while they are the module's own (see
// construct_spa_file, section_types and section_class_and_offset).
constexpr const char* spa_file_python = R"(
class SPAFile:
    def __init__(self, filename):
        self.filename = filename
        self.read_basic_info()

    def find_indextype(self, t):
        for i, s in enumerate(self.info.sections):
            if s.section_type == t:
                return i
        return None

    def find_indextypes(self, t):
        for i, s in enumerate(self.info.sections):
            if s.section_type == t:
                yield i

    def read(self, index):
        section = self.info.sections[index]
        return self.read_offset(TYPE_CLASS[section.section_type], section.section_offset)
)";

Ref make_spa_file_class(State& st, PyObject* module)
{
    Ref cls = make_plain_class(module, "quorinreader.SPAFile", nullptr, nullptr, spa_member_table);
    return cls && bind_python_methods(cls.get(), spa_file_python, st.globals) ? std::move(cls) : Ref();
}

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

Ref section_types(State& st, PyObject* spa)
{
    Ref info(PyObject_GetAttr(spa, st.name(Name::info)));
    Ref sections(info ? PyObject_GetAttr(info.get(), st.name(Name::sections)) : nullptr);
    Ref entries(sections ? PyObject_GetIter(sections.get()) : nullptr);
    Ref types(entries ? PyList_New(0) : nullptr);
    if (!types)
        return Ref();
    while (Ref entry{PyIter_Next(entries.get())}) {
        Ref type(PyObject_GetAttr(entry.get(), st.name(Name::section_type)));
        if (!type || PyList_Append(types.get(), type.get()) < 0)
            return Ref();
    }
    return PyErr_Occurred() ? Ref() : std::move(types);
}

Ref indices_of_type(PyObject* types, PyObject* t, bool first_only)
{
    Ref found(first_only ? nullptr : PyList_New(0));
    if (!first_only && !found)
        return Ref();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(types); ++i) {
        // Held across the comparison, which runs the caller's __eq__.
        Ref type = list_get_ref(types, i);
        Ref equal(type ? PyObject_RichCompare(type.get(), t, Py_EQ) : nullptr);
        const int matches = equal ? PyObject_IsTrue(equal.get()) : -1;
        Ref index(matches > 0 ? PyLong_FromSsize_t(i) : nullptr);
        if (matches < 0 || (matches && !index))
            return Ref();
        if (matches && first_only)
            return index;
        if (matches && PyList_Append(found.get(), index.get()) < 0)
            return Ref();
    }
    return first_only ? Ref::borrow(Py_None) : std::move(found);
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

Ref read_record_at(State& st, PyObject* filename, Ref& handle, PyObject* offset, PyObject* cls, Unbuilt unbuilt,
                   bool* was_unbuilt)
{
    const Record* rec = st.record_of(cls);
    const int own = rec ? st.own(st.scopes[static_cast<std::size_t>(rec->id)]) : 0;
    if (own <= 0) {
        // The caller's code runs: it sees what read_offset would give it (a
        // file opened by io.open), and whatever it did, later reads open the
        // file afresh.
        if (handle)
            native_close(reinterpret_cast<NativeFile*>(handle.get()));
        handle.reset();
        PyObject* args[] = {filename, cls, offset};
        return own < 0 ? Ref() : Ref(PyObject_Vectorcall(st.read_with.get(), args, offset ? 3 : 2, nullptr));
    }
    if (!handle && !(handle = native_open(st, filename)))
        return {};
    auto* file = reinterpret_cast<NativeFile*>(handle.get());
    if (offset && !native_seek(file, offset))
        return {};
    if (unbuilt) {
        Ref kept = unbuilt(st, file, *rec);
        if (kept || PyErr_Occurred()) {
            *was_unbuilt = true;
            return kept;
        }
    }
    NativeSource src(st, file);
    return construct_own(st, src, *rec);
}

}  // namespace quorin
