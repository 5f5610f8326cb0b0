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
