// Series reading: the Series reader that turns a blob's stream into the
// caller's items, open_file, the entry function, and the rule of which
// dimensions match the spectra.
#pragma once

#include "state.hpp"

namespace quorin {

// The class Series, its body bound in order.
Ref make_series_class(State& st, PyObject* module);

extern PyType_Spec series_items_spec;

extern PyMethodDef open_file_def;
// _matching_dimensions, which the Python layer's axes use.
extern PyMethodDef matching_dimensions_def;

}  // namespace quorin
