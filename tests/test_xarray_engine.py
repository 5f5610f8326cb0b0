"""The xarray engine: the entry point, guessing, the Dataset, laziness, closing, pickling."""
import importlib
import importlib.util
import inspect
import io
import multiprocessing
import os
import pathlib
import pickle
import re
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor

import numpy
import pytest

import spawriter as sw
from host_open import FOLDER_ERROR
from open_files import HAVE_PROC, held
from quorinreader import spectra
from spectra_files import series, spectrum

xarray = pytest.importorskip("xarray")
from quorinreader.xarray_backend import SpaBackendEntrypoint  # noqa: E402

needs_proc = pytest.mark.skipif(not HAVE_PROC, reason="needs Linux /proc")


def dask(chunks):
    return pytest.param(chunks, id="dask",
                        marks=pytest.mark.skipif(importlib.util.find_spec("dask") is None, reason="needs dask"))


class BytesPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def test_the_entry_point_gives_the_engine():
    engine = xarray.backends.list_engines()["quorinreader"]
    assert isinstance(engine, SpaBackendEntrypoint)
    # xarray passes open_dataset exactly the parameters listed.
    assert tuple(inspect.signature(engine.open_dataset).parameters) == engine.open_dataset_parameters
    assert engine.description and engine.url


@pytest.mark.parametrize("name, expected", [
    ("reaction.spa", True), ("REACTION.SPA", True), (pathlib.Path("runs/a.Spa"), True),
    (pathlib.PurePosixPath("a.sPA"), True), (BytesPath(b"runs/a.SPA"), True), ("/data.spa/series", False),
    ("reaction.spa.nc", False), ("reaction.nc", False), (".spa", False), ("spa", False),
    (b"reaction.spa", False), (io.BytesIO(b"reaction.spa"), False), (7, False)])
def test_guess_can_open_goes_by_the_suffix(name, expected):
    assert SpaBackendEntrypoint().guess_can_open(name) is expected


FILES = {
    "series v3": lambda tmp: series(tmp, mini_header_type=3).path,
    "series v1, f8": lambda tmp: series(tmp, mini_header_type=1, element_size=8).path,
    "no mini headers": lambda tmp: series(tmp, mini_hdr=False).path,
    "no spectra": lambda tmp: series(tmp, spectra=[]).path,
    "spectrum": lambda tmp: spectrum(tmp)[0],
}
SOURCES = {
    "str, guessed": (str, None),
    "Path": (pathlib.Path, "quorinreader"),
    "bytes": (lambda p: pathlib.Path(p).read_bytes(), "quorinreader"),
    "file object": (lambda p: io.BytesIO(pathlib.Path(p).read_bytes()), "quorinreader"),
}


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("kind", FILES)
def test_the_dataset_is_that_of_an_opened_file(tmp_path, kind, source):
    path = FILES[kind](tmp_path)
    how, engine = SOURCES[source]
    with spectra.open(path) as opened, spectra.load(path) as loaded:
        lazy, eager = opened.to_xarray(), loaded.to_xarray()
        with xarray.open_dataset(how(path), engine=engine) as ds:
            assert all(not ds[name].variable._in_memory for name in ds.variables
                       if name != "x" and (name != "title" or loaded.mini_headers is not None))
            xarray.testing.assert_identical(ds, lazy)
            xarray.testing.assert_identical(ds, eager)
            assert ds.spectra.dtype == loaded.values.dtype and ds.x.dtype == numpy.float64


@pytest.mark.parametrize("drop, gone", [
    ("title", {"title"}), (["direction", "num_scans", "not there"], {"direction", "num_scans"}),
    (("spectra", "x"), {"spectra", "x"}), ([], set())])
def test_drop_variables(tmp_path, drop, gone):
    path = series(tmp_path, mini_header_type=3).path
    with spectra.open(path) as s, xarray.open_dataset(path, engine="quorinreader", drop_variables=drop) as ds:
        full = s.to_xarray()
        assert set(full.variables) - set(ds.variables) == gone
        xarray.testing.assert_identical(ds, full.drop_vars(gone))


