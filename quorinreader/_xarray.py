"""Spectra as an xarray Dataset; lazy arrays over an opened file.

The lazy arrays hold the file's Mapped bytes and its Table, never an open
file, so they pickle (as a path or the bytes, and a layout) and can reach
Dask workers.  In the process that opened the file they read through its
mapping, which the Spectra's close() (or, for open_dataset, the Dataset's)
ends.  A copy made by pickling maps the file for each read and ends that
mapping with the read, so it holds nothing between reads and nothing is
left for a worker, or for a Dataset sent back from one, to close."""

from __future__ import annotations

import contextlib
from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING, Any

import numpy
import numpy.typing as npt
import xarray
from xarray.backends import BackendArray
from xarray.core import indexing

import quorinreader as _core

from . import _arrays, _sources, _xarray_axes, spectra as _spectra
from ._layout import Table
from ._mapped import Mapped

if TYPE_CHECKING:
    from ._sources import Source
    from .spectra import Spectra

__all__ = ["TableArray", "TitleArray", "dataset", "open_dataset"]

_INDEXING = indexing.IndexingSupport.OUTER_1VECTOR


class _LazyArray(BackendArray):
    """Where a lazy array's bytes come from, read by read."""

    mapped: Mapped
    table: Table
    shape: tuple[int, ...]
    dtype: numpy.dtype[Any]
    _copy = False  # made by unpickling

    def __setstate__(self, state: dict[str, Any]) -> None:
        vars(self).update(state)
        self._copy = True

    def __getitem__(self, key: indexing.ExplicitIndexer) -> npt.NDArray[Any]:
        return indexing.explicit_indexing_adapter(key, self.shape, _INDEXING, self._read)  # type: ignore[no-any-return]

    def _read(self, key: tuple[Any, ...]) -> npt.NDArray[Any]:
        raise NotImplementedError

    @contextlib.contextmanager
    def _bytes(self) -> Iterator[_arrays.Bytes]:
        """The source's bytes for one read: the opened file's mapping (which
        raises ValueError once closed), or, in a copy that has a path, a
        mapping of its own that ends with the read."""
        mapped = self.mapped
        if not self._copy or mapped.path is None or mapped.closed:
            yield mapped.raw()
            return
        with _core._Reader(mapped.path) as reader:
            mapping = reader.map()
        try:
            yield _arrays.raw_bytes(mapping)
        finally:
            mapping.close()  # at once, or as soon as the views made in the read are gone


class TableArray(_LazyArray):
    """The values of an opened file's spectra, or one field of their mini
    headers; indexing reads only the spectra it selects."""

    def __init__(self, mapped: Mapped, table: Table, field: str | None = None) -> None:
        self.mapped, self.table, self.field = mapped, table, field
        if field is None:
            self.shape = (table.n, table.points)
            self.dtype = _arrays.native_dtype(table.item)
        else:
            assert table.mini is not None
            self.shape = (table.n,)
            self.dtype = _arrays.mini_dtype(table.mini)[field].newbyteorder("=")

    def _read(self, key: tuple[Any, ...]) -> npt.NDArray[Any]:
        table = self.table
        with self._bytes() as raw:
            if self.field is None:
                view = _arrays.values_view(raw, table)
            else:
                assert table.mini is not None
                view = _arrays.mini_view(raw, table.offset, table.stride, table.n, table.mini)[self.field]
            # A copy in native order: what was read is the caller's, and no
            # loaded array keeps the mapping alive.
            return numpy.array(view[key], dtype=self.dtype)


