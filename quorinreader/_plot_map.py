"""The picture of a map: the image of one band on the stage grid, beside the
spectra of a few marked pixels.

By default the band is the peak of the mean spectrum: from its highest
point out to where it falls to half its height above the median.  The
image is drawn in stage coordinates with equal aspect, the lowest stage y
at the bottom; pixels where no spectrum was taken are left grey."""

from __future__ import annotations

from pathlib import Path
from collections.abc import Callable
from typing import Any, Literal

import numpy
import numpy.typing as npt
from matplotlib import patheffects
from matplotlib.figure import Figure

from . import _axes
from ._map import Map
from .spectra import Spectra

__all__ = ["band_of_largest_mean", "figure"]

MARKED = 4  # pixels whose spectra are drawn beside the image
COLOUR_MAP = "viridis"
NO_SPECTRUM = "0.85"  # the grey of pixels where none was taken


def figure(s: Spectra, m: Map, name: str, new: Callable[[float, float], Figure], at: float | None = None,
           band: tuple[float, float] | None = None,
           how: Literal["area", "max", "mean"] | None = None) -> Figure:
    """The figure of the map `m` of the spectra `s`; `new(width, height)` makes an empty figure."""
    x = s.x
    spectral = _spectral_label(s)
    unit = _unit(s)
    if at is None and band is None:
        band = band_of_largest_mean(s)
    if at is not None:
        k = int(numpy.nanargmin(numpy.abs(x - at)))
        image = m.image(at=at)
        named = f"value at {_short(float(x[k]))}{unit}"
        shaded = (float(x[k]), float(x[k]))
    else:
        assert band is not None
        measure = how or "mean"
        image = m.image(band=band, how=measure)
        lo, hi = sorted(band)
        named = f"{measure} over {_short(lo)}–{_short(hi)}{unit}"
        shaded = (lo, hi)

    fig = new(12, 5.5)
    grid = fig.add_gridspec(1, 2, width_ratios=[1, 1])
    ax = fig.add_subplot(grid[0])
    lines = fig.add_subplot(grid[1])
    ny, nx = m.shape
    colours = _colour_map()
    drawn = ax.imshow(numpy.ma.masked_invalid(image), cmap=colours, origin="lower", interpolation="nearest",
                      extent=(*_edges(m.stage_x, m.step[1]), *_edges(m.stage_y, m.step[0])), aspect="equal")
    fig.colorbar(drawn, ax=ax, label=named, shrink=0.9, pad=0.02)
    ax.set_xlabel("stage x")
    ax.set_ylabel("stage y")
    ax.set_title(_text(f"{Path(name).name}: {nx} × {ny} map, {m.scan}, {m.taken:,} of {nx * ny:,} taken"),
                 loc="left")

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
        where = f"({_axes.number(float(m.stage_x[ix]))}, {_axes.number(float(m.stage_y[iy]))})"
        lines.plot(x, s.values[k], color=colour, linewidth=1, marker="o" if x.size == 1 else None,
                   label=_text(f"{number}: {where}, index {k}"))
    if shaded[0] == shaded[1]:
        lines.axvline(shaded[0], color="0.5", linewidth=1, linestyle="--")
    else:
        lines.axvspan(*shaded, color="0.5", alpha=0.2, linewidth=0)
    if x.size > 1:
        lines.set_xlim(x[0], x[-1])
    lines.set_xlabel(_text(spectral))
    lines.set_ylabel("value")
    lines.grid(True, alpha=0.3)
    lines.legend(fontsize="small", framealpha=0.85)
    lines.set_title("spectra of the marked pixels", loc="left", fontsize="medium")
    return fig


def _colour_map() -> Any:
    from matplotlib import colormaps

    return colormaps[COLOUR_MAP].with_extremes(bad=NO_SPECTRUM)


def band_of_largest_mean(s: Spectra) -> tuple[float, float]:
    """The band around the highest point of the mean spectrum, out to where
    the mean falls to half its height above its median."""
    x = s.x
    mean = numpy.asarray(numpy.nanmean(s.values, axis=0) if len(s) else numpy.zeros(x.size), numpy.float64)
    if not numpy.isfinite(mean).any():
        return float(x[0]), float(x[-1])
    top = int(numpy.nanargmax(mean))
    half = (mean[top] + numpy.nanmedian(mean)) / 2
    below = ~(mean >= half)
    left = numpy.flatnonzero(below[:top])
    right = numpy.flatnonzero(below[top:])
    first = int(left[-1]) + 1 if left.size else 0
    last = top + int(right[0]) - 1 if right.size else x.size - 1
    return tuple(sorted((float(x[first]), float(x[last]))))  # type: ignore[return-value]


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
    named = _axes.point_axis(s, _axes.spectrum_axis(s))
    return _axes.superscripts(named.label) if named is not None and named.label else "spectral x"


def _unit(s: Spectra) -> str:
    """ " cm⁻¹": the short label of the dimension that names X, where it has one."""
    named = _axes.point_axis(s, _axes.spectrum_axis(s))
    if named is None or not named.short_label.strip():
        return ""
    return " " + _axes.superscripts(named.short_label.strip())


def _short(value: float) -> str:
    """An X for a label: five significant digits at most."""
    return _axes.number(float(f"{value:.5g}"))


def _edges(centres: npt.NDArray[numpy.float64], step: float) -> tuple[float, float]:
    """The outer edges of the pixels centred on `centres`, a step apart."""
    half = step / 2 if numpy.isfinite(step) and step > 0 else 0.5
    return float(centres[0]) - half, float(centres[-1]) + half


def _text(text: Any) -> str:
    """Text of the file's, drawn as it is: a "$" does not start mathtext."""
    return str(text).replace("$", r"\$")
