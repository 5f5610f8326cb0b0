"""The shipped type stub (quorinreader/__init__.pyi).

- mypy --strict on the users' scripts in tests/typing/: each passes, with
  every assert_type holding exactly, and rejected.py fails on exactly the
  lines it marks.  mypy runs from outside the source tree, so it reads the
  stub and py.typed of the installed package, as the wheel ships them.
- The scripts run on files written by the project's writer, so the ways of
  narrowing they show hold at run time too.
- What stubtest cannot see: instance attributes and the items of the
  generators, checked against objects the module builds, and the module's
  names in load order, private helpers included.
  (`python -m mypy.stubtest quorinreader` runs in .ci/typecheck.)

quorinreader.spectra (inline-annotated) gets its user script here as
tests/typing/read_arrays.py: the mypy run takes every script in tests/typing/
and all but rejected.py must pass; its run goes in test_user_scripts_run, and
the mistakes it must catch in rejected.py.
"""

import ast
import importlib.util
import io
import os
import re
import struct
import subprocess
import sys
import types
import typing
from array import array
from pathlib import Path

import pytest

import quorinreader as qr
import spawriter as sw

SCRIPTS = Path(__file__).with_name("typing")
PASSING = sorted(p.name for p in SCRIPTS.glob("*.py") if p.name != "rejected.py")
STUB = Path(qr.__file__).with_name("__init__.pyi")
MYPY_LINE = re.compile(r"^(?P<path>.+?):(?P<line>\d+): (?P<severity>error|note): (?P<message>.*?)"
                       r"(?:  \[(?P<code>[a-z-]+)\])?$")


def load_script(name):
    spec = importlib.util.spec_from_file_location(f"typing_script_{name[:-3]}", SCRIPTS / name)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory, mypy_env):
    """mypy --strict over every script at once: {file name: [(line, code, message)]}."""
    pytest.importorskip("mypy", reason="mypy is not installed")
    workdir = tmp_path_factory.mktemp("mypy")
    env = mypy_env
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--config-file=", "--no-error-summary",
         "--no-pretty", "--no-color-output", "--cache-dir", str(workdir / "cache"),
         *(str(p) for p in sorted(SCRIPTS.glob("*.py")))],
        cwd=workdir, env=env, capture_output=True, text=True)
    assert run.returncode in (0, 1) and not run.stderr, run.stdout + run.stderr
    errors = {}
    for line in run.stdout.splitlines():
        m = MYPY_LINE.match(line)
        assert m, f"unexpected mypy output: {line}"
        if m["severity"] == "error":
            errors.setdefault(Path(m["path"]).name, []).append((int(m["line"]), m["code"], m["message"]))
    return errors


@pytest.mark.parametrize("script", PASSING)
def test_user_script_passes_strict(mypy_errors, script):
    assert mypy_errors.get(script, []) == []


def test_mistakes_are_rejected(mypy_errors):
    source = (SCRIPTS / "rejected.py").read_text().splitlines()
    marked = {(n, m[1]) for n, text in enumerate(source, 1) if (m := re.search(r"# E: ([a-z-]+)$", text))}
    assert len(marked) >= 10
    reported = {(line, code) for line, code, _ in mypy_errors.get("rejected.py", [])}
    assert reported == marked, mypy_errors.get("rejected.py")


# -- The stub against the module.

def stub_tree():
    assert STUB.is_file(), f"{STUB} is not installed"
    return ast.parse(STUB.read_text())


def is_type_check_only(node):
    return any(isinstance(d, ast.Name) and d.id == "type_check_only" for d in node.decorator_list)


def stub_runtime_names():
    """The stub's module-level names that the module must hold, in stub order."""
    names = []
    for node in stub_tree().body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            names += [a.asname for a in node.names if a.asname == a.name]  # re-exports
        elif isinstance(node, (ast.FunctionDef, ast.ClassDef)) and not is_type_check_only(node) \
                and not node.name.startswith("__"):
            names.append(node.name)
        elif isinstance(node, ast.AnnAssign) and ast.unparse(node.annotation) != "TypeAlias" \
                and not node.target.id.startswith("__"):  # a dunder is no name of the load order
            names.append(node.target.id)
    return names


def stub_fields(name, classes=None):
    """(attribute, annotation) of a stub class, its bases' first; class variables left out."""
    if classes is None:
        classes = {n.name: n for n in stub_tree().body if isinstance(n, ast.ClassDef)}
    node = classes[name]
    fields = []
    for base in node.bases:
        if isinstance(base, ast.Name) and base.id in classes:
            fields += stub_fields(base.id, classes)
    for item in node.body:
        if isinstance(item, ast.AnnAssign) and not ast.unparse(item.annotation).startswith("ClassVar"):
            fields.append((item.target.id, ast.unparse(item.annotation)))
    return fields


