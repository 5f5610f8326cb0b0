"""quorinreader plot: the figures it builds and the PNGs it writes."""
import importlib
import sys

import numpy
import pytest

import quorinreader

from cli_files import DEMO_SERIES, DEMO_SPECTRUM, VARIANTS, variant
from quorinreader import spectra
from spectra_files import series

matplotlib_image = pytest.importorskip("matplotlib.image")
matplotlib_text = pytest.importorskip("matplotlib.text")
from quorinreader._show import plot as _plot  # noqa: E402  (needs matplotlib)

SERIES_SIZE, SPECTRUM_SIZE = (900, 700), (900, 450)


def png(path):
    """The image as (height, width, RGB) floats in 0..1."""
    return matplotlib_image.imread(path)[..., :3]


def parts(fig):
    """The heat map, the panel of lines and the colour bar of a series figure."""
    heat = [ax for ax in fig.axes if ax.images]
    lines = [ax for ax in fig.axes if ax.get_legend() is not None]
    bar = [ax for ax in fig.axes if ax not in heat + lines]
    assert len(heat) == len(lines) == len(bar) == 1
    return heat[0], lines[0], bar[0]


def labels(fig):
    """Every axis label of the figure that is drawn."""
    found = []
    for ax in fig.axes:
        for axis in (ax.xaxis, ax.yaxis):
            if axis.label.get_text() and axis.label.get_visible():
                found.append(axis.label)
    return found


def titles(fig):
    """The title texts that are set: the figure's own, and its axes'."""
    heading = [fig._suptitle] if fig._suptitle is not None and fig._suptitle.get_text() else []
    return heading + [child for ax in fig.axes for child in ax.get_children()
                      if isinstance(child, matplotlib_text.Text) and child.get_text()
                      and child.get_text() in (ax.get_title(loc) for loc in ("left", "center", "right"))]


def has_ink(image, fig, text):
    """The PNG holds dark pixels where `text` of the figure lies."""
    box = text.get_window_extent(fig.canvas.get_renderer())
    height = image.shape[0]
    region = image[int(height - box.y1):int(height - box.y0) + 1, int(box.x0):int(box.x1) + 1]
    return region.size > 0 and region.min() < 0.5 and region.std() > 0.05


@pytest.mark.parametrize("path, size, axis_labels", [
    (DEMO_SERIES, SERIES_SIZE, ["time (s)", "Raman shift (cm⁻¹)", "value", "value"]),
    (DEMO_SPECTRUM, SPECTRUM_SIZE, ["x", "value"]),
], ids=["series", "spectrum"])
def test_plot_draws_each_demo_file(tmp_path, cli, path, size, axis_labels):
    out = tmp_path / "plot.png"
    assert cli("plot", path, "-o", out) == (0, f"wrote {out}\n", "")
    image = png(out)
    assert image.shape[:2] == size[::-1]
    gray = image.mean(axis=2)
    assert gray.std() > 0.05 and (gray < 0.9).mean() > 0.01  # not blank: a fair share of it drawn on

    # The figure the command draws: its labels are set, and the PNG shows them.
    with spectra.open(str(path)) as s:
        fig = _plot.figure(s, str(path))
    _plot.save(fig, tmp_path / "again.png")
    again = png(tmp_path / "again.png")
    assert numpy.array_equal(again, image)
    drawn = labels(fig)
    assert sorted(label.get_text() for label in drawn) == sorted(axis_labels)
    assert len(titles(fig)) == 1
    for text in drawn + titles(fig):
        assert has_ink(again, fig, text), text.get_text()


def test_the_series_figure_shows_the_files_spectra():
    s = spectra.load(str(DEMO_SERIES))
    fig = _plot.figure(s, str(DEMO_SERIES))
    heat, lines, bar = parts(fig)
    image = heat.images[0]
    assert numpy.array_equal(image.get_array(), s.values)  # every spectrum, first at the bottom
    assert image.origin == "lower" and image.get_cmap().name == "viridis"
    step = (3200 - 200) / 399
    assert numpy.allclose(image.get_extent(), [200 - step / 2, 3200 + step / 2, -5, 1195])
    assert bar.get_ylabel() == "value"
    picked = [0, 30, 60, 89, 119]
    assert [t.get_text() for t in lines.get_legend().get_texts()] == [s.titles[k] for k in picked]
    drawn = lines.get_lines()
    assert len(drawn) == len(picked)
    for line, k in zip(drawn, picked):
        assert numpy.array_equal(line.get_xdata(), s.x) and numpy.array_equal(line.get_ydata(), s.values[k])
    # Each overlaid spectrum is marked at both edges of the heat map, at its time.
    marks = [line for line in heat.get_lines()]
    assert sorted(m.get_ydata()[0] for m in marks) == sorted(2 * [10.0 * k for k in picked])
    assert lines.get_xlim() == (200, 3200) and heat.get_shared_x_axes().joined(heat, lines)


