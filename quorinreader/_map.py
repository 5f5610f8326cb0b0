"""Mapped series: the stage positions of the spectra as a grid, and the
spectra as an image cube on it.

The positions are the mini headers' x_position and y_position, widened to
float64; nothing but the mini-header table is read to find the grid.  Along
each axis the grid is origin + k * step, k = 0, 1, ...  The step is the
typical spacing of the distinct positions: the positions are sorted, and
the spacings between neighbours split where they jump by more than an
octave (stage jitter below, node spacings above).  Of the steps those splits
give, the finest on which every position lies within `tolerance` steps of a
node is kept, and origin and step are then fitted to the positions by least
squares.  A large map is sorted only in a random sample of its positions;
the fit and the check always take them all.

Arrays are (stage_y, stage_x), rows being y, in ascending stage
coordinates, whatever corner and order the scan took.  Human text says
widths first: nx × ny positions, steps x × y.  Spectrum k is `values[k]`:
messages and `index` count from 0."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Literal, NamedTuple

import numpy
import numpy.typing as npt

from ._errors import FormatError

if TYPE_CHECKING:
    from .spectra import Spectra

__all__ = ["Map", "MapError", "find"]

Duplicates = Literal["raise", "last", "mean"]
Measure = Literal["area", "max", "mean"]

_SAMPLE = 8192  # positions sorted to find the steps of a large map
_OCTAVE_BINS = 16  # bins per octave of the spacings' histogram
_MAX_NODES_PER_SPECTRUM = 64  # a grid sparser than this is no map


class MapError(FormatError):
    """Stage positions that do not lie on a grid, or a grid that a spectrum
    does not fit: the message names the file, the spectrum and the place."""


MapError.__module__ = "quorinreader.spectra"


class _Fit(NamedTuple):
    """Along one axis: node k lies at origin + k * step; each position's k, and
    its distance from that node in steps."""

    origin: float
    step: float
    k: npt.NDArray[numpy.int64]
    off: npt.NDArray[numpy.float64]

    @property
    def count(self) -> int:
        return int(self.k.max()) + 1 if self.k.size else 0

    @property
    def worst(self) -> float:
        return float(self.off.max()) if self.off.size else 0.0


def _single(v: npt.NDArray[numpy.float64]) -> _Fit:
    """One node, at the positions' mean."""
    return _Fit(float(v.mean()), math.nan, numpy.zeros(v.size, numpy.int64), numpy.zeros(v.size))


def _fit(v: npt.NDArray[numpy.float64], origin: float, step: float) -> _Fit:
    """The nodes of a first guess, then origin and step fitted by least
    squares: on every position, and again on those within half a step of
    their node where some are not."""
    d = v - origin
    k = d * (1 / step)
    numpy.rint(k, out=k)
    lowest = float(k.min())
    if lowest:
        k -= lowest
        d -= lowest * step
        origin += lowest * step
    a, b = _line(k, d)
    off = _off(k, d, a, b)
    if off.max() > 0.5:
        use = off <= 0.5
        if numpy.count_nonzero(use) >= 2:
            a, b = _line(k[use], d[use])
            off = _off(k, d, a, b)
    return _Fit(origin + a, b, k.astype(numpy.int64), off)


def _line(k: npt.NDArray[numpy.float64], d: npt.NDArray[numpy.float64]) -> tuple[float, float]:
    """a and b of the least-squares line d = a + b k (b = 1 where k takes one value)."""
    n = k.size
    sk, sd = float(k.sum()), float(d.sum())
    skk, skd = float(numpy.einsum("i,i", k, k)), float(numpy.einsum("i,i", k, d))
    denominator = n * skk - sk * sk
    b = (n * skd - sk * sd) / denominator if denominator > 0 else math.nan
    if not b > 0:
        return sd / n, math.nan
    return (sd - b * sk) / n, b


def _off(k: npt.NDArray[numpy.float64], d: npt.NDArray[numpy.float64], a: float,
         b: float) -> npt.NDArray[numpy.float64]:
    """|d - (a + b k)| / b: how far each position lies from its node, in steps."""
    r = k * b
    r += a
    numpy.subtract(d, r, out=r)
    numpy.abs(r, out=r)
    r *= 1 / b
    return r


def _steps(sample: npt.NDArray[numpy.float64]) -> list[float]:
    """Candidate steps from a sample of positions, finest first: the median
    spacing of the distinct positions, taking as distinct those further apart
    than each jump of an octave or more in the spacings."""
    s = numpy.sort(sample)
    gaps = numpy.diff(s)
    gaps = gaps[gaps > 0]
    if not gaps.size:
        return []
    levels = numpy.log2(gaps)
    low = float(levels.min())
    bins = numpy.floor((levels - low) * _OCTAVE_BINS).astype(numpy.intp)
    filled = numpy.flatnonzero(numpy.bincount(bins))
    jumps = numpy.flatnonzero(numpy.diff(filled) > _OCTAVE_BINS)
    thresholds = [0.0] + [2.0 ** (low + (filled[j] + 1) / _OCTAVE_BINS) for j in jumps]
    steps = []
    for threshold in thresholds:
        above = gaps[gaps > threshold]
        if above.size:
            steps.append(float(numpy.median(above)))
    return steps


