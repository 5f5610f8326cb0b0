"""Checks the docstrings of the package's public Python names with
numpydoc's validation: each has a summary, documents every parameter (and
only those), describes each, and says what it returns.

    python docs/check_docstrings.py            # lists what it finds, and fails on any finding
    python docs/check_docstrings.py --report   # lists what it finds; fails only on a name that cannot be checked

The names are those the site's reference must hold (docs/_ext/public_names.py),
less the core module's: the core's docstrings are fixed (a record class's is
the name of its on-disk structure, SPAFile and Series have none), and its
reference is written in docs/reference/core.md instead."""

import argparse
import importlib
import inspect
import sys
from collections import Counter
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "_ext"))

from numpydoc.docscrape import NumpyDocString  # noqa: E402
from numpydoc.validate import validate  # noqa: E402
from public_names import public_names  # noqa: E402

# GL08 no docstring; SS01 no summary; PR01 a parameter left undocumented;
# PR02 one documented that is not there; PR07 one without a description;
# RT01 no Returns section.
CHECKS = ("GL08", "SS01", "PR01", "PR02", "PR07", "RT01")


# Classes that only the package makes (load, load_many, to_map...): their
# constructors' parameters are private, so a class docstring need not list them.
MADE_BY_THE_PACKAGE = {"quorinreader.spectra.Spectra", "quorinreader.spectra.Collection",
                       "quorinreader.spectra.Map"}
# Names whose reference is written in the pages rather than in a docstring.
WRITTEN_IN_THE_PAGES = {"quorinreader.spectra.Source"}  # a type alias, which holds no docstring


def _owner(name):
    owner_name, _, attribute = name.rpartition(".")
    module_name, _, class_name = owner_name.rpartition(".")
    return getattr(importlib.import_module(module_name), class_name), attribute


def findings(name):
    """(code, message) of each check that fails on `name`."""
    if name in WRITTEN_IN_THE_PAGES:
        return []
    result = validate(name)
    errors = [(code, message) for code, message in result["errors"] if code in CHECKS]
    if name in MADE_BY_THE_PACKAGE:
        errors = [(code, message) for code, message in errors if code not in ("PR01", "PR02")]
    if result["type"] == "property":
        # A property takes nothing and its docstring says what it is.
        errors = [(code, message) for code, message in errors if code in ("GL08", "SS01")]
    elif result["type"] not in ("function", "method", "type", "classmethod", "staticmethod", "module"):
        # A plain attribute (a slot, a class attribute) holds no docstring of its
        # own: its class's Attributes section describes it.
        owner, attribute = _owner(name)
        listed = [item.name.split(":")[0].strip()
                  for item in NumpyDocString(inspect.getdoc(owner) or "")["Attributes"]]
        errors = [] if attribute in listed else [("GL08", f"not in the Attributes section of {owner.__name__}")]
    return errors


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.partition("\n\n")[0])
    parser.add_argument("--report", action="store_true", help="list the findings without failing on them")
    args = parser.parse_args(argv)
    names = [name for name in public_names() if not name.startswith("quorinreader.")
             or name.startswith(("quorinreader.spectra", "quorinreader.xarray_backend"))]
    counts, bad = Counter(), 0
    for name in names:
        errors = findings(name)
        for code, message in errors:
            counts[code] += 1
            print(f"{name}: {code} {message}")
        bad += bool(errors)
    print(f"{len(names)} public names checked ({', '.join(CHECKS)}): {bad} with findings"
          + "".join(f", {code} {n}" for code, n in sorted(counts.items())))
    return 1 if bad and not args.report else 0


if __name__ == "__main__":
    sys.exit(main())
