// The spectral file container: the file header and its section directory,
// SPAFile, which opens a file by path for each operation, and the registry
// of section type codes.
#pragma once

#include "fields.hpp"
#include "state.hpp"

#include <span>

namespace quorin {

extern const Record file_header_record;
extern const Record index_entry_record;
extern const Record index_entry_extended_record;

// The body of class SPAFile, in binding order.
extern const std::span<const Member> spa_file_members;

extern PyType_Spec indextypes_spec;

// Binds TYPE_CLASS and CLASS_TYPE in the module namespace.
bool bind_registry(State& st);

// Builds the record `cls` from the file `filename` at `offset` (null: the
// start): natively for the module's own record classes, otherwise by calling
// `cls` with a real binary file object.  The file is closed on every path out.
Ref read_record_at(State& st, PyObject* filename, PyObject* offset, PyObject* cls);

}  // namespace quorin
