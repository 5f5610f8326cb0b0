"""Maps: stage positions to a grid, and the spectra as an image cube on it.

Every layout is written by the writer with spectrum k's values [k, k + 0.25],
so the cube it must give follows from where the scan put each spectrum.
The x and y steps differ (5 and 2.5) and so do the counts, so that a swap
of rows and columns cannot pass."""

import re
from pathlib import Path

import numpy
import pytest

from quorinreader import spectra
import spawriter as sw

X0, Y0, DX, DY = 100.0, -20.0, 5.0, 2.5


def scan(nx, ny, rows=True, snake=False, corner="lower left"):
    """The nodes (ix, iy) in the order the stage visits them; ix and iy count
    from the smallest x and y."""
    fast_n, slow_n = (nx, ny) if rows else (ny, nx)
    fast_back = ("right" in corner) if rows else ("upper" in corner)
    slow_back = ("upper" in corner) if rows else ("right" in corner)
    nodes = []
    for line in range(slow_n):
        slow = slow_n - 1 - line if slow_back else line
        back = fast_back != (snake and line % 2 == 1)
        for step in range(fast_n):
            fast = fast_n - 1 - step if back else step
            nodes.append((fast, slow) if rows else (slow, fast))
    return nodes


def write(tmp_path, nodes, jitter=None, name="map.spa", points=2, **knobs):
    """A series of one spectrum per node, at X0 + DX ix, Y0 + DY iy (+ jitter, in steps)."""
    jitter = numpy.zeros((len(nodes), 2)) if jitter is None else numpy.asarray(jitter)
    mini = [dict(x_position=X0 + DX * (ix + jx), y_position=Y0 + DY * (iy + jy))
            for (ix, iy), (jx, jy) in zip(nodes, jitter)]
    values = [[k + 0.25 * p for p in range(points)] for k in range(len(nodes))]
    return sw.series_file(str(Path(tmp_path) / name), values, mini=mini, **knobs).path


def expected(nodes, nx, ny, points=2):
    """The index and cube the nodes must give: the last spectrum at each
    node, on the nodes from the first to the last line the scan reached."""
    ix0, iy0 = min(ix for ix, _ in nodes), min(iy for _, iy in nodes)
    index = numpy.full((ny, nx), -1)
    for k, (ix, iy) in enumerate(nodes):
        index[iy - iy0, ix - ix0] = k
    cube = numpy.where(index[..., None] >= 0, index[..., None] + 0.25 * numpy.arange(points), numpy.nan)
    return index, cube


def check(m, nodes, nx, ny, scan_kind=None):
    index, cube = expected(nodes, nx, ny)
    assert m.shape == (ny, nx)
    assert numpy.array_equal(m.index, index)
    assert numpy.array_equal(m.cube, cube, equal_nan=True)
    assert m.taken == numpy.count_nonzero(index >= 0)
    assert m.stage_x.dtype == m.stage_y.dtype == numpy.float64
    ix0, iy0 = min(ix for ix, _ in nodes), min(iy for _, iy in nodes)
    numpy.testing.assert_allclose(m.stage_x, X0 + DX * numpy.arange(ix0, ix0 + nx), atol=1e-4)
    numpy.testing.assert_allclose(m.stage_y, Y0 + DY * numpy.arange(iy0, iy0 + ny), atol=1e-4)
    if scan_kind is not None:
        assert m.scan == scan_kind


CORNERS = ["lower left", "lower right", "upper left", "upper right"]


@pytest.mark.parametrize("corner", CORNERS)
@pytest.mark.parametrize("snake", [False, True], ids=["raster", "snake"])
@pytest.mark.parametrize("rows", [True, False], ids=["rows first", "columns first"])
@pytest.mark.parametrize("how", ["load", "open"])
def test_a_complete_scan(tmp_path, how, rows, snake, corner):
    nodes = scan(5, 4, rows, snake, corner)
    with getattr(spectra, how)(write(tmp_path, nodes)) as s:
        assert s.is_map
        m = s.to_map()
        check(m, nodes, 5, 4, "snake" if snake else "raster")
        # A raster in either order is a view of the values; a snake is gathered.
        assert numpy.shares_memory(m.cube, s.values) == (not snake)
        assert m.cube.flags.writeable == (how == "load" or snake)  # a view keeps the flags of the values
        assert repr(m).startswith(f"<Map: 5 × 4 positions, step 5.0 × 2.5, {m.scan}, 20 of 20 taken")


