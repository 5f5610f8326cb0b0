"""Spectra as an xarray Dataset; lazy arrays over a file's Origin.

The lazy arrays hold where the file lies (an Origin: a path, a URL and its
storage options, a file object or bytes) and its Table, never an open file
or a mapping.  Each read opens the source, reads the runs of adjacent
spectra it selects straight into the result and closes it, so the arrays
pickle as what they name and read wherever they land, and a file cut short
meanwhile raises FormatError.  Nothing here reaches into Spectra: a loaded
one gives its public arrays, an opened one where it lies (_where)."""

from __future__ import annotations

import warnings
from collections.abc import Iterable, Iterator, Mapping
from typing import TYPE_CHECKING, Any

import numpy
import numpy.typing as npt
import xarray
from xarray.backends import BackendArray
from xarray.core import indexing

from .._read import arrays as _arrays, layout as _layout, origin as _origin
from . import axes as _xarray_axes
from .._read.errors import TruncatedWarning
from .._read.layout import Layout, Table
from .._read.origin import Origin

if TYPE_CHECKING:
    from .._read.sources import Source
    from .._read.spectra import Spectra

__all__ = ["TableArray", "TitleArray", "dataset", "lazy", "open_dataset"]

_INDEXING = indexing.IndexingSupport.OUTER_1VECTOR