class ArrayHint:
    """array[float] as an annotation means, also where array.array takes no
    subscript (before Python 3.12)."""

    def __class_getitem__(cls, item):
        return types.GenericAlias(array, item)


# The names an annotation of the stub may use, as run-time types.
HINT_NAMES = {**vars(qr), "array": ArrayHint, "StrOrBytesPath": str | bytes | os.PathLike}


def conforms(value, annotation):
    """Whether value is of the stub's annotation: exact kinds for int, float,
    str, bytes and bool, every element for arrays and for lists, which must
    not be empty."""
    hint = eval(annotation, HINT_NAMES) if isinstance(annotation, str) else annotation
    origin, args = typing.get_origin(hint), typing.get_args(hint)
    if origin in (types.UnionType, typing.Union):
        return any(conforms(value, a) for a in args)
    if origin is list:
        return type(value) is list and bool(value) and all(conforms(v, args[0]) for v in value)
    if origin is array:
        return type(value) is array and all(conforms(v, args[0]) for v in value)
    if hint in (int, float, str, bytes, bool, type(None)):
        return type(value) is hint
    return isinstance(value, hint)


def check_fields(obj, stub_class):
    fields = stub_fields(stub_class)
    attrs = vars(obj) if not isinstance(obj, dict) else obj
    assert list(attrs) == [name for name, _ in fields]
    for name, annotation in fields:
        assert conforms(attrs[name], annotation), (stub_class, name, annotation, attrs[name])


def test_stub_holds_the_module_names_in_load_order():
    # Submodules are bound on the package as they are imported; the stub of each is its own file.
    runtime = [n for n, v in vars(qr).items()
               if not (n.startswith("__") and n.endswith("__"))
               and not (isinstance(v, types.ModuleType) and v.__name__.startswith("quorinreader."))]
    assert stub_runtime_names() == runtime


def sample(table, **fields):
    return io.BytesIO(sw.pack(table, **{**sw.sample_values(table), **fields}))


def records(tmp_path):
    """One instance of every class with instance attributes."""
    dims = [sw.dimension(**sw.sample_values(sw.DIMENSION, seed=k)) for k in range(2)]
    builder = sw.SpaBuilder(extended=True)
    builder.add(2, sw.main_spectral_header())
    builder.add(300)
    path = tmp_path / "sample.spa"
    builder.write(path)
    spa = qr.SPAFile(path)
    return [
        spa.info, spa.info.sections[0],
        qr.IndexEntry(io.BytesIO(sw.index_entry(325, 2**32 - 1, 7, 8, 9))),
        *(getattr(qr, name)(sample(getattr(sw, table))) for name, table in [
            ("MainSpectralHeader", "MAIN_SPECTRAL_HEADER"), ("BenchInfo", "BENCH_INFO"),
            ("SeriesHeader", "SERIES_HEADER"), ("Dimension", "DIMENSION"),
            ("SeriesSpecheader", "SERIES_SPECHEADER"),
            ("SeriesSpecheaderVer3", "SERIES_SPECHEADER_VER3")]),
        qr.DataBlobFormat(io.BytesIO(struct.pack("<i", 0x55))),
        qr.LinkToData(sample(sw.LINK_TO_DATA, data_blob_format=0x2a)),
        qr.DiskResidentArray(io.BytesIO(sw.disk_resident_array(dimensions=dims))),
        spa, qr.Series(spa),
    ]


def test_instance_attributes_match_stub(tmp_path):
    built = records(tmp_path)
    assert {type(obj).__name__ for obj in built} == {
        n.name for n in stub_tree().body
        if isinstance(n, ast.ClassDef) and not is_type_check_only(n) and stub_fields(n.name)}
    for obj in built:
        check_fields(obj, type(obj).__name__)


@pytest.mark.parametrize("mini_hdr", [True, False])
def test_generator_items_match_stub(tmp_path, mini_hdr):
    info = sw.series_file(tmp_path / "series.spa", [[1.5, -2.0], [0.25, 8.0]], mini_hdr=mini_hdr,
                          mini_header_type=3, bench_hdr=True)
    series = qr.open_file(info.path)
    items = series.open_series()
    assert isinstance(items, types.GeneratorType)
    summary, *spectra = items
    spectral_info, valid_dims = summary
    assert type(summary) is tuple and type(valid_dims) is list and valid_dims
    for extent in [spectral_info, *valid_dims]:
        check_fields(extent, "Extent")
    for title, values in spectra:
        check_fields(title, "SpectrumTitle")
        assert conforms(values, "array[float]")

    spa = series.quorin_file
    disk = spa.read(spa.find_indextype(300))
    items = disk.read_linked_data(spa, 2)
    assert isinstance(items, types.GeneratorType)
    headers, *blob = items
    assert type(headers) is dict and list(headers) == [qr.MainSpectralHeader, qr.BenchInfo]
    assert all(type(record) is cls for cls, record in headers.items())
    for item in blob:
        assert type(item) is tuple and conforms(item[0], "SeriesSpecheader | None")
        assert conforms(item[1], "array[float]")
    indices = spa.find_indextypes(300)
    assert isinstance(indices, types.GeneratorType) and conforms(list(indices), "list[int]")


