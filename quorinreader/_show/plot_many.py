"""Pictures of several files' spectra at once, as `plot FOLDER` draws them.

Up to OVERLAID_MAX spectra are drawn as lines, overlaid (each on its own
file's X axis) or offset one above the other, each labelled by its title,
else by its file's name: in a legend beside the axes, or, when offset, at
the right end of its line.  More spectra are a heat map of the collection,
one row per spectrum, over a few of them drawn as lines, as a series is."""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any

import numpy
import numpy.typing as npt
from matplotlib.figure import Figure

from . import plot as _plot
from ..spectra import Collection, Spectra

__all__ = ["OVERLAID_MAX", "heat_map", "label_text", "labels", "overlaid", "shortened"]

OVERLAID_MAX = 20  # spectra drawn as lines at most; more make a heat map
LABEL_WIDTH = 36  # characters of a label shown; a longer one loses its middle
SHARED_WIDTH = 80  # characters of what long labels share, shown once in the title
TICKS = 12  # rows of the heat map named on its axis, at most
# Ten colours, then the same ten dashed: twenty lines that can be told apart.
STYLES = [(f"C{k}", style) for style in ("-", "--") for k in range(10)]


def label_text(text: str, width: int = LABEL_WIDTH) -> str:
    """`text` in at most `width` characters: a longer one keeps its start and
    its end, where names of one series of files differ."""
    if len(text) <= width:
        return text
    keep = width - 1
    return f"{text[:keep - keep // 2]}…{text[len(text) - keep // 2:]}"


# Where a label may be cut between what it shares with the others and what is
# its own: between words, a hyphen joining its words ("sample-07", "2024-03-18").
_SEPARATOR = re.compile(r"[\s_.,;:/()\[\]]")


def shortened(texts: list[str], width: int = LABEL_WIDTH) -> tuple[list[str], str | None]:
    """Labels of at most `width` characters: where some are longer, what all
    of them share at the start and at the end (as names made by one
    instrument do, "run_2024-03-18_sample-07_785nm.spa") becomes "…",
    cut where a word ends, and is given back once as the pattern they share
    (None where nothing was taken out)."""
    if len(texts) < 2 or all(len(text) <= width for text in texts):
        return [label_text(text, width) for text in texts], None
    start = _common_start(texts)
    # The word the labels start to differ in stays whole: "sample-07", not "07".
    start = start[:_last_separator(start)]
    rest = [text[len(start):] for text in texts]
    end = _common_start([text[::-1] for text in rest])[::-1]
    end = end[len(end) - _last_separator(end[::-1]):] if end else ""
    if not start and not end:
        return [label_text(text, width) for text in texts], None
    own = [text[:len(text) - len(end)] for text in rest]
    shown = [("…" if start else "") + text + ("…" if end else "") for text in own]
    return [label_text(text, width) for text in shown], label_text(f"{start}…{end}", SHARED_WIDTH)


def _common_start(texts: list[str]) -> str:
    """The characters all of `texts` start with: those the least and the
    greatest of them share.  (os.path.commonprefix is deprecated in 3.15.)"""
    first, last = min(texts), max(texts)
    n = next((k for k, (a, b) in enumerate(zip(first, last)) if a != b), min(len(first), len(last)))
    return first[:n]


def _last_separator(text: str) -> int:
    """How much of `text` runs to its last separator, included; 0 where it has none."""
    found = [m.end() for m in _SEPARATOR.finditer(text)]
    return found[-1] if found else 0


def labels(titles: list[str | None], files: list[str]) -> list[str]:
    """Each spectrum's label: its title, else its file's name.  Where two
    would read the same, the file's name follows the title, and where they
    still do, a count: "name, spectrum 0", "name, spectrum 1"..."""
    names = [Path(f).name for f in files]
    own = [t.strip() if t and t.strip() else name for t, name in zip(titles, names)]
    counts = _counts(own)
    out = [text if counts[text] == 1 or text == name else f"{text} ({name})" for text, name in zip(own, names)]
    counts = _counts(out)
    taken: dict[str, int] = {}
    for k, text in enumerate(out):
        if counts[text] > 1:
            taken[text] = taken.get(text, -1) + 1
            out[k] = f"{text}, spectrum {taken[text]}"
    return out