def test_a_spectrum_is_drawn_in_the_files_order_of_x():
    s = spectra.load(str(DEMO_SPECTRUM))
    fig = _plot.figure(s, str(DEMO_SPECTRUM))
    [ax] = fig.axes
    [line] = ax.get_lines()
    assert numpy.array_equal(line.get_ydata(), s.values[0]) and numpy.array_equal(line.get_xdata(), s.x)
    assert ax.get_xlim() == (4000, 400)  # falling, as stored
    assert [t.get_text() for t in titles(fig)] == ["demo_spectrum.spa: demo ester, FT-IR absorbance"]


def test_without_a_matching_dimension_the_spectra_are_indexed(tmp_path):
    path = series(tmp_path, mini_hdr=False, dimensions=[]).path
    s = spectra.load(path)
    heat, lines, _ = parts(_plot.figure(s, path))
    assert heat.get_ylabel() == "spectrum" and list(heat.images[0].get_extent()[2:]) == [-0.5, 2.5]
    assert [t.get_text() for t in lines.get_legend().get_texts()] == ["spectrum 0", "spectrum 1", "spectrum 2"]
    assert lines.get_xlabel() == "x"


def test_a_long_series_draws_evenly_spaced_spectra(tmp_path):
    n = _plot.HEAT_ROWS * 5 // 2
    path = series(tmp_path, spectra=[[float(k), -k, k / 2] for k in range(n)]).path
    with spectra.open(path) as s:
        fig = _plot.figure(s, path)
        heat, _, _ = parts(fig)
        rows = heat.images[0].get_array()[:, 0]
    assert len(rows) == _plot.HEAT_ROWS and rows[0] == 0 and rows[-1] == n - 1
    assert numpy.all(numpy.diff(rows) >= 2) and numpy.ptp(numpy.diff(rows)) <= 1


@pytest.mark.parametrize("name", VARIANTS)
def test_every_variant_renders(tmp_path, cli, name):
    path = variant(tmp_path, name)
    out = tmp_path / "plot.png"
    status, stdout, err = cli("plot", path, "-o", out)
    if name == "series of none":
        assert (status, stdout, err) == (2, "", f"quorinreader: {path}: the series holds no spectra; nothing to plot\n")
        assert not out.exists()
    else:
        assert (status, stdout, err) == (0, f"wrote {out}\n", "")
        size = SPECTRUM_SIZE if "spectrum" in name else SERIES_SIZE
        assert png(out).shape[:2] == size[::-1]


def test_spectra_of_no_points_are_nothing_to_plot(tmp_path, cli):
    path = series(tmp_path, spectra=[[], []]).path
    assert cli("plot", path) == (2, "", f"quorinreader: {path}: the spectra have no points; nothing to plot\n")


def test_the_image_goes_beside_the_file_by_default_in_the_format_of_its_suffix(tmp_path, cli):
    path = tmp_path / "scan.spa"
    path.write_bytes(DEMO_SPECTRUM.read_bytes())
    assert cli("plot", path) == (0, f"wrote {tmp_path / 'scan.png'}\n", "")
    assert (tmp_path / "scan.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert cli("plot", path, "-o", tmp_path / "scan.svg") == (0, f"wrote {tmp_path / 'scan.svg'}\n", "")
    assert b"<svg" in (tmp_path / "scan.svg").read_bytes()[:1000]
    status, out, err = cli("plot", path, "-o", tmp_path / "scan.xyz")
    assert (status, out) == (2, "") and err.startswith(f"quorinreader: {tmp_path / 'scan.xyz'}: cannot write "
                                                       "images of type '.xyz'; use one of ")
    assert err.count("\n") == 1 and not (tmp_path / "scan.xyz").exists()


def test_without_matplotlib_the_command_names_the_extra(tmp_path, cli, monkeypatch):
    for name in [m for m in sys.modules if m == "matplotlib" or m.startswith("matplotlib.")]:
        monkeypatch.setitem(sys.modules, name, None)
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.delitem(sys.modules, "quorinreader._show.plot")
    monkeypatch.delattr(importlib.import_module("quorinreader._show"), "plot")  # or `from ._show import plot` finds it there
    out = tmp_path / "plot.png"
    assert cli("plot", DEMO_SERIES, "-o", out) == (
        1, "", "quorinreader: plot needs matplotlib: pip install 'quorinreader[plot]'\n")
    assert not out.exists()
