#include "plainclass.hpp"

#include "compat.hpp"
#include "generator.hpp"

#include <cstddef>
#include <structmember.h>

namespace quorin {
namespace {

// The instance dictionary and weak references are slots of the object, read
// and cleared through public calls.  (A dictionary the interpreter manages,
// as it does for a class statement's instances, is traversed only through
// private calls before 3.13, and cannot be replaced through the public
// setter on 3.13.)  On 3.12 and later this makes each class a solid base:
// no class can derive from two of them at once.  3.11 still counts slots of
// only a dictionary and weak references as no layout of their own.
struct PlainObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;  // last, as the layout check above requires
};

int plain_traverse(PyObject* self, visitproc visit, void* arg)
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<PlainObject*>(self)->dict);
    return 0;
}

int plain_clear(PyObject* self)
{
    Py_CLEAR(reinterpret_cast<PlainObject*>(self)->dict);
    return 0;
}

void plain_dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (reinterpret_cast<PlainObject*>(self)->weakrefs)
        PyObject_ClearWeakRefs(self);
    plain_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_weakref(PyObject* self, void*)
{
    PyObject* first = reinterpret_cast<PlainObject*>(self)->weakrefs;
    return Py_NewRef(first ? first : Py_None);
}

PyMemberDef plain_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(PlainObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(PlainObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef plain_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__weakref__", get_weakref, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

Ref plain_instance_dict(PyObject* obj) { return Ref::borrow(reinterpret_cast<PlainObject*>(obj)->dict); }

void plain_set_instance_dict(PyObject* obj, Ref dict)
{
    Py_XSETREF(reinterpret_cast<PlainObject*>(obj)->dict, dict.release());
}

Ref make_plain_class(PyObject* module, const char* qualified_name, const char* doc, PyObject* base,
                     std::span<const Member> members)
{
    PyType_Slot slots[7];
    int n = 0;
    slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc)};
    slots[n++] = {Py_tp_traverse, reinterpret_cast<void*>(plain_traverse)};
    slots[n++] = {Py_tp_clear, reinterpret_cast<void*>(plain_clear)};
    if (doc)  // without one, __doc__ is None
        slots[n++] = {Py_tp_doc, const_cast<char*>(doc)};
    if (!base) {  // a subclass inherits the dictionary and weak references
        slots[n++] = {Py_tp_members, plain_members};
        slots[n++] = {Py_tp_getset, plain_getset};
    }
    slots[n] = {0, nullptr};
    PyType_Spec spec = {qualified_name, static_cast<int>(sizeof(PlainObject)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    Ref bases(base ? PyTuple_Pack(1, base) : nullptr);
    if (base && !bases)
        return Ref();
    Ref cls(PyType_FromModuleAndSpec(module, &spec, bases.get()));
    if (!cls)
        return Ref();
    // The members are bound in order after the class exists, since a method
    // descriptor names its class; binding __init__ so also makes it the
    // class's initializer, as in a class statement.
    for (const Member& m : members) {
        Ref value(m.method ? PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.get()), m.method)
                           : Py_NewRef(Py_None));
        if (!value || PyObject_SetAttrString(cls.get(), m.name, value.get()) < 0)
            return Ref();
    }
    return cls;
}

bool bind_python_methods(PyObject* cls, const char* source, PyObject* globals)
{
    Ref names = run_python(source);
    Ref name(names ? PyObject_GetAttrString(cls, "__name__") : nullptr);
    PyObject* defined = name ? PyDict_GetItemWithError(names.get(), name.get()) : nullptr;  // borrowed
    if (!defined || !PyType_Check(defined)) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_SystemError, "the Python of class %U defines no such class", name.get());
        return false;
    }
    Ref body = own_namespace(reinterpret_cast<PyTypeObject*>(defined));
    Py_ssize_t at = 0;
    PyObject *key, *value;
    while (PyDict_Next(body.get(), &at, &key, &value)) {
        if (!PyFunction_Check(value))
            continue;
        // Its qualified name comes from the code: "Class.method".
        Ref method(PyFunction_New(PyFunction_GetCode(value), globals));
        if (!method || PyObject_SetAttr(cls, key, method.get()) < 0)
            return false;
    }
    return true;
}

}  // namespace quorin
