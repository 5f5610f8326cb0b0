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

int untouched_record_class(State& st, PyObject* cls, const Record& rec)
{
    // Each record class defines __init__ itself: in its own namespace is
    // where the lookup of cls.__init__ finds it.
    const auto id = static_cast<std::size_t>(rec.id);
    if (!news_as_object(cls))
        return 0;
    if (const int own = maps_to(st.namespaces[id].get(), st.name(Name::dunder_init), st.inits[id].get()); own <= 0)
        return own;
    // The metaclass is type, so each class's __mro__ follows its bases.
    for (const Record* r = &rec; r; r = r->base) {
        PyObject* base = r->base ? st.bound[index(r->base->class_name)].get()
                                 : reinterpret_cast<PyObject*>(&PyBaseObject_Type);
        const auto level = static_cast<std::size_t>(r->id);
        const int kept = keeps_shape(st.bound[index(r->class_name)].get(), base, st.namespaces[level].get(),
                                     st.class_sizes[level]);
        if (kept <= 0)
            return kept;
    }
    return 1;
}

}  // namespace

bool news_as_object(PyObject* cls)
{
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    return PyType_GetSlot(type, Py_tp_new) == PyType_GetSlot(&PyBaseObject_Type, Py_tp_new);
}

int maps_to(PyObject* names, PyObject* key, PyObject* expected)
{
    Ref found(PyObject_GetItem(names, key));
    if (!found && PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        return 0;
    }
    return found ? found.get() == expected : -1;
}

int keeps_shape(PyObject* cls, PyObject* base, PyObject* names, Py_ssize_t size)
{
    auto* bases = static_cast<PyObject*>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(cls), Py_tp_bases));
    if (!bases || !PyTuple_Check(bases) || PyTuple_GET_SIZE(bases) != 1 || PyTuple_GET_ITEM(bases, 0) != base)
        return 0;
    const Py_ssize_t now = PyObject_Length(names);
    return now == size ? 1 : now < 0 ? -1 : 0;
}

bool State::is_own_record_class(PyObject* cls, const Record& rec)
{
    if (!is_own(cls, rec.class_name))
        return false;
    return watch.cached(own_class_check(rec), [&] { return untouched_record_class(*this, cls, rec); }) > 0;
}

namespace {

// What the checks depend on: the namespace and the two registries, and the classes.
template <typename Act>
void for_watched(State& st, Act act)
{
    PyObject* const dicts[] = {st.globals, st.bound[index(Name::TYPE_CLASS)].get(),
                               st.bound[index(Name::CLASS_TYPE)].get()};
    PyObject* types[record_count + 2];
    std::size_t n = 0;
    for (const Record* rec : st.records)
        types[n++] = rec ? st.bound[index(rec->class_name)].get() : nullptr;
    types[n++] = st.bound[index(Name::SPAFile)].get();
    types[n++] = st.bound[index(Name::Series)].get();
    act(std::span<PyObject* const>(dicts), std::span<PyObject* const>(types, n));
}

}  // namespace

bool State::start_watching()
{
    watch.bind_slots(checks);
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

template <typename Act>
void State::each_held(Act act)
{
    for (std::span<Ref> refs : {std::span<Ref>(bound), std::span<Ref>(inits), std::span<Ref>(record_methods),
                       std::span<Ref>(namespaces),
                       std::span<Ref>(field_dicts),
                       std::span<Ref>(spa_methods),
                       std::span<Ref>(spa_construction)})
        for (Ref& r : refs)
            act(r);
    for (Ref* r : {&spa_namespace, &struct_error, &unsupported_operation, &struct_unpack, &io_open, &typecodes, &zero_f,
                   &zero_d, &series_file_type, &native_file_type, &indextypes_type, &linked_data_type,
                   &series_items_type, &reader_type, &mapping_type, &find_indextypes_shell, &read_linked_data_shell,
                   &open_series_shell})
        act(*r);
}

int State::traverse(visitproc visit, void* arg)
{
    int status = 0;
    each_held([&](Ref& r) {
        if (!status && r)
            status = visit(r.get(), arg);
    });
    return status;
}

void State::clear()
{
    stop_watching();
    each_held([](Ref& r) { r.reset(); });
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
