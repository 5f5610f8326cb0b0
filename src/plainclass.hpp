// The module's classes as plain classes: heap types made from a spec with
// the module, whose instances keep their attributes in a dictionary (in the
// order they were set) and take weak references, as the instances of a
// class statement's class do.
#pragma once

#include "state.hpp"

namespace quorin {

// A new class `qualified_name` ("quorinreader.Name", text that outlives it) whose
// one base is `base` (null: object), with `doc` (null: None) and the members
// bound after it in the order given.
Ref make_plain_class(PyObject* module, const char* qualified_name, const char* doc, PyObject* base,
                     std::span<const Member> members);

// The attribute dictionary of an instance of one of these classes (or of a
// subclass); null while it has none, where the class holds it itself.
Ref plain_instance_dict(PyObject* obj);

// Binds onto `cls` the functions of the one class the Python `source`
// defines, each made a function of the module's namespace `globals`.  The
// class body of `cls` holds them as None until then (see Member), so that
// they keep their place in it.
bool bind_python_methods(PyObject* cls, const char* source, PyObject* globals);

// Gives a new instance that has no dictionary yet the dictionary `dict`.
void plain_set_instance_dict(PyObject* obj, Ref dict);

}  // namespace quorin
