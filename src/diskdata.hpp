// Disk-resident data: the link to a data blob and its format bits, the
// per-spectrum mini headers, the disk-resident array and the streaming of its
// blob, one spectrum at a time, through a handle of its own.
#pragma once

#include "container.hpp"
#include "fields.hpp"
#include "state.hpp"


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

// What the series reader keeps of a disk-resident array no one else sees,
// read at f's position in place of the record (an Unbuilt, see
// read_record_at): its bytes, where the file holds them all.
Ref take_array_bytes(State& st, NativeFile* f, const Record& rec);
// The field `name` of dimension `i` of an array taken as bytes.
Ref dimension_field(State& st, PyObject* array_bytes, Py_ssize_t i, Name name);

// {"first": first, "last": last, "n": n}
Ref range_dict(State& st, PyObject* first, PyObject* last, PyObject* n);

// The native sequence read_linked_data(file, n_spectra) wraps in a generator.
// `handle`, when given, is a NativeFile of file.filename that the sequence
// takes over instead of opening the file again, and `types` the directory
// the series pass walked (see section_types), for a file whose methods it
// found the module's own.
// `for_series`: for the series reader, which shows the headers to no one.
// `array` may be the bytes take_array_bytes read.
Ref new_linked_data(State& st, PyObject* array, PyObject* file, PyObject* n_spectra, Ref handle = Ref(),
                    Ref types = Ref(), bool for_series = false);

// Borrowed: after the headers of a sequence for the series reader, the
// {first, last, n} of its spectral header where that was read in place of
// building the header (which the headers then lack); else null.
PyObject* blob_extent(PyObject* linked_data);
// Advances a native sequence past its headers item, for the series reader,
// which keeps only each mini header's spec_title: 1 with the next
// spectrum's title (None without mini headers) and values, 0 at the end, -1
// on error.
int next_title(State& st, PyObject* linked_data, Ref& title, Ref& values);

}  // namespace quorin
