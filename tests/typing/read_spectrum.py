"""A user's script: read a single-spectrum file with the core API.

tests/test_typing.py checks it with mypy --strict against the installed
stubs and runs it on a file written by the project's writer.
"""

import os
import struct
from collections.abc import Generator
from typing import BinaryIO, assert_type

import quorinreader as qr


def x_range(f: BinaryIO) -> tuple[float, float]:
    """A record reader of the user's own: first_x and last_x of a main spectral header."""
    first, last = struct.unpack("<16xff", f.read(24))
    return float(first), float(last)


def read_spectrum(path: str) -> tuple[int, float, float, tuple[float, float], bytes, list[int]]:
    """num_points, first_x and last_x of the spectrum, the same X range read by
    x_range, the header's first four bytes and the sections' type codes."""
    spa = qr.SPAFile(path)
    assert_type(spa.filename, str | bytes | os.PathLike[str] | os.PathLike[bytes])
    assert_type(spa.info, qr.FileHeader)
    assert_type(spa.info.sections, list[qr.IndexEntry])
    assert_type(spa.info.file_type, int)
    assert_type(spa.info.hard_eof, bytes)
    assert_type(spa.info.sti_id_string, str)
    if spa.info.file_type != qr.FT_IRDATA:
        raise ValueError(f"{path}: not a single spectrum")

    index = spa.find_indextype(2)
    assert_type(index, int | None)
    if index is None:
        raise ValueError(f"{path}: no spectral header")
    header = spa.read(index)
    if not isinstance(header, qr.MainSpectralHeader):
        raise ValueError(f"{path}: section {index} is no spectral header")
    assert_type(header.num_points, int)
    assert_type(header.first_x, float)
    assert_type(header.last_x, float)
    assert_type(header.laser_freq, float)
    assert_type(header.stage_x, int)

    # read_offset returns what its callable returns.
    offset = spa.info.sections[index].section_offset
    assert_type(spa.read_offset(qr.MainSpectralHeader, offset), qr.MainSpectralHeader)
    own = spa.read_offset(x_range, offset)
    assert_type(own, tuple[float, float])
    raw = spa.read_offset(lambda f: f.read(4), offset)
    assert_type(raw, bytes)

    indices = spa.find_indextypes(2)
    assert_type(indices, Generator[int, None, None])
    return (header.num_points, header.first_x, header.last_x, own, raw,
            [spa.info.sections[i].section_type for i in indices])
