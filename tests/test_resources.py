"""Nothing is lost over many calls: memory blocks and file descriptors stay
flat across every read path, and a failed allocation anywhere is reported as
MemoryError, never as a crash or a leak."""
import gc
import io
import json
import subprocess
import sys
import textwrap

import pytest

import quorinreader as qr
import spawriter as sw

SPECTRA = [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("resources")
    series = sw.series_file(str(tmp / "series.spa"), SPECTRA, mini_header_type=1, bench_hdr=True)
    truncated = tmp / "truncated.spa"
    truncated.write_bytes(series.data[:-5])
    return {"series": series, "truncated": str(truncated), "missing": str(tmp / "missing.spa")}


def every_read_path(files):
    """One pass over the ways the module reads, errors included."""
    path = files["series"].path
    spa = qr.SPAFile(path)
    for i in range(len(spa.info.sections)):
        try:
            spa.read(i)
        except KeyError:
            pass
    list(qr.open_file(path).open_series())
    g = qr.open_file(path).open_series()
    next(g)
    next(g)
    g.close()                                   # abandoned half way
    next(qr.open_file(path).open_series())      # dropped without closing
    with pytest.raises(EOFError):
        list(qr.open_file(files["truncated"]).open_series())
    with pytest.raises(FileNotFoundError):
        qr.SPAFile(files["missing"])
    with pytest.raises(qr.struct.error):
        qr.MainSpectralHeader(io.BytesIO(bytes(139)))
    qr.DiskResidentArray(io.BytesIO(sw.disk_resident_array(dimensions=[sw.dimension()])))
    qr.read_string(io.BytesIO(b"abc\0def"), 7)
    spa.read_offset(lambda f: f.read(4), 0)     # a callable of the caller's, on a real file


def test_memory_and_descriptors_stay_flat(files, fd_count):
    for _ in range(50):
        every_read_path(files)
    fds = fd_count()
    # Two windows of passes: the interpreter's own caches may still be
    # filling in the first (on Windows for a thousand passes and more, by
    # a few hundred blocks, then by none), where a leak grows both alike.
    growth = []
    for _ in range(2):
        gc.collect()
        blocks = sys.getallocatedblocks()
        for _ in range(1000):
            every_read_path(files)
        gc.collect()
        growth.append(sys.getallocatedblocks() - blocks)
    # A leak of one object per pass would show as a thousand blocks.
    assert growth[1] < 200, growth
    assert fd_count() == fds


NOMEMORY = """
import io, json, sys, _testcapi
sys.path.insert(0, {tests!r})
import quorinreader as qr, spawriter as sw
path = {path!r}
spa = qr.SPAFile(path)
array = sw.disk_resident_array(dimensions=[sw.dimension()])

# (prepare, run): what run needs is made before allocations start to fail,
# so that only the module's own code runs while they do.
operations = [
    (lambda: (), lambda: qr.SPAFile(path)),
    (lambda: (), lambda: spa.read(0)),
    (lambda: (), lambda: spa.read(1)),
    (lambda: (), lambda: list(qr.open_file(path).open_series())),
    (lambda: (io.BytesIO(array),), qr.DiskResidentArray),
    (lambda: (io.BytesIO(b"abc" * 100), 300), qr.read_string),
]

# For each operation, the starts that raised MemoryError, and the first
# start at which it ran to its end (it made fewer allocations than that).
for prepare, run in operations:
    failed = []
    completed = None
    for start in range(1, {limit}):
        args = prepare()
        try:
            _testcapi.set_nomemory(start, 0)   # every allocation from the start-th on fails
            try:
                run(*args)
            finally:
                _testcapi.remove_mem_hooks()
        except MemoryError:
            failed.append(start)
        else:
            completed = completed or start
    print(json.dumps([repr(run), completed, failed]))
"""


def test_failed_allocations_raise_memory_error(files, tmp_path):
    pytest.importorskip("_testcapi")
    code = NOMEMORY.format(tests=str(__import__("pathlib").Path(__file__).parent),
                           path=files["series"].path, limit=1500)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    # Any other exception escapes the loop and fails the child with its traceback.
    assert done.returncode == 0, done.stderr[-3000:]
    # How many allocations an operation makes is the interpreter's affair
    # (3.14 makes fewer than 3.11).  What holds on every one: each operation
    # allocates, raises MemoryError whichever of its allocations fails, and
    # runs to its end once none does: the failures are exactly the starts
    # before the first that completes -- none swallowed, none raised late.
    results = [json.loads(line) for line in done.stdout.splitlines()]
    assert len(results) == 6
    for name, completed, failed in results:
        assert completed is not None, f"{name} never ran to its end"
        # Each builds new objects (a file, records, arrays) through the
        # allocator the failures go to.  read_string makes only an int and
        # one string, which 3.14 can hand out past that allocator: in this
        # loop none of its allocations failed there.
        assert failed or "read_string" in name, f"{name} made no allocation that could fail"
        assert failed == list(range(1, completed)), f"{name}: MemoryError at {failed}, done at {completed}"