class TitleArray(_LazyArray):
    """The titles of an opened file's spectra, decoded as they are indexed."""

    def __init__(self, mapped: Mapped, table: Table) -> None:
        self.mapped, self.table = mapped, table
        self.shape = (table.n,)
        self.dtype = numpy.dtype(object)
        # xarray looks at the first element of an array of objects, to see
        # whether it holds dates, when it chunks it (where cftime is
        # installed).  The first title, read now from the file and not
        # through its mapping, answers that without touching the mapped file.
        self._first = self._first_title() if table.n else None

    def _first_title(self) -> str:
        table = self.table
        assert table.mini is not None
        heads = numpy.empty(table.head, numpy.uint8)
        values = numpy.empty(table.points, _arrays.native_dtype(table.item))
        with _core._Reader(_sources.native(self.mapped.path, self.mapped.data)) as reader:
            reader.read_rows(table.offset, 1, table.head, table.points * table.item, table.item, values, heads)
        return _arrays.titles(heads, 0, table.head, 1, table.mini)[0]

    def _read(self, key: tuple[Any, ...]) -> npt.NDArray[Any]:
        (which,) = key
        if isinstance(which, (int, numpy.integer)) and which == 0 and self._first is not None \
                and not self.mapped.closed:
            return _objects([self._first]).reshape(())
        with self._bytes() as raw:
            if isinstance(which, slice):
                selected = range(self.table.n)[which]
                if selected.step > 0:
                    return _objects(self._run(raw, selected))
                return _objects(self._run(raw, selected[::-1])[::-1])
            if isinstance(which, (int, numpy.integer)):
                return _objects(self._run(raw, range(int(which), int(which) + 1))).reshape(())
            return _objects([title for k in numpy.asarray(which).ravel().tolist()
                             for title in self._run(raw, range(k, k + 1))]).reshape(numpy.shape(which))

    def _run(self, raw: _arrays.Bytes, selected: range) -> list[str]:
        """The titles of an ascending run of spectra, in one native call."""
        table = self.table
        assert table.mini is not None
        return _arrays.titles(raw, table.offset + selected.start * table.stride,
                              selected.step * table.stride, len(selected), table.mini)


def _objects(items: list[Any]) -> npt.NDArray[Any]:
    out = numpy.empty(len(items), dtype=object)
    out[:] = items
    return out


def dataset(spectra: Spectra) -> xarray.Dataset:
    """The Dataset of spectra that are open (loaded, or mapped: then lazily)."""
    table: Table = spectra._table
    mapped: Mapped | None = spectra._mapped
    coords: dict[str, Any] = {"x": ("x", spectra.x)}
    fields: dict[str, Any]
    if mapped is None:
        values: Any = spectra.values
        coords["title"] = ("spectrum", _objects(spectra.titles))
        mini = spectra.mini_headers
        fields = {} if mini is None else {name: mini[name] for name in mini.dtype.names or ()}
    else:
        values = indexing.LazilyIndexedArray(TableArray(mapped, table))
        if table.mini is None:
            coords["title"] = ("spectrum", _objects(spectra.titles))
        else:
            coords["title"] = xarray.Variable("spectrum", indexing.LazilyIndexedArray(TitleArray(mapped, table)))
        names = () if table.mini is None else _arrays.mini_dtype(table.mini).names or ()
        fields = {name: indexing.LazilyIndexedArray(TableArray(mapped, table, name)) for name in names}
    for name, field in fields.items():
        coords[name] = xarray.Variable("spectrum", field)
    return _xarray_axes.with_axes(spectra, xarray.Dataset(
        {"spectra": xarray.Variable(("spectrum", "x"), values)}, coords=coords,
        attrs=dict(vars(spectra.spectral_header))))


def open_dataset(source: Source, *, drop_variables: str | Iterable[str] | None = None,
                 partial: bool = False) -> xarray.Dataset:
    """The lazy Dataset of an opened file, which owns the file's mapping:
    Dataset.close() ends it.  Names in `drop_variables` that the Dataset
    does not have are ignored."""
    opened = _spectra.open(source, partial=partial)
    mapped = opened._mapped
    assert mapped is not None
    try:
        ds = dataset(opened)
        if drop_variables is not None:
            ds = ds.drop_vars([drop_variables] if isinstance(drop_variables, str) else list(drop_variables),
                              errors="ignore")
    except BaseException:
        opened.close()
        raise
    # The closer pickles with the Dataset as the same Mapped its arrays hold
    # (a path): closing a copy ends the reads of that copy's arrays too.
    ds.set_close(mapped.close)
    return ds
