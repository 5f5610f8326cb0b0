"""The package as a whole: its version, and what dir() of each public module lists."""
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import quorinreader as qr
from quorinreader import spectra

PYPROJECT = Path(__file__).resolve().parent.parent / "pyproject.toml"


def own_dunders(module):
    return {name for name in vars(module) if name[:2] == name[-2:] == "__"}


def test_the_version_is_the_one_pyproject_gives(cli, capsys):
    assert qr.__version__ == tomllib.loads(PYPROJECT.read_text(encoding="utf-8"))["project"]["version"]
    with pytest.raises(SystemExit) as raised:
        cli("--version")
    assert raised.value.code == 0 and capsys.readouterr().out == f"quorinreader {qr.__version__}\n"


def test_a_fresh_import_loads_nothing_more_for_the_version():
    code = ("import sys; before = set(sys.modules); import quorinreader; "
            "print(quorinreader.__version__, *sorted({m.partition('.')[0] for m in set(sys.modules) - before}))")
    version, *loaded = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                      check=True).stdout.split()
    assert version == qr.__version__
    # The standard library's own, as the load order binds struct and array; no metadata lookup.
    assert set(loaded) - {"quorinreader"} <= set(sys.stdlib_module_names) and "importlib" not in loaded


def test_dir_lists_the_public_names_and_the_dunders():
    from test_fields import LOAD_ORDER

    names = dir(qr)
    assert names == sorted(names)
    submodules = {"spectra", "xarray_backend"} & set(vars(qr))  # as far as they are imported
    assert set(names) == set(LOAD_ORDER) | submodules | own_dunders(qr)
    assert "__version__" in names and "_Reader" not in names and "_many" not in names
    assert set(dir(spectra)) == set(spectra.__all__) | own_dunders(spectra)
    assert {"numpy", "Any", "annotations", "warnings", "_core"}.isdisjoint(dir(spectra))
    xarray_backend = pytest.importorskip("quorinreader.xarray_backend")
    assert set(dir(xarray_backend)) == {"SpaBackendEntrypoint"} | own_dunders(xarray_backend)
    # What dir() leaves out is still there.
    assert qr._Reader and spectra.Spectra.__module__ == spectra.__name__ and xarray_backend.xarray
