"""spectra.load_many and open_many: many files, one matrix, the X axis checked."""

import base64
import io
import os
import pickle
import re
import struct
import sys
import threading
import time

import numpy
import pytest

import spawriter as sw
import spectra_files as sf
from quorinreader import spectra
from wine import DASK_CLUSTER


def singles(folder, count, points=6, names="s{}.spa", **knobs):
    """`count` single spectra whose values tell them apart."""
    paths = []
    for k in range(count):
        values = numpy.arange(points, dtype=numpy.float32) * (k + 1) + k / 8
        paths.append(sf.spectrum(folder, values=values.tolist(), name=names.format(k), **knobs)[0])
    return paths


def series(folder, name, **knobs):
    return sf.series(folder, name=name, **knobs).path


def rows_of(paths):
    """What spectra.load gives for each file, stacked."""
    loaded = [spectra.load(p) for p in paths]
    return loaded, numpy.concatenate([s.values.astype(numpy.float64) for s in loaded])


@pytest.mark.parametrize("kind", ["singles", "series", "series8", "mixed"])
def test_load_many_equals_load_of_each_file(tmp_path, kind, fd_count):
    if kind == "singles":
        paths = singles(tmp_path, 5, points=4)
    elif kind in ("series", "series8"):
        item = 8 if kind == "series8" else 4
        paths = [series(tmp_path, f"r{k}.spa", element_size=item, mini_header_type=k % 2,
                           spectra=(numpy.asarray(sf.SPECTRA) + k).tolist()) for k in range(3)]
    else:  # a 4-byte single among 8-byte series: one float64 matrix
        paths = [series(tmp_path, "r0.spa", element_size=8), singles(tmp_path, 1, points=4, first_x=400.0, last_x=4000.0)[0],
                 series(tmp_path, "r1.spa")]
    before = fd_count()
    c = spectra.load_many(paths)
    assert fd_count() == before
    loaded, expected = rows_of(paths)
    stored = {s.values.dtype.itemsize for s in loaded}
    assert c.values.dtype == (numpy.float32 if stored == {4} else numpy.float64)
    assert c.values.flags.c_contiguous and c.values.shape == expected.shape == (len(c), 4)
    assert numpy.array_equal(c.values.astype(numpy.float64), expected)
    assert c.files == [p for p, s in zip(paths, loaded) for _ in range(len(s))]
    assert c.titles == [t for s in loaded for t in s.titles]
    assert numpy.array_equal(c.x, loaded[0].x) and c.x.dtype == numpy.float64
    for name in ("num_points", "first_x", "last_x", "num_scans", "laser_freq"):
        assert c.headers[name].tolist() == [getattr(s.spectral_header, name) for s in loaded for _ in range(len(s))]
    if kind == "series":  # mini headers of either layout differ: no table
        assert c.mini_headers is None
    if kind == "series8":
        assert c.mini_headers is None
    if kind == "singles":
        assert c.mini_headers is None and c.skipped == []


def test_series_of_one_mini_layout_give_their_table(tmp_path):
    paths = [series(tmp_path, f"r{k}.spa") for k in range(2)]
    c = spectra.load_many(paths)
    expected = numpy.concatenate([spectra.load(p).mini_headers for p in paths])
    assert c.mini_headers is not None and c.mini_headers.tolist() == expected.tolist()


def test_sources_mix_paths_bytes_and_file_objects(tmp_path):
    a, b, d = singles(tmp_path, 3, points=4)
    with open(b, "rb") as f:
        data = f.read()
    with open(d, "rb") as f:
        c = spectra.load_many([a, data, io.BytesIO(data), f])
    assert c.files[0] == a and c.files[1] == "<bytes>" and c.files[3] == d
    assert numpy.array_equal(c.values, numpy.concatenate([spectra.load(p).values for p in (a, b, b, d)]))