@pytest.mark.parametrize("layout, nx, ny", [
    # Stopped early: the last line part taken; lines never reached are not known.
    (scan(5, 4, True, True, "upper right")[:13], 5, 3),
    (scan(5, 4, False, False, "lower left")[:9], 3, 4),
    # Holes, and a region that is no rectangle (an L).
    ([n for n in scan(5, 4) if n not in [(1, 1), (3, 2), (4, 0)]], 5, 4),
    ([n for n in scan(6, 5, True, True) if n[0] < 2 or n[1] < 2], 6, 5),
    # A whole column missing inside the grid stays a column of NaN.
    ([n for n in scan(5, 4, False, True) if n[0] != 2], 5, 4),
    # Single lines, either way and backwards.
    (scan(7, 1), 7, 1), (scan(1, 6, corner="upper left"), 1, 6), (scan(7, 1, corner="lower right"), 7, 1),
], ids=["stopped in a line", "stopped after a column", "holes", "an L", "a missing column",
        "a row", "a column", "a row backwards"])
def test_partial_layouts(tmp_path, layout, nx, ny):
    s = spectra.load(write(tmp_path, layout))
    m = s.to_map()
    check(m, layout, nx, ny)
    assert m.taken == len(layout) and not numpy.shares_memory(m.cube, s.values) or m.taken == nx * ny


def test_snake_and_raster_are_told_apart_in_a_stopped_scan(tmp_path):
    assert spectra.load(write(tmp_path, scan(5, 4, snake=True)[:12])).to_map().scan == "snake"
    assert spectra.load(write(tmp_path, scan(5, 4)[:12])).to_map().scan == "raster"


@pytest.mark.parametrize("rows", [True, False])
def test_jitter_within_the_tolerance_is_absorbed(tmp_path, rows):
    nodes = scan(6, 5, rows, True, "upper right")
    jitter = numpy.random.default_rng(1).uniform(-0.2, 0.2, (len(nodes), 2))
    m = spectra.load(write(tmp_path, nodes, jitter)).to_map()
    index, cube = expected(nodes, 6, 5)
    assert numpy.array_equal(m.index, index) and numpy.array_equal(m.cube, cube)
    numpy.testing.assert_allclose(m.stage_x, X0 + DX * numpy.arange(6), atol=0.2 * DX)
    numpy.testing.assert_allclose(m.stage_y, Y0 + DY * numpy.arange(5), atol=0.2 * DY)
    assert m.step == pytest.approx((DY, DX), rel=0.05)


def test_a_large_jittered_map_is_found_from_a_sample(tmp_path):
    """More positions than are sorted to find the steps: the fit still takes all."""
    nodes = scan(100, 90, rows=False, snake=True, corner="upper left")
    jitter = numpy.random.default_rng(2).normal(0, 0.03, (len(nodes), 2))
    m = spectra.load(write(tmp_path, nodes, jitter, points=1)).to_map()
    index, _ = expected(nodes, 100, 90, points=1)
    assert numpy.array_equal(m.index, index) and m.scan == "snake" and m.taken == 9000


@pytest.mark.parametrize("axis, message", [
    (0, "the spectrum at index 7, taken at (112.05, -17.50), lies 0.41 steps from the nearest node of the 5.0 × 2.5 grid"),
    (1, "the spectrum at index 7, taken at (110.00, -16.48), lies 0.41 steps from the nearest node of the 5.0 × 2.5 grid"),
])
def test_jitter_beyond_the_tolerance_names_the_spectrum(tmp_path, axis, message):
    nodes = scan(5, 4)
    jitter = numpy.zeros((len(nodes), 2))
    jitter[7, axis] = 0.41
    path = write(tmp_path, nodes, jitter)
    s = spectra.load(path)
    assert not s.is_map
    with pytest.raises(spectra.MapError, match="^" + re.escape(f"{path}: {message}") + "$"):
        s.to_map()
    # A wider tolerance takes it in.  (Along y, 0.45 steps of a grid of four
    # rows also admits a finer grid of five, which is then the one found.)
    if axis == 0:
        assert numpy.array_equal(s.to_map(tolerance=0.45).index, expected(nodes, 5, 4)[0])


def test_a_line_whose_other_axis_jitters(tmp_path):
    nodes = scan(8, 1)
    jitter = numpy.zeros((8, 2))
    jitter[:, 1] = numpy.random.default_rng(3).uniform(-0.2, 0.2, 8) * DX / DY  # a fifth of the x step
    m = spectra.load(write(tmp_path, nodes, jitter)).to_map()
    assert m.shape == (1, 8) and m.index.tolist() == [list(range(8))]


