"""Maps under stage jitter: each axis's grid found from that axis's own
positions, on every scan layout of test_maps, with x and y steps that
differ by 2x and more either way round, with seeded jitter of 0.1 and 0.2
steps, and with one position per axis moved by 0.2 steps."""

import re
from pathlib import Path

import numpy
import pytest

from quorinreader import spectra
import spawriter as sw
import test_maps as maps

X0, Y0 = 100.0, -20.0
STEPS = [(5.0, 2.5), (2.5, 5.0), (10.0, 3.0), (1.0, 5.0)]  # (x, y)


def layouts():
    """Every layout test_maps draws: (name, nodes, nx, ny)."""
    for rows in (True, False):
        for snake in (False, True):
            for corner in maps.CORNERS:
                yield f"{'rows' if rows else 'columns'} {'snake' if snake else 'raster'} {corner}", \
                    maps.scan(6, 4, rows, snake, corner), 6, 4
    yield "stopped in a line", maps.scan(5, 4, True, True, "upper right")[:13], 5, 3
    yield "stopped after a column", maps.scan(5, 4, False, False, "lower left")[:9], 3, 4
    yield "holes", [n for n in maps.scan(5, 4) if n not in [(1, 1), (3, 2), (4, 0)]], 5, 4
    yield "an L", [n for n in maps.scan(6, 5, True, True) if n[0] < 2 or n[1] < 2], 6, 5
    yield "a missing column", [n for n in maps.scan(5, 4, False, True) if n[0] != 2], 5, 4
    yield "a disc", [n for n in maps.scan(8, 6, True, True) if (n[0] - 4) ** 2 + (n[1] - 3) ** 2 <= 9], 7, 6
    yield "a row", maps.scan(7, 1), 7, 1
    yield "a column", maps.scan(1, 6, corner="upper left"), 1, 6


LAYOUTS = list(layouts())


def positions(nodes, steps, jitter, seed, outlier=0.0):
    """Stage positions of the nodes, each moved by up to `jitter` steps along
    each axis (a line's other axis by as much of the line's step), and one
    per axis moved by `outlier` steps."""
    dx, dy = steps
    nx1 = len({ix for ix, _ in nodes}) == 1
    ny1 = len({iy for _, iy in nodes}) == 1
    rng = numpy.random.default_rng(seed)
    moved = rng.uniform(-jitter, jitter, (len(nodes), 2))
    if nx1:
        moved[:, 0] *= dy / dx
    if ny1:
        moved[:, 1] *= dx / dy
    if outlier:
        which = rng.permutation(len(nodes))[:2]
        for axis, k in enumerate(which):
            if not (nx1, ny1)[axis]:
                moved[k, axis] = outlier * rng.choice([-1.0, 1.0])
    ix, iy = numpy.array(nodes, float).T
    return X0 + dx * (ix + moved[:, 0]), Y0 + dy * (iy + moved[:, 1])


def found(tmp_path, nodes, x, y):
    mini = [dict(x_position=a, y_position=b) for a, b in zip(x, y)]
    path = sw.series_file(str(Path(tmp_path) / "jittered.spa"), [[float(k)] for k in range(len(nodes))],
                          mini=mini).path
    return spectra.load(path).to_map()


# (jitter, outlier) in steps, and the seeds of each.
CASES = [(0.1, 0.0, range(3)), (0.2, 0.0, range(3)), (0.0, 0.2, range(2)), (0.1, 0.2, range(2))]


@pytest.mark.parametrize("steps", STEPS, ids=lambda steps: "steps {:g} x {:g}".format(*steps))
@pytest.mark.parametrize("name, nodes, nx, ny", LAYOUTS, ids=[layout[0] for layout in LAYOUTS])
def test_the_planned_grid_is_found_exactly(tmp_path, name, nodes, nx, ny, steps):
    index, _ = maps.expected(nodes, nx, ny, points=1)
    for jitter, outlier, seeds in CASES:
        for seed in seeds:
            x, y = positions(nodes, steps, jitter, seed, outlier)
            m = found(tmp_path, nodes, x, y)
            what = f"jitter {jitter}, outlier {outlier}, seed {seed}: {m!r}"
            assert m.shape == (ny, nx) and numpy.array_equal(m.index, index), what
            dx, dy = steps
            if nx > 1:
                assert m.step[1] == pytest.approx(dx, rel=0.1), what
            if ny > 1:
                assert m.step[0] == pytest.approx(dy, rel=0.1), what


def test_the_jittered_raster_of_the_report(tmp_path):
    """6 x 4 positions, steps 5 and 2.5, jitter up to 0.1 steps: a grid of 11
    columns, half of them empty, fitted it too."""
    nodes = maps.scan(6, 4)
    x, y = positions(nodes, (5.0, 2.5), 0.1, seed=1)
    m = found(tmp_path, nodes, x, y)
    assert repr(m).startswith("<Map: 6 × 4 positions, step 5.") and m.taken == 24


@pytest.mark.parametrize("axis", [0, 1], ids=["x", "y"])
def test_one_position_moved_by_a_fifth_of_a_step(tmp_path, axis):
    nodes = maps.scan(6, 4)
    x, y = positions(nodes, (5.0, 2.5), 0.0, seed=0)
    (x, y)[axis][7] += 0.2 * (5.0, 2.5)[axis]
    m = found(tmp_path, nodes, x, y)
    assert numpy.array_equal(m.index, maps.expected(nodes, 6, 4, points=1)[0])
    # The stray position moves no node: the others lie on theirs.
    assert m.step == pytest.approx((2.5, 5.0), rel=1e-9)
    assert numpy.allclose(m.stage_x, X0 + 5.0 * numpy.arange(6)) and numpy.allclose(m.stage_y, Y0 + 2.5 * numpy.arange(4))


def test_a_large_jittered_map_with_steps_that_differ(tmp_path):
    """More positions than are sorted to find the steps (a sample is), at 0.2 steps of jitter."""
    nodes = maps.scan(100, 90, rows=False, snake=True, corner="upper left")
    x, y = positions(nodes, (2.0, 6.0), 0.2, seed=5)
    m = found(tmp_path, nodes, x, y)
    assert numpy.array_equal(m.index, maps.expected(nodes, 100, 90, points=1)[0])
    assert m.step == pytest.approx((6.0, 2.0), rel=0.01)


def test_where_no_grid_fits_the_error_says_why(tmp_path):
    nodes = maps.scan(6, 4)
    x, y = positions(nodes, (5.0, 2.5), 0.1, seed=2)
    x[9] += 0.45 * 5.0  # between two columns, whatever the jitter of the others
    path = Path(tmp_path) / "stray.spa"
    mini = [dict(x_position=a, y_position=b) for a, b in zip(x, y)]
    sw.series_file(str(path), [[1.0]] * len(nodes), mini=mini)
    s = spectra.load(str(path))
    assert not s.is_map
    with pytest.raises(spectra.MapError, match=rf"^{re.escape(str(path))}: the spectrum at index 9, taken at \(\d+\.\d\d, "
                                               r"-?\d+\.\d\d\), lies 0\.\d\d steps from the nearest node of the "):
        s.to_map()