def _counts(texts: list[str]) -> dict[str, int]:
    counts: dict[str, int] = {}
    for text in texts:
        counts[text] = counts.get(text, 0) + 1
    return counts


def overlaid(opened: list[tuple[str, Spectra]], *, offset: float | None = None) -> Figure:
    """The spectra of the files as lines: overlaid, or with `offset` each
    drawn that far above the one before (NaN: the largest range of values
    among them, so that no two lines cross)."""
    lines: list[tuple[npt.NDArray[numpy.float64], npt.NDArray[Any]]] = []
    titles: list[str | None] = []
    files: list[str] = []
    x_label = None
    for path, s in opened:
        n, points = s.values.shape
        if n == 0 or points == 0:
            continue
        x, label = _plot._x(s)
        x_label = x_label or label
        for k in range(n):
            lines.append((x, numpy.asarray(s.values[k], dtype=numpy.float64)))
            titles.append(s.titles[k])
            files.append(path)
    if not lines:
        raise _plot.NothingToPlot(f"{opened[0][0]}...: the files hold no spectra of any points; nothing to plot")
    named, shared = shortened(labels(titles, files))
    step = 0.0 if offset is None else _offset(lines) if numpy.isnan(offset) else offset
    first = lines[0][0]
    falling = first.size > 1 and first[0] > first[-1]  # the first file's X runs left to right

    fig = _plot._new(10, 5.5)
    ax = fig.add_subplot()
    for k, ((x, y), text) in enumerate(zip(lines, named)):
        colour, style = STYLES[k % len(STYLES)]
        shown = y + k * step
        ax.plot(x, shown, color=colour, linestyle=style, linewidth=1, marker="o" if x.size == 1 else None,
                label=_plot._text(text))
        if offset is not None:
            _label_end(ax, x, shown, text, colour, falling)
    _keep_overall_order(ax, [x for x, _ in lines], falling)
    ax.set_xlabel(_plot._text(x_label))
    ax.set_ylabel(_plot.VALUE_LABEL + ("" if offset is None else f", each {_number(step)} above the one before"))
    if offset is not None:
        ax.tick_params(left=False, labelleft=False)  # the offsets make the scale's numbers mean nothing
    ax.grid(True, alpha=0.3)
    counted = f"{len(lines):,} spectr{'um' if len(lines) == 1 else 'a'} from {len(opened):,} files"
    ax.set_title(_plot._text(_titled(counted, shared)), loc="left")
    if offset is None:
        ax.legend(fontsize="small", loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0,
                  framealpha=0.85)
    return fig


