// Many files at once, for quorinreader.spectra.load_many: one call reads the
// file header, directory and main spectral header of every file, another
// reads every file's values into its place in one matrix.  Both run on a
// few threads of their own with the GIL released, and join them before
// they return.
#pragma once

#include <Python.h>

namespace quorin {

// _scan_many, _read_many and _many_error, for PyModule_AddFunctions.
extern PyMethodDef many_functions[];

}  // namespace quorin