# -- The users' scripts, run.

def test_user_scripts_run(tmp_path):
    spectra = [[1.5, -2.0, 8.25], [0.5, 4.0, -16.0]]
    info = sw.series_file(str(tmp_path / "series.spa"), spectra, mini_header_type=3,
                          first_x=399.5, last_x=-12.25)
    series = load_script("read_series.py")
    spectral_info, valid_dims, read = series.read_series(info.path)
    assert spectral_info == {"first": 399.5, "last": -12.25, "n": 3}
    assert valid_dims == [{"first": 0.0, "last": 0.5, "n": 2}]
    assert read == list(zip(info.titles, spectra))
    assert series.read_blob(info.path) == (3, False, [1, 2], [1.5, 0.5])

    path = tmp_path / "spectrum.spa"
    builder = sw.SpaBuilder()
    builder.add(325, b"")
    builder.add(2, sw.main_spectral_header(data_type=7, num_points=1024, first_x=4000.0, last_x=400.5))
    builder.add(2, sw.main_spectral_header())
    builder.write(path)
    got = load_script("read_spectrum.py").read_spectrum(str(path))
    assert got == (1024, 4000.0, 400.5, (4000.0, 400.5), struct.pack("<I", 7), [2, 2])

    arrays = load_script("read_arrays.py")
    assert arrays.summarize(info.path) == ("series", 2, 399.5, -12.25, info.titles, 1)
    assert arrays.peak(info.path, 1) == 4.0
    with pytest.warns(UserWarning, match="1 of 2"):
        assert arrays.cut_short(info.data[:-4]) == 1
    single = sw.SpaBuilder()
    single.add(2, sw.main_spectral_header(num_points=3, first_x=399.5, last_x=-12.25))
    single.add(3, struct.pack("<3f", 1.0, 2.0, 3.0))
    single.write(tmp_path / "spectrum.spa")
    one = str(tmp_path / "spectrum.spa")
    assert arrays.rows_of(str(tmp_path), one) == (3, 1, 2, 3, [one])


RECORD_STUBS = Path(__file__).resolve().parent.parent / "tools" / "record_stubs.py"


@pytest.mark.skipif(not RECORD_STUBS.exists(), reason="runs in the source tree only")
def test_record_stubs_follow_the_layout_tables(tmp_path):
    """The stub's record classes are generated from the C++ layout tables, and
    a table changed without the stub is caught, then mended, by the tool."""
    tree = RECORD_STUBS.parent.parent

    def run(*args):
        return subprocess.run([sys.executable, str(RECORD_STUBS), *args], capture_output=True, text=True)

    committed = run("--check")
    assert committed.returncode == 0, committed.stdout + committed.stderr
    (tmp_path / "src").mkdir()
    (tmp_path / "quorinreader").mkdir()
    for source in (tree / "src").glob("*.cpp"):
        text = source.read_text()
        # A mini header's temperature becomes an integer field, and a new field follows it.
        text = text.replace("f32(Name::temp), f32(Name::pressure)",
                            "u32(Name::temp), f32(Name::pressure), u16(Name::pk_height)")
        (tmp_path / "src" / source.name).write_text(text)
    stub = tmp_path / "quorinreader" / "__init__.pyi"
    stub.write_text((tree / "quorinreader" / "__init__.pyi").read_text())
    drifted = run("--check", "--root", str(tmp_path))
    assert drifted.returncode != 0
    assert "-    temp: float" in drifted.stdout and "+    temp: int" in drifted.stdout
    assert run("--root", str(tmp_path)).returncode == 0
    assert run("--check", "--root", str(tmp_path)).returncode == 0
    mini = stub.read_text().split("class SeriesSpecheader:")[1].split("def __init__")[0].split()
    assert mini[:8] == ["num_scans:", "int", "start_time:", "int", "temp:", "int", "pressure:", "float"]
    assert mini.count("pk_height:") == 1  # a name given twice stays one attribute
