// The lazy sequences are real generators of the interpreter.  The C API
// cannot make one, so a one-line `yield from` function, compiled with the
// module's own Python (module.cpp), wraps a native iterator that does all
// the work.  Closing or dropping the generator closes the native iterator
// through its close().
#pragma once

#include "ref.hpp"

#include <string>

namespace quorin {

// Runs the Python `source` in a namespace of its own and returns the namespace.
Ref run_python(const std::string& source);

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

// The type every native iterator shares.  T is the object's struct, with
//   bool running;                            // for Running
//   void release();                          // ends the sequence: drops every
//                                            // reference, closes what it holds
//   int visit_references(visitproc, void*);  // visits its references
//   static PyObject* next(PyObject* self);   // tp_iternext
// (Py_VISIT calls a parameter named `visit`, which a member of that name would shadow.)
template <typename T>
struct NativeIterator {
    static int traverse(PyObject* self, visitproc visit, void* arg)
    {
        Py_VISIT(Py_TYPE(self));
        return reinterpret_cast<T*>(self)->visit_references(visit, arg);
    }
    static int clear(PyObject* self)
    {
        reinterpret_cast<T*>(self)->release();
        return 0;
    }
    static void dealloc(PyObject* self)
    {
        PyTypeObject* type = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        reinterpret_cast<T*>(self)->release();
        type->tp_free(self);
        Py_DECREF(type);
    }
    static PyObject* close(PyObject* self, PyObject*)
    {
        auto* it = reinterpret_cast<T*>(self);
        Running running(it->running);
        if (!running)
            return nullptr;
        it->release();
        Py_RETURN_NONE;
    }

    static inline PyMethodDef methods[] = {
        {"send", iterator_send, METH_O, nullptr},
        {"close", close, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static inline PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(clear)},
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(T::next)},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    static PyType_Spec spec(const char* name)
    {
        return {name, sizeof(T), 0,
                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                slots};
    }
};

}  // namespace quorin
