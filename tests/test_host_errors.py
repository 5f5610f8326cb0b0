"""A path we cannot read fails as the host's own open() fails for it: the
same class, errno, winerror, message and file name, on every platform, so
that code written against open() handles ours.  The expectation is taken
from open() itself, never written down."""
import os
import sys

import pytest

import quorinreader as qr
from quorinreader import spectra
from spectra_files import series


def closed(read):
    def read_and_close(path):
        with read(path):
            pass
    return read_and_close


READERS = {
    "SPAFile": qr.SPAFile,
    "open_file": qr.open_file,
    "spectra.load": closed(spectra.load),
    "spectra.open": closed(spectra.open),
}


def outcome(call, path):
    """What call(path) gives: None, or the error's every part."""
    try:
        call(path)
    except OSError as error:
        return (type(error), error.errno, getattr(error, "winerror", None), error.strerror, error.filename)
    return None


def host_outcome(path):
    def host_open(p):
        with open(p, "rb") as f:
            f.read(1)
    return outcome(host_open, path)


def long_path(tmp_path):
    """A file whose path is longer than MAX_PATH (260), named without the
    \\\\?\\ prefix, though made through it on Windows."""
    folder = os.path.join(str(tmp_path), *["d" * 60] * 5)
    made = "\\\\?\\" + folder if sys.platform == "win32" else folder
    os.makedirs(made)
    series(made)
    return os.path.join(folder, "series.spa")


PATHS = {
    "a missing file": lambda tmp: os.path.join(str(tmp), "missing.spa"),
    "a folder": str,
    # < > : " | ? * are not allowed in a Windows name; elsewhere it is merely missing.
    "a name Windows forbids": lambda tmp: os.path.join(str(tmp), "a<b>?.spa"),
    "a path over MAX_PATH": long_path,
}


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("case", PATHS)
def test_an_unreadable_path_fails_as_open_fails(tmp_path, case, reader):
    path = PATHS[case](tmp_path)
    expected = host_outcome(path)
    if case != "a path over MAX_PATH":  # which can be read where long paths are on
        assert expected is not None, f"open() read {path!r}"
    assert outcome(READERS[reader], path) == expected
