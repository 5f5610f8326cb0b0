#include "state.hpp"

#include <cstring>

namespace quorin {

Ref State::global(Name n) const
{
    PyObject* obj = PyDict_GetItemWithError(globals, name(n));
    if (!obj && !PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name(n));
    return Ref::borrow(obj);
}

bool State::is_own_record_class(PyObject* cls, const Record& rec) const
{
    if (!is_own(cls, rec.class_name))
        return false;
    // A caller may have replaced the class's __new__ or __init__; then they must run.
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (PyType_GetSlot(type, Py_tp_new) != PyType_GetSlot(&PyBaseObject_Type, Py_tp_new))
        return false;
    Ref init(PyObject_GetAttr(cls, name(Name::dunder_init)));
    if (!init)
        PyErr_Clear();
    return init.get() == inits[static_cast<std::size_t>(rec.id)].get();
}

const Record* State::record_of(PyObject* cls) const
{
    for (const Record* rec : records)
        if (rec && is_own(cls, rec->class_name))
            return rec;
    return nullptr;
}

int State::traverse(visitproc visit, void* arg)
{
    for (Ref& r : bound)
        Py_VISIT(r.get());
    for (Ref& r : inits)
        Py_VISIT(r.get());
    for (Ref* r : {&struct_error, &unsupported_operation, &struct_unpack, &io_open, &typecodes, &zero_f, &zero_d, &native_file_type,
                   &indextypes_type, &linked_data_type, &series_items_type, &reader_type, &mapping_type, &find_indextypes_shell,
                   &read_linked_data_shell, &open_series_shell})
        Py_VISIT(r->get());
    return 0;
}

void State::clear()
{
    for (Ref& r : bound)
        r.reset();
    for (Ref& r : inits)
        r.reset();
    for (Ref* r : {&struct_error, &unsupported_operation, &struct_unpack, &io_open, &typecodes, &zero_f, &zero_d, &native_file_type,
                   &indextypes_type, &linked_data_type, &series_items_type, &reader_type, &mapping_type, &find_indextypes_shell,
                   &read_linked_data_shell, &open_series_shell, &empty_tuple, &series_file_type})
        r->reset();
}

State& module_state(PyObject* module) { return **static_cast<State**>(PyModule_GetState(module)); }

State& class_state(PyTypeObject* cls) { return **static_cast<State**>(PyType_GetModuleState(cls)); }

bool bind_arguments(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<const char* const> params, PyObject** out)
{
    const auto nparams = static_cast<Py_ssize_t>(params.size());
    if (nargs > nparams) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", fname, nparams,
                     nparams == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < nparams; ++i)
        out[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = 0;
        while (i < nparams && PyUnicode_CompareWithASCIIString(key, params[i]) != 0)
            ++i;
        if (i == nparams) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
            return false;
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, params[i]);
            return false;
        }
        out[i] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", fname, params[i], i + 1);
            return false;
        }
    }
    return true;
}

}  // namespace quorin
