"""Fails the build where a public name of the package is not in the
reference: every name the users import, and the public members of the
classes they get.

The names are taken from the package itself (see ``public_names``), so a
function or method added without its place in the reference is found at the
next build.  The count of documented names is written to the build's log
and to ``public-names.txt`` beside the pages."""

from __future__ import annotations

import inspect
from pathlib import Path

from sphinx.util import logging

logger = logging.getLogger(__name__)

# Re-exported standard names that the core module binds for its records.
CORE_REEXPORTS = {"struct", "array"}
# Members that xarray's BackendEntrypoint brings; the engine's own are listed.
ENGINE_OWN = {"open_dataset", "guess_can_open", "description", "url", "open_dataset_parameters"}


def _members(cls: type, qualified: str) -> list[str]:
    """The public methods, properties and attributes a class defines itself
    or takes from another class of the package (not from object or
    Exception)."""
    names = []
    for klass in cls.__mro__:
        if not klass.__module__.startswith("quorinreader"):
            continue
        slots = getattr(klass, "__slots__", ())
        for name in [*vars(klass), *getattr(klass, "__annotations__", {}), *slots]:
            if name.startswith("_") or f"{qualified}.{name}" in names:
                continue
            names.append(f"{qualified}.{name}")
    return names


def public_names() -> list[str]:
    """Every public name: of quorinreader, quorinreader.spectra and
    quorinreader.xarray_backend, and the public members of their classes."""
    import quorinreader
    from quorinreader import spectra, xarray_backend

    names = []
    for name in dir(quorinreader):
        if name.startswith("_") or name in CORE_REEXPORTS:
            continue
        names.append(f"quorinreader.{name}")
    names += ["quorinreader.SPAFile.type", "quorinreader.SPAFile.filename", "quorinreader.SPAFile.info",
              "quorinreader.Series.quorin_file"]
    for cls in (quorinreader.SPAFile, quorinreader.Series, quorinreader.DiskResidentArray):
        names += [f"quorinreader.{cls.__name__}.{name}" for name, value in vars(cls).items()
                  if not name.startswith("_") and callable(value)]
    for module, exported in ((spectra, spectra.__all__), (xarray_backend, xarray_backend.__all__)):
        for name in exported:
            qualified = f"{module.__name__}.{name}"
            names.append(qualified)
            value = getattr(module, name)
            if inspect.isclass(value) and not issubclass(value, BaseException):
                members = _members(value, qualified)
                if value is xarray_backend.SpaBackendEntrypoint:
                    members = [m for m in members if m.rpartition(".")[2] in ENGINE_OWN]
                names += members
    return list(dict.fromkeys(names))


def in_attributes_section(cls: type, attribute: str) -> bool:
    """Whether the Attributes section of a class's docstring describes the
    attribute: where a plain attribute (a slot) is documented."""
    from numpydoc.docscrape import NumpyDocString

    listed = NumpyDocString(inspect.getdoc(cls) or "")["Attributes"]
    return attribute in [item.name.split(":")[0].strip() for item in listed]


def _described(name: str, documented: set[str]) -> bool:
    """In the reference: an entry of its own, or its class's Attributes section."""
    if name in documented:
        return True
    import importlib

    owner_name, _, attribute = name.rpartition(".")
    module_name, _, class_name = owner_name.rpartition(".")
    try:
        owner = getattr(importlib.import_module(module_name), class_name)
    except (ImportError, AttributeError, ValueError):
        return False
    return owner_name in documented and inspect.isclass(owner) and in_attributes_section(owner, attribute)


def check(app, exception):
    if exception is not None or app.builder.format != "html":
        return
    documented = set(app.env.get_domain("py").objects)
    names = public_names()
    missing = [name for name in names if not _described(name, documented)]
    for name in missing:
        logger.warning(f"the public name {name} is not in the reference", type="public_names")
    fields = sorted(name for name, entry in app.env.get_domain("py").objects.items()
                    if entry.objtype == "attribute" and name.count(".") == 2
                    and name.startswith("quorinreader.") and name not in names)
    out = Path(app.outdir) / "public-names.txt"
    out.write_text("".join(f"{name}\n" for name in names if name not in missing), encoding="utf-8")
    logger.info(f"public names: {len(names) - len(missing)} of {len(names)} in the reference, "
                f"and {len(fields)} record fields")


def setup(app):
    app.connect("build-finished", check)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
