"""A user's script: read a series file with the core API.

tests/test_typing.py checks it with mypy --strict against the installed
stubs (every assert_type must hold exactly, none of them may be Any) and runs
it on a file written by the project's writer.
"""

from __future__ import annotations

from array import array
from typing import TYPE_CHECKING, assert_type

import quorinreader as qr

if TYPE_CHECKING:
    from quorinreader import Extent


def read_series(path: str) -> tuple[Extent, list[Extent], list[tuple[str | None, list[float]]]]:
    """The series summary, its matching dimensions and (title, values) per spectrum."""
    series = qr.open_file(path)
    if series is None:
        raise ValueError(f"{path}: not a series file")
    assert_type(series.quorin_file, qr.SPAFile)
    items = series.open_series()
    # Every item is one of two shapes: the first is the summary, every later
    # one a spectrum.
    first = next(items)
    if not isinstance(first[1], list):
        raise ValueError(f"{path}: no series summary")
    spectral_info, valid_dims = first
    # Quoted where run time needs it: Extent exists for type checkers only,
    # and array.array takes a subscript only from Python 3.12 on.
    assert_type(spectral_info, "Extent")
    assert_type(spectral_info["first"], float)
    assert_type(spectral_info["last"], float)
    assert_type(spectral_info["n"], int)
    assert_type(valid_dims, "list[Extent]")
    spectra = []
    for item in items:
        if not isinstance(item[1], array):
            raise ValueError(f"{path}: a second series summary")
        header, values = item
        assert_type(header["title"], str | None)
        assert_type(values, "array[float]")
        spectra.append((header["title"], values.tolist()))
    return spectral_info, valid_dims, spectra


def read_blob(path: str) -> tuple[int, bool, list[int], list[float]]:
    """The same series one level down: the disk-resident array and its blob.

    Returns the blob's point count, whether it holds bench information, the
    scan count of each mini header and the first value of each spectrum."""
    spa = qr.SPAFile(path)
    head = spa.find_indextype(qr.CLASS_TYPE[qr.SeriesHeader])
    found = spa.find_indextype(qr.CLASS_TYPE[qr.DiskResidentArray])
    if head is None or found is None:
        raise ValueError(f"{path}: no series header or disk-resident array")
    header = spa.read_offset(qr.SeriesHeader, spa.info.sections[head].section_offset)
    assert_type(header.max_spectra, int)
    assert_type(header.series_ID, str)
    disk = spa.read(found)
    assert_type(disk, qr.MainSpectralHeader | qr.SeriesHeader | qr.DiskResidentArray)
    if not isinstance(disk, qr.DiskResidentArray):
        raise ValueError(f"{path}: section {found} is not a disk-resident array")
    assert_type(disk.link, qr.LinkToData)
    assert_type(disk.link.data_blob_format.spectral_hdr, bool)
    assert_type(disk.dimensions, list[qr.Dimension])
    assert_type(disk.dimensions[0].first_dim, int)
    assert_type(disk.dimensions[0].scale_dim, float)
    assert_type(disk.dimensions[0].long_label, str)

    blob = disk.read_linked_data(spa, header.max_spectra)
    headers = next(blob)
    if not isinstance(headers, dict):
        raise ValueError(f"{path}: no blob headers")
    spectral = headers[qr.MainSpectralHeader]
    if not isinstance(spectral, qr.MainSpectralHeader):
        raise ValueError(f"{path}: no main spectral header")
    scans, firsts = [], []
    for item in blob:
        if isinstance(item, dict):
            raise ValueError(f"{path}: blob headers twice")
        mini, values = item
        assert_type(mini, qr.SeriesSpecheader | None)
        assert_type(values, "array[float]")
        if isinstance(mini, qr.SeriesSpecheaderVer3):
            assert_type(mini.direction, int)
        if mini is not None:
            assert_type(mini.num_scans, int)
            assert_type(mini.temp, float)
            scans.append(mini.num_scans)
        firsts.append(values[0])
    return spectral.num_points, qr.BenchInfo in headers, scans, firsts
