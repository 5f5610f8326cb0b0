"""Fuzzes the road of a file: any bytes as a spectral file.

Each input is written to a file under /dev/shm and opened with SPAFile;
every directory entry is read with SPAFile.read; open_file must agree with
the header's file type; and the file is streamed as a series to its end,
through open_file's Series or, for any other file type, a Series built
around the SPAFile.  Every error must be one the input can cause at that
step (see the *_error_ok functions), every item must have its documented
shape, a failed sequence must stay ended, and no descriptor may stay open.
Run: see fuzz/README.md.
"""

import errno
import os
import struct
import sys
import tempfile
from array import array

import atheris

import quorinreader
from watch import Finding, expect, no_descriptor_left

RECORD_TYPES = (2, 300, 325)  # the section types TYPE_CLASS knows
# Offsets this far out cannot be sought to (ValueError) or read at (EINVAL).
FAR = 2**63 - 2**32
SUMMARY_KEYS = ["first", "last", "n"]
END = object()

# Removed after each input: libFuzzer ends the process without running atexit.
PATH = os.path.join("/dev/shm" if os.path.isdir("/dev/shm") else tempfile.gettempdir(),
                    f"quorin-fuzz-{os.getpid()}.spa")


def beyond_reach(e, offset):
    return offset >= FAR and (type(e) is ValueError
                              or isinstance(e, OSError) and e.errno == errno.EINVAL)


def read_error_ok(e, entry):
    if type(e) is KeyError:
        return entry.section_type not in RECORD_TYPES and e.args == (entry.section_type,)
    if type(e) is struct.error:
        return entry.section_type in RECORD_TYPES
    return beyond_reach(e, entry.section_offset)


def series_error_ok(e, delivered, sections):
    """Whether open_series may raise e after `delivered` items."""
    if delivered > 0:  # a spectrum: its mini header or values end early
        return type(e) in (struct.error, EOFError)
    types = {s.section_type for s in sections}
    if type(e) is TypeError:  # read(None): no series header or no disk-resident array
        return not {300, 325} <= types and "NoneType" in str(e)
    if type(e) is KeyError:  # an element size other than 4 or 8, or no spectral header
        key = e.args[0] if len(e.args) == 1 else None
        return type(key) is int and key not in (4, 8) or key is quorinreader.MainSpectralHeader
    if type(e) is RuntimeError:
        return str(e) == "Can not read linked external files."
    if type(e) in (IndexError, struct.error):  # a section_number past the blobs; short records
        return True
    return any(beyond_reach(e, s.section_offset) for s in sections)


def check_item(item, delivered, n):
    """The point count of the series once the first item is seen."""
    if type(item) is not tuple or len(item) != 2:
        raise Finding(f"item {delivered} is {item!r}, not a pair")
    if delivered == 0:
        info, dims = item
        if type(info) is not dict or list(info) != SUMMARY_KEYS or type(info["n"]) is not int:
            raise Finding(f"spectral_info is {info!r}")
        if type(dims) is not list or any(type(d) is not dict or list(d) != SUMMARY_KEYS
                                         for d in dims):
            raise Finding(f"valid_dims is {dims!r}")
        return info["n"]
    header, values = item
    if (type(header) is not dict or list(header) != ["title"]
            or type(header["title"]) not in (str, type(None))):
        raise Finding(f"spectrum {delivered} has the header {header!r}")
    if type(values) is not array or values.typecode not in "fd" or len(values) != n:
        raise Finding(f"spectrum {delivered} of {n} points has the values {values!r}")
    return n


def stream(series, sections, limit):
    """Takes every item, or `limit` of them: spectra of no bytes may go on
    for 2**32 - 1 items, which is no error, and no more is learnt from them."""
    items = series.open_series()
    delivered, n = 0, None
    while delivered < limit:
        try:
            item = next(items, END)
        except (TypeError, KeyError, IndexError, RuntimeError, struct.error, EOFError,
                ValueError, OSError) as e:
            expect(e, series_error_ok(e, delivered, sections), f"open_series, item {delivered}")
            if next(items, END) is not END:
                raise Finding("open_series delivers an item after an error")
            return
        if item is END:
            return
        n = check_item(item, delivered, n)
        delivered += 1
    items.close()


def read_file(data):
    try:
        spa = quorinreader.SPAFile(PATH)
    except struct.error:  # the header or the directory ends early
        return
    sections = spa.info.sections
    for i, entry in enumerate(sections):
        try:
            spa.read(i)
        except (KeyError, struct.error, ValueError, OSError) as e:
            expect(e, read_error_ok(e, entry),
                   f"SPAFile.read({i}) of a section of type {entry.section_type}")
    series = quorinreader.open_file(PATH)
    if (series is not None) != (spa.info.file_type == 11):
        raise Finding(f"open_file gives {series!r} for a file of type {spa.info.file_type}")
    # A spectrum that reads anything reads at least one 4-byte value.
    stream(series or quorinreader.Series(spa), sections, 2 + len(data) // 4)


@atheris.instrument_func
def test_one_input(data):
    with open(PATH, "wb") as f:
        f.write(data)
    try:
        with no_descriptor_left():
            read_file(data)
    finally:
        os.unlink(PATH)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
