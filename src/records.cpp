#include "records.hpp"

namespace quorin {

// The main spectral header heads spectral data: 140 bytes, 35 fields.
constexpr Field main_spectral_header_fields[] = {
    u32(Name::data_type), u32(Name::num_points), u32(Name::x_units), u32(Name::y_units),
    f32(Name::first_x), f32(Name::last_x), f32(Name::noise), u32(Name::num_scan_points),
    u32(Name::final_peak_pos), u32(Name::num_scans), f32(Name::interp_peak), u32(Name::num_transform_pts),
    u32(Name::num_post_peak_pts), u32(Name::BK_num_scans), f32(Name::BK_gain), u32(Name::apod_ID),
    f32(Name::apod_value), u32(Name::duration), f32(Name::burst_peak_height), u32(Name::phase_corr_ID),
    f32(Name::laser_freq), f32(Name::SSP), f32(Name::aperture_ref), f32(Name::aperture),
    f32(Name::raman_freq), u32(Name::stage_x), u32(Name::stage_y), u32(Name::stage_z),
    u32(Name::flags), u32(Name::old_y_units), u32(Name::old_type), u32(Name::bad_scans),
    u32(Name::BK_bad_scans), u32(Name::collect_error_map), u32(Name::BK_collect_error_map),
};
constexpr Step main_spectral_header_steps[] = {group(main_spectral_header_fields)};
static_assert(main_spectral_header_steps[0].size == 140);
const Record main_spectral_header_record = {RecordId::MainSpectralHeader, Name::MainSpectralHeader,
                                            "\n    MAIN_SPECTRAL_HEADER\n    ", nullptr,
                                            main_spectral_header_steps};

// Bench information: 56 bytes.
constexpr Field bench_info_fields[] = {
    u32(Name::bench_ID), u32(Name::detector_ID), u32(Name::beam_split_ID), u32(Name::source_ID),
    u32(Name::AD_bits), f32(Name::HPF), f32(Name::LPF), u32(Name::switch_gain_hi),
    u32(Name::switch_gain_lo), u32(Name::switch_gain_p1), u32(Name::switch_gain_p2), f32(Name::gain),
    f32(Name::velocity), u32(Name::accessory_ID),
};
constexpr Step bench_info_steps[] = {group(bench_info_fields)};
static_assert(bench_info_steps[0].size == 56);
const Record bench_info_record = {RecordId::BenchInfo, Name::BenchInfo, "\n    BENCH_INFO\n    ", nullptr,
                                  bench_info_steps};

// A dimension is 32 numeric bytes (64-bit positions at unaligned offsets 4
// and 12) and two 150-byte labels: 332 bytes.
constexpr Field dimension_fields[] = {
    u32(Name::dimension_type), u64(Name::first_dim), u64(Name::last_dim),
    f32(Name::scale_dim), u32(Name::num_elements), u32(Name::unit_ID),
};
constexpr Step dimension_steps[] = {
    group(dimension_fields),
    text(Name::short_label, 150),
    text(Name::long_label, 150),
};
static_assert(dimension_steps[0].size == 32);
const Record dimension_record = {RecordId::Dimension, Name::Dimension, "\n    DIMENSION\n    ", nullptr,
                                 dimension_steps};

// The series header is 262 packed bytes; its five char fields become text.
constexpr Field series_header_fields[] = {
    u16(Name::series_type), chars(Name::series_ID, 64), f32(Name::min_range), f32(Name::max_range),
    f32(Name::step_size), f32(Name::min_range_2), f32(Name::max_range_2), f32(Name::step_size_2),
    u32(Name::max_spectra), u16(Name::converted), u32(Name::num_converted), f32(Name::flow_cell_temp),
    f32(Name::transfer_line_temp), u16(Name::gs_offset), u16(Name::gs_ifg_pts), u32(Name::num_phase_data_pts),
    u32(Name::num_phase_transform_pts), u16(Name::num_dimensions), u16(Name::z_units),
    chars(Name::z_short_label, 32), chars(Name::z_long_label, 32), u16(Name::z_units_2),
    chars(Name::z_short_label_2, 32), chars(Name::z_long_label_2, 32), f32(Name::spectra_min),
    f32(Name::spectra_max),
};
constexpr Step series_header_steps[] = {group(series_header_fields)};
static_assert(series_header_steps[0].size == 262);
const Record series_header_record = {RecordId::SeriesHeader, Name::SeriesHeader, "\n    SERIES_HEADER\n    ",
                                     nullptr, series_header_steps};

}  // namespace quorin