def test_a_series_cut_short(tmp_path):
    info = series(tmp_path)
    pathlib.Path(info.path).write_bytes(info.data[:-1])
    with pytest.raises(spectra.FormatError, match=r"spectrum 3 of 3 needs 112 bytes"):
        xarray.open_dataset(info.path, engine="quorinreader")
    with pytest.warns(spectra.TruncatedWarning, match="read 2 of 3 spectra"):
        ds = xarray.open_dataset(info.path, engine="quorinreader", partial=True)
    with ds:
        assert ds.sizes == {"spectrum": 2, "x": 4}
        assert ds.title.values.tolist() == info.titles[:2]
        assert ds.spectra.values.tolist() == numpy.float32(info.spectra[:2]).tolist()
    assert not HAVE_PROC or held(tmp_path) == []


@pytest.mark.parametrize("chunks", [pytest.param(None, id="lazily indexed"), dask({"spectrum": 1})])
def test_a_file_cut_short_after_opening_raises(tmp_path, chunks):
    # Nothing is mapped: the read that finds the file short raises, the
    # process lives on, and what is still there stays readable.
    info = series(tmp_path)
    with xarray.open_dataset(info.path, engine="quorinreader", chunks=chunks) as ds:
        os.truncate(info.path, len(info.data) - 50)
        assert ds.spectra[0].values.tolist() == numpy.float32(info.spectra[0]).tolist()
        with pytest.raises(spectra.FormatError, match=re.escape(info.path) +
                           r": spectrum 3 of 3 needs 112 bytes at offset [0-9,]+, the file ends at"):
            ds.spectra[1:].values
        with pytest.raises(spectra.FormatError, match="spectrum 3 of 3"):
            ds.title.values


@needs_proc
@pytest.mark.parametrize("make, error", [
    (lambda tmp: str(tmp / "missing.spa"), FileNotFoundError),
    (lambda tmp: str(tmp), FOLDER_ERROR),
    (lambda tmp: series(tmp, file_type=sw.FT_GROUP).path, spectra.FormatError),
    (lambda tmp: series(tmp, link_type=1).path, spectra.FormatError)],
    ids=["missing", "directory", "group file", "external link"])
def test_errors_leave_nothing_open(tmp_path, make, error):
    with pytest.raises(error):
        xarray.open_dataset(make(tmp_path), engine="quorinreader")
    assert held(tmp_path) == []


N, POINTS = 4000, 2048  # 32 MiB: a spectrum of 8 KiB and its mini header in every two pages


@pytest.fixture(scope="module")
def large(tmp_path_factory):
    rows = numpy.arange(N * POINTS, dtype=numpy.float32).reshape(N, POINTS)
    return sw.series_file(str(tmp_path_factory.mktemp("large") / "large.spa"), list(rows), mini_header_type=3)


def bytes_read():
    """Bytes this process has read with read system calls so far (Linux /proc)."""
    with open("/proc/self/io") as io_counts:
        return next(int(line.split()[1]) for line in io_counts if line.startswith("rchar:"))


@needs_proc
@pytest.mark.parametrize("chunks", [pytest.param(None, id="lazily indexed"), dask({"spectrum": 10})])
def test_only_the_spectra_used_are_read(large, chunks):
    folder = os.path.dirname(large.path)
    ds = xarray.open_dataset(large.path, engine="quorinreader", chunks=chunks)
    # Nothing mapped, no descriptor kept: each read opens the file and closes it.
    assert held(folder) == []
    one, two = ds.spectra[1234], ds.isel(spectrum=[3999, 7])
    before = bytes_read()
    assert one.values.tolist() == large.spectra[1234].tolist()
    assert two.title.values.tolist() == ["spectrum 3999", "spectrum 7"]
    assert two.num_scans.values.tolist() == [4000, 8]
    # Five spectra read (with chunks, the chunks that hold them), far from the file's 32 MiB.
    assert bytes_read() - before <= (5 if chunks is None else 50) * 8300 + 65536
    assert held(folder) == []
    ds.close()
    with pytest.raises(ValueError, match="closed"):
        ds.spectra[5].values