class _LazyArray(BackendArray):
    """Spectra of an Origin, read by positioned or ranged reads as they are indexed."""

    origin: Origin
    table: Table
    shape: tuple[int, ...]
    dtype: numpy.dtype[Any]

    def __getitem__(self, key: indexing.ExplicitIndexer) -> npt.NDArray[Any]:
        return indexing.explicit_indexing_adapter(key, self.shape, _INDEXING, self._read)  # type: ignore[no-any-return]

    def _read(self, key: tuple[Any, ...]) -> npt.NDArray[Any]:
        raise NotImplementedError

    def _selected(self, which: Any) -> tuple[list[tuple[int, int]], int, npt.NDArray[numpy.intp] | None,
                                             tuple[int, ...]]:
        """What an indexer selects: runs (first, count) of adjacent spectra
        in ascending order, how many spectra they hold, where each selected
        one is among those (None when in the same order), and the shape."""
        n = self.table.n
        if isinstance(which, (int, numpy.integer)):  # the common case, kept cheap
            k = int(which)
            return [(k + n if k < 0 else k, 1)], 1, None, ()
        if isinstance(which, slice):
            chosen = range(n)[which]
            if chosen.step == 1:
                return ([(chosen.start, len(chosen))] if len(chosen) else []), len(chosen), None, (len(chosen),)
        chosen_array = numpy.arange(n)[which]
        shape = numpy.shape(chosen_array)
        flat = numpy.ravel(chosen_array)
        where = None
        if flat.size > 1 and not bool(numpy.all(flat[1:] > flat[:-1])):
            flat, where = numpy.unique(flat, return_inverse=True)
            where = where.ravel()
        return _runs(flat), int(flat.size), where, shape

    def _heads(self, runs: list[tuple[int, int]], count: int) -> _arrays.Bytes:
        """The mini headers of the spectra of `runs`.  They are read with
        their values, a bounded number of spectra at a time."""
        table = self.table
        heads = numpy.empty(count * table.head, numpy.uint8)
        step = max(1, _HEADS_STEP // table.stride)
        scratch = numpy.empty((min(step, count), table.points), _arrays.native_dtype(table.item))
        done = 0
        for group in _groups(runs, step):
            part = sum(length for _, length in group)
            self.origin.read_runs(table, group, scratch[:part], heads[done * table.head:(done + part) * table.head])
            done += part
        return heads


# Bytes of spectra read at a time for their mini headers alone.
_HEADS_STEP = 8 << 20


def _groups(runs: list[tuple[int, int]], most: int) -> Iterator[list[tuple[int, int]]]:
    """The runs in groups of at most `most` spectra, a run split where it must be."""
    group: list[tuple[int, int]] = []
    room = most
    for first, length in runs:
        while length:
            take = min(room, length)
            group.append((first, take))
            first, length, room = first + take, length - take, room - take
            if not room:
                yield group
                group, room = [], most
    if group:
        yield group


def _runs(spectra: npt.NDArray[numpy.intp]) -> list[tuple[int, int]]:
    """Ascending spectra as runs of adjacent ones: (first, count)."""
    if not spectra.size:
        return []
    breaks = numpy.flatnonzero(numpy.diff(spectra) != 1) + 1
    starts = numpy.concatenate(([0], breaks))
    ends = numpy.concatenate((breaks, [spectra.size]))
    return [(int(spectra[a]), int(b - a)) for a, b in zip(starts.tolist(), ends.tolist())]


class TableArray(_LazyArray):
    """The values of a file's spectra, or one field of their mini headers;
    indexing reads only the spectra it selects."""

    def __init__(self, origin: Origin, table: Table, field: str | None = None) -> None:
        self.origin, self.table, self.field = origin, table, field
        if field is None:
            self.shape = (table.n, table.points)
            self.dtype = _arrays.native_dtype(table.item)
        else:
            assert table.mini is not None
            self.shape = (table.n,)
            self.dtype = _arrays.mini_dtype(table.mini)[field].newbyteorder("=")

    def _read(self, key: tuple[Any, ...]) -> npt.NDArray[Any]:
        table = self.table
        runs, count, where, shape = self._selected(key[0])
        if self.field is not None:
            assert table.mini is not None
            heads = self._heads(runs, count)
            mini = _arrays.mini_view(heads, 0, table.head, count, table.mini)
            found = numpy.array(mini[self.field], dtype=self.dtype)
            return (found if where is None else found[where]).reshape(shape)
        values = numpy.empty((count, table.points), self.dtype)
        if count and table.points:
            self.origin.read_runs(table, runs, values,
                                  numpy.empty(count * table.head, numpy.uint8) if table.head else None)
        if where is not None:
            values = values[where]
        return values.reshape(shape + (table.points,))[(Ellipsis, key[1])]


class TitleArray(_LazyArray):
    """The titles of a file's spectra, decoded as they are indexed."""

    def __init__(self, origin: Origin, table: Table, encoding: str | None = None) -> None:
        self.origin, self.table, self.encoding = origin, table, encoding
        self.shape = (table.n,)
        self.dtype = numpy.dtype(object)

    def _read(self, key: tuple[Any, ...]) -> npt.NDArray[Any]:
        table = self.table
        assert table.mini is not None
        runs, count, where, shape = self._selected(key[0])
        titles = _objects(_arrays.titles(self._heads(runs, count), 0, table.head, count, table.mini, self.encoding))
        return (titles if where is None else titles[where]).reshape(shape)


def _objects(items: list[Any]) -> npt.NDArray[Any]:
    out = numpy.empty(len(items), dtype=object)
    out[:] = items
    return out


def dataset(spectra: Spectra) -> xarray.Dataset:
    """The Dataset of loaded spectra, or the lazy one of opened spectra."""
    where = spectra._where()
    if where is not None:
        return lazy(*where, spectra._encoding)
    mini = spectra.mini_headers
    fields = {} if mini is None else {name: mini[name] for name in mini.dtype.names or ()}
    return _build(spectra.values, spectra.x, _objects(spectra.titles), fields, spectra)


def lazy(layout: Layout, table: Table, origin: Origin, encoding: str | None = None) -> xarray.Dataset:
    """The Dataset of the table of a file at `origin`; nothing of the spectra is read until used.
    The titles are decoded in `encoding` (None: UTF-8 where valid, else Windows-1252)."""
    header = layout.spectral_header
    x = numpy.linspace(header.first_x, header.last_x, header.num_points)
    values = indexing.LazilyIndexedArray(TableArray(origin, table))
    if table.mini is None:
        titles: Any = _objects([_arrays.text(layout.raw_id, encoding, layout.file_header.file_id)
                               if layout.kind == "spectrum" else None]
                               * table.n)
    else:
        titles = indexing.LazilyIndexedArray(TitleArray(origin, table, encoding))
    names = () if table.mini is None else _arrays.mini_dtype(table.mini).names or ()
    fields = {name: indexing.LazilyIndexedArray(TableArray(origin, table, name)) for name in names}
    return _build(values, x, titles, fields, _Described(layout, table))


class _Described:
    """What the axes of a Dataset are found from (the records and the number
    of spectra), for a file that no Spectra holds."""

    def __init__(self, layout: Layout, table: Table) -> None:
        self.spectral_header = layout.spectral_header
        self.series_header = layout.series_header
        self.dimensions = [] if layout.disk_array is None else layout.disk_array.dimensions
        self._n = table.n

    def __len__(self) -> int:
        return self._n


def _build(values: Any, x: Any, titles: Any, fields: dict[str, Any], described: Any) -> xarray.Dataset:
    header = described.spectral_header
    coords: dict[str, Any] = {"x": ("x", x), "title": xarray.Variable("spectrum", titles)}
    for name, field in fields.items():
        coords[name] = xarray.Variable("spectrum", field)
    return _xarray_axes.with_axes(described, xarray.Dataset(
        {"spectra": xarray.Variable(("spectrum", "x"), values)}, coords=coords, attrs=dict(vars(header))))


def open_dataset(source: Source, *, storage_options: Mapping[str, Any] | None = None,
                 drop_variables: str | Iterable[str] | None = None, partial: bool = False,
                 encoding: str | None = None) -> xarray.Dataset:
    """The lazy Dataset of a file, read by positioned or ranged reads and
    never mapped.  Dataset.close() ends its reads.  Names in
    `drop_variables` that the Dataset does not have are ignored; the titles
    are decoded in `encoding`, as spectra.load decodes them."""
    encoding = _arrays.check_encoding(encoding)
    origin = _origin.of(source, storage_options)
    with origin.reader() as reader:
        layout = _layout.find(reader, reader.size, origin.name)
    table, warning = _layout.fit(layout.table, origin.size, partial, origin.name)
    if warning:
        warnings.warn(TruncatedWarning(warning), stacklevel=4)
    ds = lazy(layout, table, origin, encoding)
    if drop_variables is not None:
        ds = ds.drop_vars([drop_variables] if isinstance(drop_variables, str) else list(drop_variables),
                          errors="ignore")
    # The closer pickles with the Dataset as the same Origin its arrays hold:
    # closing a copy ends the reads of that copy's arrays too.
    ds.set_close(origin.close)
    return ds