def test_a_folder_or_glob_is_read_in_natural_order(tmp_path):
    for k in (10, 2, 1, 33, 3):
        sf.spectrum(tmp_path, values=[float(k)] * 4, name=f"s{k}.spa")
    sf.spectrum(tmp_path, values=[7.0] * 4, name="S7.SPA")
    (tmp_path / "notes.txt").write_text("not read")
    (tmp_path / "deeper.spa").mkdir()  # a folder is not a file, and the listing does not recurse
    order = [1.0, 2.0, 3.0, 7.0, 10.0, 33.0]
    assert spectra.load_many(tmp_path).values[:, 0].tolist() == order
    # Windows' names, and so its patterns, ignore case: there s*.spa matches S7.SPA.
    globbed = order if sys.platform == "win32" else [1.0, 2.0, 3.0, 10.0, 33.0]
    assert spectra.load_many(str(tmp_path / "s*.spa")).values[:, 0].tolist() == globbed
    backwards = [str(tmp_path / f"s{k}.spa") for k in (33, 1)]
    assert spectra.load_many(backwards).values[:, 0].tolist() == [33.0, 1.0]
    with pytest.raises(FileNotFoundError, match="no file whose name ends in .spa"):
        spectra.load_many(tmp_path / "deeper.spa")


@pytest.mark.parametrize("change, shown", [
    ({"values": [1.0] * 5}, "5 points from 4000 to 400"),
    ({"first_x": 3999.6}, "4 points from 3999.6 to 400"),
    ({"last_x": 399.5}, "4 points from 4000 to 399.5"),
])
def test_every_axis_mismatch_is_named(tmp_path, change, shown):
    paths = singles(tmp_path, 6, points=4)
    knobs = {"values": [1.0] * 4, **change}
    for k in (2, 4):
        sf.spectrum(tmp_path, name=f"s{k}.spa", **knobs)
    with pytest.raises(spectra.FormatError) as raised:
        spectra.load_many(paths)
    assert str(raised.value).startswith(f"{paths[2]}: {shown}; the first file has 4 points from 4000 to 400 "
                                        "(2 of 6 files differ: s2.spa, s4.spa); x=\"first\" interpolates ")


def test_many_mismatches_name_the_first_few(tmp_path):
    paths = singles(tmp_path, 2, points=4) + singles(tmp_path, 5, points=3, names="t{}.spa")
    with pytest.raises(spectra.FormatError, match=r"\(5 of 7 files differ: t0.spa, t1.spa, t2.spa, \.\.\.\)"):
        spectra.load_many(paths)


def test_interpolation_matches_numpy_interp(tmp_path):
    paths = [sf.spectrum(tmp_path, values=[1.0, 5.0, -2.0, 4.0], name="a.spa")[0],
             sf.spectrum(tmp_path, values=[3.0, 0.5, 2.0], name="b.spa", first_x=500.0, last_x=3500.0)[0],
             series(tmp_path, "c.spa", element_size=8)]
    grid = numpy.linspace(100.0, 4200.0, 57)
    c = spectra.load_many(paths, x=grid)
    assert c.values.dtype == numpy.float64 and numpy.array_equal(c.x, grid)
    expected = []
    for p in paths:
        s = spectra.load(p)
        order = numpy.argsort(s.x)
        expected += [numpy.interp(grid, s.x[order], row[order], left=numpy.nan, right=numpy.nan) for row in s.values]
    numpy.testing.assert_allclose(c.values, numpy.array(expected), rtol=1e-12, atol=1e-12, equal_nan=True)
    assert c.headers["num_points"].tolist()[:2] == [4, 3]  # each file's own axis stays
    assert numpy.isnan(c.values[1, grid < 500]).all() and not numpy.isnan(c.values[0, (grid >= 400) & (grid <= 4000)]).any()


