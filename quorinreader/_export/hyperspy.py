"""HyperSpy signals of spectra: Spectra.to_hyperspy(), Map.to_hyperspy(),
Collection.to_hyperspy(), and export --to hspy.

A Signal1D whose signal axis is X (offset, scale, name and units from the
dimension that names X) and whose navigation axes are the series axis (or
the spectrum index), or stage y and stage x for a map: data (stage_y,
stage_x | x), NaN where no spectrum was taken.  The title goes to
metadata.General.title; every record, field by field, to original_metadata.
An opened file gives a lazy signal, its chunks read by positioned reads."""

from __future__ import annotations

import os
import re
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy

from .._read import axes as _axes
from .output import MissingExtra

if TYPE_CHECKING:
    from .._many.files import Collection
    from .._maps.map import Map
    from .._read.spectra import Spectra

__all__ = ["collection_signal", "map_signal", "name_and_units", "save", "spectra_signal"]


def _classes() -> tuple[Any, Any]:
    try:
        from hyperspy.signals import (  # type: ignore[import-untyped, import-not-found, unused-ignore]
            LazySignal1D, Signal1D)
    except ImportError as error:
        raise MissingExtra("to_hyperspy() needs HyperSpy: pip install 'quorinreader[hyperspy]'") from error
    return Signal1D, LazySignal1D


def spectra_signal(s: Spectra) -> Any:
    """(spectrum | x): the series axis, or the spectrum index, then X; a
    single spectrum (| x) alone."""
    Signal1D, LazySignal1D = _classes()
    where = s._where()
    if where is None:
        data, cls = s.values, Signal1D
    else:
        from .._read import dask_rows as _dask_rows

        layout, table, origin = where
        data, cls = _dask_rows.rows(origin, table), LazySignal1D
    x_axis = _x_axis(s)
    if s.kind == "spectrum":  # one spectrum: no navigation axis
        return cls(data[0], axes=[x_axis], metadata=_metadata(_title(s), s.source), original_metadata=_records(s))
    axes = [_series_axis(s, {x_axis["name"]}), x_axis]
    return cls(data, axes=axes, metadata=_metadata(_title(s), s.source), original_metadata=_records(s))


def map_signal(m: Map) -> Any:
    """(stage_y, stage_x | x), NaN where no spectrum was taken."""
    Signal1D, LazySignal1D = _classes()
    s = m._spectra
    where = s._where()
    if where is None or m._duplicates is not None:  # loaded, or means to take
        data, cls = m.cube, Signal1D
    else:
        from .._read import dask_rows as _dask_rows

        layout, table, origin = where
        data, cls = _dask_rows.grid(origin, table, m.index), LazySignal1D
    axes = [_stage_axis("stage_y", m.stage_y), _stage_axis("stage_x", m.stage_x), _x_axis(s)]
    records = _records(s)
    (ny, nx), (dy, dx) = m.shape, m.step
    records["map"] = {"index": m.index, "scan": m.scan, "taken": m.taken, "step_y": dy, "step_x": dx}
    return cls(data, axes=axes, metadata=_metadata(_title(s), s.source), original_metadata=records)


def collection_signal(c: Collection) -> Any:
    """(spectrum | x) of many files; lazy for open_many."""
    Signal1D, LazySignal1D = _classes()
    n = len(c)
    x = c.x
    axes = [{"name": "spectrum", "size": n, "offset": 0.0, "scale": 1.0, "navigate": True},
            _uniform("x", x, navigate=False)]
    files = len(dict.fromkeys(c.files))
    records: dict[str, Any] = {"files": list(c.files), "titles": ["" if t is None else t for t in c.titles],
                               "headers": _table(c.headers)}
    if c.mini_headers is not None:
        records["mini_headers"] = _table(c.mini_headers)
    if c.skipped:
        records["skipped"] = [[str(source), message] for source, message in c.skipped]
    cls = LazySignal1D if c.lazy else Signal1D
    return cls(c.values, axes=axes, metadata=_metadata(f"{n:,} spectra from {files:,} files", None),
               original_metadata=records)


def save(signal: Any, out: Path) -> None:
    """`signal` to `out` by HyperSpy's own HSPY writer, whatever the name's suffix."""
    signal.save(out, file_format="HSPY", overwrite=True)


# Axes.

