"""Mapped series: the stage positions of the spectra as a grid, and the
spectra as an image cube on it.

The positions are the mini headers' x_position and y_position, widened to
float64; nothing but the mini-header table is read to find the grid.  Each
axis's grid is found from that axis's positions alone (see _grid): the
coarsest grid origin + k * step on which every position lies within
`tolerance` steps of a node.  A large map is sorted only in a random sample
of its positions to find the steps; the fit and the check always take them
all.

Arrays are (stage_y, stage_x), rows being y, in ascending stage
coordinates, whatever corner and order the scan took.  Human text says
widths first: nx × ny positions, steps x × y.  Spectrum k is `values[k]`:
messages and `index` count from 0."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Literal

import numpy
import numpy.typing as npt

from .._read import bands as _bands
from .._read.errors import FormatError
from .grid import Fit, axis, single

if TYPE_CHECKING:
    from .._read.spectra import Spectra

__all__ = ["Map", "MapError", "find"]


_SAMPLE = 8192  # positions sorted to find the steps of a large map
_MAX_NODES_PER_SPECTRUM = 64  # a grid sparser than this is no map


class MapError(FormatError):
    """Stage positions that do not lie on a grid, or a grid that a spectrum
    does not fit: the message names the file, the spectrum and the place."""


MapError.__module__ = "quorinreader.spectra"


def _line_of(across: Fit | None, along: Fit | None, v: npt.NDArray[numpy.float64],
             tolerance: float) -> Fit | None:
    """`across` as one node, where the spectra are a line along the other axis."""
    if along is None or not math.isfinite(along.step) or v.max() - v.min() > 2 * tolerance * along.step:
        return across
    if across is not None and across.nodes > 1:
        lone = numpy.bincount(along.k).max() == 1
        if not lone or v.size > 0.5 * across.nodes * along.nodes:
            return across
    return single(v)


def _text(value: float) -> str:
    """A step for people: 5.0, 0.25, 2.5e-05."""
    if not math.isfinite(value):
        return "-"
    return f"{value:.1f}" if abs(value - round(value, 1)) <= 1e-9 * max(1.0, abs(value)) else f"{value:.4g}"


def _coordinates(fit: Fit) -> npt.NDArray[numpy.float64]:
    """The nodes, ascending; rounded to binary32 as the positions are stored."""
    if fit.nodes <= 1:
        return numpy.array([fit.origin], numpy.float32).astype(numpy.float64)
    return (fit.origin + numpy.arange(fit.nodes) * fit.step).astype(numpy.float32).astype(numpy.float64)


def find(s: Spectra, tolerance: float = 0.25, duplicates: Literal["raise", "last", "mean"] = "raise") -> Map:
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
        raise MapError(f"{name}: the spectrum at index {k} has no usable stage position ({x[k]}, {y[k]})")
    if x.min() == x.max() and y.min() == y.max():
        raise MapError(f"{name}: all {n:,} spectra were taken at one position" if n > 1 else
                       f"{name}: its one spectrum was taken at one position; a map needs 2 or more")
    sx, sy = x, y
    if n > _SAMPLE:
        pick = numpy.random.default_rng(n).integers(0, n, _SAMPLE)
        sx, sy = x[pick], y[pick]
    limit = _MAX_NODES_PER_SPECTRUM * n + 1024
    fx, bad_x = axis(x, sx, tolerance, limit)
    fy, bad_y = axis(y, sy, tolerance, limit)
    # A line whose other axis only jitters: that axis is one node where its
    # positions stay within the tolerance of the line's step, and where its
    # grid, if it has one, would only spread the line out diagonally.
    fx = _line_of(fx, fy, x, tolerance)
    fy = _line_of(fy, fx, y, tolerance)
    if fx is None or fy is None:
        gx = fx if fx is not None else bad_x
        gy = fy if fy is not None else bad_y
        assert gx is not None and gy is not None
        off = numpy.maximum(gx.off, gy.off)
        k = int(numpy.argmax(off))
        raise MapError(f"{name}: the spectrum at index {k}, taken at ({x[k]:.2f}, {y[k]:.2f}), lies {off[k]:.2f} "
                       f"steps from the nearest node of the {_text(gx.step)} × {_text(gy.step)} grid")
    if fx.nodes * fy.nodes > limit:
        raise MapError(f"{name}: the {n:,} positions span {fx.nodes:,} × {fy.nodes:,} nodes; not a map")
    return Map(s, fx, fy, x, y, duplicates)


class Map:
    """The spectra of a mapped series on their stage grid.  Made by
    Spectra.to_map().

    Arrays are (stage_y, stage_x) in ascending stage coordinates; `index`
    says which spectrum lies at each pixel (-1 where none was taken), and
    `cube` holds the spectra themselves, NaN where none was taken.  With
    duplicates="last" a pixel holds the last spectrum taken there; with
    "mean" `index` names that last one and `cube` holds the mean.

    Attributes
    ----------
    source : str
        The file's name, as the Spectra it was found in gives it.
    stage_y : numpy.ndarray
        float64, the grid's coordinates along stage y, ascending: one per
        row.
    stage_x : numpy.ndarray
        float64, the grid's coordinates along stage x, ascending: one per
        column.
    step : (float, float)
        The (y, x) steps of the grid.
    index : numpy.ndarray
        (ny, nx) int64: the spectrum at each pixel, -1 where none was taken.
    scan : {"raster", "snake"}
        How the stage went over the grid.
    taken : int
        How many pixels have a spectrum, of ny × nx.

    Examples
    --------
    >>> m = spectra.load("examples/demo_map.spa").to_map()
    >>> m.index[1, :4].tolist(), m.taken
    ([39, 38, 37, 36], 300)
    """

    __slots__ = ("source", "stage_y", "stage_x", "index", "scan", "taken", "step", "_spectra", "_node",
                 "_order", "_duplicates", "_cube")

    source: str
    stage_y: npt.NDArray[numpy.float64]
    stage_x: npt.NDArray[numpy.float64]
    index: npt.NDArray[numpy.int64]
    scan: Literal["raster", "snake"]
    taken: int
    step: tuple[float, float]

    def __init__(self, s: Spectra, fx: Fit, fy: Fit, x: npt.NDArray[numpy.float64],
                 y: npt.NDArray[numpy.float64], duplicates: Literal["raise", "last", "mean"]) -> None:
        self.source = s.source
        self._spectra = s
        self.stage_x, self.stage_y = _coordinates(fx), _coordinates(fy)
        self.step = (fy.step, fx.step)
        ny, nx = fy.nodes, fx.nodes
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
                    f"{self.source}: the spectra at indices {first} and {second} were both taken at "
                    f"({x[second]:.2f}, {y[second]:.2f}), one node of the grid; pass duplicates='last' or 'mean' to keep "
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
        ny, nx = self.index.shape
        return ny, nx

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
              how: Literal["area", "max", "mean"] = "mean") -> npt.NDArray[numpy.float64]:
        """Each pixel's value at an X, or its measure of a band.

        Parameters
        ----------
        at : float, optional
            The X whose nearest point's value each pixel gives.
        band : (float, float), optional
            The band from one X to another, both ends included, in either
            order; instead of `at`.
        how : {"mean", "max", "area"}
            How the band is measured: its mean (the default), its largest
            value, or its integral over X, ascending.

        Returns
        -------
        numpy.ndarray
            (ny, nx) float64, NaN where no spectrum was taken.

        Raises
        ------
        ValueError
            Where `at` lies outside X, or the band holds none of it.

        Examples
        --------
        >>> m = spectra.load("examples/demo_map.spa").to_map()
        >>> m.image(band=(950, 1050), how="area").shape
        (15, 20)
        """
        x = self.x
        columns, how = _bands.columns(x, self.source, "image()", at, band, how)
        if self._duplicates is not None:
            block = numpy.asarray(self.cube[:, :, columns], numpy.float64)
            return _bands.measure(block, x[columns], how)
        values = self._spectra.values
        where = self.index.ravel()
        taken = where >= 0
        out = numpy.full(where.size, numpy.nan)
        out[taken] = _bands.measure(numpy.asarray(values[where[taken], columns], numpy.float64), x[columns], how)
        return out.reshape(self.shape)

    def to_hyperspy(self) -> Any:
        """The map as HyperSpy's signal, (stage_y, stage_x | x).

        Returns
        -------
        hyperspy.signals.Signal1D
            NaN where no spectrum was taken: the stage axes and X with
            offset, scale and names, every record in original_metadata.
            Lazy for an opened file (but for means of duplicates, taken
            now).

        Raises
        ------
        ImportError
            Without HyperSpy (the `hyperspy` extra).
        """
        from .._export import hyperspy as _export_hyperspy

        return _export_hyperspy.map_signal(self)

    def _summary(self) -> str:
        """The grid for people: "20 × 15 positions, step 5.0 × 5.0, snake, 300 of 300 taken"."""
        ny, nx = self.shape
        dy, dx = self.step
        return f"{nx} × {ny} positions, step {_text(dx)} × {_text(dy)}, {self.scan}, {self.taken:,} of {ny * nx:,} taken"

    def __repr__(self) -> str:
        return f"<Map: {self._summary()}, from {self.source!r}>"

    def _repr_html_(self) -> str:
        from .._show import html as _html
        return _html.map_(self)


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
