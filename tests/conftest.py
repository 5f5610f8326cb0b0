import gc
import io
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


def count_open_fds():
    """Descriptors this process holds open, after dropping unreachable objects
    (on Windows, its handles of every kind)."""
    gc.collect()
    if sys.platform == "win32":
        import ctypes
        from ctypes import wintypes
        kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
        kernel32.GetCurrentProcess.restype = wintypes.HANDLE
        count = wintypes.DWORD()
        if not kernel32.GetProcessHandleCount(kernel32.GetCurrentProcess(), ctypes.byref(count)):
            raise ctypes.WinError(ctypes.get_last_error())
        return count.value
    if os.path.isdir("/proc/self/fd"):
        # Linux names what each one is: only files count here.  Sockets,
        # pipes and event descriptors belong to event loops, such as those a
        # Dask cluster leaves to wind down on their own threads.
        return sum(_names_a_file(f"/proc/self/fd/{fd}") for fd in os.listdir("/proc/self/fd"))
    return len(os.listdir("/dev/fd"))  # macOS and the BSDs


def _names_a_file(link):
    try:
        return os.readlink(link).startswith("/")
    except OSError:  # closed meanwhile, as the listing's own descriptor is
        return False


@pytest.fixture
def fd_count():
    return count_open_fds


class RecordingReader:
    """A file stand-in with nothing but read(n); remembers every n asked for."""

    def __init__(self, data):
        self.buffer = io.BytesIO(data)
        self.sizes = []

    def read(self, n):
        self.sizes.append(n)
        return self.buffer.read(n)


@pytest.fixture
def recorder():
    return RecordingReader


def _take_until_failure(items, delivered, error, args=None):
    """Takes `delivered` items, then expects `error` (with `args`, when given)
    and, after it, the end of the sequence.  Returns the items taken."""
    taken = [next(items) for _ in range(delivered)]
    with pytest.raises(error) as raised:
        next(items)
    assert args is None or raised.value.args == args
    with pytest.raises(StopIteration):
        next(items)
    return taken


@pytest.fixture
def take_until_failure():
    return _take_until_failure


@pytest.fixture
def cli(capsys):
    """Runs the quorinreader command line in this process: (status, stdout, stderr)."""
    from quorinreader import _cli

    def run(*args):
        status = _cli.main([os.fspath(a) for a in args])
        out, err = capsys.readouterr()
        return status, out, err

    return run


@pytest.fixture(scope="session")
def mypy_env():
    """The environment for a mypy run from another folder: the package found
    where this run imports it (PYTHONPATH made absolute), and no sanitizer
    runtime preloaded (mypy reads the stub, it never loads the extension)."""
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    return env
