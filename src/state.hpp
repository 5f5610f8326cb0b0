// The module's state: interned names, what the module bound under each of
// its names, the objects it caches, and the one check that decides whether
// a read may run natively (own()).  Nothing lives in C globals.
#pragma once

#include "fields.hpp"
#include "names.hpp"
#include "ref.hpp"
#include "watch.hpp"

#include <cstdint>
#include <span>
#include <string>

namespace quorin {

// A set of the module's classes, by bit: bit i for record class i, and the
// bit after them for SPAFile.
using Scope = std::uint32_t;

struct State {
    PyObject* globals = nullptr;  // borrowed: the module's namespace, which outlives this state
    Ref names[name_count];
    Ref bound[name_count];    // the object the module bound under each of its public names
    Ref field_dicts[record_count];  // each record's field names, see field_dict
    Ref python_steps[record_count];  // each record's steps for the generic road, see python_steps
    Py_ssize_t flat_sizes[record_count] = {};   // see flat_size
    const Record* records[record_count] = {};
    std::string class_names[record_count];  // "quorinreader.<name>": a type's name must outlive it

    // The classes whose construction the module does itself while they are
    // as it made them: the record classes in record order, then SPAFile.
    static constexpr std::size_t class_count = record_count + 1;
    static constexpr std::size_t spa_class = record_count;
    Ref namespaces[class_count];  // each class's own namespace: the live dictionary
    Ref made[class_count];        // its entries as the module made them: (key, value, key, value, ...)
    Py_ssize_t made_sizes[class_count] = {};  // its size then
    Scope scopes[record_count] = {};  // each record's class and the classes its construction uses

    Ref struct_error;   // struct.error
    Ref unsupported_operation;  // io.UnsupportedOperation
    Ref typecodes;  // {4: "f", 8: "d"}: array typecode by element size
    Ref zero_f;     // one-value arrays that spectrum arrays are repeated from
    Ref zero_d;
    Ref series_file_type;  // int 11

    Ref native_file_type;
    Ref linked_data_type;
    Ref series_items_type;
    Ref reader_type;
    Ref mapping_type;
    Ref read_linked_data_shell;  // generator functions wrapping the native iterators
    Ref open_series_shell;
    // The generic road's Python (see module.cpp): the series items of a
    // caller's blob; a caller's record class called on a file opened by
    // io.open; read_string; decode_string for arguments of any type; and
    // the decoding of a record into the attributes of the instance.
    Ref titled, read_with, read_string_py, decode_any, decode_into;

    // The one decision of a pass: whether everything in `scope` is the
    // module's own, so that the pass may run natively.  1 or 0, -1 on error.
    // What was found holds while nothing watched changes or, without
    // watchers (3.11), for the rest of the caller's call (see OwnCall).
    int own(Scope scope);
    Watch watch;
    std::uint64_t own_stamp = 0;  // the watch count `known` holds at
    Scope known = 0;              // what own() found out, and of that,
    Scope found_own = 0;          // what is the module's own
    int calls = 0;                // OwnCall scopes open

    // Starts watching what own() depends on, once everything is bound.
    bool start_watching();
    void stop_watching();

    PyObject* name(Name n) const { return names[index(n)].get(); }
    // The module's current binding of `n`, or null with NameError.
    Ref global(Name n) const;
    // Whether `obj` is what the module itself bound under `n`.
    bool is_own(PyObject* obj, Name n) const { return obj == bound[index(n)].get(); }
    // Whether `cls` is the class bound under `rec`'s name and everything its
    // construction uses is the module's own, so that it may be built natively.
    int own_record(PyObject* cls, const Record& rec)
    {
        return is_own(cls, rec.class_name) ? own(scopes[static_cast<std::size_t>(rec.id)]) : 0;
    }
    // The record whose class is `cls`, if it is one of the module's record classes.
    const Record* record_of(PyObject* cls) const;

    int traverse(visitproc visit, void* arg);
    void clear();
};

State& module_state(PyObject* module);
// The state of the module that created `cls` (one of the module's classes).
State& class_state(PyTypeObject* cls);

// Without watchers, what own() finds holds for the length of the
// outermost of these, one for each request of a caller's.
class OwnCall {
public:
    explicit OwnCall(State& st) : st_(st)
    {
        if (st_.calls++ == 0 && !st_.watch.active())
            st_.known = 0;
    }
    ~OwnCall() { --st_.calls; }
    OwnCall(const OwnCall&) = delete;
    OwnCall& operator=(const OwnCall&) = delete;

private:
    State& st_;
};

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
