"""The picture of a map: the image of one band on the stage grid, beside the
spectra of a few marked pixels.

By default the band is the peak of the mean spectrum: from its highest
point out to where it falls to half its height above the median.  The
image is drawn in stage coordinates with equal aspect, the lowest stage y
at the bottom; pixels where no spectrum was taken are left grey."""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any, Literal

import numpy
import numpy.typing as npt
from matplotlib import patheffects
from matplotlib.figure import Figure

from .._read import axes as _axes, bands as _bands
from . import plot_parts as _plot_parts
from .._maps.map import Map
from .._read.spectra import Spectra

__all__ = ["band_of_largest_mean", "figure"]

MARKED = 4  # pixels whose spectra are drawn beside the image
COLOUR_MAP = "viridis"
NO_SPECTRUM = "0.85"  # the grey of pixels where none was taken
# The format states no units for the stage positions: the axes say what they are.
STAGE_X, STAGE_Y = "stage x", "stage y"


def figure(s: Spectra, m: Map, name: str, new: Callable[[float, float], Figure], at: float | None = None,
           band: tuple[float, float] | None = None,
           how: Literal["area", "max", "mean"] | None = None) -> Figure:
    """The figure of the map `m` of the spectra `s`; `new(width, height)` makes an empty figure."""
    x = s.x
    if at is None and band is None:
        band = band_of_largest_mean(s)
    if at is not None:
        image = m.image(at=at)
        k = int(numpy.argmin(numpy.abs(x - at)))
        shaded = (float(x[k]), float(x[k]))
    else:
        assert band is not None
        image = m.image(band=band, how=how or "mean")
        shaded = (min(band), max(band))
    named = _bands.label(s, at, band, how)

    fig = new(12, 5.5)
    grid = fig.add_gridspec(1, 2, width_ratios=[1, 1])
    ax = fig.add_subplot(grid[0])
    lines = fig.add_subplot(grid[1])
    ny, nx = m.shape
    colours = _colour_map()
    drawn = ax.imshow(numpy.ma.masked_invalid(image), cmap=colours, origin="lower", interpolation="nearest",
                      extent=(*_edges(m.stage_x, m.step[1]), *_edges(m.stage_y, m.step[0])), aspect="equal")
    fig.colorbar(drawn, ax=ax, label=_text(named), shrink=0.9, pad=0.02)
    ax.set_xlabel(STAGE_X)
    ax.set_ylabel(STAGE_Y)
    _plot_parts.title(fig, name, f"{nx} × {ny} map, {m.scan}, {m.taken:,} of {nx * ny:,} taken")

    decimals = _decimals(m)
    for number, (iy, ix) in enumerate(marked(image), start=1):
        k = int(m.index[iy, ix])
        colour = f"C{number - 1}"
        ax.plot([m.stage_x[ix]], [m.stage_y[iy]], marker="o", markersize=11, markerfacecolor="none",
                markeredgecolor="white", markeredgewidth=2.5)
        ax.plot([m.stage_x[ix]], [m.stage_y[iy]], marker="o", markersize=11, markerfacecolor="none",
                markeredgecolor=colour, markeredgewidth=1.5)
        # The number on the side of the marker towards the middle of the image.
        toward = (9 if ix < nx / 2 else -9, 9 if iy < ny / 2 else -9)
        ax.annotate(str(number), (m.stage_x[ix], m.stage_y[iy]), xytext=toward, textcoords="offset points",
                    ha="center", va="center", color="white", fontweight="bold", fontsize=9,
                    path_effects=[patheffects.withStroke(linewidth=2.5, foreground="black")])
        where = f"({_position(float(m.stage_x[ix]), decimals)}, {_position(float(m.stage_y[iy]), decimals)})"
        lines.plot(x, s.values[k], color=colour, linewidth=1, marker="o" if x.size == 1 else None,
                   label=_text(f"{number}: {where}, index {k}"))
    _plot_parts.shade(lines, *shaded)
    if x.size > 1:
        lines.set_xlim(x[0], x[-1])
    lines.set_xlabel(_text(_spectral_label(s)))
    lines.set_ylabel("value")
    lines.grid(True, alpha=0.3)
    lines.legend(fontsize="small", framealpha=0.85)
    lines.set_title("spectra of the marked pixels", loc="left", fontsize="medium")
    return fig


def _decimals(m: Map) -> int:
    """The decimals that show a position to the grid's precision: a tenth of
    its finer step (one decimal for a step of 5, two for 0.5)."""
    steps = [step for step in m.step if math.isfinite(step) and step > 0]
    if not steps:
        return 3
    return max(0, math.ceil(-math.log10(min(steps) / 10)))


def _position(value: float, decimals: int) -> str:
    """A stage position rounded to the grid's precision: 16 where the stage says 15.999901."""
    return _axes.number(round(value, decimals))


def _colour_map() -> Any:
    from matplotlib import colormaps

    return colormaps[COLOUR_MAP].with_extremes(bad=NO_SPECTRUM)


# The band a map's figure shows by default; the notebook shows the same.
band_of_largest_mean = _bands.strongest


def marked(image: npt.NDArray[numpy.float64]) -> list[tuple[int, int]]:
    """Up to MARKED pixels with a spectrum: the highest, the lowest, and
    those at the quartiles between, each pixel once."""
    finite = numpy.flatnonzero(numpy.isfinite(image).ravel())
    if not finite.size:
        return []
    order = finite[numpy.argsort(image.ravel()[finite], kind="stable")]
    picks = numpy.unique(numpy.linspace(0, order.size - 1, min(MARKED, order.size)).round().astype(numpy.intp))
    return [tuple(int(v) for v in numpy.unravel_index(order[p], image.shape))  # type: ignore[misc]
            for p in picks[::-1]]


def _spectral_label(s: Spectra) -> str:
    """What names X: a dimension of as many elements as the spectra have points."""
    named = _axes.x_label(s)
    return _axes.superscripts(named) if named else "spectral x"


def _edges(centres: npt.NDArray[numpy.float64], step: float) -> tuple[float, float]:
    """The outer edges of the pixels centred on `centres`, a step apart."""
    half = step / 2 if numpy.isfinite(step) and step > 0 else 0.5
    return float(centres[0]) - half, float(centres[-1]) + half


_text = _plot_parts.text