def _axis(v: npt.NDArray[numpy.float64], sample: npt.NDArray[numpy.float64] | None, tolerance: float,
          limit: int) -> tuple[_Fit | None, _Fit | None]:
    """The finest consistent grid along one axis (None where there is none),
    and the best inconsistent one tried, for the message."""
    if v.size == 0 or v.min() == v.max():
        return _single(v), None
    best: _Fit | None = None
    for s in (sample, None) if sample is not None else (None,):
        tried = v if s is None else s
        for step in _steps(tried):
            origin = float(numpy.median(tried - numpy.rint((tried - tried.min()) / step) * step))
            span = (v.max() - v.min()) / step
            if span + 1 > limit:
                continue
            fit = _fit(v, origin, step)
            if fit.worst <= tolerance and fit.count <= limit:
                return fit, None
            if best is None or fit.worst < best.worst:
                best = fit
    return None, best


def _text(value: float) -> str:
    """A step for people: 5.0, 0.25, 2.5e-05."""
    if not math.isfinite(value):
        return "-"
    return f"{value:.1f}" if abs(value - round(value, 1)) <= 1e-9 * max(1.0, abs(value)) else f"{value:.4g}"


def _coordinates(fit: _Fit) -> npt.NDArray[numpy.float64]:
    """The nodes, ascending; rounded to binary32 as the positions are stored."""
    if fit.count <= 1:
        return numpy.array([fit.origin], numpy.float64)[: fit.count]
    return (fit.origin + numpy.arange(fit.count) * fit.step).astype(numpy.float32).astype(numpy.float64)


def find(s: Spectra, tolerance: float = 0.25, duplicates: Duplicates = "raise") -> Map:
    """The Map of a series' spectra; MapError where their positions are not on a grid."""
    name = s.source
    if duplicates not in ("raise", "last", "mean"):
        raise ValueError(f"duplicates must be 'raise', 'last' or 'mean', not {duplicates!r}")
    if not (tolerance > 0 and tolerance < 0.5):
        raise ValueError(f"tolerance must be more than 0 and less than 0.5 steps, not {tolerance!r}")
    if s.kind != "series":
        raise MapError(f"{name}: a single spectrum is not a map")
    mini = s.mini_headers
    if mini is None:
        raise MapError(f"{name}: the spectra have no mini headers, so no stage positions")
    n = len(s)
    if n == 0:
        raise MapError(f"{name}: the series holds no spectra; no map")
    x = numpy.array(mini["x_position"], numpy.float64)
    y = numpy.array(mini["y_position"], numpy.float64)
    if not (numpy.isfinite(x).all() and numpy.isfinite(y).all()):
        k = int(numpy.flatnonzero(~(numpy.isfinite(x) & numpy.isfinite(y)))[0])
        raise MapError(f"{name}: spectrum {k} has no usable stage position ({x[k]}, {y[k]})")
    if x.min() == x.max() and y.min() == y.max():
        raise MapError(f"{name}: all {n:,} spectra were taken at one position" if n > 1 else
                       f"{name}: its one spectrum was taken at one position; a map needs 2 or more")
    sample = None
    if n > _SAMPLE:
        pick = numpy.random.default_rng(n).integers(0, n, _SAMPLE)
        sample = numpy.stack([x[pick], y[pick]])
    limit = _MAX_NODES_PER_SPECTRUM * n + 1024
    fx, bad_x = _axis(x, None if sample is None else sample[0], tolerance, limit)
    fy, bad_y = _axis(y, None if sample is None else sample[1], tolerance, limit)
    # A line whose other axis only jitters: that axis has one node, within
    # the tolerance of the line's step.
    if fy is None and fx is not None and math.isfinite(fx.step) and y.max() - y.min() <= 2 * tolerance * fx.step:
        fy = _single(y)
    if fx is None and fy is not None and math.isfinite(fy.step) and x.max() - x.min() <= 2 * tolerance * fy.step:
        fx = _single(x)
    if fx is None or fy is None:
        gx = fx if fx is not None else bad_x
        gy = fy if fy is not None else bad_y
        assert gx is not None and gy is not None
        off = numpy.maximum(gx.off, gy.off)
        k = int(numpy.argmax(off))
        raise MapError(f"{name}: spectrum {k} at ({x[k]:.2f}, {y[k]:.2f}) lies {off[k]:.2f} steps from the "
                       f"nearest node of the {_text(gx.step)} × {_text(gy.step)} grid")
    if fx.count * fy.count > limit:
        raise MapError(f"{name}: the {n:,} positions span {fx.count:,} × {fy.count:,} nodes; not a map")
    return Map(s, fx, fy, x, y, duplicates)


