// Bulk reads for the arrays layer (quorinreader.spectra): a reader that holds
// one source open for the length of one load, decodes the module's own
// records from it at any offset, and moves every spectrum's bytes straight
// into the caller's buffers; a read-only memory map of a whole file; and the
// titles of a table of mini headers.
#pragma once

#include "state.hpp"

namespace quorin {

extern PyType_Spec reader_spec;
extern PyType_Spec mapping_spec;

extern PyMethodDef decode_titles_def;
extern PyMethodDef record_layout_def;

}  // namespace quorin
