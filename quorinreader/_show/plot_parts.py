"""Pieces every figure of the command line shares: its title, fitted to the
figure's width, a band of X shaded, and text of the file's drawn as it is.

The title is the figure's own, above every axes and colour bar, so the two
never meet.  A title too wide for the figure goes on two lines, the file's
name above what the figure shows, and a line still too wide is shortened
with an ellipsis: a name in its middle, so that its start and its suffix
stay, a description at its end."""

from __future__ import annotations

from pathlib import Path
from typing import Any

from matplotlib.figure import Figure

__all__ = ["BAND", "shade", "text", "title"]

BAND = "#f2b233"  # the shading of a band: warm, behind every spectrum's colour
_MARGIN = 0.015  # of the figure's width, on either side of the title
_ELLIPSIS = "…"


def text(value: Any) -> str:
    """Text of the file's, drawn as it is: a "$" does not start mathtext."""
    return str(value).replace("$", r"\$")


def title(fig: Figure, name: str, description: str) -> None:
    """The figure's title: the file's name (without its folder) and what the
    figure shows, on one line where they fit, else on two."""
    shown = Path(name).name or str(name)
    heading = fig.suptitle("", x=_MARGIN, ha="left", fontsize="large")
    renderer = fig.canvas.get_renderer()  # type: ignore[attr-defined]
    room = fig.bbox.width * (1 - 2 * _MARGIN)

    def width(line: str) -> float:
        heading.set_text(text(line))
        return float(heading.get_window_extent(renderer).width)

    one = f"{shown}: {description}" if description else shown
    if width(one) <= room:
        heading.set_text(text(one))
        return
    lines = [_fit(shown, width, room, middle=True)]
    if description:
        lines.append(_fit(description, width, room, middle=False))
    heading.set_text(text("\n".join(lines)))


def _fit(line: str, width: Any, room: float, middle: bool) -> str:
    """`line`, shortened with an ellipsis (in the middle or at the end) until it fits `room`."""
    if width(line) <= room:
        return line
    lo, hi = 1, len(line) - 1  # characters kept: the most that fit
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if width(_cut(line, mid, middle)) <= room:
            lo = mid
        else:
            hi = mid - 1
    return _cut(line, lo, middle)


def _cut(line: str, kept: int, middle: bool) -> str:
    if not middle:
        return line[:kept].rstrip() + _ELLIPSIS
    tail = kept // 2
    return line[:kept - tail] + _ELLIPSIS + line[len(line) - tail:]


def shade(ax: Any, lo: float, hi: float) -> None:
    """The band from lo to hi on the axes of spectra (a line where it is one X):
    filled behind the spectra, and edged, so that it shows in print and in grey."""
    if lo == hi:
        ax.axvline(lo, color="0.25", linewidth=1.2, linestyle="--", zorder=1)
        return
    ax.axvspan(lo, hi, facecolor=BAND, alpha=0.35, linewidth=0, zorder=0)
    for edge in (lo, hi):
        ax.axvline(edge, color="0.35", linewidth=0.8, linestyle="--", zorder=1)
