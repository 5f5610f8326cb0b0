"""quorinreader.spectra reads what the streaming reader reads, as arrays."""
import contextlib
import subprocess
import sys

import numpy
import pytest

import quorinreader as qr
import spawriter as sw
from quorinreader import spectra
from spectra_files import SPECTRA, fields, mini_records, series, spectrum, streamed

VARIANTS = {
    "mini header 96": {},
    "mini header 100": dict(mini_header_type=3),
    "no mini headers": dict(mini_hdr=False),
    "float64": dict(element_size=8, mini_header_type=1),
    "float64, no mini headers": dict(element_size=8, mini_hdr=False),
    "bench header": dict(bench_hdr=True, bench=sw.sample_values(sw.BENCH_INFO)),
    "bench header, no mini headers": dict(bench_hdr=True, mini_hdr=False),
    "n_spectra 0": dict(max_spectra=0),
    "fewer than the blob holds": dict(max_spectra=2),
    "second blob, extended directory": dict(section_number=2, extended=True),
    "no points": dict(spectra=[[], [], []]),
    "no points, no mini headers": dict(spectra=[[], [], []], mini_hdr=False),
}


@pytest.fixture(params=["load", "open"])
def read(request):
    """Reads a path with load, or with open (closed at the end of the test)."""
    opened = []

    def read(path, **kw):
        if request.param == "load":
            return spectra.load(path, **kw)
        opened.append(spectra.open(path, **kw))
        return opened[-1]

    yield read
    for s in opened:
        s.close()


@pytest.mark.parametrize("knobs", VARIANTS.values(), ids=VARIANTS)
def test_a_series_is_what_the_stream_gives(tmp_path, read, knobs):
    info = series(tmp_path, **knobs)
    s = read(info.path)
    spectral_info, titles, values = streamed(info.path)
    assert s.kind == "series" and len(s) == len(titles)
    assert s.values.dtype == values.dtype == {4: numpy.float32, 8: numpy.float64}[info.element_size]
    assert s.values.shape == values.shape and s.values.tobytes() == values.tobytes()
    assert s.titles == titles
    assert s.x.dtype == numpy.float64 and numpy.array_equal(
        s.x, numpy.linspace(spectral_info["first"], spectral_info["last"], spectral_info["n"]))
    assert fields(s.spectral_header) == fields(qr.SPAFile(info.path).read_offset(
        qr.MainSpectralHeader, info.blob_offset))
    assert s.series_header.max_spectra == info.max_spectra
    assert [vars(d) for d in s.dimensions] == [vars(d) for d in qr.SPAFile(info.path).read(1).dimensions]
    bench = knobs.get("bench_hdr") and qr.SPAFile(info.path).read_offset(qr.BenchInfo, info.blob_offset + 140)
    assert fields(s.bench) == (fields(bench) if bench else None)


# Each longer than one native read: many block-buffer reads of short
# spectra, and more pieces of long ones than one scatter read takes.
LARGE = {"short, mini headers": (12_000, 3, {}), "short, none": (100_000, 3, dict(mini_hdr=False)),
         "long": (700, 600, dict(mini_header_type=1))}


