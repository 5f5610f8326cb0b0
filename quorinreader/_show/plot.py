"""Pictures of a file's spectra, drawn on matplotlib's Agg canvas.

A series is a heat map of its spectra against X and the matching dimension
(time, say) or the spectrum index, over a panel of a few spectra drawn as
lines; a single spectrum is a line.  X runs in the file's order, so an
FT-IR spectrum stored from 4000 down to 400 cm-1 is drawn that way.

The figures are built without pyplot: no GUI backend is chosen and no
global state of matplotlib's is changed, so the module can be used inside
any program."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any, Literal

import numpy
import numpy.typing as npt
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

from .._read import axes as _axes
from . import plot_parts as _plot_parts
from .._export.output import replacing
from ..spectra import MapError, Spectra

__all__ = ["NothingToPlot", "UnknownImageType", "figure", "save"]

HEAT_ROWS = 1000  # spectra drawn in the heat map at most, evenly spaced
OVERLAID = 5  # spectra drawn as lines below it
COLOUR_MAP = "viridis"
VALUE_LABEL = "value"


class NothingToPlot(ValueError):
    """A file of no spectra, or of spectra of no points."""


class UnknownImageType(ValueError):
    """An image suffix that matplotlib has no writer for."""


def figure(s: Spectra, name: str, *, at: float | None = None, band: tuple[float, float] | None = None,
           how: Literal["area", "max", "mean"] | None = None) -> Figure:
    """The figure of the spectra `s`, read from the file called `name`.  A
    map is the image of a band: `at` one X, or `band` measured by `how`; of
    another series those draw the band's trace against the series axis."""
    n, points = s.values.shape
    if n == 0:
        raise NothingToPlot(f"{name}: the series holds no spectra; nothing to plot")
    if points == 0:
        raise NothingToPlot(f"{name}: the spectra have no points; nothing to plot")
    measured = (at, band, how) != (None, None, None)
    try:
        if s.kind == "series" and s.is_map:
            from . import plot_map as _plot_map

            return _plot_map.figure(s, s.to_map(duplicates="last"), name, _new, at, band, how)
        if measured:
            if s.kind == "spectrum":
                raise NothingToPlot(f"{name}: a single spectrum has no trace of a band; --at, --band and --how "
                                    "draw a series' trace, or a map's image")
            from . import plot_trace as _plot_trace

            return _plot_trace.figure(s, name, _new, at, band, how)
    except MapError as error:
        raise NothingToPlot(str(error)) from None
    except NothingToPlot:
        raise
    except ValueError as error:
        raise NothingToPlot(str(error)) from None
    if s.kind == "spectrum":
        return _spectrum(s, name)
    return _series(s, name)


def save(fig: Figure, out: str | os.PathLike[str], dpi: float = 100) -> None:
    """Writes the figure to `out`, in the format its suffix names (PNG, SVG, PDF...)."""
    out = Path(out)
    kind = out.suffix.lstrip(".").lower()
    formats = fig.canvas.get_supported_filetypes()
    if kind not in formats:
        raise UnknownImageType(f"{out}: cannot write images of type {out.suffix or '(no suffix)'!r}; "
                               f"use one of {', '.join('.' + k for k in sorted(formats))}")
    with replacing(out) as temporary:
        fig.savefig(temporary, format=kind, dpi=dpi)


def _spectrum(s: Spectra, name: str) -> Figure:
    fig = _new(9, 4.5)
    ax = fig.add_subplot()
    x, x_label = _x(s)
    ax.plot(x, s.values[0], color="C0", linewidth=1, marker="o" if x.size == 1 else None)
    _keep_order(ax, x)
    ax.set_xlabel(_text(x_label))
    ax.set_ylabel(VALUE_LABEL)
    ax.grid(True, alpha=0.3)
    _plot_parts.title(fig, name, s.titles[0] or "")
    return fig


def _series(s: Spectra, name: str) -> Figure:
    n, points = s.values.shape
    fig = _new(9, 7)
    grid = fig.add_gridspec(2, 1, height_ratios=[3, 2])
    heat = fig.add_subplot(grid[0])
    lines = fig.add_subplot(grid[1], sharex=heat)
    x, x_label = _x(s)
    axis = _axes.spectrum_axis(s)
    y, y_label = (axis.values(), _axes.superscripts(axis.label) or "spectrum") if axis is not None else (
        numpy.arange(n, dtype=numpy.float64), "spectrum")

    # The heat map: spectra from the first at the bottom to the last at the top.
    rows = numpy.unique(numpy.linspace(0, n - 1, min(n, HEAT_ROWS)).round().astype(numpy.intp))
    shown = numpy.ma.masked_invalid(numpy.asarray(s.values[rows]))
    image = heat.imshow(shown, cmap=COLOUR_MAP, aspect="auto", origin="lower", interpolation="nearest",
                        extent=(*_edges(x), *_edges(y)))
    fig.colorbar(image, ax=heat, label=VALUE_LABEL, pad=0.01)
    heat.set_ylabel(_text(y_label))
    heat.tick_params(labelbottom=False)
    counted = f"{n:,} spectr{'um' if n == 1 else 'a'} of {points:,} point{'' if points == 1 else 's'}"
    _plot_parts.title(fig, name, counted)

    # A few spectra as lines, each marked where it lies in the heat map.
    picked = numpy.unique(numpy.linspace(0, n - 1, min(n, OVERLAID)).round().astype(numpy.intp))
    titles = s.titles
    for colour, k in enumerate(picked):
        title = titles[k] or (f"{y_label} = {_axes.number(float(y[k]))}" if axis is not None else f"spectrum {k}")
        lines.plot(x, s.values[k], color=f"C{colour}", linewidth=1, marker="o" if points == 1 else None,
                   label=_text(title))
        for edge, marker in ((0.0, ">"), (1.0, "<")):
            heat.plot([edge], [y[k]], marker=marker, markersize=9, color=f"C{colour}", markeredgecolor="white",
                      markeredgewidth=0.8, transform=heat.get_yaxis_transform(), clip_on=False)
    _keep_order(lines, x)
    lines.set_xlabel(_text(x_label))
    lines.set_ylabel(VALUE_LABEL)
    lines.grid(True, alpha=0.3)
    lines.legend(fontsize="small", ncols=1 if len(picked) < 4 else 2, framealpha=0.85)
    return fig


def _new(width: float, height: float) -> Figure:
    fig = Figure(figsize=(width, height), layout="constrained")
    FigureCanvasAgg(fig)
    return fig


def _x(s: Spectra) -> tuple[npt.NDArray[numpy.float64], str]:
    """The X values and their label: the spectral header's range, named by a
    dimension of as many points where the file has one; the point index where
    the range is not usable."""
    x = s.x
    if not (numpy.isfinite(x[[0, -1]]).all() and (x.size == 1 or x[0] != x[-1])):
        return numpy.arange(x.size, dtype=numpy.float64), "point"
    named = _axes.point_axis(s, _axes.spectrum_axis(s))
    return x, _axes.superscripts(named.label) if named is not None else "x"


def _keep_order(ax: Any, x: npt.NDArray[numpy.float64]) -> None:
    """X from the first value on the left to the last on the right, even where it falls."""
    if x.size > 1:
        ax.set_xlim(x[0], x[-1])


def _edges(centres: npt.NDArray[numpy.float64]) -> tuple[float, float]:
    """The outer edges of evenly spaced cells centred on `centres`, in their order."""
    first, last = float(centres[0]), float(centres[-1])
    half = 0.5 if centres.size == 1 else (last - first) / (centres.size - 1) / 2
    return first - half, last + half


_text = _plot_parts.text
