"""Files that hold no readable spectrum or series: FormatError, with the offset; partial reads."""
import struct
from pathlib import Path

import numpy
import pytest

import spawriter as sw
from quorinreader import spectra
from spectra_files import SPECTRA, series, spectrum

# The series of spectra_files: directory of 3 entries (325, 300, the blob) at
# 304, series header at 352, disk-resident array (one dimension) at 614, blob
# at 1514: its spectral header, then 3 spectra of 96 + 16 bytes from 1654.
DRA, BLOB, DATA, STRIDE, END = 614, 1514, 1654, 112, 1990


def rewrite(info, at, raw):
    data = bytearray(info.data)
    data[at:at + len(raw)] = raw
    Path(info.path).write_bytes(data)


def cut(info, size):
    Path(info.path).write_bytes(info.data[:size])


def retype(index):
    return lambda info: rewrite(info, 304 + 16 * index, struct.pack("<H", 7))


CASES = {
    "group file": (dict(file_type=sw.FT_GROUP), None,
                   "the file type at offset 288 is 10, a group file; expected a spectrum or a series (type 11)"),
    "no series header": ({}, retype(0), "the directory at offset 304 lists no section of type 325 (series "
                                        "header); found section types [7, 192, 300]"),
    "no disk-resident array": ({}, retype(1), "the directory at offset 304 lists no section of type 300 "
                                              "(disk-resident array); found section types [7, 192, 325]"),
    "no blob section": ({}, retype(2), f"the link at offset {DRA + 16} names section 0 (counted from 0) of "
                                       "type 192; the directory at offset 304 lists 0 of that type"),
    "external link": (dict(link_type=1), None, f"the link at offset {DRA + 12} has link_type 1, data in the "
                                               "external file 'series.spa'; expected 0, data inside this file"),
    "element size 2": (dict(array_element_size=2), None,
                       f"the disk-resident array gives 2 bytes per value at offset {DRA + 8}; expected 4 or 8"),
    "no spectral header": (dict(spectral_hdr=False), None,
                           f"the data blob at offset {BLOB:,} has no main spectral header (the link at offset "
                           f"{DRA + 12} does not set spectral_hdr); expected one, for the point count"),
    "last spectrum cut": ({}, lambda info: cut(info, END - 1),
                          f"spectrum 3 of 3 needs 112 bytes at offset {DATA + 2 * STRIDE:,}, "
                          f"the file ends at {END - 1:,}; partial=True reads its 2 complete spectra"),
    "count beyond the file": (dict(max_spectra=2**32 - 1), None,
                              f"spectrum 4 of 4,294,967,295 needs 112 bytes at offset {END:,}, "
                              f"the file ends at {END:,}; partial=True reads its 3 complete spectra"),
    "all spectra cut": ({}, lambda info: cut(info, DATA + 5),
                        f"spectrum 1 of 3 needs 112 bytes at offset {DATA:,}, the file ends at {DATA + 5:,}"),
    # Too short for its own header or directory, as the header pass of load_many finds it.
    "file header cut": ({}, lambda info: cut(info, 100), "not a spectral file: it starts with b'Spectral Data Fil'"),
    "directory cut": ({}, lambda info: cut(info, 340), "not a spectral file: it starts with b'Spectral Data Fil'"),
    "series header past the end": ({}, lambda info: rewrite(info, 306, struct.pack("<I", 10**6)),
                                   f"the series header needs 262 bytes at offset 1,000,000, "
                                   f"the file ends at {END:,}"),
    "series header past 2**63": (dict(extended=True), lambda info: rewrite(info, 306, struct.pack("<Q", 2**63)),
                                 "the series header needs 262 bytes at offset 9,223,372,036,854,775,808, "
                                 "the file ends at 2,008"),
    "disk-resident array cut": ({}, lambda info: cut(info, DRA + 100),
                                f"the disk-resident array at offset {DRA} runs past the end of the file at "
                                f"{DRA + 100}"),
    "blob's spectral header cut": ({}, lambda info: cut(info, BLOB + 50),
                                   f"the main spectral header of the data blob needs 140 bytes at offset "
                                   f"{BLOB:,}, the file ends at {BLOB + 50:,}"),
    "bench information cut": (dict(bench_hdr=True), lambda info: cut(info, BLOB + 160),
                              f"the bench information needs 56 bytes at offset {BLOB + 140:,}, "
                              f"the file ends at {BLOB + 160:,}"),
}


