"""NeXus files (HDF5, by h5py) of spectra: Spectra.to_nexus() and export --to nexus.

    /entry                NXentry, @default "data"
        title             the file's name (a single spectrum: its title)
        data              NXdata, @signal "spectra"
            spectra       (spectrum, x), or (stage_y, stage_x, x) for a map
            x             X, with its units and long_name
            spectrum      the spectrum index (a map: the index at each pixel, -1 where none)
            stage_y, stage_x   a map's axes
            <series axis> the series axis, where a dimension matches the spectra
            title         each spectrum's title
            <field>       each mini-header field
        records           NXcollection: every record, field by field

Every axis has `units` and `long_name`: from the file's labels where it
has them, "a.u." (arbitrary units) where it has none.  The spectra are
written in chunks of rows, each read (or gathered, for a map) and written
before the next, so a large series never needs a second copy in memory."""

from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy
import numpy.typing as npt

from .._read import axes as _axes
from .output import MissingExtra
from .hyperspy import name_and_units

if TYPE_CHECKING:
    from .._many.files import Collection
    from .._maps.map import Map
    from .._read.spectra import Spectra

__all__ = ["write", "write_collection"]

UNKNOWN_UNITS = "a.u."
# Bytes of spectra written at a time, about.
STEP = 32 << 20


def _h5py() -> Any:
    try:
        import h5py  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError as error:
        raise MissingExtra("to_nexus() needs h5py: pip install 'quorinreader[nexus]'") from error
    return h5py


def write(s: Spectra, out: Path | str, on_map: Map | None = None) -> None:
    """The NeXus file of `s` at `out`; the spectra on the grid of `on_map` where given."""
    h5py = _h5py()
    name = _name(s.source)
    with h5py.File(out, "w") as f:
        data = _entry(f, h5py, s.titles[0] if s.kind == "spectrum" and len(s) and s.titles[0] else name)
        x_long, x_units = _x_labels(s)
        _axis(data, "x", s.x, x_long, x_units)
        series = _axes.spectrum_axis(s)
        titles = ["" if t is None else t for t in s.titles]
        mini = s.mini_headers
        fields = {} if mini is None else {field: mini[field] for field in mini.dtype.names or ()}
        if on_map is None:
            _rows(data, s.values)
            data.attrs["axes"] = ["spectrum", "x"]
            data.attrs["spectrum_indices"] = 0
            _axis(data, "spectrum", numpy.arange(len(s), dtype=numpy.int64), "spectrum index", "")
            if series is not None:
                long_name, units = name_and_units(series.long_label, series.short_label, "series")
                axis = _free(series.short_label.strip() or series.long_label.strip() or "series", data, fields)
                _axis(data, axis, series.values(), series.label or long_name, units or UNKNOWN_UNITS)
                data.attrs[f"{axis}_indices"] = 0
            _strings(data, "title", titles, h5py)
            for field, column in fields.items():
                data.create_dataset(field, data=numpy.asarray(column, column.dtype.newbyteorder("=")))
        else:
            index = on_map.index
            _grid(data, s.values, index)
            data.attrs["axes"] = ["stage_y", "stage_x", "x"]
            data.attrs["stage_y_indices"] = 0
            data.attrs["stage_x_indices"] = 1
            _axis(data, "stage_y", on_map.stage_y, "stage y", UNKNOWN_UNITS)
            _axis(data, "stage_x", on_map.stage_x, "stage x", UNKNOWN_UNITS)
            spectrum = data.create_dataset("spectrum", data=index)
            spectrum.attrs["long_name"] = "spectrum at the pixel, -1 where none"
            spectrum.attrs["units"] = ""
            taken = index >= 0
            _strings(data, "title", numpy.where(taken, numpy.array(titles + [""], object)[index], ""), h5py)
            for field, column in fields.items():
                data.create_dataset(field, data=_placed(numpy.asarray(column), index))
            data.attrs["scan"] = on_map.scan
        data.attrs["x_indices"] = data["spectra"].ndim - 1
        _records(f["entry"].create_group("records"), s)


def write_collection(c: Collection, out: Path | str) -> None:
    """The NeXus file of many files' spectra: `spectra` on (spectrum, x),
    each row's file, title and header fields beside it."""
    h5py = _h5py()
    with h5py.File(out, "w") as f:
        data = _entry(f, h5py, f"{len(c):,} spectra from {len(dict.fromkeys(c.files)):,} files")
        _rows(data, c.values)
        data.attrs["axes"] = ["spectrum", "x"]
        data.attrs["spectrum_indices"] = 0
        data.attrs["x_indices"] = 1
        _axis(data, "x", c.x, "x", UNKNOWN_UNITS)
        _axis(data, "spectrum", numpy.arange(len(c), dtype=numpy.int64), "spectrum index", "")
        _strings(data, "file", list(c.files), h5py)
        _strings(data, "title", ["" if t is None else t for t in c.titles], h5py)
        for table in (c.headers, c.mini_headers):
            if table is not None:
                for field in table.dtype.names or ():
                    if field not in data:
                        data.create_dataset(field, data=numpy.asarray(table[field],
                                                                      table[field].dtype.newbyteorder("=")))