class Map:
    """The spectra of a mapped series on their stage grid.  Made by
    Spectra.to_map().

    Arrays are (stage_y, stage_x) in ascending stage coordinates; `index`
    says which spectrum lies at each pixel (-1 where none was taken), and
    `cube` holds the spectra themselves, NaN where none was taken.  With
    duplicates="last" a pixel holds the last spectrum taken there; with
    "mean" `index` names that last one and `cube` holds the mean."""

    __slots__ = ("source", "stage_y", "stage_x", "index", "scan", "taken", "step", "_spectra", "_node",
                 "_order", "_duplicates", "_cube")

    source: str
    stage_y: npt.NDArray[numpy.float64]
    stage_x: npt.NDArray[numpy.float64]
    index: npt.NDArray[numpy.int64]
    scan: Literal["raster", "snake"]
    taken: int
    step: tuple[float, float]

    def __init__(self, s: Spectra, fx: _Fit, fy: _Fit, x: npt.NDArray[numpy.float64],
                 y: npt.NDArray[numpy.float64], duplicates: Duplicates) -> None:
        self.source = s.source
        self._spectra = s
        self.stage_x, self.stage_y = _coordinates(fx), _coordinates(fy)
        self.step = (fy.step, fx.step)
        ny, nx = fy.count, fx.count
        node = fy.k * nx + fx.k
        n = node.size
        counts = numpy.bincount(node, minlength=ny * nx)
        index = numpy.full(ny * nx, -1, numpy.int64)
        self._duplicates: npt.NDArray[numpy.intp] | None = None
        if counts.max() > 1:
            order = numpy.argsort(node, kind="stable")
            ordered = node[order]
            last = numpy.flatnonzero(numpy.append(ordered[1:] != ordered[:-1], True))
            if duplicates == "raise":
                starts = numpy.flatnonzero(numpy.insert(ordered[1:] != ordered[:-1], 0, True))
                many = starts[numpy.append(numpy.diff(starts), n - starts[-1]) > 1]
                which = int(numpy.argmin(order[many + 1]))
                first, second = int(order[many[which]]), int(order[many[which] + 1])
                raise MapError(
                    f"{self.source}: spectra {first} and {second} were both taken at ({x[second]:.2f}, "
                    f"{y[second]:.2f}), one node of the grid; pass duplicates='last' or 'mean' to keep "
                    f"the last or their mean")
            index[ordered[last]] = order[last]
            if duplicates == "mean":
                self._duplicates = order
        else:
            index[node] = numpy.arange(n)
        self.index = index.reshape(ny, nx)
        self.taken = int(numpy.count_nonzero(counts))
        self._node = node
        self._order = _order(fx.k, fy.k)
        self.scan = _scan(fx.k, fy.k, self._order)
        self._cube: npt.NDArray[numpy.floating[Any]] | None = None

    @property
    def shape(self) -> tuple[int, int]:
        """(ny, nx): rows along stage y, columns along stage x."""
        return self.index.shape  # type: ignore[return-value]

    @property
    def x(self) -> npt.NDArray[numpy.float64]:
        """The spectral X of every spectrum (the Spectra's x)."""
        return self._spectra.x

    @property
    def cube(self) -> npt.NDArray[numpy.floating[Any]]:
        """(ny, nx, points): the spectrum at each pixel, NaN where none was
        taken.  A view of the values where the scan allows (a complete raster
        with no duplicates), else gathered once, then kept."""
        cube = self._cube
        if cube is None:
            cube = self._cube = self._view()
            if cube is None:
                cube = self._cube = self._gather()
        return cube

    def _view(self) -> npt.NDArray[numpy.floating[Any]] | None:
        values = self._spectra.values
        ny, nx = self.shape
        n = values.shape[0]
        if n != ny * nx or self.taken != n or self._duplicates is not None:
            return None
        index = self.index
        first = int(index[0, 0])
        across = int(index[0, 1] - first) if nx > 1 else 0
        down = int(index[1, 0] - first) if ny > 1 else 0
        expected = first + down * numpy.arange(ny)[:, None] + across * numpy.arange(nx)[None, :]
        if not numpy.array_equal(index, expected):
            return None
        points = values.shape[1]
        rows_first = abs(across) <= 1 and (ny == 1 or abs(down) == nx)
        if rows_first:
            grid = values.reshape(ny, nx, points)
        elif abs(down) == 1 and abs(across) == ny:
            grid = values.reshape(nx, ny, points).transpose(1, 0, 2)
        else:
            return None
        return grid[:: -1 if down < 0 else 1, :: -1 if across < 0 else 1]

    def _gather(self) -> npt.NDArray[numpy.floating[Any]]:
        values = self._spectra.values
        ny, nx = self.shape
        where = self.index.ravel()
        cube = numpy.take(values, numpy.maximum(where, 0), axis=0)
        cube[where < 0] = numpy.nan
        order = self._duplicates
        if order is not None:
            ordered = self._node[order]
            starts = numpy.flatnonzero(numpy.insert(ordered[1:] != ordered[:-1], 0, True))
            sizes = numpy.diff(numpy.append(starts, ordered.size))
            many = sizes > 1
            groups = numpy.repeat(many, sizes)
            picked = order[groups]
            sums = numpy.add.reduceat(numpy.asarray(values[picked], numpy.float64),
                                      numpy.flatnonzero(numpy.insert(
                                          self._node[picked][1:] != self._node[picked][:-1], 0, True)), axis=0)
            cube[ordered[starts[many]]] = sums / sizes[many][:, None]
        return cube.reshape(ny, nx, values.shape[1])

    def image(self, at: float | None = None, *, band: tuple[float, float] | None = None,
              how: Measure = "mean") -> npt.NDArray[numpy.float64]:
        """(ny, nx) float64: each pixel's value at the X nearest `at`, or its
        measure over the X of `band` (both ends included): "area" (the integral
        over X, ascending), "max" or "mean".  NaN where no spectrum was taken."""
        x = self.x
        if (at is None) == (band is None):
            raise ValueError("image() takes one of at=X or band=(A, B)")
        if how not in ("area", "max", "mean"):
            raise ValueError(f"how must be 'area', 'max' or 'mean', not {how!r}")
        if not x.size:
            raise ValueError(f"{self.source}: the spectra have no points")
        if at is not None:
            columns = slice(k := int(numpy.nanargmin(numpy.abs(x - at))), k + 1)
            how = "mean"
        else:
            assert band is not None
            lo, hi = sorted(map(float, band))
            inside = numpy.flatnonzero((x >= lo) & (x <= hi))
            if not inside.size:
                raise ValueError(f"{self.source}: no X lies in the band {lo:g} to {hi:g}; "
                                 f"X runs from {x[0]:g} to {x[-1]:g}")
            columns = slice(int(inside[0]), int(inside[-1]) + 1)
        if self._duplicates is not None:
            block = numpy.asarray(self.cube[:, :, columns], numpy.float64)
            return _measure(block, x[columns], how)
        values = self._spectra.values
        where = self.index.ravel()
        taken = where >= 0
        out = numpy.full(where.size, numpy.nan)
        out[taken] = _measure(numpy.asarray(values[where[taken], columns], numpy.float64), x[columns], how)
        return out.reshape(self.shape)

    def __repr__(self) -> str:
        ny, nx = self.shape
        dy, dx = self.step
        return (f"<Map: {nx} × {ny} positions, step {_text(dx)} × {_text(dy)}, {self.scan}, "
                f"{self.taken:,} of {ny * nx:,} taken, from {self.source!r}>")


