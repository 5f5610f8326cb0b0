"""How Spectra, a Collection and a Map show themselves in a notebook: a
compact table and a small inline SVG of the spectra (a few lines, a heat
map thumbnail for many, or the image of a map's strongest band).

A picture has fewer pixels than the spectra have points, so each pixel
pools what it stands for rather than picking one of it: a heat map's cell
shows the largest value of its spectra and points, a line the lowest and
the highest of its points (its envelope), a map's pixel the largest of its
pixels.  A band one point wide, or one spectrum that stands out, shows."""

from __future__ import annotations

import base64
import html
import struct
import zlib
from typing import TYPE_CHECKING, Any

import numpy
import numpy.typing as npt

if TYPE_CHECKING:
    from .._many.files import Collection
    from .._maps.map import Map
    from .._read.spectra import Spectra

__all__ = ["collection", "map_", "spectra"]

_WIDTH, _HEIGHT = 240, 96
_MAP_HEIGHT = 160  # a map's picture keeps its aspect within _WIDTH x _MAP_HEIGHT
_LINES = 8        # at most this many spectra drawn as lines; more make a heat map
_CELLS = 48       # heat map rows and columns at most
_MAP_CELLS = 96   # map pixels along each axis at most
_POOLED = 1 << 24  # values read for a heat map at most: beyond, evenly spaced spectra stand for the rest
_CHUNK = 1 << 20  # values pooled at a time
_COLOURS = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f"]
_NO_SPECTRUM = 217  # the grey of map pixels where none was taken, as the plot command draws them


def _table(rows: list[tuple[str, str]]) -> str:
    cells = "".join(f"<tr><th style='text-align:left;padding-right:1em'>{html.escape(k)}</th>"
                    f"<td style='text-align:left'>{html.escape(v)}</td></tr>" for k, v in rows)
    return f"<table>{cells}</table>"


def _starts(n: int, most: int) -> npt.NDArray[numpy.intp]:
    """Where each of at most `most` runs of n items begins: contiguous runs as
    even as whole items allow."""
    m = max(1, min(n, most))
    return (numpy.arange(m) * n) // m


def _lines(x: Any, values: Any) -> str:
    values = numpy.asarray(values, dtype=numpy.float64)
    finite = values[numpy.isfinite(values)]
    if not finite.size or x.size < 2:
        return ""
    low, high = float(finite.min()), float(finite.max())
    span = high - low or 1.0
    starts = _starts(x.size, _WIDTH)
    pooled = starts.size < x.size
    # Each pixel column's position: the middle of the points it stands for.
    ends = numpy.append(starts[1:], x.size) - 1
    xs = (starts + ends) / 2 * (_WIDTH / (x.size - 1))
    paths = []
    for k, row in enumerate(values):
        if pooled:
            # The envelope: down to the lowest and up to the highest point of each column.
            lows, highs = numpy.fmin.reduceat(row, starts), numpy.fmax.reduceat(row, starts)
            xy = numpy.stack([numpy.repeat(xs, 2), numpy.column_stack([lows, highs]).ravel()], axis=1)
        else:
            xy = numpy.stack([xs, row], axis=1)
        ys = _HEIGHT - (xy[:, 1] - low) / span * (_HEIGHT - 4) - 2
        points = " ".join(f"{a:.1f},{b:.1f}" for a, b in zip(xy[:, 0], ys) if numpy.isfinite(b))
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


