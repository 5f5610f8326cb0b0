// The module's state: interned names, what the module bound under each of
// its names, and the objects it caches.  Nothing lives in C globals.
#pragma once

#include "fields.hpp"
#include "names.hpp"
#include "ref.hpp"
#include "watch.hpp"

#include <span>

namespace quorin {

struct State {
    PyObject* globals = nullptr;  // borrowed: the module's namespace, which outlives this state
    Ref names[name_count];
    Ref bound[name_count];    // the object the module bound under each of its public names
    Ref inits[record_count];  // each record class's own __init__
    Ref record_methods[record_count];  // the method a record class has besides __init__, as bound
    Ref field_dicts[record_count];  // each record's field names, see field_dict
    Ref namespaces[record_count];  // each record class's own namespace, as a live mappingproxy
    Py_ssize_t class_sizes[record_count] = {};  // entries in each record class's own namespace
    Py_ssize_t flat_sizes[record_count] = {};   // see flat_size
    const Record* records[record_count] = {};

    Ref struct_error;   // struct.error
    Ref unsupported_operation;  // io.UnsupportedOperation
    Ref struct_unpack;  // struct.unpack, for read_string lengths that are not plain ints
    Ref io_open;        // io.open, for callables that need a real file object
    Ref typecodes;  // {4: "f", 8: "d"}: array typecode by element size
    Ref zero_f;     // one-value arrays that spectrum arrays are repeated from
    Ref zero_d;
    Ref series_file_type;  // int 11

    Ref native_file_type;
    Ref indextypes_type;
    Ref linked_data_type;
    Ref series_items_type;
    Ref reader_type;
    Ref mapping_type;
    Ref find_indextypes_shell;  // generator functions wrapping the native iterators
    Ref read_linked_data_shell;
    Ref open_series_shell;

    // Answers to the checks the fast paths make, kept while nothing watched changes.
    Watch watch;
    std::int8_t checks[2 * record_count + 2];
    std::int8_t& own_class_check(const Record& rec) { return checks[static_cast<std::size_t>(rec.id)]; }
    std::int8_t& own_code_check(const Record& rec) { return checks[record_count + static_cast<std::size_t>(rec.id)]; }
    std::int8_t& own_spa_methods_check() { return checks[2 * record_count]; }
    std::int8_t& own_spa_class_check() { return checks[2 * record_count + 1]; }
    Ref spa_methods[4];  // SPAFile's own find_indextype, find_indextypes, read, read_offset
    Ref spa_namespace;   // SPAFile's own namespace, as a live mappingproxy
    Ref spa_construction[2];  // SPAFile's own __init__ and read_basic_info
    Py_ssize_t spa_class_size = 0;

    // Starts watching what the checks depend on, once everything is bound.
    bool start_watching();
    void stop_watching();

    PyObject* name(Name n) const { return names[index(n)].get(); }
    // The module's current binding of `n`, or null with NameError.
    Ref global(Name n) const;
    // Whether `obj` is what the module itself bound under `n`.
    bool is_own(PyObject* obj, Name n) const { return obj == bound[index(n)].get(); }
    // Whether `cls` is the module's own class for `rec` as the module made it:
    // its __new__ and __init__, its bases, and nothing added to it or them
    // (a property, say) that would see its attributes being set.
    bool is_own_record_class(PyObject* cls, const Record& rec);
    // The record whose class is `cls`, if it is one of the module's record classes.
    const Record* record_of(PyObject* cls) const;

    int traverse(visitproc visit, void* arg);
    void clear();

private:
    // Calls act on every reference the state holds.
    template <typename Act>
    void each_held(Act act);
public:
};

// What the checks of the module's classes look at, through the live
// mappingproxy `names` of a class's own namespace kept from when the module
// made it.  Each gives 1 or 0, -1 on error.
//   Whether instances are made by object's __new__;
bool news_as_object(PyObject* cls);
//   whether names[key] is `expected` (0 where it is missing);
int maps_to(PyObject* names, PyObject* key, PyObject* expected);
//   whether `cls` still has the one base `base` and `size` names of its own.
int keeps_shape(PyObject* cls, PyObject* base, PyObject* names, Py_ssize_t size);

State& module_state(PyObject* module);
// The state of the module that created `cls` (one of the module's classes).
State& class_state(PyTypeObject* cls);

// Binds call arguments to parameters given by position or keyword, raising
// the TypeError a Python function would.  `out` receives borrowed references.
bool bind_arguments(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<const char* const> params, PyObject** out);

// Signature of every method the module defines: METH_METHOD | METH_FASTCALL | METH_KEYWORDS.
using Method = PyObject* (*)(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames);
inline PyCFunction as_cfunction(Method m) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m)); }
inline constexpr int method_flags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

// Signature of a module-level function: METH_FASTCALL | METH_KEYWORDS.
using Function = PyObject* (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
inline PyCFunction as_cfunction(Function f) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)); }
inline constexpr int function_flags = METH_FASTCALL | METH_KEYWORDS;

// One entry of a class body, in binding order: a method, or (when `method`
// is null) a class attribute bound to None.
struct Member {
    const char* name;
    PyMethodDef* method;
};

}  // namespace quorin
