import gc
import io
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from wine import WINE_VERSION  # noqa: E402  (from the folder just put on the path)


def count_open_fds():
    """Descriptors this process holds open, after dropping unreachable objects
    (on Windows, its handles of every kind)."""
    gc.collect()
    if sys.platform == "win32":
        return _windows_handle_count()
    if os.path.isdir("/proc/self/fd"):
        # Linux names what each one is: only files count here.  Sockets,
        # pipes and event descriptors belong to event loops, such as those a
        # Dask cluster leaves to wind down on their own threads.
        return sum(_names_a_file(f"/proc/self/fd/{fd}") for fd in os.listdir("/proc/self/fd"))
    return len(os.listdir("/dev/fd"))  # macOS and the BSDs


def _windows_handle_count():
    import ctypes
    from ctypes import wintypes
    if WINE_VERSION is not None:
        return _handles_in_system_table()
    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    # A handle is pointer-wide: without argtypes, ctypes would pass the
    # pseudo-handle (-1) as a C int and refuse it.
    kernel32.GetCurrentProcess.argtypes = ()
    kernel32.GetCurrentProcess.restype = wintypes.HANDLE
    kernel32.GetProcessHandleCount.argtypes = (wintypes.HANDLE, ctypes.POINTER(wintypes.DWORD))
    kernel32.GetProcessHandleCount.restype = wintypes.BOOL
    count = wintypes.DWORD()
    if not kernel32.GetProcessHandleCount(kernel32.GetCurrentProcess(), ctypes.byref(count)):
        raise ctypes.WinError(ctypes.get_last_error())
    return count.value


def _handles_in_system_table():
    """This process's handles among the system's (SystemHandleInformation):
    Wine's GetProcessHandleCount always says 0, its handle table is right."""
    import ctypes
    ntdll = ctypes.WinDLL("ntdll")
    query = ntdll.NtQuerySystemInformation
    query.argtypes = (ctypes.c_ulong, ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong))
    query.restype = ctypes.c_long
    system_handle_information, info_length_mismatch = 16, -0x3FFFFFFC
    size = 1 << 16
    while True:
        table = ctypes.create_string_buffer(size)
        status = query(system_handle_information, table, size, ctypes.byref(ctypes.c_ulong()))
        if status != info_length_mismatch:
            break
        size *= 2
    if status != 0:
        raise OSError(f"NtQuerySystemInformation(SystemHandleInformation) gave status {status & 0xFFFFFFFF:#x}")
    # A count, then entries of 24 bytes, each starting with the owner's
    # process id as an unsigned 16-bit integer.
    count = int.from_bytes(table.raw[:4], "little")
    pid = os.getpid() & 0xFFFF
    return sum(int.from_bytes(table.raw[8 + 24 * i:10 + 24 * i], "little") == pid for i in range(count))


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