@pytest.mark.parametrize("how", ["load", "open", "load bytes"])
@pytest.mark.parametrize("knobs, change, message", CASES.values(), ids=CASES)
def test_format_errors(tmp_path, fd_count, how, knobs, change, message):
    info = series(tmp_path, **knobs)
    if change:
        change(info)
    source = Path(info.path).read_bytes() if how == "load bytes" else info.path
    name = "<bytes>" if how == "load bytes" else info.path
    before = fd_count()
    with pytest.raises(spectra.FormatError) as raised:
        getattr(spectra, how.split()[0])(source)
    assert str(raised.value) == f"{name}: {message}"
    assert fd_count() == before


SPECTRUM_CASES = {
    "no spectral header": (lambda path, at: Path(path).write_bytes(
        Path(path).read_bytes()[:304] + struct.pack("<H", 7) + Path(path).read_bytes()[306:]),
        "the directory at offset 304 lists no section of type 2 (main spectral header); "
        "found section types [3, 7]"),
    "no values": (lambda path, at: Path(path).write_bytes(
        Path(path).read_bytes()[:320] + struct.pack("<H", 7) + Path(path).read_bytes()[322:]),
        "the directory at offset 304 lists no section of type 3 (spectrum values); found section types [2, 7]"),
    "values cut": (lambda path, at: Path(path).write_bytes(Path(path).read_bytes()[:at + 15]),
                   "spectrum 1 of 1 needs 16 bytes at offset 476, the file ends at 491"),
}


@pytest.mark.parametrize("how", ["load", "open"])
@pytest.mark.parametrize("change, message", SPECTRUM_CASES.values(), ids=SPECTRUM_CASES)
def test_format_errors_of_a_single_spectrum(tmp_path, how, change, message):
    path, values_at = spectrum(tmp_path)
    change(path, values_at)
    with pytest.raises(spectra.FormatError, match="^") as raised:
        getattr(spectra, how)(path)
    assert str(raised.value) == f"{path}: {message}"


def test_the_types():
    assert issubclass(spectra.FormatError, ValueError) and issubclass(spectra.TruncatedWarning, UserWarning)
    assert spectra.FormatError.__module__ == spectra.TruncatedWarning.__module__ == "quorinreader.spectra"


@pytest.mark.parametrize("how", ["load", "open"])
@pytest.mark.parametrize("knobs, size, held, count, message", [
    ({}, END - 1, 2, 3, f"spectrum 3 of 3 needs 112 bytes at offset {DATA + 2 * STRIDE:,}, "
                        f"the file ends at {END - 1:,}"),
    ({}, DATA + 5, 0, 3, f"spectrum 1 of 3 needs 112 bytes at offset {DATA:,}, the file ends at {DATA + 5:,}"),
    (dict(max_spectra=2**32 - 1), END, 3, 2**32 - 1,
     f"spectrum 4 of 4,294,967,295 needs 112 bytes at offset {END:,}, the file ends at {END:,}"),
], ids=["last spectrum cut", "all cut", "count beyond the file"])
def test_partial_keeps_the_complete_spectra(tmp_path, how, knobs, size, held, count, message):
    info = series(tmp_path, **knobs)
    cut(info, size)
    with pytest.warns(spectra.TruncatedWarning) as warned:
        s = getattr(spectra, how)(info.path, partial=True)
    assert [str(w.message) for w in warned] == [f"{info.path}: read {held:,} of {count:,} spectra; {message}"]
    assert warned[0].filename == __file__  # the warning points at the caller
    with s:
        assert len(s) == held and s.values.shape == (held, 4)
        assert s.values.tolist() == numpy.float32(SPECTRA[:held]).reshape(held, 4).tolist()
        assert s.titles == info.titles[:held] and s.mini_headers["num_scans"].tolist() == list(range(1, held + 1))


def test_partial_of_a_whole_file_reads_it_all(tmp_path):
    info = series(tmp_path)
    with spectra.open(info.path, partial=True) as s:  # and warns of nothing
        assert len(s) == 3 == len(spectra.load(info.path, partial=True))
