"""Plots fit to publish: titles that meet no colour bar nor axes whatever the
file's name, positions at the grid's precision, the band's shading seen,
and a series read with --partial on its own axis."""

import pathlib

import numpy
import pytest

from cli_files import DEMO_SERIES, DEMO_SPECTRUM, EXAMPLES
from quorinreader import spectra
from spectra_files import series
import spawriter as sw
import test_maps as maps

matplotlib_image = pytest.importorskip("matplotlib.image")
from quorinreader._show import plot as _plot  # noqa: E402  (needs matplotlib)

DEMO_MAP = EXAMPLES / "demo_map.spa"
LONG = "a_sample_name_as_an_instrument_writes_it_with_its_date_operator_objective_and_laser_2026-12-09_v3"
KINDS = {"spectrum": (DEMO_SPECTRUM, {}), "series": (DEMO_SERIES, {}), "map": (DEMO_MAP, {}),
         "map, band": (DEMO_MAP, dict(band=(1550, 1650), how="area")), "trace, at": (DEMO_SERIES, dict(at=1600)),
         "trace, band": (DEMO_SERIES, dict(band=(950, 1050)))}


def titles(fig):
    """Every title drawn, with the axes it belongs to (None for the figure's)."""
    found = [(None, fig._suptitle)] if fig._suptitle is not None and fig._suptitle.get_text() else []
    for ax in fig.axes:
        found += [(ax, t) for t in (ax.title, ax._left_title, ax._right_title) if t.get_text()]
    return found


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("stem", ["s", LONG], ids=["short name", "long name"])
def test_titles_meet_nothing_else(tmp_path, kind, stem):
    source, options = KINDS[kind]
    path = tmp_path / f"{stem}.spa"
    path.write_bytes(source.read_bytes())
    fig = _plot.figure(spectra.load(str(path)), str(path), **options)
    fig.canvas.draw()
    renderer = fig.canvas.get_renderer()
    drawn = titles(fig)
    assert drawn and drawn[0][0] is None  # the figure's own title names the file
    heading = drawn[0][1].get_text()
    if stem == "s":
        assert heading.startswith("s.spa: ") and "\n" not in heading
    else:  # on a line of its own, shortened in its middle where even that is too wide
        first = heading.split("\n")[0]
        assert "\n" in heading and first.startswith(LONG[:20]) and first.endswith("_2026-12-09_v3.spa")
        assert first == f"{LONG}.spa" or "…" in first
    for owner, text in drawn:
        box = text.get_window_extent(renderer)
        assert box.x0 >= 0 and box.x1 <= fig.bbox.width + 0.5, text.get_text()
        for ax in fig.axes:
            if ax is not owner:
                assert not box.overlaps(ax.get_tightbbox(renderer)), (text.get_text(), ax)


def test_marked_positions_are_rounded_to_the_grid(tmp_path):
    """Stage positions as a stage reports them: a few millionths off the nodes."""
    nodes = maps.scan(5, 4)
    rng = numpy.random.default_rng(4)
    mini = [dict(x_position=16.0 + 5 * ix + rng.uniform(-2e-4, 2e-4), y_position=38.0 + 2.5 * iy + rng.uniform(-2e-4, 2e-4))
            for ix, iy in nodes]
    values = [[float(k), float(k) * 2] for k in range(len(nodes))]
    path = sw.series_file(str(tmp_path / "stage.spa"), values, mini=mini).path
    fig = _plot.figure(spectra.load(path), path)
    [legend] = [ax.get_legend() for ax in fig.axes if ax.get_legend() is not None]
    shown = [t.get_text() for t in legend.get_texts()]
    assert shown[0] == "1: (36, 45.5), index 19" and shown[-1] == "4: (16, 38), index 0"
    [image_ax] = [ax for ax in fig.axes if ax.images]
    assert (image_ax.get_xlabel(), image_ax.get_ylabel()) == ("stage x", "stage y")


def test_the_band_is_shaded_visibly(tmp_path):
    out = tmp_path / "map.png"
    fig = _plot.figure(spectra.load(str(DEMO_MAP)), str(DEMO_MAP), band=(400, 700))  # flat spectra there
    _plot.save(fig, out)
    rgb = matplotlib_image.imread(out)[..., :3]
    [lines] = [ax for ax in fig.axes if ax.get_legend() is not None]
    # A patch in the middle of the band, between the spectra (at 0.1) and the legend.
    (x0, y0), (x1, y1) = lines.transData.transform([(500, 2.5), (600, 3.5)])
    height = rgb.shape[0]
    patch = rgb[int(height - y1):int(height - y0), int(x0):int(x1)]
    assert patch.size and (patch.mean(axis=(0, 1)) < [1.0, 0.95, 0.8]).all(), patch.mean(axis=(0, 1))


def test_a_series_read_partly_keeps_its_axis(tmp_path, cli):
    """The spectra read of a series cut short are the first of its dimension's elements."""
    time = dict(dimension_type=1, first_dim=0, last_dim=20, scale_dim=1.0, num_elements=3, short_label=b"s",
                long_label=b"time")
    info = series(tmp_path, dimensions=[time])
    pathlib.Path(info.path).write_bytes(info.data[:-1])
    with pytest.warns(spectra.TruncatedWarning):
        s = spectra.load(info.path, partial=True)
    label, values = s.axis
    assert (label, values.tolist()) == ("time (s)", [0.0, 10.0])
    fig = _plot.figure(s, info.path)
    [heat] = [ax for ax in fig.axes if ax.images]
    assert heat.get_ylabel() == "time (s)" and list(heat.images[0].get_extent()[2:]) == [-5.0, 15.0]
    out = tmp_path / "partial.png"
    status, _, err = cli("plot", info.path, "-o", out, "--partial")
    assert status == 0 and "read 2 of 3 spectra" in err
    xarray = pytest.importorskip("xarray")
    with pytest.warns(spectra.TruncatedWarning):
        ds = xarray.open_dataset(info.path, engine="quorinreader", partial=True)
    assert ds.s.values.tolist() == [0.0, 10.0] and ds.s.attrs == {"long_name": "time", "units": "s"}
    ds.close()