def heat_map(c: Collection) -> Figure:
    """The spectra of a collection as a heat map, one row per spectrum from
    the first at the bottom, the rows named by their labels on the side; below
    it, a few spectra evenly spread from the first to the last, as lines."""
    values = numpy.asarray(c.values)
    n, points = values.shape
    if n == 0 or points == 0:
        raise _plot.NothingToPlot("the files hold no spectra of any points; nothing to plot")
    named = labels(c.titles, c.files)
    x = c.x
    fig = _plot._new(10, 7.5)
    grid = fig.add_gridspec(2, 1, height_ratios=[3, 2])
    heat = fig.add_subplot(grid[0])
    lines = fig.add_subplot(grid[1], sharex=heat)

    rows = numpy.unique(numpy.linspace(0, n - 1, min(n, _plot.HEAT_ROWS)).round().astype(numpy.intp))
    picked = numpy.unique(numpy.linspace(0, n - 1, min(n, _plot.OVERLAID)).round().astype(numpy.intp))
    y = numpy.arange(n, dtype=numpy.float64)
    shown = numpy.ma.masked_invalid(values[rows])
    image = heat.imshow(shown, cmap=_plot.COLOUR_MAP, aspect="auto", origin="lower", interpolation="nearest",
                        extent=(*_plot._edges(x), *_plot._edges(y)))
    fig.colorbar(image, ax=heat, label=_plot.VALUE_LABEL, pad=0.01)
    ticks = numpy.unique(numpy.linspace(0, n - 1, min(n, TICKS)).round().astype(numpy.intp))
    named, shared = shortened([named[k] for k in ticks] + [named[k] for k in picked], 24)
    heat.set_yticks(ticks.astype(float), [_plot._text(text) for text in named[:len(ticks)]], fontsize="small")
    heat.tick_params(labelbottom=False)
    files = len(dict.fromkeys(c.files))
    heat.set_title(_plot._text(_titled(f"{n:,} spectra of {points:,} points from {files:,} files", shared)),
                   loc="left")

    for colour, (k, text) in enumerate(zip(picked, named[len(ticks):])):
        lines.plot(x, values[k], color=f"C{colour}", linewidth=1, marker="o" if points == 1 else None,
                   label=_plot._text(text))
        for edge, marker in ((0.0, ">"), (1.0, "<")):
            heat.plot([edge], [y[k]], marker=marker, markersize=9, color=f"C{colour}", markeredgecolor="white",
                      markeredgewidth=0.8, transform=heat.get_yaxis_transform(), clip_on=False)
    _plot._keep_order(lines, x)
    lines.set_xlabel("x")
    lines.set_ylabel(_plot.VALUE_LABEL)
    lines.grid(True, alpha=0.3)
    lines.legend(fontsize="small", ncols=1 if len(picked) < 4 else 2, framealpha=0.85)
    return fig


def _titled(counted: str, shared: str | None) -> str:
    """The title: what is drawn, and on a line of its own what the labels share, where they were cut."""
    return counted if shared is None else f"{counted}, each named\n{shared}"


def _offset(lines: list[tuple[npt.NDArray[numpy.float64], npt.NDArray[Any]]]) -> float:
    """The largest range of finite values of any one line; 1 where there is none."""
    ranges = [float(numpy.ptp(y[numpy.isfinite(y)])) for _, y in lines if numpy.isfinite(y).any()]
    step = max(ranges, default=0.0)
    return step if step > 0 and numpy.isfinite(step) else 1.0


def _label_end(ax: Any, x: npt.NDArray[numpy.float64], y: npt.NDArray[numpy.float64], text: str,
               colour: str, falling: bool) -> None:
    """The line's label just beyond the right edge of the axes, level with
    the line's finite value nearest that edge."""
    finite = numpy.flatnonzero(numpy.isfinite(y))
    if not finite.size:
        return
    right = finite[-1] if x.size < 2 or (x[-1] < x[0]) == falling else finite[0]
    ax.annotate(_plot._text(text), xy=(1.0, float(y[right])), xycoords=("axes fraction", "data"),
                xytext=(4, 0), textcoords="offset points", va="center", ha="left", fontsize="small",
                color=colour, annotation_clip=False)


def _keep_overall_order(ax: Any, axes: list[npt.NDArray[numpy.float64]], falling: bool) -> None:
    """Every line's X range on the axes, running as the first file's X runs."""
    low = min(float(numpy.nanmin(x)) for x in axes)
    high = max(float(numpy.nanmax(x)) for x in axes)
    if low < high:
        ax.set_xlim(*((high, low) if falling else (low, high)))


def _number(value: float) -> str:
    """A step for people: three significant digits, with an exponent only where it is tiny or huge."""
    if 1e-3 <= abs(value) < 1e6:
        return f"{float(f'{value:.3g}'):,g}"
    return f"{value:.3g}"
