"""quorinreader info and plot on a map: the map line, and the image of a band."""

import json

import numpy
import pytest

from cli_files import EXAMPLES
from quorinreader import spectra
import test_maps as maps

matplotlib_image = pytest.importorskip("matplotlib.image")
from quorinreader._read import axes as _axes
from quorinreader._show import plot as _plot, plot_map as _plot_map  # noqa: E402  (needs matplotlib)

DEMO_MAP = EXAMPLES / "demo_map.spa"
MAP_SIZE = (1200, 550)


def test_info_has_the_map_line(cli):
    status, out, err = cli("info", DEMO_MAP)
    assert (status, err) == (0, "")
    assert "\n  map         20 × 15 positions, step 5 × 5, snake, 300 of 300 taken\n" in out
    assert "none matches" not in out
    status, out, _ = cli("info", "--json", DEMO_MAP)
    assert json.loads(out)[0]["map"] == {"nx": 20, "ny": 15, "step_x": 5.0, "step_y": 5.0, "scan": "snake",
                                         "taken": 300}


def test_info_of_a_partial_map_and_of_no_map(cli, tmp_path):
    nodes = [n for n in maps.scan(5, 4, rows=False) if n != (2, 2)][:-3]
    status, out, _ = cli("info", maps.write(tmp_path, nodes))
    assert "\n  map         5 × 4 positions, step 5 × 2.5, raster, 16 of 20 taken\n" in out
    status, out, _ = cli("info", "--json", EXAMPLES / "demo_series.spa")
    assert json.loads(out)[0]["map"] is None and "map " not in cli("info", EXAMPLES / "demo_series.spa")[1]


def png(path):
    return matplotlib_image.imread(path)[..., :3]


def texts(fig):
    """The axis labels, titles and the colour bar's label that the figure draws."""
    found = {}
    if fig._suptitle is not None and fig._suptitle.get_text():
        found[fig._suptitle.get_text()] = fig._suptitle
    for ax in fig.axes:
        for text in (ax.xaxis.label, ax.yaxis.label, ax.title, ax._left_title):
            if text.get_text() and text.get_visible():
                found[text.get_text()] = text
    return found


def has_ink(image, fig, text):
    box = text.get_window_extent(fig.canvas.get_renderer())
    height = image.shape[0]
    region = image[int(height - box.y1):int(height - box.y0) + 1, int(box.x0):int(box.x1) + 1]
    return region.size > 0 and region.min() < 0.5 and region.std() > 0.05


@pytest.mark.parametrize("options, bar", [
    ((), "mean over 983.89–1016.1 cm⁻¹"),  # the grain's band: the largest mean intensity
    (("--at", "1600"), "value at 1596 cm⁻¹"),  # X runs 200, 210.74, ... 1595.97, 1606.71, ...
    (("--band", "1650", "1550", "--how", "area"), "area over 1550–1650 cm⁻¹"),
    (("--how", "max"), "max over 983.89–1016.1 cm⁻¹"),
], ids=["default", "at", "band", "how"])
def test_plot_draws_the_image_of_a_band(tmp_path, cli, options, bar):
    out = tmp_path / "map.png"
    assert cli("plot", DEMO_MAP, "-o", out, *options) == (0, f"wrote {out}\n", "")
    image = png(out)
    assert image.shape[:2] == MAP_SIZE[::-1]
    gray = image.mean(axis=2)
    assert gray.std() > 0.05 and (gray < 0.9).mean() > 0.05

    s = spectra.load(str(DEMO_MAP))
    at = float(options[1]) if options[:1] == ("--at",) else None
    band = tuple(map(float, options[1:3])) if options[:1] == ("--band",) else None
    how = options[options.index("--how") + 1] if "--how" in options else None
    fig = _plot.figure(s, str(DEMO_MAP), at=at, band=band, how=how)
    _plot.save(fig, tmp_path / "again.png")
    again = png(tmp_path / "again.png")
    assert numpy.array_equal(again, image)
    drawn = texts(fig)
    for label in ["stage x", "stage y", bar, "Raman shift (cm⁻¹)", "value",
                  "demo_map.spa: 20 × 15 map, snake, 300 of 300 taken"]:
        assert label in drawn and has_ink(again, fig, drawn[label]), label

    [ax] = [ax for ax in fig.axes if ax.images]
    m = s.to_map()
    shown = ax.images[0].get_array()
    if band is None:
        band = _plot_map.band_of_largest_mean(s)
        assert band[0] < 1000 < band[1] and band[1] - band[0] < 40  # the grain's band, not the matrix's
    want = m.image(at=at) if at is not None else m.image(band=band, how=how or "mean")
    assert numpy.allclose(shown, want) and ax.images[0].origin == "lower"
    assert ax.get_aspect() == 1 and numpy.allclose(ax.images[0].get_extent(), [1197.5, 1297.5, -342.5, -267.5])
    # The marked pixels: the highest first, each one's spectrum beside.
    [lines] = [a for a in fig.axes if a.get_legend() is not None]
    marked = _plot_marked(ax)
    spectra_drawn = [line for line in lines.get_lines() if not line.get_label().startswith("_")]
    assert len(marked) == len(spectra_drawn) == 4
    assert marked[0] == tuple(numpy.unravel_index(numpy.argmax(want), want.shape))[::-1]
    for (ix, iy), line in zip(marked, spectra_drawn):
        assert numpy.array_equal(line.get_ydata(), s.values[m.index[iy, ix]])


