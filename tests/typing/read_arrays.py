"""A user's script: a series and a single spectrum as NumPy arrays.

tests/test_typing.py checks it with mypy --strict against the installed
package and runs it on files written by the project's writer.
"""

from typing import Literal, assert_type

import numpy
import numpy.typing as npt

import quorinreader as qr
from quorinreader import spectra


def summarize(path: str) -> tuple[str, int, float, float, list[str | None], int | None]:
    """The kind, the number of spectra, the X range, the titles and the first
    spectrum's num_scans (None without mini headers)."""
    s = spectra.load(path)
    assert_type(s, spectra.Spectra)
    assert_type(s.kind, Literal["series", "spectrum"])
    assert_type(s.x, npt.NDArray[numpy.float64])
    assert_type(s.titles, list[str | None])
    assert_type(s.mini_headers, npt.NDArray[numpy.void] | None)
    assert_type(s.spectral_header, qr.MainSpectralHeader)
    assert_type(s.spectral_header.num_points, int)
    assert_type(s.series_header, qr.SeriesHeader | None)
    assert_type(s.bench, qr.BenchInfo | None)
    assert_type(s.dimensions, list[qr.Dimension])
    assert_type(s.file_header.sections, list[qr.IndexEntry])
    scans = None if s.mini_headers is None else int(s.mini_headers["num_scans"][0])
    return s.kind, len(s), float(s.x[0]), float(s.x[-1]), s.titles, scans


def peak(path: str, k: int) -> float:
    """The largest value of spectrum k, read from a memory map."""
    with spectra.open(path) as s:
        assert_type(s, spectra.Spectra)
        return float(s.values[k].max())


def cut_short(data: bytes) -> int:
    """How many complete spectra a series cut short holds."""
    try:
        return len(spectra.load(data))
    except spectra.FormatError:
        return len(spectra.load(data, partial=True))


def rows_of(folder: str, name: str) -> tuple[int, int, int, int, list[str]]:
    """Many files as one Collection, and some of its rows: the first, a
    slice, a mask, the rows of one file."""
    c = spectra.load_many(folder, x="first", on_error="skip", encoding="cp1252")
    assert_type(c, spectra.Collection)
    assert_type(c[0], spectra.Collection)
    assert_type(c[1:3], spectra.Collection)
    assert_type(c[[0, 1]], spectra.Collection)
    long = c[c.headers["num_points"] > 2]
    assert_type(long, spectra.Collection)
    assert_type(c.sel(file=name), spectra.Collection)
    return len(c), len(c[0]), len(c[1:3]), len(long), c.sel(file=name).files
