"""Fuzzes the bulk road: spectra.load, spectra.open and spectra.load_many on
any bytes.

An input is up to three files, separated by MARKER.  The first is read by
spectra.load from its path and from its bytes, and by spectra.open, each
with `partial` both ways, and every attribute of the result is touched (the
values of an opened file row by row, through its mapping).  Then all of
them go through load_many with workers 1 and 3, on_error both ways, on their
own axis and onto a grid.  The only errors let through are FormatError and
the far-offset OSError(EINVAL); TypeError, ValueError of any other kind,
MemoryError and the rest are findings.  What load_many returns must be what
spectra.load gives file by file, and no descriptor may stay open.
Run: see fuzz/README.md.
"""

import errno
import os
import sys
import tempfile
import warnings

import atheris

import numpy

from quorinreader import spectra
from watch import Finding, expect, no_descriptor_left

MARKER = b"\n--next file--\n"
FILES = 3
# An axis is numpy.linspace of the header's point count, however few values
# the file holds: a header of spectra of no values may claim 2**32 - 1 points
# and so ask for 32 GiB of X.  Such axes are left alone (see fuzz/README.md).
HUGE_AXIS = 1 << 24
GRID = numpy.linspace(0.0, 5000.0, 7)
# Removed after each input, as fuzz_files.py does with its one file.
STEM = os.path.join("/dev/shm" if os.path.isdir("/dev/shm") else tempfile.gettempdir(),
                    f"quorin-fuzz-bulk-{os.getpid()}")


def error_ok(e):
    return isinstance(e, spectra.FormatError) or isinstance(e, OSError) and e.errno == errno.EINVAL


def touch(s):
    """Every attribute; every value and mini header field read."""
    repr(s)
    for name in ("kind", "file_header", "spectral_header", "series_header", "bench", "dimensions", "titles"):
        getattr(s, name)
    values = s.values
    if values.shape != (len(s), s.spectral_header.num_points if len(s) else values.shape[1]):
        raise Finding(f"values of shape {values.shape} for {len(s)} spectra")
    for row in values:
        float(numpy.add.reduce(row, dtype=numpy.float64))
    if s.spectral_header.num_points < HUGE_AXIS:
        x = s.x
        if x.shape != (values.shape[1],):
            raise Finding(f"x of shape {x.shape} for values of shape {values.shape}")
    mini = s.mini_headers
    if mini is not None:
        for field in mini.dtype.names:
            mini[field].tolist()
    titles = s.titles
    if len(titles) != len(s):
        raise Finding(f"{len(titles)} titles for {len(s)} spectra")


def one_file(path, data):
    loaded = {}
    for partial in (False, True):
        for source in (path, data):
            try:
                s = spectra.load(source, partial=partial)
            except (spectra.FormatError, OSError) as e:
                expect(e, error_ok(e), f"spectra.load(partial={partial})")
                continue
            touch(s)
            loaded[partial] = s
        try:
            opened = spectra.open(path, partial=partial)
        except (spectra.FormatError, OSError) as e:
            expect(e, error_ok(e), f"spectra.open(partial={partial})")
            continue
        with opened:
            touch(opened)
            if partial in loaded and opened.values.tobytes() != loaded[partial].values.tobytes():
                raise Finding("spectra.open and spectra.load differ")
    return loaded.get(False)


def many(paths):
    each = []
    for p in paths:
        try:
            each.append(spectra.load(p))
        except (spectra.FormatError, OSError):
            each.append(None)
        else:
            if each[-1].spectral_header.num_points >= HUGE_AXIS:
                return
    for workers in (1, 3):
        for on_error in ("raise", "skip"):
            for x in ("exact", GRID):
                try:
                    c = spectra.load_many(paths, x=x, on_error=on_error, workers=workers)
                except (spectra.FormatError, OSError) as e:
                    expect(e, error_ok(e), f"load_many(workers={workers}, on_error={on_error!r})")
                    continue
                if len(c.titles) != len(c) or len(c.files) != len(c) or len(c.headers) != len(c):
                    raise Finding("load_many's rows disagree")
                # Where every file reads alone, the rows are those of the files
                # that have rows: on_error="skip" leaves out a file whose axis
                # differs from the first file's.
                chosen = set(map(str, c.files))
                kept = [s for s, p in zip(each, paths) if p in chosen]
                if isinstance(x, str) and all(s is not None for s in each):
                    want = numpy.concatenate([s.values.astype(numpy.float64) for s in kept]) if kept else None
                    if want is not None and not numpy.array_equal(c.values.astype(numpy.float64), want,
                                                                  equal_nan=True):
                        raise Finding("load_many differs from spectra.load of each file")


@atheris.instrument_func
def test_one_input(data):
    parts = data.split(MARKER)[:FILES]
    paths = [f"{STEM}-{k}.spa" for k in range(len(parts))]
    for path, part in zip(paths, parts):
        with open(path, "wb") as f:
            f.write(part)
    try:
        with no_descriptor_left(), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            one_file(paths[0], parts[0])
            many(paths)
    finally:
        for path in paths:
            os.unlink(path)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