def _plot_marked(ax):
    """(ix, iy) of each marker on the image, in the order drawn (two circles each)."""
    m = spectra.load(str(DEMO_MAP)).to_map()
    found = []
    for line in ax.get_lines()[::2]:
        x, y = line.get_xdata()[0], line.get_ydata()[0]
        found.append((int(numpy.argmin(abs(m.stage_x - x))), int(numpy.argmin(abs(m.stage_y - y)))))
    return found


def test_a_map_with_holes_leaves_them_grey(tmp_path, cli):
    nodes = [n for n in maps.scan(8, 6, True, True) if (n[0] - 4) ** 2 + (n[1] - 3) ** 2 <= 9]
    path = maps.write(tmp_path, nodes, points=20)
    out = tmp_path / "holes.png"
    assert cli("plot", path, "-o", out, "--dpi", "50") == (0, f"wrote {out}\n", "")
    image = png(out)
    assert image.shape[:2] == (MAP_SIZE[1] // 2, MAP_SIZE[0] // 2)
    fig = _plot.figure(spectra.load(path), path)
    [ax] = [ax for ax in fig.axes if ax.images]
    assert numpy.ma.getmaskarray(ax.images[0].get_array())[0, 0]  # the corner was never taken
    assert ax.images[0].get_cmap().get_bad()[:3] == pytest.approx((0.85, 0.85, 0.85))
    assert ax.xaxis.label.get_text() == "stage x"
    assert [a for a in fig.axes if a.get_legend()][0].xaxis.label.get_text() == "spectral x"


@pytest.mark.parametrize("options", [("--at", "1600"), ("--band", "1", "2000")], ids=["at", "band"])
def test_band_options_on_a_series_that_is_no_map_draw_its_trace(tmp_path, cli, options):
    path = maps.write(tmp_path, [(0, 0)] * 3)
    out = tmp_path / "trace.png"
    assert cli("plot", path, "-o", out, *options) == (0, f"wrote {out}\n", "")
    fig = _plot.figure(spectra.load(path), path, at=float(options[1]) if options[0] == "--at" else None,
                       band=tuple(map(float, options[1:])) if options[0] == "--band" else None)
    assert not any(ax.images for ax in fig.axes) and len(fig.axes[0].get_lines()[0].get_ydata()) == 3


def test_a_band_outside_x_is_refused(tmp_path, cli):
    status, out, err = cli("plot", DEMO_MAP, "-o", tmp_path / "no.png", "--band", "5000", "6000")
    assert (status, out) == (2, "") and "no X lies in the band 5000 to 6000" in err


@pytest.mark.parametrize("text, raised", [
    ("Raman shift (cm-1)", "Raman shift (cm⁻¹)"), ("cm^-1", "cm⁻¹"), ("m^2", "m²"), ("s^(-2)", "s⁻²"),
    ("sample-1", "sample-1"), ("H2O", "H2O"), ("time (s)", "time (s)")])
def test_units_are_written_with_superscripts(text, raised):
    assert _axes.superscripts(text) == raised
