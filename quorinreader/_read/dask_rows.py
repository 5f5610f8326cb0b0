"""Dask arrays of an opened file's spectra, read as the lazy Dataset reads
them: each chunk opens the source, reads its runs of adjacent spectra with
positioned reads (ranged requests for a URL) straight into its block, and
closes it.  Nothing is mapped and nothing stays open.

The arrays hold the file's Origin (a path, a URL and its options, or
bytes) and its Table, never an open file, so a graph pickles and runs on
any worker; a file cut short meanwhile raises FormatError there."""

from __future__ import annotations

import hashlib
from typing import Any

import numpy
import numpy.typing as npt

from . import arrays as _arrays
from .layout import Table
from .origin import Origin

__all__ = ["grid", "rows"]

# Bytes of spectra in one chunk, about: a writer may hold a few at once on each thread.
CHUNK = 16 << 20


def rows(origin: Origin, table: Table) -> Any:
    """The (spectra, points) values as a Dask array, chunked along the spectra."""
    import dask.array

    reader = _Rows(origin, table)
    step = max(1, CHUNK // max(1, table.row))
    return dask.array.from_array(reader, chunks=(step, table.points), lock=False, asarray=False,
                                 meta=numpy.empty((0, 0), reader.dtype))


def grid(origin: Origin, table: Table, index: npt.NDArray[numpy.int64]) -> Any:
    """The (ny, nx, points) cube of a map whose pixel (i, j) holds spectrum
    index[i, j] (NaN where it is -1), chunked along stage y."""
    import dask.array

    reader = _Cells(origin, table, index)
    ny, nx = index.shape
    step = max(1, CHUNK // max(1, table.row * max(1, nx)))
    return dask.array.from_array(reader, chunks=(step, nx, table.points), lock=False, asarray=False,
                                 meta=numpy.empty((0, 0, 0), reader.dtype))


def read(origin: Origin, table: Table, wanted: npt.NDArray[numpy.intp]) -> npt.NDArray[Any]:
    """The spectra `wanted` (ascending, distinct), each run of adjacent ones in one read."""
    out = numpy.empty((wanted.size, table.points), _arrays.native_dtype(table.item))
    if wanted.size and table.points:
        breaks = numpy.flatnonzero(numpy.diff(wanted) != 1) + 1
        starts = numpy.concatenate(([0], breaks)).tolist()
        ends = numpy.concatenate((breaks, [wanted.size])).tolist()
        runs = [(int(wanted[a]), b - a) for a, b in zip(starts, ends)]
        heads = numpy.empty(wanted.size * table.head, numpy.uint8) if table.head else None
        origin.read_runs(table, runs, out, heads)
    return out


class _Rows:
    """What dask.array.from_array indexes: the spectra of a file."""

    def __init__(self, origin: Origin, table: Table) -> None:
        self.origin, self.table = origin, table
        self.shape = (table.n, table.points)
        self.dtype = _arrays.native_dtype(table.item)
        self.ndim = 2

    def __getitem__(self, key: Any) -> npt.NDArray[Any]:
        which, points = (tuple(key) + (slice(None),) * 2)[:2]
        chosen = numpy.arange(self.table.n)[which]
        flat = numpy.atleast_1d(chosen).ravel()
        needed, where = numpy.unique(flat, return_inverse=True)
        block = read(self.origin, self.table, needed)
        return block[where.ravel()].reshape(numpy.shape(chosen) + (self.table.points,))[..., points]

    def __dask_tokenize__(self) -> object:
        return _token(self.origin, self.table)


class _Cells:
    """What dask.array.from_array indexes: the spectra of a map's pixels."""

    def __init__(self, origin: Origin, table: Table, index: npt.NDArray[numpy.int64]) -> None:
        self.origin, self.table, self.index = origin, table, index
        self.shape = (*index.shape, table.points)
        self.dtype = _arrays.native_dtype(table.item)
        self.ndim = 3

    def __getitem__(self, key: Any) -> npt.NDArray[Any]:
        which_y, which_x, points = (tuple(key) + (slice(None),) * 3)[:3]
        cells = self.index[which_y]
        cells = cells[:, which_x] if cells.ndim == 2 else cells[which_x]
        flat = numpy.asarray(cells).ravel()
        taken = flat >= 0
        needed = numpy.unique(flat[taken])
        block = read(self.origin, self.table, needed)
        out = numpy.full((flat.size, self.table.points), numpy.nan, self.dtype)
        out[taken] = block[numpy.searchsorted(needed, flat[taken])]
        return out.reshape(numpy.shape(cells) + (self.table.points,))[..., points]

    def __dask_tokenize__(self) -> object:
        return _token(self.origin, self.table) + (hashlib.sha256(self.index.tobytes()).hexdigest(),
                                                  self.index.shape)


def _token(origin: Origin, table: Table) -> tuple[Any, ...]:
    data = None if origin.data is None else hashlib.sha256(memoryview(origin.data)).hexdigest()
    return ("quorinreader", origin.name, origin.path, origin.url, sorted(origin.options.items()), data,
            tuple(table))
