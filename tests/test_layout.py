"""The package is laid out by layer: every module imports on its own, and no
two modules import each other, at load time or inside a function.

A circle of imports works only in the order the modules happen to load in,
and a partly made module is what the second of them finds; a layer that
calls upward does so through a module that never imports it back."""
import ast
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quorinreader

PACKAGE = Path(quorinreader.__file__).resolve().parent
# What a module needs beyond NumPy, by the first part of its name in the package.
NEEDS = {"_show.plot": "matplotlib", "_xarray": "xarray", "xarray_backend": "xarray"}


def modules():
    """The package's Python modules, as dotted names, from its files."""
    found = []
    # Linked folders too, as a build tree beside the sources links them.
    paths = [Path(top, name) for top, _, names in os.walk(PACKAGE, followlinks=True) for name in names]
    for path in sorted(p for p in paths if p.suffix == ".py"):
        parts = list(path.relative_to(PACKAGE).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        found.append(".".join(["quorinreader", *parts]))
    return found


def _source(module):
    path = PACKAGE.joinpath(*module.split(".")[1:])
    return path / "__init__.py" if path.is_dir() else path.with_suffix(".py")


def imports(module):
    """The package's modules that `module` imports when it runs: at load time
    and inside its functions alike, but not under `if TYPE_CHECKING:`."""
    path = _source(module)
    here = module.split(".") if path.name == "__init__.py" else module.split(".")[:-1]
    known = set(modules())
    found = set()

    class Visitor(ast.NodeVisitor):
        def visit_If(self, node):
            if isinstance(node.test, ast.Name) and node.test.id == "TYPE_CHECKING":
                for statement in node.orelse:
                    self.visit(statement)
                return
            self.generic_visit(node)

        def visit_Import(self, node):
            found.update(alias.name for alias in node.names if alias.name in known)

        def visit_ImportFrom(self, node):
            if node.level:
                base = ".".join(here[:len(here) - node.level + 1] + ([node.module] if node.module else []))
            else:
                base = node.module or ""
            if base in known:
                found.add(base)
            found.update(f"{base}.{alias.name}" for alias in node.names if f"{base}.{alias.name}" in known)

    Visitor().visit(ast.parse(path.read_text(encoding="utf-8")))
    found.discard(module)
    # A module's own package is imported first whatever it holds; what it imports counts for it.
    return found - {part for part in _parents(module)}


def _parents(module):
    parts = module.split(".")
    return {".".join(parts[:k]) for k in range(1, len(parts))}


def circle(graph):
    """A list of modules that import each other in a circle, or None."""
    state = {}

    def visit(node, path):
        state[node] = "open"
        for other in sorted(graph.get(node, ())):
            if state.get(other) == "open":
                return path[path.index(other):] + [other] if other in path else path + [node, other]
            if other not in state:
                found = visit(other, path + [other])
                if found:
                    return found
        state[node] = "done"
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node, [node])
            if found:
                return found
    return None


def test_no_two_modules_import_each_other():
    graph = {module: imports(module) for module in modules()}
    assert circle(graph) is None, " imports ".join(circle(graph))
    # What the check is for: the arrays layer's type is made below what shapes it.
    assert "quorinreader._read.spectra" in graph["quorinreader._many.files"]
    assert "quorinreader._many.files" not in graph["quorinreader._read.spectra"]


def test_the_circle_finder_finds_a_circle():
    assert circle({"a": {"b"}, "b": {"c"}, "c": {"a"}}) == ["a", "b", "c", "a"]
    assert circle({"a": {"b"}, "b": set(), "c": {"a", "b"}}) is None


@pytest.mark.parametrize("module", modules())
def test_every_module_imports_alone(module):
    """In a fresh interpreter, as a worker process or a user's script would
    import it first."""
    needs = next((lib for prefix, lib in NEEDS.items() if module.startswith(f"quorinreader.{prefix}")), None)
    if needs is not None and importlib.util.find_spec(needs) is None:
        pytest.skip(f"{module} needs {needs}")
    run = subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True, text=True)
    assert (run.returncode, run.stderr) == (0, "")