def test_on_error_raise_and_skip(tmp_path, fd_count):
    paths = singles(tmp_path, 4, points=4)
    stray = tmp_path / "table.spa"
    stray.write_bytes(b"wavenumber,absorbance\n4000,0.1\n400,0.2\n")
    short = series(tmp_path, "short.spa")
    with open(short, "r+b") as f:
        f.truncate(os.path.getsize(short) - 3)
    missing = str(tmp_path / "gone.spa")
    sources = [paths[0], str(stray), paths[1], missing, short, paths[2], b"\x89PNG\r\n\x1a\n" + bytes(400)]
    before = fd_count()
    with pytest.raises(spectra.FormatError) as raised:
        spectra.load_many(sources)
    assert str(raised.value) == f"{stray}: not a spectral file: it starts with b'wavenumber,absorb'"
    assert fd_count() == before
    with pytest.raises(FileNotFoundError) as gone:
        spectra.load_many([paths[0], missing])
    assert gone.value.filename == missing
    with pytest.warns(UserWarning, match="skipped 4 of 7 files"):
        c = spectra.load_many(sources, on_error="skip")
    assert fd_count() == before
    assert c.files == [paths[0], paths[1], paths[2]]
    assert [s for s, _ in c.skipped] == [str(stray), missing, short, sources[-1]]
    messages = [m for _, m in c.skipped]
    assert "not a spectral file" in messages[0] and "No such file" in messages[1]
    assert messages[2].startswith(f"{short}: ") and "not a spectral file" not in messages[2]
    assert messages[3] == "<bytes>: not a spectral file: it starts with b'\\x89PNG\\r\\n\\x1a\\n\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00'"
    assert numpy.array_equal(c.values, rows_of(paths[:3])[1])


def native_threads():
    """Threads of this process that Python did not start, the core's own
    among them (Linux /proc): a thread some library starts in Python
    meanwhile (a progress bar's monitor, a cluster's) is not counted."""
    started_in_python = {t.native_id for t in threading.enumerate()}
    return {int(tid) for tid in os.listdir("/proc/self/task")} - started_in_python


def native_threads_after_exit(expected, within=1.0):
    """native_threads(), once the kernel has had `within` seconds to reap
    threads that were joined: a joined thread has run its last instruction
    but lingers in /proc for a few milliseconds while it is torn down."""
    deadline = time.monotonic() + within
    while (now := native_threads()) != expected and time.monotonic() < deadline:
        time.sleep(0.001)
    return now


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads through Linux's /proc")
@pytest.mark.parametrize("with_series", [False, True], ids=["singles, read with their headers", "and a series"])
def test_threads_give_the_same_matrix_and_end(tmp_path, with_series):
    paths = singles(tmp_path, 70, points=9, first_x=400.0, last_x=4000.0)
    if with_series:
        paths.insert(33, series(tmp_path, "r.spa", spectra=[[1.0] * 9] * 3))
    threads = native_threads()
    first = spectra.load_many(paths, workers=1)
    assert numpy.array_equal(first.values, rows_of(paths)[1])
    for workers in range(2, 9):
        again = spectra.load_many(paths, workers=workers)
        assert again.values.tobytes() == first.values.tobytes() and again.titles == first.titles
        assert native_threads_after_exit(threads) == threads
    with pytest.raises(ValueError, match="workers"):
        spectra.load_many(paths, workers=0)


