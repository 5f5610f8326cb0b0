"""Writers of a file's spectra in other formats: CSV, NumPy's NPZ, netCDF,
JCAMP-DX, HyperSpy's HSPY and NeXus (each of the last three in a module of
its own).

Each writes to a temporary file beside its output and renames it into place
once it is complete, so a failure leaves no partial output behind and an
existing file is only replaced by a whole one."""

from __future__ import annotations

import csv
import importlib.util
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal, cast

import numpy
from numpy.lib import recfunctions

from .._maps.map import Map, MapError
from .output import MissingExtra, Step, Unwritable, needs, replacing

if TYPE_CHECKING:
    from .._read.spectra import Spectra

__all__ = ["FORMATS", "Format", "map_of", "netcdf_engine"]


class Format:
    """One output format: its suffix, and what writes a Spectra to a path
    (telling `step`, where given, of the spectra written)."""

    def __init__(self, suffix: str, write: Callable[..., object],
                 check: Callable[[], object] | None = None, *, whole: bool = True) -> None:
        self.suffix, self._write, self._check, self._whole = suffix, write, check, whole

    def check(self) -> None:
        """Raises MissingExtra when a library the format needs is missing."""
        if self._check is not None:
            self._check()

    def write(self, s: Spectra, out: Path, step: Step | None = None, **options: Any) -> list[Path]:
        """Writes `s` to `out` (options as the format takes them); the paths written."""
        if step is not None:  # only the writers that count their spectra are handed one
            options["step"] = step
        if not self._whole:  # the writer replaces each of its files itself
            return list(cast("list[Path]", self._write(s, out, **options)))
        with replacing(out) as temporary:
            self._write(s, temporary, **options)
        return [out]


# Rows of a CSV written between two steps of its progress.
_ROWS_PER_STEP = 256


def write_csv(s: Spectra, out: Path, step: Step | None = None) -> None:
    """A header row, "title" and the X values; then one row per spectrum, its
    title (empty where it has none) and its values.  Every number is the
    shortest text that reads back as exactly the stored value."""
    with open(out, "w", newline="", encoding="utf-8") as f:
        rows = csv.writer(f, lineterminator="\n")
        rows.writerow(["title", *map(str, s.x)])
        for k, (title, row) in enumerate(zip(s.titles, s.values), 1):
            rows.writerow(["" if title is None else title, *map(str, row)])
            if step is not None and (k % _ROWS_PER_STEP == 0 or k == len(s)):
                step(k % _ROWS_PER_STEP or _ROWS_PER_STEP)


def write_npz(s: Spectra, out: Path, step: Step | None = None) -> None:
    """x, values, titles (str, "" where a spectrum has none) and, where the
    file has mini headers, mini_headers: their numeric fields packed in a
    structured array.  numpy.load reads it without pickles."""
    arrays: dict[str, Any] = {
        "x": s.x, "values": s.values,
        "titles": numpy.array(["" if t is None else t for t in s.titles], dtype=str)}
    mini = s.mini_headers
    if mini is not None:
        arrays["mini_headers"] = recfunctions.repack_fields(mini)
    with open(out, "wb") as f:
        numpy.savez(f, **arrays)


def write_netcdf(s: Spectra, out: Path, step: Step | None = None) -> None:
    """The Dataset of Spectra.to_xarray(), in a netCDF-4 file."""
    s.to_xarray().to_netcdf(out, engine=netcdf_engine())


def netcdf_engine() -> Literal["netcdf4", "h5netcdf"]:
    """The xarray engine that writes netCDF-4: netCDF4, else h5netcdf."""
    missing = "export --to netcdf needs xarray and netCDF4: pip install 'quorinreader[netcdf]'"
    if importlib.util.find_spec("xarray") is None:
        raise MissingExtra(missing)
    if importlib.util.find_spec("netCDF4") is not None:
        return "netcdf4"
    if importlib.util.find_spec("h5netcdf") is not None:
        return "h5netcdf"
    raise MissingExtra(missing)


def write_jcamp(s: Spectra, out: Path, **options: Any) -> list[Path]:
    """One JCAMP-DX file, or with split=True one per spectrum (see _export_jcamp)."""
    from . import jcamp as _export_jcamp

    return _export_jcamp.write(s, out, **options)


def map_of(s: Spectra) -> Map | None:
    """The Map of a series whose stage positions lie on a grid with one
    spectrum at each node at most; None for anything else, which the
    formats then hold as a series, nothing lost."""
    if s.kind != "series" or not s.is_map:
        return None
    try:
        return s.to_map()
    except MapError:
        return None


def write_hspy(s: Spectra, out: Path) -> None:
    """The HyperSpy signal of the spectra (a map on its grid), by HyperSpy's own writer."""
    from . import hyperspy as _export_hyperspy

    m = map_of(s)
    _export_hyperspy.save(_export_hyperspy.spectra_signal(s) if m is None else _export_hyperspy.map_signal(m), out)


def write_nexus(s: Spectra, out: Path) -> None:
    """An NXentry whose NXdata holds the spectra (a map on its grid)."""
    from . import nexus as _export_nexus

    _export_nexus.write(s, out, map_of(s))


def _hspy_check() -> None:
    needs("hyperspy", "export --to hspy", "hyperspy")()
    needs("h5py", "export --to hspy", "hyperspy")()


FORMATS = {
    "csv": Format(".csv", write_csv),
    "npz": Format(".npz", write_npz),
    "netcdf": Format(".nc", write_netcdf, netcdf_engine),
    "jcamp": Format(".jdx", write_jcamp, whole=False),
    "hspy": Format(".hspy", write_hspy, _hspy_check),
    "nexus": Format(".nxs", write_nexus, needs("h5py", "export --to nexus", "nexus")),
}
