"""Whether the suite runs under Wine, and a mark for what Wine lacks.

Wine's ntdll exports wine_get_version, which Windows' own does not: a test
that meets a gap of Wine (not of Windows) is skipped only there, with the
gap named, and real Windows still runs it."""
import sys

import pytest


def _wine_version():
    if sys.platform != "win32":
        return None
    import ctypes
    try:
        get_version = ctypes.WinDLL("ntdll").wine_get_version
    except (OSError, AttributeError):
        return None
    get_version.argtypes = ()
    get_version.restype = ctypes.c_char_p
    return get_version().decode("ascii", "replace")


WINE_VERSION = _wine_version()


def wine_gap(gap):
    """Skips a test under Wine only, saying which gap of Wine it meets."""
    return pytest.mark.skipif(WINE_VERSION is not None, reason=f"Wine {WINE_VERSION}: {gap}")


# Wine's GetSystemTimeAsFileTime moves on at every call, where Windows'
# moves in ticks of 15.6 ms (the resolution both report).  dask.distributed
# on Windows before Python 3.13 syncs its clock by waiting for time.time()
# to give one value 5 times in 10 calls: under Wine it waits for ever, and
# no cluster starts.
DASK_CLUSTER = wine_gap(
    "its system clock never repeats a value within Windows' 15.6 ms tick, and dask.distributed's clock "
    "sync for Windows waits for it to, so no cluster starts")