def _measure(block: npt.NDArray[numpy.float64], x: npt.NDArray[numpy.float64],
             how: Measure) -> npt.NDArray[numpy.float64]:
    """Reduces the last axis of `block` (values at `x`)."""
    if how == "max":
        return block.max(axis=-1)
    if how == "mean":
        return block.mean(axis=-1)
    if x.size < 2:
        return numpy.zeros(block.shape[:-1])
    return numpy.abs(numpy.trapezoid(block, x, axis=-1))


def _order(kx: npt.NDArray[numpy.int64], ky: npt.NDArray[numpy.int64]) -> Literal["rows", "columns"]:
    """"rows" where the scan moves along x between most spectra, else "columns"."""
    return "rows" if numpy.count_nonzero(numpy.diff(kx)) >= numpy.count_nonzero(numpy.diff(ky)) else "columns"


def _scan(kx: npt.NDArray[numpy.int64], ky: npt.NDArray[numpy.int64],
          order: Literal["rows", "columns"]) -> Literal["raster", "snake"]:
    """"snake" where most lines run the other way from the line before."""
    fast, slow = (kx, ky) if order == "rows" else (ky, kx)
    starts = numpy.flatnonzero(numpy.insert(numpy.diff(slow) != 0, 0, True))
    ends = numpy.append(starts[1:], slow.size) - 1
    directions = numpy.sign(fast[ends] - fast[starts])
    directions = directions[directions != 0]
    if directions.size < 2:
        return "raster"
    return "snake" if numpy.mean(directions[1:] != directions[:-1]) > 0.5 else "raster"