def test_duplicates_in_each_mode(tmp_path):
    nodes = scan(3, 2) + [(1, 0), (2, 1)]  # spectra 6 and 7 taken again at the nodes of 1 and 5
    path = write(tmp_path, nodes)
    s = spectra.load(path)
    with pytest.raises(spectra.MapError, match=rf"^{re.escape(str(path))}: the spectra at indices 1 and 6 were both taken at \(105\.00, "
                                               rf"-20\.00\), one node of the grid; pass duplicates="):
        s.to_map()
    assert s.is_map  # the positions do lie on a grid
    last = s.to_map(duplicates="last")
    check(last, nodes, 3, 2)
    assert last.taken == 6 and last.index[0, 1] == 6 and last.index[1, 2] == 7
    mean = s.to_map(duplicates="mean")
    assert numpy.array_equal(mean.index, last.index)
    want = expected(nodes, 3, 2)[1]
    want[0, 1] = [3.5, 3.75]  # (1 + 6) / 2
    want[1, 2] = [6.0, 6.25]  # (5 + 7) / 2
    assert numpy.array_equal(mean.cube, want)
    assert numpy.array_equal(mean.image(band=(0, 5000), how="max"), want.max(axis=2))
    with pytest.raises(ValueError, match="duplicates must be"):
        s.to_map(duplicates="first")
    with pytest.raises(spectra.MapError, match="the spectra at indices 1 and 6"):
        s.to_xarray(map=True)
    with spectra.open(path) as opened:  # the means are taken, also for an opened file
        ds = opened.to_xarray(map=opened.to_map(duplicates="mean"))
        assert numpy.array_equal(ds.spectra.values, want) and ds.spectrum.values[0, 1] == 6
        with pytest.raises(ValueError, match="the map given is of"):
            opened.to_xarray(map=mean)


@pytest.mark.parametrize("count, message", [(1, "its one spectrum was taken at one position; a map needs 2"),
                                            (6, "all 6 spectra were taken at one position")])
def test_one_position_is_no_map(tmp_path, count, message):
    path = write(tmp_path, [(0, 0)] * count)
    s = spectra.load(path)
    assert not s.is_map
    with pytest.raises(spectra.MapError, match=f"^{re.escape(str(path))}: {message}"):
        s.to_map()


def test_what_has_no_positions_is_no_map(tmp_path):
    path = sw.series_file(str(tmp_path / "plain.spa"), [[1.0, 2.0]] * 3, mini_hdr=False).path
    s = spectra.load(path)
    assert not s.is_map
    with pytest.raises(spectra.MapError, match="no mini headers"):
        s.to_map()
    assert issubclass(spectra.MapError, spectra.FormatError)


def test_images(tmp_path):
    nodes = [n for n in scan(4, 3) if n != (2, 1)]
    s = spectra.load(write(tmp_path, nodes, points=5))
    s_x = s.x  # 400 to 4000 in 5 points: 400, 1300, 2200, 3100, 4000
    m = s.to_map()
    cube = m.cube
    assert numpy.isnan(cube[1, 2]).all()
    numpy.testing.assert_array_equal(m.image(at=1250.0), cube[:, :, 1])
    numpy.testing.assert_array_equal(m.image(band=(4000, 2000), how="max"), cube[:, :, 4])
    numpy.testing.assert_allclose(m.image(band=(1300, 3100), how="mean"), cube[:, :, 1:4].mean(axis=2))
    area = m.image(band=(1300, 3100), how="area")
    step = s_x[2] - s_x[1]  # 900
    numpy.testing.assert_allclose(area, step * (cube[:, :, 1] / 2 + cube[:, :, 2] + cube[:, :, 3] / 2))
    assert numpy.isnan(area[1, 2]) and area.dtype == numpy.float64
    with pytest.raises(ValueError, match="no X lies in the band 10 to 20"):
        m.image(band=(10, 20))
    with pytest.raises(ValueError, match="one of at=X or band"):
        m.image()


