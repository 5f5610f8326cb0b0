"""The picture of a band's trace: one value per spectrum of a series, drawn
against the series axis (time, say, with its units), over the first and
the last spectrum with the band shaded.

By default the band is that of the largest mean intensity, as a map's
figure takes it."""

from __future__ import annotations

from collections.abc import Callable
from typing import Literal

import numpy
from matplotlib.figure import Figure

from .._read import axes as _axes, bands as _bands
from . import plot_parts as _plot_parts
from .._read.spectra import Spectra

__all__ = ["figure"]

MARKERS = 60  # a trace of this many spectra or fewer marks each one


def figure(s: Spectra, name: str, new: Callable[[float, float], Figure], at: float | None = None,
           band: tuple[float, float] | None = None,
           how: Literal["area", "max", "mean"] | None = None) -> Figure:
    """The figure of the trace of `at` or `band` (measured by `how`) in the spectra `s`."""
    if at is None and band is None:
        band = _bands.strongest(s)
    values = s.trace(at, band=band, how=how or "mean")
    x = s.x
    if at is not None:
        k = int(numpy.argmin(numpy.abs(x - at)))
        shaded = (float(x[k]), float(x[k]))
    else:
        assert band is not None
        shaded = (min(band), max(band))
    measure = _bands.label(s, at, band, how)
    n = len(s)
    axis = _axes.spectrum_axis(s)
    if axis is not None and axis.label:
        along, along_label = axis.values(), _axes.superscripts(axis.label)
    else:
        along, along_label = numpy.arange(n, dtype=numpy.float64), "spectrum"

    fig = new(9, 7)
    grid = fig.add_gridspec(2, 1, height_ratios=[3, 2])
    top = fig.add_subplot(grid[0])
    bottom = fig.add_subplot(grid[1])
    top.plot(along, values, color="C0", linewidth=1.2, marker="o" if n <= MARKERS else None, markersize=3.5)
    top.set_xlabel(_plot_parts.text(along_label))
    top.set_ylabel(_plot_parts.text(measure))
    top.grid(True, alpha=0.3)
    if n > 1:
        top.set_xlim(along[0], along[-1])
    _plot_parts.title(fig, name, f"{measure}, {n:,} spectr{'um' if n == 1 else 'a'}")

    titles = s.titles
    for colour, k in enumerate(sorted({0, n - 1})):
        label = titles[k] or (f"{along_label} = {_axes.number(float(along[k]))}" if axis is not None
                              else f"spectrum {k}")
        bottom.plot(x, s.values[k], color=f"C{colour + 1}", linewidth=1, marker="o" if x.size == 1 else None,
                    label=_plot_parts.text(label))
    _plot_parts.shade(bottom, *shaded)
    if x.size > 1:
        bottom.set_xlim(x[0], x[-1])
    named = _axes.x_label(s)
    bottom.set_xlabel(_plot_parts.text(_axes.superscripts(named) if named else "x"))
    bottom.set_ylabel("value")
    bottom.grid(True, alpha=0.3)
    bottom.legend(fontsize="small", framealpha=0.85)
    marked = "the X marked" if shaded[0] == shaded[1] else "the band shaded"
    bottom.set_title(f"the first and the last spectrum, {marked}", loc="left", fontsize="medium")
    return fig