@pytest.mark.parametrize("cut", [0, 777], ids=["whole", "cut"])
@pytest.mark.parametrize("count, points, knobs", LARGE.values(), ids=LARGE)
def test_tables_longer_than_one_read(tmp_path, count, points, knobs, cut):
    info = series(tmp_path, spectra=[[k, -k, k / 4] * (points // 3) for k in range(count)], **knobs)
    _, titles, values = streamed(info.path)
    stride = (len(info.data) - info.blob_offset - 140) // count  # the blob ends the file
    held = count - -(-cut // stride)  # the spectra left whole once `cut` bytes are cut off
    with open(info.path, "r+b") as f:
        f.truncate(len(info.data) - cut)
    for read in (spectra.load, spectra.open):
        with pytest.warns(spectra.TruncatedWarning) if cut else contextlib.nullcontext():
            s = read(info.path, partial=True)
        with s:
            assert len(s) == held and s.values.tobytes() == values[:held].tobytes()
            assert s.titles == titles[:held]


@pytest.mark.parametrize("mini_header_type, element_size", [(0, 4), (3, 4), (7, 8)])
def test_mini_headers_are_what_the_records_decode(tmp_path, read, mini_header_type, element_size):
    info = series(tmp_path, mini_header_type=mini_header_type, element_size=element_size)
    table = sw.SERIES_SPECHEADER_VER3 if mini_header_type else sw.SERIES_SPECHEADER
    head = sw.size(table)
    data = bytearray(info.data)
    for k in range(3):  # distinct values in every field of every mini header
        at = info.blob_offset + 140 + k * (head + 4 * element_size)
        data[at:at + head] = sw.pack(table, **sw.sample_values(table, seed=10 * k))
    with open(info.path, "wb") as f:
        f.write(data)
    s = read(info.path)
    records = mini_records(info.path)
    names = [n for n in vars(records[0]) if n != "spec_title"]
    assert list(s.mini_headers.dtype.names) == names and s.mini_headers.dtype.itemsize == head
    for row, record in zip(s.mini_headers, records, strict=True):
        assert [row[n].item() for n in names] == [getattr(record, n) for n in names]
    assert s.titles == [r.spec_title for r in records]


# ASCII titles, where the records' decoding and the arrays layer's agree
# (tests/test_titles.py has the others).
@pytest.mark.parametrize("title, text", [
    (b"plain", "plain"), (b"", ""), (b"a\0b", "a"), (b"x" * 64, "x" * 64)])
def test_titles_decode_as_the_records_do(tmp_path, read, title, text):
    info = series(tmp_path, titles=[b"first", title, b"last"])
    assert read(info.path).titles == ["first", text, "last"] == [r.spec_title for r in mini_records(info.path)]


@pytest.mark.parametrize("file_type", [sw.FT_IRDATA, 0, 5])
@pytest.mark.parametrize("before, extended", [((), False), ((1, 3, 2, 7), True)])
def test_a_single_spectrum(tmp_path, read, file_type, before, extended):
    path, _ = spectrum(tmp_path, file_type=file_type, before=before, extended=extended)
    s = read(path)
    # Decoy sections come first: the first section of each type is the one read.
    decoys = bool(before)
    assert s.kind == "spectrum" and len(s) == 1
    assert s.values.dtype == numpy.float32
    assert s.values.tolist() == ([[-1.0] * 3] if decoys else [SPECTRA[0]])
    assert numpy.array_equal(s.x, numpy.linspace(1.0, 2.0, 3) if decoys else numpy.linspace(4000.0, 400.0, 4))
    assert s.titles == ["sample 7"] == [s.file_header.file_id]
    assert (s.mini_headers, s.series_header, s.bench, s.dimensions) == (None, None, None, [])
    spa = qr.SPAFile(path)
    assert fields(s.spectral_header) == fields(spa.read(spa.find_indextype(2)))
    assert fields(s.file_header) == fields(spa.info)


def test_load_gives_fresh_writeable_native_arrays(tmp_path):
    info = series(tmp_path, element_size=8)
    s = spectra.load(info.path)
    for array in (s.values, s.mini_headers):
        assert array.flags.writeable
    assert s.values.flags.c_contiguous and s.values.flags.owndata and s.values.dtype.isnative
    s.values[0, 0] = 99.0
    assert spectra.load(info.path).values[0, 0] == SPECTRA[0][0]


def test_open_gives_read_only_views_of_the_file(tmp_path):
    info = series(tmp_path)
    with spectra.open(info.path) as s:
        for array in (s.values, s.mini_headers):
            assert not array.flags.writeable and not array.flags.owndata
        with pytest.raises(ValueError):
            s.values[0, 0] = 1.0
        assert s.values.strides == (96 + 16, 4)


def test_attributes_are_decoded_once(tmp_path):
    s = spectra.load(series(tmp_path).path)
    assert s.titles is s.titles and s.x is s.x and s.mini_headers is s.mini_headers


def from_file_object(path):
    with open(path, "rb") as f:
        return spectra.load(f)


def from_bytearray(path):
    with open(path, "rb") as f:
        return spectra.load(bytearray(f.read()))


@pytest.mark.parametrize("make, text", [
    (lambda p: spectra.load(series(p).path),
     "<Spectra: series, 3 spectra of 4 points, float32, x 400 to 4000, loaded from {series}>"),
    (lambda p: spectra.open(series(p, element_size=8).path),
     "<Spectra: series, 3 spectra of 4 points, float64, x 400 to 4000, opened from {series}>"),
    (lambda p: from_file_object(spectrum(p)[0]),
     "<Spectra: spectrum, 4 points, float32, x 4000 to 400, loaded from {spectrum}>"),
    (lambda p: from_bytearray(spectrum(p)[0]),
     "<Spectra: spectrum, 4 points, float32, x 4000 to 400, loaded from '<bytearray>'>"),
])
def test_repr(tmp_path, make, text):
    s = make(tmp_path)
    # The path as repr() shows it, with its separators escaped on Windows.
    assert repr(s) == text.format(series=repr(str(tmp_path / "series.spa")),
                                  spectrum=repr(str(tmp_path / "spectrum.spa")))
    s.close()
    assert "closed, was from" in repr(s)


def test_import_quorinreader_imports_no_numpy():
    code = "import sys, quorinreader; print('numpy' in sys.modules, hasattr(quorinreader, 'spectra'))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["False", "False"]
