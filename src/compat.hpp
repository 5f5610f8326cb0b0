// The few C API calls that differ between the supported CPython versions,
// and the library features that not every supported compiler has yet.
#pragma once

#include "ref.hpp"

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace quorin {

// std::byteswap is C++23; the loop below is what compilers turn into the
// one instruction anyway.
template <std::integral T>
constexpr T byteswap(T v) noexcept
{
#if defined(__cpp_lib_byteswap) && __cpp_lib_byteswap >= 202110L
    return std::byteswap(v);
#else
    using U = std::make_unsigned_t<T>;
    U in = static_cast<U>(v), out = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out = static_cast<U>((out << 8) | (in & 0xff));
        in = static_cast<U>(in >> 8);
    }
    return static_cast<T>(out);
#endif
}
static_assert(byteswap<std::uint32_t>(0x01020304u) == 0x04030201u);
static_assert(byteswap<std::uint16_t>(0x0102u) == 0x0201u);

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