def _pooled(values: Any, picked: npt.NDArray[numpy.intp], columns: int) -> npt.NDArray[numpy.float64]:
    """The largest value in each cell: at most _CELLS runs of the spectra
    `picked` (ascending) by at most `columns` runs of points.  NaN where a
    cell holds no number.  A bounded block of spectra is read at a time."""
    points = values.shape[1]
    runs = numpy.split(picked, _starts(picked.size, _CELLS)[1:])
    starts = _starts(points, columns)
    out = numpy.empty((len(runs), starts.size))
    step = max(1, _CHUNK // max(1, points))
    for i, run in enumerate(runs):
        largest = numpy.full(points, numpy.nan)
        for at in range(0, run.size, step):
            part = run[at:at + step]
            contiguous = part[-1] - part[0] + 1 == part.size
            block = values[part[0]:part[-1] + 1] if contiguous else values[part]
            numpy.fmax(largest, numpy.fmax.reduce(numpy.asarray(block, dtype=numpy.float64), axis=0), out=largest)
        out[i] = numpy.fmax.reduceat(largest, starts)
    return out


def _colours(cells: npt.NDArray[numpy.float64]) -> npt.NDArray[numpy.uint8] | None:
    """viridis of each cell, scaled from its lowest to its highest number; None
    where there is no number.  A cell of no number is white."""
    finite = numpy.isfinite(cells)
    if not finite.any():
        return None
    low, high = float(cells[finite].min()), float(cells[finite].max())
    scaled = numpy.clip((numpy.where(finite, cells, low) - low) / ((high - low) or 1.0), 0, 1)
    at = scaled * (len(_STOPS) - 1)
    below = numpy.minimum(at.astype(int), len(_STOPS) - 2)
    frac = (at - below)[..., None]
    rgb = _STOPS[below] * (1 - frac) + _STOPS[below + 1] * frac
    rgb[~finite] = 255
    return numpy.asarray(numpy.round(rgb), numpy.uint8)


def _image(rgb: npt.NDArray[numpy.uint8], width: float, height: float) -> str:
    data = base64.b64encode(_png(rgb)).decode("ascii")
    return (f"<image width='{width:g}' height='{height:g}' preserveAspectRatio='none' "
            f"style='image-rendering:pixelated' href='data:image/png;base64,{data}'/>")


def _heat(values: Any) -> tuple[str, int]:
    """The heat map thumbnail, and how many spectra it was pooled from."""
    n = values.shape[0]
    # Every spectrum where they are few enough to read for a picture; else
    # evenly spaced ones, each standing for those up to the next.
    read = min(n, max(_CELLS, _POOLED // max(1, values.shape[1])))
    picked = numpy.unique(numpy.linspace(0, n - 1, read).round().astype(numpy.intp))
    rgb = _colours(_pooled(values, picked, _CELLS))
    if rgb is None:
        return "", picked.size
    # The first spectrum at the bottom, as the plot command draws a series.
    return _image(rgb[::-1], _WIDTH, _HEIGHT), picked.size


def _svg(x: Any, values: Any) -> tuple[str, int]:
    if values.shape[0] <= _LINES:
        body, read = _lines(x, values), values.shape[0]
    else:
        body, read = _heat(values)
    return _frame(body, _WIDTH, _HEIGHT), read


def _frame(body: str, width: float, height: float) -> str:
    return (f"<svg xmlns='http://www.w3.org/2000/svg' width='{width:g}' height='{height:g}' "
            f"viewBox='0 0 {width:g} {height:g}' style='border:1px solid #ddd'>{body}</svg>")


def _layout(table: str, svg: str) -> str:
    return (f"<div style='display:flex;gap:1em;align-items:flex-start'>{table}"
            f"<div>{svg}</div></div>")


def _axis(x: Any) -> str:
    return f"{x[0]:g} to {x[-1]:g}" if x.size else "none"


def _read_note(read: int, n: int) -> list[tuple[str, str]]:
    return [("picture", f"pooled from {read:,} of the {n:,} spectra, evenly spaced")] if read < n else []


def spectra(s: Spectra) -> str:
    """The table and picture of one file's spectra; of a map, its image."""
    if s.closed:
        return f"<pre>{html.escape(repr(s))}</pre>"
    values = s.values
    rows = [("kind", s.kind), ("spectra", f"{len(s):,}"), ("points", f"{values.shape[1]:,}"),
            ("x", _axis(s.x)), ("dtype", values.dtype.name), ("source", str(s.source))]
    if s.kind == "series" and s.is_map and values.shape[1]:
        table, picture = _map_parts(s.to_map(duplicates="last"))
        return _layout(_table(rows + table), picture)
    svg, read = _svg(s.x, values)
    return _layout(_table(rows + _read_note(read, len(s))), svg)


def map_(m: Map) -> str:
    """The table and picture of a map: the image of its strongest band."""
    if m._spectra.closed:
        return f"<pre>{html.escape(repr(m))}</pre>"
    table, picture = _map_parts(m)
    return _layout(_table([("source", str(m.source))] + table), picture)


def _map_parts(m: Map) -> tuple[list[tuple[str, str]], str]:
    """The rows that describe a map's grid and picture, and the picture."""
    from .._read import bands as _bands

    s = m._spectra
    band = _bands.strongest(s)
    image = m.image(band=band)
    rows = [("map", m._summary()), ("picture", _bands.label(s, None, band, "mean"))]
    ny, nx = image.shape
    cells = _pooled_image(image)
    rgb = _colours(cells)
    if rgb is None:
        return rows, ""
    rgb[~numpy.isfinite(cells)] = _NO_SPECTRUM
    # Each pixel as wide and high as its steps, the lowest stage y at the bottom.
    dy, dx = (step if numpy.isfinite(step) and step > 0 else 1.0 for step in m.step)
    scale = min(_WIDTH / (nx * dx), _MAP_HEIGHT / (ny * dy))
    width, height = max(1, round(nx * dx * scale)), max(1, round(ny * dy * scale))
    return rows, _frame(_image(rgb[::-1], width, height), width, height)


def _pooled_image(image: npt.NDArray[numpy.float64]) -> npt.NDArray[numpy.float64]:
    """A map's image in at most _MAP_CELLS pixels along each axis, each the
    largest of those it stands for (NaN where none of them has a spectrum)."""
    ny, nx = image.shape
    rows, columns = _starts(ny, _MAP_CELLS), _starts(nx, _MAP_CELLS)
    if rows.size == ny and columns.size == nx:
        return image
    return numpy.fmax.reduceat(numpy.fmax.reduceat(image, rows, axis=0), columns, axis=1)


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
    if not len(values):
        return _layout(_table(rows), "")
    svg, read = _svg(c.x, values)
    return _layout(_table(rows + _read_note(read, len(values))), svg)
