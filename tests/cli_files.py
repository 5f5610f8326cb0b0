"""Files for the tests of the command line: the demo files, variants of a
series and a single spectrum, and files that hold no readable one."""

import struct
from pathlib import Path

import numpy
import pytest

import spawriter as sw
from quorinreader import spectra
from quorinreader._read.errors import command_line_text
from spectra_files import series, spectrum

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
DEMO_SERIES, DEMO_SPECTRUM = EXAMPLES / "demo_series.spa", EXAMPLES / "demo_spectrum.spa"

NAN, INF = float("nan"), float("inf")
# Every kind of binary32 a CSV must spell exactly: signed zero, NaN, infinities,
# the smallest subnormal, the largest finite value, one that needs 9 digits.
AWKWARD = [[0.1, -0.0, NAN, 1e-45], [INF, -INF, 3.4028234663852886e38, 16777217.0],
           [1 / 3, -2.5, 7.0e6, 0.0]]
# Text a CSV must quote.
AWKWARD_TITLES = ['a, "quoted" title', "two\nlines", ""]


def variant(tmp_path, name):
    """A file of the named kind in tmp_path; returns its path."""
    if name == "demo series":
        return DEMO_SERIES
    if name == "demo spectrum":
        return DEMO_SPECTRUM
    if name == "spectrum, falling x":
        return spectrum(tmp_path, values=AWKWARD[0])[0]
    knobs = {
        "series, awkward values and titles": dict(spectra=AWKWARD, titles=AWKWARD_TITLES),
        "series, float64, mini header 100": dict(element_size=8, mini_header_type=3),
        "series, no mini headers": dict(mini_hdr=False),
        "series of none": dict(max_spectra=0),
    }[name]
    return series(tmp_path, name=name.replace(" ", "_").replace(",", "") + ".spa", **knobs).path


VARIANTS = ["demo series", "demo spectrum", "spectrum, falling x", "series, awkward values and titles",
            "series, float64, mini header 100", "series, no mini headers", "series of none"]


def bad(tmp_path, name):
    """A path that names no readable spectrum or series, and the reason a
    line about it gives (None: the FormatError that spectra.load raises)."""
    tmp_path = Path(tmp_path)
    if name == "missing file":
        return tmp_path / "missing.spa", "No such file or directory"
    if name == "directory":  # a folder stands for its .spa files, and this one holds none
        (tmp_path / "folder.spa").mkdir()
        return tmp_path / "folder.spa", "the folder holds no file whose name ends in .spa"
    path = tmp_path / (name.replace(" ", "_") + ".spa")
    if name == "empty file":
        path.write_bytes(b"")
    elif name == "text file":
        path.write_text("wavenumber,absorbance\n4000,0.1\n" * 20)
    elif name == "group file":
        series(tmp_path, name=path.name, file_type=sw.FT_GROUP)
    elif name == "series without a series header":
        info = series(tmp_path, name=path.name)
        data = bytearray(info.data)
        data[304:306] = struct.pack("<H", 7)
        path.write_bytes(data)
    elif name == "series cut short":
        info = series(tmp_path, name=path.name)
        path.write_bytes(info.data[:-5])
    elif name == "spectrum cut short":
        spectrum(tmp_path, name=path.name, values=numpy.arange(100.0))
        path.write_bytes(path.read_bytes()[:-4])
    return path, None


BAD = ["missing file", "directory", "empty file", "text file", "group file", "series without a series header",
       "series cut short", "spectrum cut short"]


def reason(path, expected, read=spectra.open):
    """The line the command gives for a bad file: the FormatError's own
    message (info and plot open files, export loads them), its way out in
    the command line's terms, or `expected` after the file's name."""
    if expected is not None:
        return f"quorinreader: {path}: {expected}\n"
    with pytest.raises(spectra.FormatError) as raised:
        read(str(path))
    assert str(raised.value).startswith(f"{path}: ")
    return f"quorinreader: {command_line_text(raised.value)}\n"
