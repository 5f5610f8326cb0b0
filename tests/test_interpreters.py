"""The module in an isolated subinterpreter with a GIL of its own."""
import importlib.util
import sys
import textwrap

import pytest

import spawriter as sw

pytestmark = pytest.mark.skipif(sys.version_info < (3, 12), reason="per-interpreter GIL is 3.12+")

USE = """
import quorinreader
items = quorinreader.open_file({path!r}).open_series()
info, dims = next(items)
values = [v.tolist() for _, v in items]
assert info["n"] == 2 and values == [[1.0, 2.0], [3.0, 4.0]], values
"""


def run_isolated(code):
    """Runs code in a new isolated interpreter; its error text, or None."""
    if sys.version_info >= (3, 13):
        import _interpreters
        interp = _interpreters.create("isolated")
        try:
            assert _interpreters.get_config(interp).gil == "own"
            failure = _interpreters.exec(interp, code)
            return None if failure is None else failure.formatted
        finally:
            _interpreters.destroy(interp)
    import _xxsubinterpreters as interpreters
    interp = interpreters.create(isolated=True)
    try:
        interpreters.run_string(interp, code)
        return None
    except interpreters.RunFailedError as e:
        return str(e)
    finally:
        interpreters.destroy(interp)


def test_an_isolated_interpreter_imports_and_streams(tmp_path):
    path = sw.series_file(str(tmp_path / "series.spa"), [[1.0, 2.0], [3.0, 4.0]]).path
    assert run_isolated(textwrap.dedent(USE.format(path=path))) is None


# Extension modules of the standard library that do not declare their
# support for subinterpreters: _curses on POSIX, _tkinter (or _msi) on Windows.
LEGACY_MODULES = ("_curses", "_tkinter", "_msi")


def test_isolation_is_real():
    # A module that does not declare its support is refused there.
    legacy = next((name for name in LEGACY_MODULES if importlib.util.find_spec(name)), None)
    if legacy is None:
        pytest.skip(f"none of {', '.join(LEGACY_MODULES)} is installed")
    assert "does not support loading in subinterpreters" in run_isolated(f"import {legacy}")
