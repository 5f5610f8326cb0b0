"""Mistakes the stubs must catch: mypy --strict reports an error on each
line marked `# E: <error code>`, with that code, and on no other line.
Checked by tests/test_typing.py; never run."""

import quorinreader as qr

spa = qr.SPAFile("sample.spa")
spa.read(spa.find_indextype(2))  # E: arg-type
first_index: int = spa.find_indextype(2)  # E: assignment
spa.find_indextype(2) + 1  # E: operator
spa.info.sections[0].offset  # E: attr-defined
header = spa.read_offset(qr.MainSpectralHeader, 0)
header.num_point  # E: attr-defined
header.num_points.upper()  # E: attr-defined
spa.read_offset(qr.MainSpectralHeader, "0")  # E: arg-type
qr.MainSpectralHeader(open("sample.spa"))  # E: arg-type
qr.open_file(3)  # E: arg-type

series = qr.open_file("series.spa")
series.open_series()  # E: union-attr
if series is not None:
    items = series.open_series()
    spectral_info, valid_dims = next(items)
    spectral_info["n"]  # E: typeddict-item
    for header_dict, values in items:
        values.typecode  # E: union-attr

from quorinreader import spectra

s = spectra.load("series.spa")
s.values = s.values  # E: misc
s.titles[0].upper()  # E: union-attr
s.mini_headers["num_scans"]  # E: index
s.series_header.max_spectra  # E: union-attr
spectra.load("series.spa", True)  # E: call-arg
s.to_map().image(band=(1.0, 2.0), how="sum")  # E: arg-type
s.trace(band=(1.0, 2.0), how="sum")  # E: arg-type
s.axis[0]  # E: index
c = spectra.load_many("folder", x="first")
c["a.spa"]  # E: index
c.sel("a.spa")  # E: call-arg
spectra.load_many("folder", x="last")  # E: arg-type
spectra.load("series.spa", encoding=1252)  # E: arg-type
