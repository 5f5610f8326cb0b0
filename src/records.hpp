// The section records: main spectral header, bench information, dimension
// and series header.
#pragma once

#include "fields.hpp"

namespace quorin {

extern const Record main_spectral_header_record;
extern const Record bench_info_record;
extern const Record dimension_record;
extern const Record series_header_record;

}  // namespace quorin