def test_the_map_dataset(tmp_path):
    nodes = [n for n in scan(5, 4, True, True) if n != (3, 2)]
    path = write(tmp_path, nodes, points=3)
    loaded = spectra.load(path)
    eager = loaded.to_xarray(map=True)
    assert eager.spectra.dims == ("stage_y", "stage_x", "x") and eager.spectra.shape == (4, 5, 3)
    index, cube = expected(nodes, 5, 4, points=3)
    assert numpy.array_equal(eager.spectra.values, cube, equal_nan=True)
    assert eager.spectrum.values.tolist() == index.tolist()
    assert not isinstance(eager.title.values[2, 3], str) and eager.title.values[0, 0] == "spectrum 0"
    assert numpy.isnan(eager.num_scans.values[2, 3]) and eager.num_scans.values[0, 1] == 2
    assert eager.stage_x.attrs["long_name"] == "stage x" and eager.attrs["scan"] == "snake"
    with spectra.open(path) as opened:
        lazy = opened.to_xarray(map=True)
        assert not lazy.spectra.variable._in_memory
        # One pixel reads one spectrum; a hole reads none.
        assert lazy.spectra.isel(stage_y=1, stage_x=0).values.tolist() == cube[1, 0].tolist()
        assert numpy.isnan(lazy.spectra.isel(stage_y=2, stage_x=3).values).all()
        assert lazy.spectra[1, 0, 2].item() == cube[1, 0, 2] and numpy.isnan(lazy.spectra[2, 3, 0].item())
        assert numpy.array_equal(lazy.spectra.isel(stage_x=[4, 0], x=slice(1, None)).values,
                                 cube[:, [4, 0], 1:], equal_nan=True)
        chunked = lazy.chunk({"stage_y": 2})
        assert chunked.spectra.chunks is not None
        assert numpy.array_equal(chunked.spectra.values, cube, equal_nan=True)
        assert lazy.drop_vars("spectra").identical(eager.drop_vars("spectra"))


def dimension(short, long, n, first=0, last=None, scale=1.0):
    return dict(dimension_type=1, first_dim=first, last_dim=n - 1 if last is None else last,
                scale_dim=scale, num_elements=n, short_label=short, long_label=long)


@pytest.mark.parametrize("how", ["load", "open"])
@pytest.mark.parametrize("labels, name, attrs", [
    # xarray's plots label an axis "long_name [units]": the units are the bracketed end of the label.
    ((b"t", b"time (s)"), "t", {"long_name": "time", "units": "s"}),
    ((b"temp", b"temperature"), "temp_axis", {"long_name": "temperature"}),  # a mini header field is named so
    ((b"", b"depth"), "depth", {"long_name": "depth"}),
    ((b"", b""), "series", {}),
])
def test_the_series_axis_is_a_coordinate(tmp_path, how, labels, name, attrs):
    dims = [dimension(*labels, 4, last=30, scale=10.0), dimension(b"cm-1", b"Raman shift", 2)]
    path = sw.series_file(str(tmp_path / "s.spa"), [[1.0, 2.0]] * 4, dimensions=dims).path
    with getattr(spectra, how)(path) as s:
        ds = s.to_xarray()
        assert ds[name].dims == ("spectrum",) and ds[name].values.tolist() == [0.0, 100.0, 200.0, 300.0]
        assert ds[name].attrs == attrs
        assert ds.x.attrs == {"long_name": "Raman shift", "units": "cm-1"}
        label, values = s.axis
        assert values.tolist() == [0.0, 100.0, 200.0, 300.0]
        assert label == {"t": "time (s)", "temp_axis": "temperature", "depth": "depth",
                         "series": ""}[name]


def test_no_matching_dimension_no_axis(tmp_path):
    path = sw.series_file(str(tmp_path / "s.spa"), [[1.0, 2.0]] * 4,
                          dimensions=[dimension(b"t", b"time", 5)]).path
    s = spectra.load(path)
    assert s.axis is None
    assert set(s.to_xarray().coords) == {"x", "title", *s.mini_headers.dtype.names}


def test_the_typed_users_script_runs(tmp_path):
    """tests/typing/read_map.py, which mypy checks in test_typing, works as it says."""
    import importlib.util

    spec = importlib.util.spec_from_file_location("read_map", Path(__file__).with_name("typing") / "read_map.py")
    script = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(script)
    path = write(tmp_path, scan(4, 3, snake=True), points=5)  # X 400, 1300, ... 4000
    assert script.brightest(path) == (X0 + 3 * DX, Y0 + 2 * DY)  # the last spectrum, the largest values
    assert script.position_error(path) is None and script.axis_label(path) == "time"
    assert script.rise(path) == 11.0  # spectrum k is k + 0.25 at X = 1300, the one X in the band
    lone = write(tmp_path, [(0, 0)] * 2, name="lone.spa")
    assert script.brightest(lone) is None and "one position" in script.position_error(lone)