def _uniform(name: str, values: Any, navigate: bool, units: str | None = None) -> dict[str, Any]:
    values = numpy.asarray(values, numpy.float64)
    n = values.size
    axis: dict[str, Any] = {"name": name, "size": n, "offset": float(values[0]) if n else 0.0,
                            "scale": float((values[-1] - values[0]) / (n - 1)) if n > 1 else 1.0,
                            "navigate": navigate}
    if units:
        axis["units"] = units
    return axis


def _x_axis(s: Spectra) -> dict[str, Any]:
    named = _axes.point_axis(s, _axes.spectrum_axis(s))
    name, units = ("x", None) if named is None else name_and_units(named.long_label, named.short_label, "x")
    return _uniform(name, s.x, navigate=False, units=units)


def _series_axis(s: Spectra, taken: set[str]) -> dict[str, Any]:
    series = _axes.spectrum_axis(s)
    if series is None:
        return {"name": _free("spectrum", taken), "size": len(s), "offset": 0.0, "scale": 1.0, "navigate": True}
    name, units = name_and_units(series.long_label, series.short_label, "series")
    return _uniform(_free(name, taken), series.values(), navigate=True, units=units)


def _stage_axis(name: str, values: Any) -> dict[str, Any]:
    return _uniform(name, values, navigate=True)


# A short label that is a unit, not a symbol such as "t" or "T".
_UNIT = re.compile(r"(1/|c|m|µ|μ|u|n|k|M|G|T)?(m|s|Hz|eV|K|g|W)(-1|\^-1|⁻¹)?|cm-1|cm\^-1|cm⁻¹|1/cm|min|h|°C|"
                   r"deg|rad|%|a\.u\.|counts|cps", re.IGNORECASE)


def name_and_units(long_label: str, short_label: str, fallback: str) -> tuple[str, str | None]:
    """An axis name and units from a dimension's labels: "time (s)" gives
    ("time", "s"); "Raman shift" with "cm-1" gives ("Raman shift", "cm-1");
    "time" with "t", a symbol rather than a unit, gives ("time", None)."""
    long_label, short_label = long_label.strip(), short_label.strip()
    found = re.fullmatch(r"(.*?\S)\s*\(([^()]+)\)", long_label)
    if found:
        return found.group(1), found.group(2).strip()
    unit = short_label if _UNIT.fullmatch(short_label) and short_label not in ("t", "T", "m") else None
    if long_label:
        return long_label, unit
    return short_label or fallback, None


def _free(name: str, taken: set[str]) -> str:
    while name in taken:
        name += "_axis"
    return name


# Metadata.

def _title(s: Spectra) -> str:
    name = os.path.basename(str(s.source).rstrip("/\\")) or str(s.source)
    if s.kind == "spectrum":
        title = s.titles[0] if len(s) else None
        if title and title.strip():
            return title
    return os.path.splitext(name)[0] or name


def _metadata(title: str, source: str | None) -> dict[str, Any]:
    general: dict[str, Any] = {"title": title}
    if source is not None:
        general["original_filename"] = os.path.basename(str(source).rstrip("/\\")) or str(source)
    return {"General": general}


def _fields(record: Any) -> dict[str, Any]:
    return {name: value for name, value in vars(record).items() if not name.startswith("_")}


def _records(s: Spectra) -> dict[str, Any]:
    """Every record, field by field: the file header and its directory, the
    main spectral header, the series header, the bench, the dimensions, the
    titles and the mini headers' fields (an array each, one value per spectrum)."""
    file_header = _fields(s.file_header)
    file_header["sections"] = {f"section_{k}": _fields(entry) for k, entry in enumerate(s.file_header.sections)}
    records: dict[str, Any] = {"file_header": file_header, "spectral_header": _fields(s.spectral_header)}
    if s.series_header is not None:
        records["series_header"] = _fields(s.series_header)
    if s.bench is not None:
        records["bench"] = _fields(s.bench)
    if s.dimensions:
        records["dimensions"] = {f"dimension_{k}": _fields(d) for k, d in enumerate(s.dimensions)}
    records["titles"] = ["" if t is None else t for t in s.titles]
    mini = s.mini_headers
    if mini is not None:
        records["mini_headers"] = _table(mini)
    return records


def _table(table: Any) -> dict[str, Any]:
    """A structured array as one plain array per field, in native byte order."""
    return {name: numpy.array(table[name], dtype=table[name].dtype.newbyteorder("=")) for name in
            table.dtype.names or ()}