# The groups.

def _entry(f: Any, h5py: Any, title: str) -> Any:
    f.attrs["default"] = "entry"
    f.attrs["creator"] = "quorinreader"
    entry = f.create_group("entry")
    entry.attrs["NX_class"] = "NXentry"
    entry.attrs["default"] = "data"
    entry.create_dataset("title", data=title, dtype=h5py.string_dtype())
    data = entry.create_group("data")
    data.attrs["NX_class"] = "NXdata"
    data.attrs["signal"] = "spectra"
    return data


def _axis(data: Any, name: str, values: Any, long_name: str, units: str) -> None:
    axis = data.create_dataset(name, data=numpy.asarray(values))
    axis.attrs["long_name"] = long_name
    axis.attrs["units"] = units


def _x_labels(s: Spectra) -> tuple[str, str]:
    named = _axes.point_axis(s, _axes.spectrum_axis(s))
    if named is None:
        return "x", UNKNOWN_UNITS
    _, units = name_and_units(named.long_label, named.short_label, "x")
    return named.label or "x", units or UNKNOWN_UNITS


def _signal(data: Any, shape: tuple[int, ...], dtype: Any, rows: int) -> Any:
    chunks = (max(1, min(rows, shape[0])), *shape[1:]) if all(shape) else None
    spectra = data.create_dataset("spectra", shape=shape, dtype=dtype, chunks=chunks)
    spectra.attrs["long_name"] = "intensity"
    spectra.attrs["units"] = UNKNOWN_UNITS
    return spectra


def _rows(data: Any, values: Any) -> None:
    """(spectrum, x) written a block of rows at a time (a Dask array's computed block by block)."""
    n, points = values.shape
    dtype = numpy.dtype(values.dtype)
    step = max(1, STEP // max(1, points * dtype.itemsize))
    spectra = _signal(data, (n, points), dtype, min(step, 4096))
    for start in range(0, n, step):
        spectra[start:start + step] = numpy.asarray(values[start:start + step])


def _grid(data: Any, values: Any, index: npt.NDArray[numpy.int64]) -> None:
    """(stage_y, stage_x, x), NaN where no spectrum was taken, a block of grid rows at a time."""
    ny, nx = index.shape
    points = values.shape[1]
    dtype = numpy.dtype(values.dtype)
    step = max(1, STEP // max(1, nx * points * dtype.itemsize))
    spectra = _signal(data, (ny, nx, points), dtype, step)
    for start in range(0, ny, step):
        cells = index[start:start + step].ravel()
        block = numpy.full((cells.size, points), numpy.nan, dtype)
        taken = cells >= 0
        block[taken] = values[cells[taken]]
        spectra[start:start + step] = block.reshape(-1, nx, points)


def _placed(values: npt.NDArray[Any], index: npt.NDArray[numpy.int64]) -> npt.NDArray[Any]:
    """One value per pixel; NaN (integers as floats) where no spectrum was taken."""
    kind = values.dtype.newbyteorder("=") if values.dtype.kind in "fc" else numpy.dtype(numpy.float64)
    out = numpy.full(index.shape, numpy.nan, kind)
    taken = index >= 0
    out[taken] = values[index[taken]]
    return out


def _strings(data: Any, name: str, texts: list[str] | npt.NDArray[Any], h5py: Any) -> None:
    array = texts if isinstance(texts, numpy.ndarray) else numpy.empty(len(texts), object)
    if array is not texts:
        array[:] = texts
    data.create_dataset(name, data=array.astype(object), dtype=h5py.string_dtype())


def _free(name: str, data: Any, fields: dict[str, Any]) -> str:
    while name in data or name in fields or name in ("spectra", "title"):
        name += "_axis"
    return name


def _records(group: Any, s: Spectra) -> None:
    """Every record, field by field: one subgroup each, a dataset per field."""
    group.attrs["NX_class"] = "NXcollection"
    records: list[tuple[str, Any]] = [("file_header", s.file_header), ("spectral_header", s.spectral_header)]
    records += [(f"section_{k}", entry) for k, entry in enumerate(s.file_header.sections)]
    if s.series_header is not None:
        records.append(("series_header", s.series_header))
    if s.bench is not None:
        records.append(("bench", s.bench))
    records += [(f"dimension_{k}", d) for k, d in enumerate(s.dimensions)]
    for name, record in records:
        sub = group.create_group(name)
        sub.attrs["NX_class"] = "NXcollection"
        for field, value in vars(record).items():
            if field.startswith("_") or isinstance(value, list):
                continue
            sub.create_dataset(field, data=numpy.void(value) if isinstance(value, bytes) else value)


def _name(source: str) -> str:
    return os.path.basename(str(source).rstrip("/\\")) or str(source)
