"""Writers of many files' spectra as one table or one file: export --combine
(CSV, NPZ, netCDF, HSPY, NeXus).

Each row or record carries the file and title it came from; the rest is
what the one-file writers of _export write, from a Collection."""

from __future__ import annotations

import csv
from pathlib import Path
from typing import Any

import numpy
from numpy.lib import recfunctions

from .formats import netcdf_engine
from .output import replacing
from .._many.files import Collection

__all__ = ["WRITERS", "write"]


def write_csv(c: Collection, out: Path) -> None:
    """A header row, "file", "title" and the X values; then one row per
    spectrum.  Every number is the shortest text that reads back exactly."""
    with open(out, "w", newline="", encoding="utf-8") as f:
        rows = csv.writer(f, lineterminator="\n")
        rows.writerow(["file", "title", *map(str, c.x)])
        for name, title, row in zip(c.files, c.titles, c.values):
            rows.writerow([name, "" if title is None else title, *map(str, row)])


def write_npz(c: Collection, out: Path) -> None:
    """x, values, files, titles and headers (the main spectral header of each row's file)."""
    arrays: dict[str, Any] = {
        "x": c.x, "values": c.values, "files": numpy.array(c.files, dtype=str),
        "titles": numpy.array(["" if t is None else t for t in c.titles], dtype=str),
        "headers": recfunctions.repack_fields(c.headers)}
    if c.mini_headers is not None:
        arrays["mini_headers"] = recfunctions.repack_fields(c.mini_headers)
    with open(out, "wb") as f:
        numpy.savez(f, **arrays)


def write_netcdf(c: Collection, out: Path) -> None:
    """The Dataset of Collection.to_xarray(), in a netCDF-4 file."""
    ds = c.to_xarray()
    for name in ("file", "title"):
        ds[name] = ds[name].astype(str)
    ds.to_netcdf(out, engine=netcdf_engine())


def write_hspy(c: Collection, out: Path) -> None:
    """The Signal1D of Collection.to_hyperspy(), by HyperSpy's own writer."""
    from . import hyperspy as _export_hyperspy

    _export_hyperspy.save(_export_hyperspy.collection_signal(c), out)


def write_nexus(c: Collection, out: Path) -> None:
    """An NXentry whose NXdata holds every row, with its file and title."""
    from . import nexus as _export_nexus

    _export_nexus.write_collection(c, out)


# JCAMP-DX is not here: export --combine refuses it.
WRITERS = {"csv": write_csv, "npz": write_npz, "netcdf": write_netcdf, "hspy": write_hspy, "nexus": write_nexus}


def write(form: str, c: Collection, out: Path) -> None:
    with replacing(out) as temporary:
        WRITERS[form](c, temporary)