@pytest.fixture(scope="module")
def pool():
    # A fresh interpreter: nothing reaches the worker but what pickles.
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as executor:
        yield executor


def read_back(data, folder):
    """In another process: what a pickled Dataset holds of its file once
    unpickled, its values and titles, then what closing that copy leaves."""
    def holds():
        return held(folder) if HAVE_PROC else []

    ds = pickle.loads(data)
    unpickled = holds()
    values, titles = ds.spectra.values.tolist(), ds.title.values.tolist()
    ds.close()
    try:
        ds.num_scans.values
    except ValueError as error:
        return unpickled, values, titles, holds(), str(error)
    return unpickled, values, titles, holds(), "still open"


@pytest.mark.parametrize("chunks", [pytest.param(None, id="lazily indexed"), dask({"spectrum": 2})])
def test_a_dataset_pickles_as_its_path(tmp_path, pool, chunks):
    info = series(tmp_path, mini_header_type=1)
    with xarray.open_dataset(info.path, engine="quorinreader", chunks=chunks) as ds:
        ds.spectra[0].values  # read here: nothing of that travels
        data = pickle.dumps(ds)
        assert info.path.encode() in data
        assert not any(row.tobytes() in data for row in numpy.float32(info.spectra))
        # Unpickled, it holds nothing open; closed, it reads no more.
        assert pool.submit(read_back, data, str(tmp_path)).result() == (
            [], numpy.float32(info.spectra).tolist(), info.titles, [],
            f"I/O operation on closed spectra ({info.path})")


def test_without_xarray_the_engine_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "xarray", None)
    for name in ("quorinreader.xarray_backend", "quorinreader._xarray.dataset"):
        monkeypatch.delitem(sys.modules, name, raising=False)
    with pytest.raises(ImportError, match=r"pip install 'quorinreader\[xarray\]'"):
        importlib.import_module("quorinreader.xarray_backend")


def test_importing_the_package_imports_none_of_it():
    code = ("import sys, quorinreader; print(sorted(m for m in sys.modules if m.split('.')[0] in "
            "('numpy', 'xarray', 'dask') or m.startswith('quorinreader.')))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out == "[]\n"


@pytest.mark.parametrize("which", [5, -1, slice(None), slice(3, 9), slice(None, None, -3), slice(8, 2, -2),
                                   slice(4, 4), [7, 2, 2, 9, 0], numpy.array([[1, 3], [3, 0]])],
                         ids=repr)
def test_any_selection_reads_what_the_loaded_file_holds(tmp_path, monkeypatch, which):
    from quorinreader._xarray import dataset as _xarray

    monkeypatch.setattr(_xarray, "_HEADS_STEP", 1)  # the mini headers a spectrum at a time
    rows = numpy.arange(10 * 6, dtype=numpy.float32).reshape(10, 6)
    info = series(tmp_path, spectra=rows.tolist(), titles=[f"t{k}" for k in range(10)], mini_header_type=3)
    with spectra.load(info.path) as s, xarray.open_dataset(info.path, engine="quorinreader") as ds:
        eager = s.to_xarray()
        key = {"spectrum": which} if not isinstance(which, numpy.ndarray) else \
            {"spectrum": xarray.DataArray(which, dims=("a", "b"))}
        xarray.testing.assert_identical(ds.isel(key).load(), eager.isel(key))
        xarray.testing.assert_identical(ds.isel(key | {"x": [4, 1]}).load(), eager.isel(key | {"x": [4, 1]}))
