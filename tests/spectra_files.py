"""Files and reference readings shared by the tests of quorinreader.spectra."""

from pathlib import Path

import numpy

import quorinreader as qr
import spawriter as sw

# Distinct in every position, exact in binary32, with a signed zero.
SPECTRA = [[1.5, -2.0, 8.25, -0.0], [0.5, 4.0, -16.0, 1e-3], [3.0, 2.5, 1.0, 7.0e6]]
SPECTRAL_HEADER_SIZE, BENCH_SIZE = 140, 56


def series(tmp_path, spectra=SPECTRA, name="series.spa", **knobs):
    return sw.series_file(str(Path(tmp_path) / name), spectra, **knobs)


def spectrum(tmp_path, values=SPECTRA[0], name="spectrum.spa", file_type=sw.FT_IRDATA, before=(),
             extended=False, first_x=4000.0, last_x=400.0):
    """A single-spectrum file: sections of the types in `before` (decoys),
    then its main spectral header (type 2) and its values (type 3)."""
    builder = sw.SpaBuilder(extended=extended, file_type=file_type, file_id=b"sample 7")
    for section_type in before:  # a decoy header has 3 points; decoy values are -1
        builder.add(section_type, sw.main_spectral_header(num_points=3, first_x=1.0, last_x=2.0)
                    if section_type == 2 else numpy.full(3, -1.0, "<f4").tobytes())
    builder.add(2, sw.main_spectral_header(num_points=len(values), first_x=first_x, last_x=last_x))
    builder.add(3, numpy.asarray(values, "<f4").tobytes())
    path = str(Path(tmp_path) / name)
    offsets = builder.write(path)
    return path, offsets[-1]


def streamed(path):
    """What the streaming reader gives: (spectral info, titles, values matrix)."""
    items = qr.open_file(path).open_series()
    info, _ = next(items)
    rows = list(items)
    typecode = rows[0][1].typecode if rows else "f"
    values = numpy.array([numpy.frombuffer(data, typecode) for _, data in rows], typecode)
    return info, [header["title"] for header, _ in rows], values.reshape(len(rows), info["n"])


def mini_records(path):
    """The mini header records of a series, as the core's blob stream decodes them."""
    spa = qr.SPAFile(path)
    header = spa.read(spa.find_indextype(325))
    array = spa.read(spa.find_indextype(300))
    items = array.read_linked_data(spa, header.max_spectra)
    next(items)
    return [mini for mini, _ in items]


def same(a, b):
    """Two Spectra hold the same data and records."""
    assert (a.kind, len(a)) == (b.kind, len(b))
    assert a.values.dtype == b.values.dtype and a.values.tobytes() == b.values.tobytes()
    assert a.titles == b.titles
    assert numpy.array_equal(a.x, b.x)
    if a.mini_headers is None:
        assert b.mini_headers is None
    else:
        assert a.mini_headers.dtype == b.mini_headers.dtype
        for name in a.mini_headers.dtype.names:
            assert a.mini_headers[name].tobytes() == b.mini_headers[name].tobytes(), name
    for name in ("file_header", "spectral_header", "series_header", "bench"):
        assert fields(getattr(a, name)) == fields(getattr(b, name)), name
    assert [vars(d) for d in a.dimensions] == [vars(d) for d in b.dimensions]


def fields(record):
    """A record's attributes, nested records and lists of them included."""
    if record is None or isinstance(record, (int, float, str, bytes)):
        return record
    if isinstance(record, list):
        return [fields(r) for r in record]
    return {name: fields(value) for name, value in vars(record).items()}
