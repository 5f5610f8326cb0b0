"""Paths, bytes and file objects; load against open; what stays open and for how long."""
import gc
import io
import pathlib
import re

import numpy
import pytest

from host_open import FOLDER_ERROR
from quorinreader import _Reader, spectra
from quorinreader._read import arrays as _arrays, layout as _layout
from spectra_files import SPECTRA, same, series, spectrum


class ReadOnly:
    """A binary file object with read() alone: no seek, no name."""

    def __init__(self, data):
        self._f = io.BytesIO(data)

    def read(self, n=-1):
        return self._f.read(n)


def at_end(data):
    f = io.BytesIO(data)
    f.read()  # read from its start all the same
    return f


SOURCES = {
    "str": lambda path, data: path,
    "pathlib": lambda path, data: pathlib.Path(path),
    "bytes": lambda path, data: data,
    "bytearray": lambda path, data: bytearray(data),
    "memoryview": lambda path, data: memoryview(data),
    "uint32 array": lambda path, data: numpy.frombuffer(data + bytes(-len(data) % 4), "<u4"),
    "BytesIO at its end": lambda path, data: at_end(data),
    "read() only": lambda path, data: ReadOnly(data),
}


@pytest.fixture(params=[dict(mini_header_type=3), dict(mini_hdr=False, element_size=8, bench_hdr=True), None],
                ids=["series", "series without mini headers", "spectrum"])
def sample(request, tmp_path):
    if request.param is None:
        path, _ = spectrum(tmp_path)
    else:
        path = series(tmp_path, **request.param).path
    with open(path, "rb") as f:
        return path, f.read()


@pytest.mark.parametrize("how", ["load", "open"])
@pytest.mark.parametrize("kind", SOURCES)
def test_every_source_gives_one_answer(sample, how, kind):
    path, data = sample
    source = SOURCES[kind](path, data)
    if kind == "uint32 array":  # a whole number of items: the file padded with zeros
        reference = spectra.load(data + bytes(-len(data) % 4))
    else:
        reference = spectra.load(path)
    with getattr(spectra, how)(source) as s:
        same(s, reference)


def test_a_file_object_is_named_by_its_name(tmp_path):
    path = series(tmp_path, max_spectra=4).path
    with open(path, "rb") as f, pytest.raises(spectra.FormatError, match=f"^{re.escape(str(path))}: spectrum 4 of 4"):
        spectra.load(f)
    with pytest.raises(spectra.FormatError, match="^<ReadOnly>: spectrum 4 of 4"):
        spectra.open(ReadOnly(pathlib.Path(path).read_bytes()))


@pytest.mark.parametrize("source, message", [
    (12, "expected a path .* not 'int'"),
    (io.StringIO("text"), "must return bytes, not 'str'"),
])
def test_what_is_no_source(source, message):
    with pytest.raises(TypeError, match=message):
        spectra.load(source)


@pytest.mark.parametrize("knobs", [{}, dict(mini_hdr=False), dict(element_size=8, mini_header_type=2)])
def test_open_is_load_in_place(tmp_path, knobs):
    info = series(tmp_path, **knobs)
    loaded = spectra.load(info.path)
    with spectra.open(info.path) as opened:
        same(opened, loaded)
        raw = opened.values.base  # the whole file, mapped
        assert raw.nbytes == len(info.data) and not raw.flags.writeable
        head = opened.values.strides[0] - opened.values[0].nbytes
        assert opened.values.ctypes.data - raw.ctypes.data == info.blob_offset + 140 + head


def test_open_views_the_callers_bytes(tmp_path):
    info = series(tmp_path)
    data = bytearray(info.data)
    with spectra.open(data) as s:
        first = info.blob_offset + 140 + 96
        data[first:first + 4] = numpy.float32(42.0).tobytes()
        assert s.values[0, 0] == 42.0
        assert not s.values.flags.writeable
        with pytest.raises(BufferError):
            data.clear()  # exported while the view lives
    del s
    gc.collect()
    data.clear()


@pytest.mark.parametrize("source", ["path", "bytes"])
def test_views_kept_after_close_stay_valid(tmp_path, source):
    info = series(tmp_path)
    s = spectra.open(info.path if source == "path" else bytes(info.data))
    row, heads = s.values[2], s.mini_headers
    s.close()
    gc.collect()
    assert row.tolist() == numpy.float32(SPECTRA[2]).tolist()
    assert heads["num_scans"].tolist() == [1, 2, 3]


@pytest.mark.parametrize("how", ["load", "open"])
def test_closed_spectra_refuse_their_arrays(tmp_path, how):
    s = getattr(spectra, how)(series(tmp_path).path)
    values = s.values
    with s:
        pass
    assert s.closed
    for name in ("values", "x", "titles", "mini_headers"):
        with pytest.raises(ValueError, match="closed"):
            getattr(s, name)
    with pytest.raises(ValueError, match="closed"):
        s.to_xarray()
    assert values.tolist() == numpy.float32(SPECTRA).tolist()
    assert len(s) == 3 and s.series_header.max_spectra == 3
    s.close()


@pytest.mark.parametrize("how", ["load", "open"])
@pytest.mark.parametrize("case", ["series", "spectrum", "format error", "no such file", "a directory"])
def test_no_descriptor_outlives_a_call(tmp_path, fd_count, how, case):
    path = {"series": lambda: series(tmp_path).path, "spectrum": lambda: spectrum(tmp_path)[0],
            "format error": lambda: series(tmp_path, max_spectra=9).path,
            "no such file": lambda: str(tmp_path / "missing.spa"), "a directory": lambda: str(tmp_path)}[case]()
    error = {"format error": spectra.FormatError, "no such file": FileNotFoundError,
             "a directory": FOLDER_ERROR}.get(case)
    before = fd_count()
    if error:
        with pytest.raises(error):
            getattr(spectra, how)(path)
        assert fd_count() == before
        return
    s = getattr(spectra, how)(path)
    assert fd_count() == before  # an opened file holds its mapping, no descriptor
    s.values.sum()
    s.close()
    assert fd_count() == before


def test_steps_of_an_unknown_size_make_one_matrix(tmp_path, monkeypatch):
    """A source of unknown size is read in bounded steps, cut where the file ends."""
    info = series(tmp_path, spectra=[[float(k), -k, k / 2] for k in range(10)], max_spectra=12)
    with _Reader(info.path) as reader:
        layout = _layout.find(reader, None, info.path)
        monkeypatch.setattr(_arrays, "_STEP_BYTES", 3 * layout.table.stride)
        values, heads, got = _arrays.read(reader, layout.table, False)
    assert got == 10 and values.flags.c_contiguous
    assert values.tolist() == [[float(k), -k, k / 2] for k in range(10)]
    assert heads.size == 10 * 96
    assert _arrays.titles(heads, 0, 96, 10, layout.table.mini, None) == [f"spectrum {k}" for k in range(10)]
