"""Paths as Windows users have them: names beyond ASCII and with spaces, a
file an instrument still holds open for writing, long paths with the
\\\\?\\ prefix, and either slash.  What holds on every platform runs on
every platform."""
import os
import pathlib
import sys

import numpy
import pytest

import quorinreader as qr
from quorinreader import spectra
from spectra_files import SPECTRA, series

# What the readers give of SPECTRA: binary32 values.
EXPECTED = numpy.asarray(SPECTRA, "<f4").tolist()
windows_only = pytest.mark.skipif(sys.platform != "win32", reason="a Windows form of path")


def read_every_way(path):
    """The values as each reader gives them: they must agree."""
    items = qr.open_file(path).open_series()
    next(items)
    streamed = [list(values) for _, values in items]
    assert qr.SPAFile(path).info.file_type == 11
    with spectra.load(path) as loaded, spectra.open(path) as opened:
        assert numpy.array_equal(loaded.values, opened.values)
        assert loaded.values.tolist() == streamed
        return streamed


@pytest.mark.parametrize("name", ["spectre de l'échantillon 7.spa", "ß µ 東京 Ω.spa", "two  spaces .spa"])
def test_names_beyond_ascii_and_with_spaces(tmp_path, name):
    folder = tmp_path / "données brutes"
    folder.mkdir()
    path = series(folder, name=name).path
    assert read_every_way(path) == EXPECTED
    assert read_every_way(pathlib.Path(path)) == EXPECTED


def test_a_file_held_open_for_writing_is_read(tmp_path):
    # An instrument still writing the file holds it open with write access,
    # and lets others read (and rename) it: the reader shares all of that.
    path = series(tmp_path).path
    with open(path, "r+b") as writer:
        writer.seek(0, os.SEEK_END)
        assert read_every_way(path) == EXPECTED
        writer.write(b"\0" * 16)  # written while our reads are done, not refused
        writer.flush()
        assert read_every_way(path) == EXPECTED


def test_a_file_held_open_can_be_renamed_while_we_read(tmp_path):
    path = series(tmp_path).path
    with spectra.open(path) as opened:
        moved = str(tmp_path / "moved.spa")
        os.replace(path, moved)
        assert opened.values.tolist() == EXPECTED
    assert read_every_way(moved) == EXPECTED


@windows_only
def test_a_long_path_with_the_prefix(tmp_path):
    folder = "\\\\?\\" + os.path.join(str(tmp_path), *["d" * 60] * 5)
    os.makedirs(folder)
    path = series(folder).path
    assert len(path) > 260
    assert read_every_way(path) == EXPECTED


@windows_only
@pytest.mark.parametrize("slashes", ["forward", "mixed"])
def test_either_slash(tmp_path, slashes):
    path = series(tmp_path).path
    drive, rest = os.path.splitdrive(path)
    parts = rest.split("\\")
    joined = "/".join(parts) if slashes == "forward" else "\\".join(parts[:-1]) + "/" + parts[-1]
    assert read_every_way(drive + joined) == EXPECTED
