"""Spectra as an xarray Dataset; lazy arrays over an opened file.

The lazy arrays hold the file's Mapped bytes and its Table, never an open
file, so they pickle (as a path or the bytes, and a layout) and can reach
Dask workers, which map the file again on first use."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy
import numpy.typing as npt
import xarray
from xarray.backends import BackendArray
from xarray.core import indexing

from . import _arrays
from ._layout import Table
from ._mapped import Mapped

if TYPE_CHECKING:
    from .spectra import Spectra

__all__ = ["TableArray", "TitleArray", "dataset"]

_INDEXING = indexing.IndexingSupport.OUTER_1VECTOR


class TableArray(BackendArray):
    """The values of an opened file's spectra, or one field of their mini
    headers; indexing reads only the spectra it selects."""

    def __init__(self, mapped: Mapped, table: Table, field: str | None = None) -> None:
        self.mapped, self.table, self.field = mapped, table, field
        if field is None:
            self.shape: tuple[int, ...] = (table.n, table.points)
            self.dtype = _arrays.native_dtype(table.item)
        else:
            assert table.mini is not None
            self.shape = (table.n,)
            self.dtype = _arrays.mini_dtype(table.mini)[field].newbyteorder("=")

    def __getitem__(self, key: indexing.ExplicitIndexer) -> npt.NDArray[Any]:
        return indexing.explicit_indexing_adapter(key, self.shape, _INDEXING, self._read)  # type: ignore[no-any-return]

    def _read(self, key: tuple[Any, ...]) -> npt.NDArray[Any]:
        raw, table = self.mapped.raw(), self.table
        if self.field is None:
            view = _arrays.values_view(raw, table)
        else:
            assert table.mini is not None
            view = _arrays.mini_view(raw, table.offset, table.stride, table.n, table.mini)[self.field]
        # A copy in native order: what was read is the caller's, and no
        # loaded array keeps the mapping alive.
        return numpy.array(view[key], dtype=self.dtype)


class TitleArray(BackendArray):
    """The titles of an opened file's spectra, decoded as they are indexed."""

    def __init__(self, mapped: Mapped, table: Table) -> None:
        self.mapped, self.table = mapped, table
        self.shape = (table.n,)
        self.dtype = numpy.dtype(object)

    def __getitem__(self, key: indexing.ExplicitIndexer) -> npt.NDArray[Any]:
        return indexing.explicit_indexing_adapter(key, self.shape, _INDEXING, self._read)  # type: ignore[no-any-return]

    def _read(self, key: tuple[Any, ...]) -> npt.NDArray[Any]:
        (which,) = key
        if isinstance(which, slice):
            selected = range(self.table.n)[which]
            if selected.step > 0:
                return _objects(self._run(selected))
            return _objects(self._run(selected[::-1])[::-1])
        if isinstance(which, (int, numpy.integer)):
            return _objects(self._run(range(int(which), int(which) + 1))).reshape(())
        return _objects([title for k in numpy.asarray(which).ravel().tolist()
                         for title in self._run(range(k, k + 1))]).reshape(numpy.shape(which))

    def _run(self, selected: range) -> list[str]:
        """The titles of an ascending run of spectra, in one native call."""
        table = self.table
        assert table.mini is not None
        return _arrays.titles(self.mapped.raw(), table.offset + selected.start * table.stride,
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
    return xarray.Dataset({"spectra": xarray.Variable(("spectrum", "x"), values)}, coords=coords,
                          attrs=dict(vars(spectra.spectral_header)))
