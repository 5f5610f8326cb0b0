"""to_xarray(), lazy for an opened file; pickling across processes."""
import multiprocessing
import pickle
import importlib
import sys
from concurrent.futures import ProcessPoolExecutor

import numpy
import pytest

import quorinreader
from quorinreader import spectra
from cli_files import DEMO_SERIES
from spectra_files import SPECTRA, fields, same, series, spectrum

xarray = pytest.importorskip("xarray")


@pytest.fixture(scope="module")
def pool():
    # A fresh interpreter: nothing reaches the worker but what pickles.
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as executor:
        yield executor


def summary(s):
    """What a worker sees of a Spectra."""
    with s:
        return (s.kind, s.values.tolist(), s.titles, None if s.mini_headers is None else s.mini_headers.tolist(),
                fields(s.spectral_header), s.values.flags.writeable)


def dataset_summary(ds):
    return ds.spectra.values.tolist(), ds.title.values.tolist(), ds.isel(spectrum=[2, 0]).num_scans.values.tolist()


@pytest.mark.parametrize("how", ["load", "open", "open bytes", "open partial"])
def test_pickled_through_a_process_pool(tmp_path, pool, how):
    info = series(tmp_path, mini_header_type=1)
    if how == "open partial":
        with open(info.path, "r+b") as f:
            f.truncate(len(info.data) - 1)
        with pytest.warns(spectra.TruncatedWarning):
            s = spectra.open(info.path, partial=True)
    else:
        s = getattr(spectra, how.split()[0])(info.data if how == "open bytes" else info.path)
    here = summary(pickle.loads(pickle.dumps(s)))
    there = pool.submit(summary, s).result()
    assert there == here == summary(s)
    assert here[5] == (how == "load")  # a loaded copy is writeable, an opened one is a view again


def test_an_opened_copy_reopens_by_its_absolute_path(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    info = series(".")
    with spectra.open("series.spa") as s:
        data = pickle.dumps(s)
    monkeypatch.chdir("/")
    with pickle.loads(data) as copy:
        same(copy, spectra.load(tmp_path / "series.spa"))


@pytest.mark.parametrize("knobs", [dict(mini_header_type=3), dict(mini_hdr=False, element_size=8), None],
                         ids=["series", "no mini headers", "spectrum"])
@pytest.mark.parametrize("how", ["load", "open"])
def test_the_dataset(tmp_path, how, knobs):
    path = spectrum(tmp_path)[0] if knobs is None else series(tmp_path, **knobs).path
    with getattr(spectra, how)(path) as s:
        ds = s.to_xarray()
        assert list(ds.data_vars) == ["spectra"] and ds.spectra.dims == ("spectrum", "x")
        assert ds.spectra.dtype == s.values.dtype and numpy.array_equal(ds.spectra.values, s.values)
        assert numpy.array_equal(ds.x.values, s.x) and ds.x.dims == ("x",)
        mini = () if s.mini_headers is None else s.mini_headers.dtype.names
        # The writer's series have a dimension "t" ("time") of one element per spectrum.
        series_axis = {"t"} if s.kind == "series" else set()
        assert set(ds.coords) == {"x", "title", *mini, *series_axis}
        if series_axis:
            assert ds.t.dims == ("spectrum",) and ds.t.attrs == {"long_name": "time"}
            assert ds.t.values.tolist() == [0.0, 0.5, 1.0]
        assert ds.title.values.tolist() == s.titles
        for name in mini:
            assert ds[name].dims == ("spectrum",) and ds[name].dtype == s.mini_headers.dtype[name]
            assert ds[name].values.tolist() == s.mini_headers[name].tolist()
        assert ds.attrs == vars(s.spectral_header)


def test_an_opened_dataset_reads_nothing_until_used(tmp_path):
    info = series(tmp_path, mini_header_type=3)
    data = bytearray(info.data)
    with spectra.open(data) as s:
        ds = s.to_xarray()
        # Changed after to_xarray(): what the Dataset shows was read later.
        first = info.blob_offset + 140 + 100
        data[first:first + 4] = numpy.float32(-9.0).tobytes()
        data[first - 100:first - 96] = (77).to_bytes(4, "little")
        data[first - 84:first - 79] = b"late\0"
        assert ds.spectra[0, 0].item() == -9.0 and ds.num_scans[0].item() == 77
        assert ds.title.values.tolist() == ["late", "spectrum 1", "spectrum 2"]
        assert ds.spectra.values.flags.writeable  # read into memory of its own


@pytest.mark.parametrize("key, expected", [
    (slice(None), [0, 1, 2, 3, 4]), (slice(None, None, -2), [4, 2, 0]), (slice(3, 1), []), (3, 3),
    ([4, 0, 4], [4, 0, 4]), (numpy.array([1, 3]), [1, 3])])
def test_lazy_coordinates_index_like_arrays(tmp_path, key, expected):
    info = series(tmp_path, spectra=[[float(k)] * 2 for k in range(5)], mini_header_type=2)
    with spectra.open(info.path) as s:
        ds = s.to_xarray().isel(spectrum=key)
        assert ds.title.values.tolist() == (
            [f"spectrum {k}" for k in expected] if isinstance(expected, list) else f"spectrum {expected}")
        assert ds.direction.values.tolist() == expected
        assert ds.spectra.values.tolist() == ([[float(k)] * 2 for k in expected] if isinstance(expected, list)
                                              else [float(expected)] * 2)


def test_a_closed_spectra_closes_its_dataset(tmp_path):
    s = spectra.open(series(tmp_path).path)
    ds = s.to_xarray()
    s.close()
    with pytest.raises(ValueError, match="closed"):
        ds.spectra.values


def test_a_lazy_dataset_pickles_to_a_worker(tmp_path, pool):
    info = series(tmp_path)
    with spectra.open(info.path) as s:
        ds = s.to_xarray()
        assert pool.submit(dataset_summary, ds).result() == (
            numpy.float32(SPECTRA).tolist(), info.titles, [3, 1])


def test_without_xarray_the_error_names_the_extra(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "xarray", None)
    monkeypatch.delitem(sys.modules, "quorinreader._xarray.dataset", raising=False)
    monkeypatch.delattr(importlib.import_module("quorinreader._xarray"), "dataset", raising=False)  # or the import finds it there
    with pytest.raises(ImportError, match=r"pip install 'quorinreader\[xarray\]'"):
        spectra.load(series(tmp_path).path).to_xarray()


def test_units_are_the_bracketed_end_of_the_labels():
    """As the command line's plots read them; xarray's plots then say "Raman shift [cm-1]"."""
    with xarray.open_dataset(DEMO_SERIES, engine="quorinreader") as ds:
        assert ds.x.attrs == {"long_name": "Raman shift", "units": "cm-1"}
        assert ds.t.attrs == {"long_name": "time", "units": "s"}
