"""The series reader a NumPy user would write: the headers through
quorinreader's records, the blob through numpy.memmap with a structured dtype.

    values, titles = load(path)

`values` is a fresh (spectra, points) matrix, `titles` a list of str, the
same as quorinreader.spectra.load(path) gives in `values` and `titles`."""

import numpy

import quorinreader

MINI_FIELDS = [("num_scans", "<u4"), ("start_time", "<u4"), ("temp", "<f4"), ("pressure", "<f4"),
               ("spec_title", "S64"), ("x_position", "<f4"), ("y_position", "<f4"),
               ("detector_ID", "<u4"), ("pk_height", "<f4")]


def load(path):
    spa = quorinreader.SPAFile(path)
    series = spa.read(spa.find_indextype(325))
    array = spa.read(spa.find_indextype(300))
    link, blob_format = array.link, array.link.data_blob_format
    blob = list(spa.find_indextypes(link.section_type))[link.section_number]
    offset = spa.info.sections[blob].section_offset
    spectral = spa.read_offset(quorinreader.MainSpectralHeader, offset)
    offset += 140 + 56 * blob_format.bench_hdr
    fields = []
    if blob_format.mini_hdr:
        fields = MINI_FIELDS + [("direction", "<u4")] * bool(link.mini_header_type)
    value = "<f4" if array.array_element_size == 4 else "<f8"
    dtype = numpy.dtype(fields + [("values", value, (spectral.num_points,))])
    table = numpy.memmap(path, dtype, mode="r", offset=offset, shape=(series.max_spectra,))
    values = numpy.array(table["values"])
    titles = [None] * len(values)
    if blob_format.mini_hdr:
        titles = [t.split(b"\0", 1)[0].decode("ascii", "ignore") for t in table["spec_title"].tolist()]
    del table  # the memmap closes with its last reference
    return values, titles
