#include "module.hpp"

#include "bulk.hpp"
#include "compat.hpp"
#include "container.hpp"
#include "diskdata.hpp"
#include "fields.hpp"
#include "generator.hpp"
#include "many.hpp"
#include "nativefile.hpp"
#include "plainclass.hpp"
#include "records.hpp"
#include "series.hpp"
#include "state.hpp"

#include <new>

namespace quorin {
namespace {

// The record classes, in load order.
const Record* const records_in_load_order[] = {
    &file_header_record,         &index_entry_record,         &index_entry_extended_record,
    &main_spectral_header_record, &bench_info_record,         &series_header_record,
    &dimension_record,           &data_blob_format_record,    &link_to_data_record,
    &series_specheader_record,   &series_specheader_ver3_record, &disk_resident_array_record,
};
static_assert(std::size(records_in_load_order) == record_count);

bool bind(State& st, Name name, Ref value)
{
    if (!value || PyDict_SetItem(st.globals, st.name(name), value.get()) < 0)
        return false;
    st.bound[index(name)] = std::move(value);
    return true;
}

// Keeps the namespace of the class `k` (see State::made), its size and its
// entries but __dict__, __doc__ and __module__: those a caller can neither
// delete nor replace with anything a read would see.
bool remember_class(State& st, std::size_t k, PyObject* cls)
{
    PyObject* names = (st.namespaces[k] = own_namespace(reinterpret_cast<PyTypeObject*>(cls))).get();
    st.made_sizes[k] = PyDict_GET_SIZE(names);
    Ref kept(PyList_New(0));
    if (!kept)
        return false;
    Py_ssize_t at = 0;
    PyObject *key, *value;
    while (PyDict_Next(names, &at, &key, &value)) {
        bool fixed = false;
        for (const char* name : {"__dict__", "__doc__", "__module__"})
            fixed = fixed || PyUnicode_CompareWithASCIIString(key, name) == 0;
        if (!fixed && (PyList_Append(kept.get(), key) < 0 || PyList_Append(kept.get(), value) < 0))
            return false;
    }
    return bool(st.made[k] = Ref(PyList_AsTuple(kept.get())));
}

// The classes constructing `rec` uses: its own, its base's and those of the records it holds.
Scope scope_of(const Record& rec)
{
    Scope scope = Scope{1} << static_cast<std::size_t>(rec.id);
    if (rec.base)
        scope |= scope_of(*rec.base);
    for (const Step& step : rec.steps)
        for (const Record* r : {step.record, step.alt_record})
            if (r)
                scope |= scope_of(*r);
    return scope;
}

bool bind_record_classes(State& st, PyObject* module)
{
    for (const Record* rec : records_in_load_order) {
        const auto id = static_cast<std::size_t>(rec->id);
        st.records[id] = rec;
        PyObject* base = rec->base ? st.bound[index(rec->base->class_name)].get() : nullptr;
        const Member members[] = {{"__init__", &record_init_def},
                                  {rec->method ? rec->method->ml_name : "", rec->method}};
        st.class_names[id] = std::string("quorinreader.") + name_texts[index(rec->class_name)];
        Ref cls = make_plain_class(module, st.class_names[id].c_str(), rec->doc, base,
                                   std::span(members, rec->method ? 2 : 1));
        if (!cls)
            return false;
        st.field_dicts[id] = field_dict(st, *rec);
        st.python_steps[id] = python_steps(st, *rec);
        st.flat_sizes[id] = flat_size(*rec);
        st.scopes[id] = scope_of(*rec);
        if (!st.field_dicts[id] || !st.python_steps[id] || !remember_class(st, id, cls.get()) ||
            !bind(st, rec->class_name, std::move(cls)))
            return false;
    }
    return true;
}

Ref function(PyMethodDef* def, PyObject* module)
{
    Ref module_name(PyModule_GetNameObject(module));
    return module_name ? Ref(PyCFunction_NewEx(def, module, module_name.get())) : Ref();
}

Ref import_attribute(const char* module_name, const char* attribute)
{
    Ref module(PyImport_ImportModule(module_name));
    return module ? Ref(PyObject_GetAttrString(module.get(), attribute)) : Ref();
}

// The generic road's Python: where a caller's objects take part, they see
// exactly what Python itself does with them.
constexpr const char* generic_road = R"(
import io, struct

def titled(blob):
    for header, values in blob:
        yield {"title": None if header is None else header.spec_title}, values

def read_with(filename, cls, *offset, open=io.open):
    with open(filename, "rb") as f:
        if offset:
            f.seek(*offset)
        return cls(f)

def read_string(f, max_len, unpack=struct.unpack):
    s = f.read(max_len)
    return decode_string(unpack(str(max_len) + "s", s)[0])

def decode_string(s):
    return s.split(b"\0")[0].decode("ascii", errors="ignore")

# The shells that make the native iterators real generators (see generator.hpp).
def read_linked_data(native):
    yield from native

def open_series(native):
    yield from native

read_linked_data.__qualname__ = "DiskResidentArray.read_linked_data"
open_series.__qualname__ = "Series.open_series"

def bound(names, name):  # as a global name is looked up
    try:
        return names[name]
    except KeyError:
        raise NameError(f"name '{name}' is not defined") from None

# A record's __init__ (cls is its class): each step as the record's own
# Python would take it, calling whatever the module binds when it runs.
# It makes no function per call: a def here crashed 3.12 and 3.13 when an
# allocation failed just after it (tests/test_resources.py).
def decode_into(self, f, cls, steps, unpack=struct.unpack, bound=bound):
    for op, attr, *rest in steps:
        if op == "group":
            size, fmt, fields, chars = rest
            for field, value in zip(fields, unpack(fmt, f.read(size))):
                if type(field) is str:
                    setattr(self, field, value)
                else:
                    for name, bit in field:
                        setattr(self, name, bool(value >> bit & 1))
            for name in chars:
                setattr(self, name, decode_string(getattr(self, name)))
        elif op == "text":
            length = bound(globals(), rest[0]) if type(rest[0]) is str else rest[0]
            setattr(self, attr, read_string(f, length))
        elif op == "nested":
            setattr(self, attr, bound(globals(), rest[0])(f))
        elif op == "list":
            count_attr, name, alt, alt_attr, alt_text = rest
            if alt and alt_text in getattr(self, alt_attr):
                name = alt
            item_class = bound(globals(), name)
            setattr(self, attr, [item_class(f) for _ in range(getattr(self, count_attr))])
        else:
            super(cls, self).__init__(f)
)";

bool set_up_generic_road(State& st)
{
    Ref names = run_python(generic_road);
    if (!names)
        return false;
    for (auto [name, slot] : {std::pair{"titled", &st.titled}, {"read_with", &st.read_with},
                              {"decode_string", &st.decode_any}, {"read_string", &st.read_string_py},
                              {"decode_into", &st.decode_into}, {"read_linked_data", &st.read_linked_data_shell},
                              {"open_series", &st.open_series_shell}})
        if (!(*slot = Ref::borrow(PyDict_GetItemString(names.get(), name))))
            return false;
    // These look the module's names up as bound when they run.
    for (Ref* slot : {&st.read_string_py, &st.decode_into}) {
        PyObject* compiled = slot->get();
        Ref function(PyFunction_New(PyFunction_GetCode(compiled), st.globals));
        if (!function || PyFunction_SetDefaults(function.get(), PyFunction_GetDefaults(compiled)) < 0)
            return false;
        *slot = std::move(function);
    }
    return true;
}

// dir(quorinreader): the public names and the module's own dunders, in the
// order the module binds them; not the helpers of the arrays layer, nor its
// private submodules.
PyObject* module_dir_impl(PyObject* module, PyObject*)
{
    PyObject* names = PyModule_GetDict(module);  // borrowed; nothing below runs Python code
    Ref listed(PyList_New(0));
    Py_ssize_t at = 0;
    PyObject *key, *value;
    while (listed && PyDict_Next(names, &at, &key, &value)) {
        if (!PyUnicode_Check(key))
            continue;
        const Py_ssize_t n = PyUnicode_GET_LENGTH(key);
        const auto ch = [key](Py_ssize_t i) { return PyUnicode_READ_CHAR(key, i); };
        const bool dunder = n > 4 && ch(0) == '_' && ch(1) == '_' && ch(n - 2) == '_' && ch(n - 1) == '_';
        if ((n == 0 || ch(0) != '_' || dunder) && PyList_Append(listed.get(), key) < 0)
            listed.reset();
    }
    return listed.release();
}

PyMethodDef module_dir_def = {"__dir__", module_dir_impl, METH_NOARGS,
                              "__dir__($module, /)\n--\n\nThe public names and the module's own dunders."};

// Everything the module caches that is not one of its public names.
bool set_up_state(State& st, PyObject* module)
{
    for (std::size_t i = 0; i < name_count; ++i) {
        st.names[i] = Ref(PyUnicode_InternFromString(name_texts[i]));
        if (!st.names[i])
            return false;
    }
    st.globals = PyModule_GetDict(module);
    st.struct_error = import_attribute("struct", "error");
    st.unsupported_operation = import_attribute("io", "UnsupportedOperation");
    st.series_file_type = Ref(PyLong_FromLong(ft_series));
    st.native_file_type = Ref(PyType_FromModuleAndSpec(module, &native_file_spec, nullptr));
    st.linked_data_type = Ref(PyType_FromModuleAndSpec(module, &linked_data_spec, nullptr));
    st.series_items_type = Ref(PyType_FromModuleAndSpec(module, &series_items_spec, nullptr));
    st.reader_type = Ref(PyType_FromModuleAndSpec(module, &reader_spec, nullptr));
    st.mapping_type = Ref(PyType_FromModuleAndSpec(module, &mapping_spec, nullptr));
    return set_up_generic_road(st) && st.struct_error && st.unsupported_operation &&
           st.series_file_type && st.native_file_type && st.linked_data_type &&
           st.series_items_type && st.reader_type && st.mapping_type;
}

bool set_up_arrays(State& st)
{
    PyObject* array_type = st.bound[index(Name::array)].get();
    st.zero_f = Ref(PyObject_CallFunction(array_type, "s[d]", "f", 0.0));
    st.zero_d = Ref(PyObject_CallFunction(array_type, "s[d]", "d", 0.0));
    st.typecodes = Ref(Py_BuildValue("{i:s,i:s}", 4, "f", 8, "d"));
    return st.zero_f && st.zero_d && st.typecodes;
}

// Binds the public names in load order.
int exec_module(PyObject* module)
{
    State*& slot = *static_cast<State**>(PyModule_GetState(module));
    slot = new (std::nothrow) State;
    if (!slot) {
        PyErr_NoMemory();
        return -1;
    }
    State& st = *slot;
    if (!set_up_state(st, module))
        return -1;

    const std::pair<Name, long> constants[] = {
        {Name::ST_ID_LENGTH, st_id_length}, {Name::FILE_ID_LENGTH, file_id_length}, {Name::MAX_PATH, max_path},
        {Name::FT_IRDATA, ft_irdata},       {Name::FT_GROUP, ft_group},             {Name::FT_SERIES, ft_series},
    };
    if (!bind(st, Name::struct_module, Ref(PyImport_ImportModule("struct"))) ||
        !bind(st, Name::array, import_attribute("array", "array")) || !set_up_arrays(st))
        return -1;
    for (const auto& [name, value] : constants)
        if (!bind(st, name, Ref(PyLong_FromLong(value))))
            return -1;
    if (!bind(st, Name::decode_string, function(&decode_string_def, module)) ||
        !bind(st, Name::read_string, function(&read_string_def, module)) || !bind_record_classes(st, module) ||
        !bind_registry(st))
        return -1;
    if (!bind(st, Name::SPAFile, make_spa_file_class(st, module)) ||
        !remember_class(st, State::spa_class, st.bound[index(Name::SPAFile)].get()) ||
        !bind(st, Name::Series, make_series_class(st, module)) ||
        !bind(st, Name::open_file, function(&open_file_def, module)))
        return -1;
    // Native helpers of the arrays layer, after the public names.
    if (!bind(st, Name::private_reader, Ref::borrow(st.reader_type.get())) ||
        !bind(st, Name::private_decode_titles, function(&decode_titles_def, module)) ||
        !bind(st, Name::private_record_layout, function(&record_layout_def, module)) ||
        !bind(st, Name::private_matching_dimensions, function(&matching_dimensions_def, module)) ||
        PyModule_AddFunctions(module, many_functions) < 0)
        return -1;
    // Dunders, which no load order names: the package's version and what dir() lists.
    Ref dir_function = function(&module_dir_def, module);
    if (!dir_function || PyModule_AddStringConstant(module, "__version__", QUORIN_VERSION) < 0 ||
        PyDict_SetItemString(st.globals, "__dir__", dir_function.get()) < 0)
        return -1;
    return st.start_watching() ? 0 : -1;
}

int traverse_module(PyObject* module, visitproc visit, void* arg)
{
    State* st = *static_cast<State**>(PyModule_GetState(module));
    return st ? st->traverse(visit, arg) : 0;
}

int clear_module(PyObject* module)
{
    State* st = *static_cast<State**>(PyModule_GetState(module));
    if (st)
        st->clear();
    return 0;
}

void free_module(void* module)
{
    State*& slot = *static_cast<State**>(PyModule_GetState(static_cast<PyObject*>(module)));
    if (slot)
        slot->stop_watching();
    delete slot;
    slot = nullptr;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // Everything lives in the module state and in heap types of the module:
    // each interpreter gets its own, and may have its own GIL.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // The handles and lazy sequences rely on the GIL to keep one thread at a
    // time inside them; without it they would need locks of their own.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quorinreader",
    "A small, exact and fast reader for SPA spectral files (FT-IR and Raman data).",
    sizeof(State*),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace
}  // namespace quorin

PyMODINIT_FUNC PyInit_quorinreader(void) { return PyModuleDef_Init(&quorin::module_def); }