def test_exports(tmp_path):
    paths = singles(tmp_path, 3, points=4)
    c = spectra.load_many(paths)
    frame = c.to_pandas()
    assert list(frame.index.names) == ["file", "title"] and frame.index[1] == (paths[1], "sample 7")
    assert numpy.array_equal(frame.columns.to_numpy(), c.x) and numpy.array_equal(frame.to_numpy(), c.values)
    ds = c.to_xarray()
    assert ds.spectra.dims == ("spectrum", "x") and list(ds.file.values) == paths
    assert ds.num_points.values.tolist() == [4, 4, 4] and ds.x.dtype == numpy.float64
    html = c._repr_html_()
    assert "<svg" in html and "collection" in html and "<polyline" in html
    # Many spectra: a heat map thumbnail, one pixel per spectrum and point here.
    heat = spectra.load_many(singles(tmp_path, 12, points=4, names="m{}.spa"))._repr_html_()
    png = base64.b64decode(re.search(r"data:image/png;base64,([A-Za-z0-9+/=]+)", heat).group(1))
    assert png[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", png[16:24]) == (4, 12)
    assert len(heat) < 4000
    assert "<svg" in spectra.load(paths[0])._repr_html_()


# On a loaded machine the scheduler may take over a second to set up its
# scratch folder and says so; the suite's warnings-as-errors would end the
# cluster before it starts.
@pytest.mark.filterwarnings("ignore:Creating scratch directories is taking:UserWarning")
@DASK_CLUSTER
def test_open_many_on_a_cluster_equals_load_many(tmp_path):
    distributed = pytest.importorskip("distributed")
    paths = singles(tmp_path, 9, points=5, first_x=400.0, last_x=4000.0) + [series(tmp_path, "z.spa", spectra=[[2.0] * 5] * 2)]
    expected = spectra.load_many(paths)
    lazy = spectra.open_many(paths, files_per_chunk=4)
    assert lazy.lazy and lazy.values.chunks[0] == (4, 4, 3) and lazy.titles == expected.titles
    graph = pickle.dumps(dict(lazy.values.__dask_graph__()))
    assert b"<_io" not in graph and len(graph) < 20000  # paths and offsets, no values
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address="127.0.0.1:0") as cluster, distributed.Client(cluster):
        assert numpy.array_equal(lazy.values.compute(), expected.values)
        assert numpy.array_equal(lazy.to_xarray().spectra.mean("spectrum").values,
                                 expected.to_xarray().spectra.mean("spectrum").values)


def test_a_large_single_cut_short_fails_in_the_value_pass(tmp_path, fd_count):
    # Its headers fit the first 4 KiB and look whole; only its values run past the end.
    paths = singles(tmp_path, 3, points=2000)
    with open(paths[1], "r+b") as f:
        f.truncate(os.path.getsize(paths[1]) - 4)
    with pytest.raises(spectra.FormatError) as raised:
        spectra.load(paths[1])
    before = fd_count()
    for workers in (1, 2):
        with pytest.raises(spectra.FormatError) as again:
            spectra.load_many(paths, workers=workers)
        assert str(again.value) == str(raised.value)
        with pytest.warns(UserWarning, match="skipped 1 of 3 files"):
            c = spectra.load_many(paths, on_error="skip", workers=workers)
        assert c.files == [paths[0], paths[2]] and c.skipped == [(paths[1], str(raised.value))]
        assert numpy.array_equal(c.values, rows_of([paths[0], paths[2]])[1])
    assert fd_count() == before


@pytest.mark.parametrize("call, error, match", [
    (lambda p: spectra.load_many(p, x="nearest"), ValueError, "x must be 'exact', 'first' or a 1-D array"),
    (lambda p: spectra.load_many(p, x=[[1.0, 2.0]]), ValueError, r"not an array of shape \(1, 2\)"),
    (lambda p: spectra.load_many(p, on_error="ignore"), ValueError, "on_error must be 'raise' or 'skip'"),
    (lambda p: spectra.load_many(p + "/none*.spa"), FileNotFoundError, "the pattern matches no file"),
    (lambda p: spectra.open_many([p + "/s0.spa", b"bytes"]), TypeError, "reads files by their paths"),
    (lambda p: spectra.open_many(p, files_per_chunk=0), ValueError, "files_per_chunk"),
])
def test_bad_arguments_say_what_was_expected(tmp_path, call, error, match):
    singles(tmp_path, 2, points=4)
    with pytest.raises(error, match=match):
        call(str(tmp_path))


def test_progress_and_a_lazy_collection_show_themselves(tmp_path, capsys):
    pytest.importorskip("tqdm")
    paths = singles(tmp_path, 3, points=4)
    grid = numpy.array([500.0, 1000.0])
    c = spectra.load_many(paths, progress=True, x=grid)
    assert "values" in capsys.readouterr().err and c.values.shape == (3, 2)
    lazy = spectra.open_many(tmp_path, files_per_chunk=2)
    assert "collection, lazy" in lazy._repr_html_() and "lazy" in repr(lazy)
    assert lazy.to_pandas().to_numpy().tolist() == spectra.load_many(paths).values.tolist()
