// The lazy sequences are real generators of the interpreter.  The C API
// cannot make one, so a one-line `yield from` function, compiled once when the
// module is set up, wraps a native iterator that does all the work.  Closing
// or dropping the generator closes the native iterator through its close().
#pragma once

#include "ref.hpp"

namespace quorin {

// Compiles `def <name>(native): yield from native` and gives it `qualname`.
Ref compile_generator_function(const char* name, const char* qualname);

// A new, not yet started generator driving `iterator`.
Ref make_generator(PyObject* generator_function, PyObject* iterator);

// A StopIteration escaping a generator's body becomes RuntimeError, as in a
// Python generator; native iterators call this on their error paths.
void stop_iteration_to_runtime_error();

// Marks a native iterator as running for one request.  A caller's callable
// reached during the request may find the iterator; re-entering it is
// refused as a running generator refuses it.
class Running {
public:
    explicit Running(bool& flag) : flag_(flag), entered_(!flag)
    {
        if (entered_)
            flag_ = true;
        else
            PyErr_SetString(PyExc_ValueError, "generator already executing");
    }
    ~Running()
    {
        if (entered_)
            flag_ = false;
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    explicit operator bool() const { return entered_; }

private:
    bool& flag_;
    bool entered_;
};

// `send` of the native iterators: the next item, the sent value ignored.
PyObject* iterator_send(PyObject* self, PyObject* value);

}  // namespace quorin
