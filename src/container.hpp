// The spectral file container: the file header and its section directory,
// SPAFile, which opens a file by path for each operation, and the registry
// of section type codes.
#pragma once

#include "fields.hpp"
#include "state.hpp"

#include <span>

namespace quorin {

struct NativeFile;

extern const Record file_header_record;
extern const Record index_entry_record;
extern const Record index_entry_extended_record;

// The class SPAFile, its body bound in order.
Ref make_spa_file_class(State& st, PyObject* module);

// Binds TYPE_CLASS and CLASS_TYPE in the module namespace.
bool bind_registry(State& st);

// What a pass keeps of spa's directory, walked once: each entry of
// spa.info.sections by its section_type, in order.
Ref section_types(State& st, PyObject* spa);
// The indices in `types` of sections of type t (by `section_type == t`):
// with `first_only` the first, or None (find_indextype); else all, as a list.
Ref indices_of_type(PyObject* types, PyObject* t, bool first_only);

// What SPAFile.read(index) finds before it calls read_offset, for a caller
// that found with is_own_spa_file that it is what would run: the record
// class and the offset.
bool section_class_and_offset(State& st, PyObject* spa, PyObject* index, Ref& record_class, Ref& offset);
// Builds the record `cls` from the file `filename` at `offset` (null: the
// start) through `handle`, which stays open for the reads that follow
// (opened from `filename` when null; dropping it closes the file): natively
// for the module's own record classes.  A class whose construction runs the
// caller's code is built as read_offset builds it, with a real binary file
// object, and the handle is closed.  With `unbuilt`, where the record would
// be built natively and no one else sees it, what `unbuilt` reads of it at
// the handle's position is returned instead and *was_unbuilt is set; when it
// returns null without an error, the record is built after all.
using Unbuilt = Ref (*)(State& st, NativeFile* f, const Record& rec);
Ref read_record_at(State& st, PyObject* filename, Ref& handle, PyObject* offset, PyObject* cls,
                   Unbuilt unbuilt = nullptr, bool* was_unbuilt = nullptr);

// SPAFile(filename) through `cls`, the class bound as SPAFile: natively
// while it is the module's own untouched class.
Ref construct_spa_file(State& st, PyObject* cls, PyObject* filename);

// Whether `obj` is an instance of the module's own SPAFile whose methods
// are the module's own: 1 or 0, -1 on error.
int is_own_spa_file(State& st, PyObject* obj);

}  // namespace quorin
