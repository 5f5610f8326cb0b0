// Every Python name the module uses (attribute names, module names, keys),
// interned once when the module is set up and then reached by index.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorin {

// Names that are valid C++ identifiers, spelled exactly as Python sees them.
#define QUORIN_PLAIN_NAMES(X)                                                          \
    /* module names, in load order */                                                  \
    X(array) X(ST_ID_LENGTH) X(FILE_ID_LENGTH) X(MAX_PATH) X(FT_IRDATA) X(FT_GROUP)    \
    X(FT_SERIES) X(decode_string) X(read_string) X(FileHeader) X(IndexEntry)           \
    X(IndexEntryExtended) X(MainSpectralHeader) X(BenchInfo) X(SeriesHeader)           \
    X(Dimension) X(DataBlobFormat) X(LinkToData) X(SeriesSpecheader)                   \
    X(SeriesSpecheaderVer3) X(DiskResidentArray) X(TYPE_CLASS) X(CLASS_TYPE)           \
    X(SPAFile) X(Series) X(open_file)                                                  \
    /* file header and directory */                                                    \
    X(sti_id_string) X(file_id) X(hard_eof) X(file_type) X(version) X(num_sections)    \
    X(time) X(ex_time) X(sections) X(section_type) X(section_offset)                   \
    X(section_length) X(index_unsigned) X(index_long)                                  \
    /* main spectral header */                                                         \
    X(data_type) X(num_points) X(x_units) X(y_units) X(first_x) X(last_x) X(noise)     \
    X(num_scan_points) X(final_peak_pos) X(num_scans) X(interp_peak)                   \
    X(num_transform_pts) X(num_post_peak_pts) X(BK_num_scans) X(BK_gain) X(apod_ID)    \
    X(apod_value) X(duration) X(burst_peak_height) X(phase_corr_ID) X(laser_freq)      \
    X(SSP) X(aperture_ref) X(aperture) X(raman_freq) X(stage_x) X(stage_y) X(stage_z)  \
    X(flags) X(old_y_units) X(old_type) X(bad_scans) X(BK_bad_scans)                   \
    X(collect_error_map) X(BK_collect_error_map)                                       \
    /* bench information */                                                            \
    X(bench_ID) X(detector_ID) X(beam_split_ID) X(source_ID) X(AD_bits) X(HPF) X(LPF)  \
    X(switch_gain_hi) X(switch_gain_lo) X(switch_gain_p1) X(switch_gain_p2) X(gain)    \
    X(velocity) X(accessory_ID)                                                        \
    /* dimension */                                                                    \
    X(dimension_type) X(first_dim) X(last_dim) X(scale_dim) X(num_elements)            \
    X(unit_ID) X(short_label) X(long_label)                                            \
    /* series header */                                                                \
    X(series_type) X(series_ID) X(min_range) X(max_range) X(step_size)                 \
    X(min_range_2) X(max_range_2) X(step_size_2) X(max_spectra) X(converted)           \
    X(num_converted) X(flow_cell_temp) X(transfer_line_temp) X(gs_offset)              \
    X(gs_ifg_pts) X(num_phase_data_pts) X(num_phase_transform_pts) X(num_dimensions)   \
    X(z_units) X(z_short_label) X(z_long_label) X(z_units_2) X(z_short_label_2)        \
    X(z_long_label_2) X(spectra_min) X(spectra_max)                                    \
    /* blob format bits and link */                                                    \
    X(mini_hdr) X(spectral_hdr) X(bench_hdr) X(interleaved) X(line_data) X(area_data)  \
    X(depth_data) X(link_type) X(section_number) X(mini_header_type)                   \
    X(data_blob_format) X(offset_spectral_header) X(offset_bench_header)               \
    X(offset_mini_header) X(offset_data_array) X(filename) X(title)                    \
    /* mini headers */                                                                 \
    X(start_time) X(temp) X(pressure) X(spec_title) X(x_position) X(y_position)        \
    X(pk_height) X(direction)                                                          \
    /* disk-resident array */                                                          \
    X(structure_size) X(array_element_size) X(link) X(dimensions)                      \
    /* SPAFile and Series */                                                           \
    X(info) X(read_basic_info) X(find_indextype) X(find_indextypes) X(read)            \
    X(read_offset) X(read_linked_data) X(quorin_file)                                  \
    /* the series reader's extents */                                                  \
    X(first) X(last) X(n)

// Names that are not valid C++ identifiers: (identifier, Python spelling).
#define QUORIN_SPECIAL_NAMES(X)                                                        \
    X(struct_module, "struct") X(dunder_fspath, "__fspath__") X(text_exte, "Exte")      \
    X(private_reader, "_Reader") X(private_decode_titles, "_decode_titles")            \
    X(private_record_layout, "_record_layout")                                         \
    X(private_matching_dimensions, "_matching_dimensions")

enum class Name : std::uint16_t {
#define QUORIN_NAME_ENUM(id) id,
#define QUORIN_SPECIAL_ENUM(id, text) id,
    QUORIN_PLAIN_NAMES(QUORIN_NAME_ENUM) QUORIN_SPECIAL_NAMES(QUORIN_SPECIAL_ENUM)
#undef QUORIN_NAME_ENUM
#undef QUORIN_SPECIAL_ENUM
    count
};

constexpr std::size_t name_count = static_cast<std::size_t>(Name::count);

inline constexpr const char* name_texts[name_count] = {
#define QUORIN_NAME_TEXT(id) #id,
#define QUORIN_SPECIAL_TEXT(id, text) text,
    QUORIN_PLAIN_NAMES(QUORIN_NAME_TEXT) QUORIN_SPECIAL_NAMES(QUORIN_SPECIAL_TEXT)
#undef QUORIN_NAME_TEXT
#undef QUORIN_SPECIAL_TEXT
};

constexpr std::size_t index(Name n) { return static_cast<std::size_t>(n); }

}  // namespace quorin
