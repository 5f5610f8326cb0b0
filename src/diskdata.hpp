// Disk-resident data: the link to a data blob and its format bits, the
// per-spectrum mini headers, the disk-resident array and the streaming of its
// blob, one spectrum at a time, through a handle of its own.
#pragma once

#include "container.hpp"
#include "fields.hpp"
#include "state.hpp"

#include <array>
#include <memory>
#include <vector>

namespace quorin {

extern const Record data_blob_format_record;
extern const Record link_to_data_record;
extern const Record series_specheader_record;
extern const Record series_specheader_ver3_record;
extern const Record disk_resident_array_record;

extern PyType_Spec linked_data_spec;

// Whether `method` is DiskResidentArray.read_linked_data bound to `array`:
// then the series reader may drive the native sequence directly.
bool is_own_read_linked_data(PyObject* method, PyObject* array);

// What the series pass uses of a disk-resident array that no one else
// sees, read in place of the record: each value as the record's attribute
// would hold it.
class ArraySummary final : public RecordSummary, private ItemValues {
public:
    // The values kept of the array, its link and the link's blob format.
    enum Value : std::uint8_t {
        array_element_size,
        link_type,
        section_type,
        section_number,
        mini_header_type,
        mini_hdr,
        spectral_hdr,
        bench_hdr,
        num_dimensions,
        value_count
    };
    // The values kept of each dimension.
    enum DimensionValue : std::uint8_t { first_dim, last_dim, scale_dim, num_elements, dimension_value_count };

    ArraySummary();
    // Only while read_linked_data is the module's own: then no one calls it with the record.
    int stands_for(State& st, PyObject* cls) override;
    bool read(Decoder& decoder) override;

    using DimensionValues = std::array<Ref, dimension_value_count>;

    Ref kept[value_count];
    std::vector<DimensionValues> dimensions;

private:
    Ref* values(Py_ssize_t i) override;
};

// The native sequence read_linked_data(file, n_spectra) wraps in a generator.
// `handle`, when given, is a NativeFile of file.filename that the sequence
// takes over instead of opening the file again.
Ref new_linked_data(State& st, PyObject* array, PyObject* file, PyObject* n_spectra, Ref handle = Ref());
// The same sequence for the series pass, over the values a summary read of
// the array instead of the array itself; it takes `summary` over.
Ref new_linked_data(State& st, std::unique_ptr<ArraySummary> summary, PyObject* file, PyObject* n_spectra,
                    Ref handle);

// The values the series reader takes from the head of a blob.
struct BlobSummary {
    Ref first_x, last_x, num_points;
};

// The first request of a native sequence, for the series reader: the
// headers dictionary as the sequence delivers it; or, where the records at
// the head of the blob are the module's own and decode without the
// caller's code, `summary` filled from the main spectral header, with a
// dictionary no one sees (the records are read past, not built).
Ref next_headers(PyObject* linked_data, BlobSummary& summary);

// Advances a native sequence past its headers item, for a consumer that
// keeps only each mini header's spec_title: 1 with the next spectrum's title
// (None without mini headers) and values, 0 at the end, -1 on error.
int next_title(PyObject* linked_data, Ref& title, Ref& values);

}  // namespace quorin
