// Series reading: the Series reader that turns a blob's stream into the
// caller's items, open_file, the entry function, and the rule of which
// dimensions match the spectra.
#pragma once

#include "state.hpp"

#include <span>

namespace quorin {

// The body of class Series, in binding order.
extern const std::span<const Member> series_members;

extern PyType_Spec series_items_spec;

extern PyMethodDef open_file_def;
// _matching_dimensions, which the Python layer's axes use.
extern PyMethodDef matching_dimensions_def;

}  // namespace quorin
