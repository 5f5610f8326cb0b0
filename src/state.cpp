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

namespace {

// Whether the class `k` (see State::made) is bound under its name and is
// as the module made it: instances made by object's __new__, the same one
// base, and its own namespace holding the same entries (see
// remember_class), so that nothing was added, removed or replaced in place
// (a property, say, that would see attributes being set).
int as_made(State& st, std::size_t k)
{
    const Name name = k == State::spa_class ? Name::SPAFile : st.records[k]->class_name;
    PyObject* cls = st.bound[index(name)].get();
    Ref now = st.global(name);
    if (!now || now.get() != cls)
        return now ? 0 : -1;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    const Record* base = k == State::spa_class ? nullptr : st.records[k]->base;
    PyObject* base_cls = base ? st.bound[index(base->class_name)].get() : reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    auto* bases = static_cast<PyObject*>(PyType_GetSlot(type, Py_tp_bases));
    if (PyType_GetSlot(type, Py_tp_new) != PyType_GetSlot(&PyBaseObject_Type, Py_tp_new) || !bases ||
        !PyTuple_Check(bases) || PyTuple_GET_SIZE(bases) != 1 || PyTuple_GET_ITEM(bases, 0) != base_cls)
        return 0;
    PyObject* names = st.namespaces[k].get();
    PyObject* made = st.made[k].get();
    if (PyDict_GET_SIZE(names) != st.made_sizes[k])
        return 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(made); i += 2) {
        PyObject* value = PyDict_GetItemWithError(names, PyTuple_GET_ITEM(made, i));
        if (value != PyTuple_GET_ITEM(made, i + 1))
            return value || !PyErr_Occurred() ? 0 : -1;
    }
    return 1;
}

// Whether the text functions are the module's own and the length constants
// hold the lengths of its own layouts.
int own_text(State& st)
{
    for (Name n : {Name::decode_string, Name::read_string}) {
        Ref now = st.global(n);
        if (!now || !st.is_own(now.get(), n))
            return now ? 0 : -1;
    }
    for (Name n : {Name::ST_ID_LENGTH, Name::FILE_ID_LENGTH, Name::MAX_PATH}) {
        // Only a plain int: a subclass's text may differ from its value's.
        Ref now = st.global(n);
        int overflow;
        if (!now)
            return -1;
        if (!PyLong_CheckExact(now.get()) || PyLong_AsLongAndOverflow(now.get(), &overflow) != own_length(n))
            return 0;
    }
    return 1;
}

}  // namespace

int State::own(Scope scope)
{
    constexpr Scope text = Scope{1} << class_count;
    if (!(watch.active() ? watch.unchanged(own_stamp) : calls > 0))
        known = 0;
    scope |= text;
    for (std::size_t k = 0; k <= class_count; ++k) {
        const Scope bit = Scope{1} << k;
        if (!(scope & bit) || (known & bit))
            continue;
        const int ok = bit == text ? own_text(*this) : as_made(*this, k);
        if (ok < 0)
            return -1;
        known |= bit;
        found_own = ok ? found_own | bit : found_own & ~bit;
        if (!ok)
            return 0;
    }
    return (found_own & scope) == scope;
}

namespace {

// What the checks depend on: the namespace and the two registries, and the classes.
template <typename Act>
void for_watched(State& st, Act act)
{
    PyObject* const dicts[] = {st.globals, st.bound[index(Name::TYPE_CLASS)].get(),
                               st.bound[index(Name::CLASS_TYPE)].get()};
    PyObject* types[State::class_count];
    std::size_t n = 0;
    for (const Record* rec : st.records)
        types[n++] = rec ? st.bound[index(rec->class_name)].get() : nullptr;
    types[n++] = st.bound[index(Name::SPAFile)].get();
    act(std::span<PyObject* const>(dicts), std::span<PyObject* const>(types, n));
}

}  // namespace

bool State::start_watching()
{
    bool ok = true;
    for_watched(*this, [&](auto dicts, auto types) { ok = watch.start(dicts, types); });
    return ok;
}

void State::stop_watching()
{
    for_watched(*this, [&](auto dicts, auto types) { watch.stop(dicts, types); });
}

const Record* State::record_of(PyObject* cls) const
{
    for (const Record* rec : records)
        if (rec && is_own(cls, rec->class_name))
            return rec;
    return nullptr;
}

namespace {

// Calls act on every reference the state holds.
template <typename Act>
void each_held(State& st, Act act)
{
    for (std::span<Ref> refs : {std::span<Ref>(st.bound), std::span<Ref>(st.namespaces), std::span<Ref>(st.made),
                                std::span<Ref>(st.field_dicts), std::span<Ref>(st.python_steps)})
        for (Ref& r : refs)
            act(r);
    for (Ref* r : {&st.struct_error, &st.unsupported_operation, &st.typecodes, &st.zero_f, &st.zero_d,
                   &st.series_file_type, &st.native_file_type, &st.linked_data_type, &st.series_items_type,
                   &st.reader_type, &st.mapping_type, &st.read_linked_data_shell, &st.open_series_shell, &st.titled,
                   &st.read_with, &st.read_string_py, &st.decode_any, &st.decode_into})
        act(*r);
}

}  // namespace

int State::traverse(visitproc visit, void* arg)
{
    int status = 0;
    each_held(*this, [&](Ref& r) {
        if (!status && r)
            status = visit(r.get(), arg);
    });
    return status;
}

void State::clear()
{
    stop_watching();
    each_held(*this, [](Ref& r) { r.reset(); });
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
