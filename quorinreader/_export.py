"""Writers of a file's spectra in other formats: CSV, NumPy's NPZ, netCDF.

Each writes to a temporary file beside its output and renames it into place
once it is complete, so a failure leaves no partial output behind and an
existing file is only replaced by a whole one."""

from __future__ import annotations

import contextlib
import csv
import importlib.util
import os
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, Literal

import numpy
from numpy.lib import recfunctions

from .spectra import Spectra

__all__ = ["FORMATS", "Format", "MissingExtra", "netcdf_engine", "replacing"]


class MissingExtra(ImportError):
    """An optional library that a format needs is not installed."""


# What a writer tells of its progress: how many more spectra it has written.
Step = Callable[[int], None]


class Format:
    """One output format: its suffix, and what writes a Spectra to a path
    (telling `step`, where given, of the spectra written)."""

    def __init__(self, suffix: str, write: Callable[[Spectra, Path, Step | None], None],
                 check: Callable[[], object] | None = None) -> None:
        self.suffix, self._write, self._check = suffix, write, check

    def check(self) -> None:
        """Raises MissingExtra when a library the format needs is missing."""
        if self._check is not None:
            self._check()

    def write(self, s: Spectra, out: Path, step: Step | None = None) -> None:
        with replacing(out) as temporary:
            self._write(s, temporary, step)


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


FORMATS = {
    "csv": Format(".csv", write_csv),
    "npz": Format(".npz", write_npz),
    "netcdf": Format(".nc", write_netcdf, netcdf_engine),
}


@contextlib.contextmanager
def replacing(out: Path) -> Iterator[Path]:
    """A temporary path beside `out`, renamed to `out` once the block succeeds."""
    temporary = out.with_name(f".{out.name}.{os.getpid()}.partial")
    try:
        yield temporary
        os.replace(temporary, out)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise

