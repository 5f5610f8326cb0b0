"""The axes of a Dataset of spectra: the series axis as a coordinate on
`spectrum`, the names of x, and the spectra of a map on (stage_y, stage_x, x).

The series axis is the dimension whose element count matches the spectra
(the rule of _axes, which the command line uses too).  Its coordinate is
named by the short label, or the long label where that is empty, or
"series" where both are; a name taken already gets "_axis" appended until
it is free, so a file's labels can never replace or hide another variable."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy
import numpy.typing as npt
import xarray
from xarray.backends import BackendArray
from xarray.core import indexing

from .._read import axes as _axes

if TYPE_CHECKING:
    from .._maps.map import Map
    from .._read.spectra import Spectra

__all__ = ["MapArray", "on_map", "series_name", "with_axes"]

# Names of the map's Dataset, kept from a series axis in both forms.
_RESERVED = frozenset({"spectra", "spectrum", "x", "title", "stage_x", "stage_y"})


def series_name(label: str, taken: set[str] | frozenset[str]) -> str:
    """The coordinate name for a series axis of short label `label` (or the long one)."""
    name = label.strip() or "series"
    while name in taken:
        name += "_axis"
    return name


def with_axes(s: Spectra, ds: xarray.Dataset) -> xarray.Dataset:
    """`ds` with the series axis as a coordinate on spectrum, and x named."""
    series = _axes.spectrum_axis(s)
    named = _axes.point_axis(s, series)
    if named is not None and named.long_label.strip():
        ds["x"].attrs.update(_attrs(named))
    if series is not None:
        taken = _RESERVED | set(map(str, ds.variables)) | set(map(str, ds.dims))
        name = series_name(series.short_label or series.long_label, taken)
        attrs = _attrs(series) if series.long_label.strip() else {}
        ds = ds.assign_coords({name: xarray.Variable("spectrum", series.values(), attrs)})
    return ds


def _attrs(axis: _axes.Axis) -> dict[str, str]:
    """long_name and units, as xarray's plots read them ("long_name [units]"):
    the units are the bracketed end of the label the command line's plots
    draw ("cm-1" of "Raman shift (cm-1)", "s" of "time (s)"), and the long
    name what comes before."""
    name, units = _axes.split(axis.label)
    return {"long_name": name, "units": units} if units else {"long_name": axis.long_label.strip()}


def on_map(s: Spectra, ds: xarray.Dataset, m: Map) -> xarray.Dataset:
    """The Dataset `ds` of a series, moved onto the grid of its map `m`."""
    index = m.index
    dims = ("stage_y", "stage_x")
    coords: dict[str, Any] = {
        "x": ds["x"].variable,
        "stage_y": xarray.Variable("stage_y", m.stage_y, {"long_name": "stage y"}),
        "stage_x": xarray.Variable("stage_x", m.stage_x, {"long_name": "stage x"}),
        "spectrum": xarray.Variable(dims, index, {"long_name": "spectrum at the pixel, -1 where none"}),
    }
    for name, variable in ds.coords.items():
        if variable.dims == ("spectrum",):
            coords[str(name)] = xarray.Variable(dims, _placed(numpy.asarray(variable.values), index),
                                                variable.attrs)
    if s._mapped is None or m._duplicates is not None:  # loaded, or means to take
        values: Any = m.cube
    else:
        values = indexing.LazilyIndexedArray(MapArray(ds["spectra"].variable, index))
    attrs = dict(ds.attrs)
    attrs.setdefault("scan", m.scan)
    return xarray.Dataset({"spectra": xarray.Variable((*dims, "x"), values, ds["spectra"].attrs)},
                          coords=coords, attrs=attrs)


def _placed(values: npt.NDArray[Any], index: npt.NDArray[numpy.int64]) -> npt.NDArray[Any]:
    """One value per pixel: None, or NaN (integers become floats, as xarray's
    reindex makes them), where no spectrum was taken."""
    taken = index >= 0
    if values.dtype == object:
        out = numpy.full(index.shape, None, object)
    else:
        kind = values.dtype if values.dtype.kind in "fc" else numpy.dtype(numpy.float64)
        out = numpy.full(index.shape, numpy.nan, kind)
    out[taken] = values[index[taken]]
    return out


class MapArray(BackendArray):
    """The spectra of a map, read through the lazy (spectrum, x) array of its
    file: indexing reads only the spectra of the pixels it selects."""

    def __init__(self, spectra: xarray.Variable, index: npt.NDArray[numpy.int64]) -> None:
        self.spectra = spectra
        self.index = index
        self.shape = (*index.shape, spectra.shape[1])
        self.dtype = numpy.dtype(spectra.dtype)

    def __getitem__(self, key: indexing.ExplicitIndexer) -> npt.NDArray[Any]:
        return indexing.explicit_indexing_adapter(  # type: ignore[no-any-return]
            key, self.shape, indexing.IndexingSupport.OUTER, self._read)

    def _read(self, key: tuple[Any, ...]) -> npt.NDArray[Any]:
        which_y, which_x, which_points = key
        rows = self.index[which_y]
        rows = rows[:, which_x] if rows.ndim == 2 else rows[which_x]
        flat = numpy.asarray(rows).ravel()
        taken = flat >= 0
        needed = numpy.unique(flat[taken])
        block = numpy.asarray(self.spectra[needed, which_points].values)
        out = numpy.full((flat.size, *block.shape[1:]), numpy.nan, self.dtype)
        out[taken] = block[numpy.searchsorted(needed, flat[taken])]
        return out.reshape(numpy.shape(rows) + block.shape[1:])
