"""Files that are not plain regular files: FIFOs and pipes are read in
sequence as the host's file objects read them, a file whose size says
nothing (procfs) is read as far as it goes, and a handle that waits lets
other threads run."""
import io
import os
import subprocess
import sys
import threading
import time

import pytest

import quorinreader as qr
import spawriter as sw


def header_bytes(**fields):
    builder = sw.SpaBuilder(**fields)
    builder.add(2, sw.main_spectral_header(num_points=3))
    return builder.build()


@pytest.fixture
def fifo(tmp_path):
    if not hasattr(os, "mkfifo"):
        pytest.skip("FIFOs are POSIX's")
    path = tmp_path / "fifo"
    os.mkfifo(path)
    return str(path)


def write_later(path, data, delay=0.0):
    def writer():
        time.sleep(delay)
        try:
            with open(path, "wb") as f:
                f.write(data)
        except BrokenPipeError:
            pass  # the reader stopped before all was written: as it may
    thread = threading.Thread(target=writer)
    thread.start()
    return thread


def test_a_fifo_is_read_in_sequence(fifo):
    data = header_bytes()
    writer = write_later(fifo, data)
    spa = qr.SPAFile(fifo)
    writer.join()
    assert spa.info.file_type == 1 and [s.section_type for s in spa.info.sections] == [2]
    # Seeking to a section fails as it fails on the host's own file object.
    writer = write_later(fifo, data)
    with open(fifo, "rb") as f, pytest.raises(io.UnsupportedOperation) as python_file:
        f.seek(spa.info.sections[0].section_offset)
    writer.join()
    writer = write_later(fifo, data)
    with pytest.raises(io.UnsupportedOperation) as native:
        spa.read(0)
    writer.join()
    assert str(native.value) == str(python_file.value)


@pytest.mark.parametrize("offset", [1.5, -1])
def test_a_bad_offset_into_a_fifo_fails_as_on_a_file_object(fifo, offset):
    spa = qr.SPAFile(sw.series_file(fifo + ".spa", [[1.0]]).path)
    spa.filename = fifo
    writer = write_later(fifo, header_bytes())
    with open(fifo, "rb") as f, pytest.raises(Exception) as python_file:
        f.seek(offset)
    writer.join()
    writer = write_later(fifo, header_bytes())
    with pytest.raises(type(python_file.value)) as native:
        spa.read_offset(qr.MainSpectralHeader, offset)
    writer.join()
    assert str(native.value) == str(python_file.value)


def test_tell_on_a_fifo_fails_as_on_a_file_object(fifo, monkeypatch):
    writer = write_later(fifo, header_bytes())
    with open(fifo, "rb") as f, pytest.raises(OSError) as python_file:
        f.tell()
    writer.join()
    monkeypatch.setattr(qr, "read_string", lambda f, n: f.tell())
    writer = write_later(fifo, header_bytes())
    with pytest.raises(OSError) as native:
        qr.SPAFile(fifo)
    writer.join()
    assert native.value.errno == python_file.value.errno


# Under Wine "/dev/stdin" is a drive-relative Windows path that reaches the
# Linux file: it names no pipe of a Windows process.
@pytest.mark.skipif(sys.platform == "win32" or not os.path.exists("/dev/stdin"), reason="needs /dev/stdin")
def test_a_pipe_on_stdin_is_read(tmp_path):
    code = ("import quorinreader as q; s = q.SPAFile('/dev/stdin');"
            "print(s.info.file_type, len(s.info.sections))")
    done = subprocess.run([sys.executable, "-c", code], input=header_bytes(file_type=11),
                          capture_output=True, timeout=60)
    assert done.stdout.split() == [b"11", b"1"], done.stderr


@pytest.mark.skipif(not sys.platform.startswith("linux") or not os.path.exists("/proc/self/cmdline"),
                    reason="needs Linux /proc")
def test_a_file_whose_size_says_nothing_is_read_as_far_as_it_goes():
    # /proc/<pid>/cmdline reports a size of 0 and holds the arguments, each
    # followed by a zero byte: here a file header of type 1 with no sections.
    filler = "A" * (288 - len("\0-c\0sleep 60\0"))
    args = [filler, "-c", "sleep 60", "\x01"] + [""] * 14
    child = subprocess.Popen(args, executable="/bin/sh")
    try:
        path = f"/proc/{child.pid}/cmdline"
        for _ in range(100):  # until the shell has the arguments in place
            with open(path, "rb") as f:
                raw = f.read()
            if len(raw) >= 304:
                break
            time.sleep(0.01)
        assert os.stat(path).st_size == 0 and raw[288:290] == b"\x01\x00"
        spa = qr.SPAFile(path)
        assert (spa.info.file_type, spa.info.num_sections, spa.info.sti_id_string) == (1, 0, "A" * 30)
    finally:
        child.kill()
        child.wait()


WAITING = """
import sys, threading, time
sys.path.insert(0, {tests!r})
import quorinreader as qr, spawriter as sw
result = {{}}
reader = threading.Thread(target=lambda: result.setdefault("spa", qr.SPAFile({fifo!r})))
reader.start()
ticks, stop = 0, time.monotonic() + 0.3
while time.monotonic() < stop:   # a watchdog of the main thread, ticking on
    ticks += 1
    time.sleep(0.001)
alive = reader.is_alive()
builder = sw.SpaBuilder()
builder.add(2, bytes(140))
with open({fifo!r}, "wb") as f:  # the writer arrives: the reader goes on
    f.write(builder.build())
reader.join(10)
print(alive, ticks > 50, result["spa"].info.sections[0].section_type)
"""


def test_other_threads_run_while_a_fifo_waits_for_its_writer(fifo):
    # In a child: a reader that held the GIL while it waits would hang it.
    code = WAITING.format(tests=os.path.dirname(os.path.abspath(__file__)), fifo=fifo)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    assert done.stdout.split() == ["True", "True", "2"], done.stderr
