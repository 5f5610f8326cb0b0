// The few C API calls that differ between the supported CPython versions.
#pragma once

#include "ref.hpp"

namespace quorin {

// Takes the raised exception (null when none is set) and clears it.
inline Ref take_exception()
{
#if PY_VERSION_HEX >= 0x030C0000
    return Ref(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type)
        return Ref();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback)
        PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref(value);
#endif
}

// Raises `exception` again (or clears the error indicator for null).
inline void restore_exception(Ref exception)
{
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    if (!exception) {
        PyErr_Clear();
        return;
    }
    PyObject* value = exception.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value, PyException_GetTraceback(value));
#endif
}

// dict[key] as a strong reference in `out`: 1 where found, 0 where not (no
// error), -1 with an error.  A borrowed value would be at the mercy of
// whatever Python code runs next, or of another thread without the GIL.
inline int dict_get_ref(PyObject* dict, PyObject* key, Ref& out)
{
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value;
    const int found = PyDict_GetItemRef(dict, key, &value);
    out.reset(value);
    return found;
#else
    out = Ref::borrow(PyDict_GetItemWithError(dict, key));
    return out ? 1 : PyErr_Occurred() ? -1 : 0;
#endif
}

// list[i] as a strong reference; null with IndexError outside the list.
inline Ref list_get_ref(PyObject* list, Py_ssize_t i)
{
#if PY_VERSION_HEX >= 0x030D0000
    return Ref(PyList_GetItemRef(list, i));
#else
    return Ref::borrow(PyList_GetItem(list, i));
#endif
}

// The dictionary that is a class's own namespace (a new reference).
inline Ref own_namespace(PyTypeObject* type)
{
#if PY_VERSION_HEX >= 0x030C0000
    return Ref(PyType_GetDict(type));
#else
    return Ref::borrow(type->tp_dict);
#endif
}

}  // namespace quorin
