"""How Spectra and a Collection show themselves in a notebook: a compact
table and a small inline SVG of the spectra (a few lines, or a heat map
thumbnail for many)."""

from __future__ import annotations

import base64
import html
import struct
import zlib
from typing import TYPE_CHECKING, Any

import numpy

if TYPE_CHECKING:
    from ._many import Collection
    from .spectra import Spectra

__all__ = ["collection", "spectra"]

_WIDTH, _HEIGHT = 240, 96
_LINES = 8        # at most this many spectra drawn as lines; more make a heat map
_CELLS = 48       # heat map rows and columns at most
_COLOURS = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f"]


def _table(rows: list[tuple[str, str]]) -> str:
    cells = "".join(f"<tr><th style='text-align:left;padding-right:1em'>{html.escape(k)}</th>"
                    f"<td style='text-align:left'>{html.escape(v)}</td></tr>" for k, v in rows)
    return f"<table>{cells}</table>"


def _lines(x: Any, values: Any) -> str:
    values = numpy.asarray(values, dtype=numpy.float64)
    finite = values[numpy.isfinite(values)]
    if not finite.size or x.size < 2:
        return ""
    low, high = float(finite.min()), float(finite.max())
    span = high - low or 1.0
    step = max(1, x.size // _WIDTH)
    xs = numpy.linspace(0, _WIDTH, x.size)[::step]
    paths = []
    for k, row in enumerate(values[:, ::step]):
        ys = _HEIGHT - (row - low) / span * (_HEIGHT - 4) - 2
        points = " ".join(f"{a:.1f},{b:.1f}" for a, b in zip(xs, ys) if numpy.isfinite(b))
        paths.append(f"<polyline fill='none' stroke='{_COLOURS[k % len(_COLOURS)]}' stroke-width='1' "
                     f"points='{points}'/>")
    return "".join(paths)


# viridis at five stops: perceptually even, and readable in grey.
_STOPS = numpy.array([[68, 1, 84], [59, 82, 139], [33, 145, 140], [94, 201, 98], [253, 231, 37]], numpy.float64)


def _png(rgb: Any) -> bytes:
    """A PNG of an (h, w, 3) uint8 image: a heat map is a few hundred bytes
    this way, where a rectangle per cell would be tens of kilobytes."""
    h, w, _ = rgb.shape
    raw = b"".join(b"\0" + rgb[i].tobytes() for i in range(h))

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def _heat(values: Any) -> str:
    rows, points = values.shape
    r_step, c_step = max(1, -(-rows // _CELLS)), max(1, -(-points // _CELLS))
    sample = numpy.asarray(values[::r_step, ::c_step], dtype=numpy.float64)
    finite = numpy.isfinite(sample)
    if not finite.any():
        return ""
    low, high = float(sample[finite].min()), float(sample[finite].max())
    scaled = numpy.clip((numpy.where(finite, sample, low) - low) / ((high - low) or 1.0), 0, 1)
    at = scaled * (len(_STOPS) - 1)
    below = numpy.minimum(at.astype(int), len(_STOPS) - 2)
    frac = (at - below)[..., None]
    rgb = _STOPS[below] * (1 - frac) + _STOPS[below + 1] * frac
    rgb[~finite] = 255  # no value: blank
    # The first spectrum at the bottom, as the plot command draws a series.
    data = base64.b64encode(_png(numpy.round(rgb[::-1]).astype(numpy.uint8))).decode("ascii")
    return (f"<image width='{_WIDTH}' height='{_HEIGHT}' preserveAspectRatio='none' "
            f"style='image-rendering:pixelated' href='data:image/png;base64,{data}'/>")


def _svg(x: Any, values: Any) -> str:
    body = _lines(x, values) if values.shape[0] <= _LINES else _heat(values)
    return (f"<svg xmlns='http://www.w3.org/2000/svg' width='{_WIDTH}' height='{_HEIGHT}' "
            f"viewBox='0 0 {_WIDTH} {_HEIGHT}' style='border:1px solid #ddd'>{body}</svg>")


def _layout(table: str, svg: str) -> str:
    return (f"<div style='display:flex;gap:1em;align-items:flex-start'>{table}"
            f"<div>{svg}</div></div>")


def _axis(x: Any) -> str:
    return f"{x[0]:g} to {x[-1]:g}" if x.size else "none"


def spectra(s: Spectra) -> str:
    """The table and picture of one file's spectra."""
    if s.closed:
        return f"<pre>{html.escape(repr(s))}</pre>"
    values = s.values
    rows = [("kind", s.kind), ("spectra", f"{len(s):,}"), ("points", f"{values.shape[1]:,}"),
            ("x", _axis(s.x)), ("dtype", values.dtype.name), ("source", str(s.source))]
    return _layout(_table(rows), _svg(s.x, values))


def collection(c: Collection) -> str:
    """The table and picture of a Collection; a lazy one is drawn from its first chunk only."""
    values = c.values
    files = list(dict.fromkeys(c.files))
    source = files[0] if len(files) == 1 else f"{files[0]} ... {files[-1]}" if files else "none"
    rows = [("kind", "collection" + (", lazy" if c.lazy else "")), ("spectra", f"{len(c):,}"),
            ("files", f"{len(files):,}"), ("points", f"{c.x.size:,}"), ("x", _axis(c.x)),
            ("dtype", numpy.dtype(values.dtype).name), ("source", source)]
    if c.skipped:
        rows.append(("skipped", f"{len(c.skipped):,}"))
    if c.lazy:
        values = values.blocks[0].compute() if values.numblocks[0] else numpy.empty((0, c.x.size))
    return _layout(_table(rows), _svg(c.x, values) if len(values) else "")
