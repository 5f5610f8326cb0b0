"""The documentation site's pages run as written, and its checks catch what
they are for.

Every ```python and ```console block of docs/ runs as tests/doc_blocks.py
says, page by page.  The checks of the site's build (every public name in
the reference, numpydoc's docstring validation) are tested where Sphinx and
numpydoc are installed (the [docs] extra)."""
import sys
import textwrap
from pathlib import Path

import pytest

import doc_blocks
from doc_blocks import ROOT, Walk, blocks

DOCS = ROOT / "docs"
PAGES = sorted(p for p in DOCS.rglob("*.md") if "_build" not in p.parts)
CASES = [(page, k) for page in PAGES for k in range(len(blocks(page.read_text(encoding="utf-8"))))]


@pytest.fixture(scope="module")
def walks(tmp_path_factory):
    made = {}

    def walk(page):
        if page not in made:
            made[page] = Walk(page, tmp_path_factory.mktemp(page.stem))
        return made[page]

    return walk


@pytest.mark.parametrize("page, index", CASES,
                         ids=[f"{page.relative_to(DOCS).as_posix()} block {k + 1}" for page, k in CASES])
def test_a_page_runs_as_written(walks, page, index):
    walks(page).run(index)


def test_the_pages_hold_blocks_to_run():
    pages = {page.relative_to(DOCS).as_posix() for page, _ in CASES}
    # Every task page shows code that runs; the records and errors pages among them.
    assert {"getting-started.md", "guide/arrays.md", "guide/records.md", "guide/errors.md",
            "guide/command-line.md"} <= pages


@pytest.mark.parametrize("text, expected", [
    ("```python\nprint(1)  # 1\n```\n", [("python", 2, "print(1)  # 1\n")]),
    ("- item\n\n  ```console\n  $ quorinreader info a.spa\n  ```\n", [("console", 4, "$ quorinreader info a.spa\n")]),
    ("```text\nnot run\n```\n```{code-block} python\nnot run\n```\n", []),
    ("````{py:class} X\n```python\nx = 1\n```\n````\n", [("python", 3, "x = 1\n")]),
], ids=["python", "indented in a list", "shown only", "inside a directive"])
def test_blocks_are_found_as_fenced(text, expected):
    assert [tuple(b) for b in blocks(text)] == expected


def test_a_print_that_differs_fails_also_inside_a_with(tmp_path):
    page = tmp_path / "page.md"
    page.write_text("```python\nimport contextlib\nwith contextlib.nullcontext():\n    print(2 + 2)  # 5\n```\n")
    with pytest.raises(AssertionError, match=r"line 4 prints '4\\n', the page says '5'"):
        Walk(page, tmp_path / "run").run(0)


def test_a_print_that_never_runs_fails(tmp_path):
    page = tmp_path / "page.md"
    page.write_text("```python\nif False:\n    print(1)  # 1\n```\n")
    with pytest.raises(AssertionError, match="never ran"):
        Walk(page, tmp_path / "run").run(0)


def test_what_a_skipped_block_would_have_written_skips_its_readers(tmp_path, monkeypatch):
    monkeypatch.setattr(doc_blocks, "OPTIONAL", doc_blocks.OPTIONAL | {"not_installed_here"})
    page = tmp_path / "page.md"
    page.write_text("```python\nimport not_installed_here\n```\n```python\nopen('written.nc')\n```\n"
                    "```python\nraise ValueError('No filename matches the pattern \"map.hspy\"')\n```\n")
    walk = Walk(page, tmp_path / "run")
    for k in (0, 1, 2):
        with pytest.raises(pytest.skip.Exception):
            walk.run(k)
    # With no block skipped before it, a missing file is the page's own fault.
    alone = tmp_path / "alone.md"
    alone.write_text("```python\nopen('written.nc')\n```\n")
    with pytest.raises(FileNotFoundError):
        Walk(alone, tmp_path / "again").run(0)
    # Nor does a skip before it excuse an error that names no missing file.
    other = tmp_path / "other.md"
    other.write_text("```python\nimport not_installed_here\n```\n"
                     "```python\nraise ValueError('\"a.spa\" is odd')\n```\n")
    walk = Walk(other, tmp_path / "other")
    (walk.folder / "a.spa").write_bytes(b"")
    with pytest.raises(pytest.skip.Exception):
        walk.run(0)
    with pytest.raises(ValueError, match="is odd"):
        walk.run(1)


@pytest.fixture
def checks():
    pytest.importorskip("sphinx")
    pytest.importorskip("numpydoc")
    sys.path.insert(0, str(DOCS / "_ext"))
    sys.path.insert(0, str(DOCS))
    try:
        import check_docstrings
        import public_names
        yield public_names, check_docstrings
    finally:
        sys.path.remove(str(DOCS / "_ext"))
        sys.path.remove(str(DOCS))


def test_the_public_names_are_the_users_imports(checks):
    public_names, _ = checks
    from quorinreader import spectra

    names = public_names.public_names()
    assert {f"quorinreader.spectra.{name}" for name in spectra.__all__} <= set(names)
    for name in ("quorinreader.open_file", "quorinreader.SPAFile.find_indextype", "quorinreader.Series.open_series",
                 "quorinreader.DiskResidentArray.read_linked_data", "quorinreader.spectra.Spectra.to_map",
                 "quorinreader.spectra.Collection.skipped", "quorinreader.spectra.Map.image",
                 "quorinreader.xarray_backend.SpaBackendEntrypoint.open_dataset"):
        assert name in names
    # Neither the standard names the core binds, nor what the engine inherits from xarray, nor privates.
    for name in ("quorinreader.struct", "quorinreader.array", "quorinreader._Reader",
                 "quorinreader.xarray_backend.SpaBackendEntrypoint.open_datatree"):
        assert name not in names
    assert not [name for name in names if "._" in name]
    # A slot is in the reference through its class's Attributes section, and only there.
    page = {"quorinreader.spectra.Spectra", "quorinreader.spectra.Map"}
    assert public_names._described("quorinreader.spectra.Spectra.source", page)
    assert public_names._described("quorinreader.spectra.Map.stage_x", page)
    assert not public_names._described("quorinreader.spectra.Spectra.source", {"quorinreader.spectra.Map"})
    assert not public_names._described("quorinreader.spectra.Spectra.unheard_of", page)


def test_the_docstring_check_finds_what_it_is_for(checks, tmp_path, monkeypatch):
    _, check_docstrings = checks
    (tmp_path / "sample_module.py").write_text(textwrap.dedent('''
        def documented(a, b=1):
            """Adds.

            Parameters
            ----------
            a : int
                The first.
            b : int
                The second.

            Returns
            -------
            int
                The sum.
            """

        def half(a, b):
            """Adds.

            Parameters
            ----------
            a : int
                The first.
            c : int
                Not a parameter.
            """

        def bare(a):
            pass

        def unsaid(a):
            """Doubles.

            Parameters
            ----------
            a : int
                The number.
            """
            return 2 * a

        class Result:
            """A result.

            Attributes
            ----------
            kept : int
                Listed.
            """
            __slots__ = ("kept", "forgotten")
    '''))
    monkeypatch.syspath_prepend(str(tmp_path))
    codes = {name: sorted(code for code, _ in check_docstrings.findings(f"sample_module.{name}"))
             for name in ("documented", "half", "bare", "unsaid", "Result.kept", "Result.forgotten")}
    assert codes == {"documented": [], "half": ["PR01", "PR02"], "bare": ["GL08"], "unsaid": ["RT01"],
                     "Result.kept": [], "Result.forgotten": ["GL08"]}


def docstring_examples():
    """The Examples of the public names' docstrings, as doctest finds them."""
    import doctest

    from quorinreader import spectra, xarray_backend

    # Named one by one: the classes say they are of quorinreader.spectra, where
    # their methods are not defined, so a finder's walk would pass them by.
    owners = [spectra.load, spectra.open, spectra.load_many, spectra.open_many, spectra.Spectra,
              spectra.Spectra.to_map, spectra.Spectra.trace, spectra.Collection, spectra.Map, spectra.Map.image,
              xarray_backend.SpaBackendEntrypoint]
    finder = doctest.DocTestFinder(recurse=False, exclude_empty=True)
    found = []
    for owner in owners:
        found += [test for test in finder.find(owner, owner.__qualname__, globs={"spectra": spectra})
                  if test.examples]
    return found


@pytest.mark.parametrize("test", docstring_examples(), ids=lambda test: test.name)
def test_a_docstring_example_prints_what_it_says(tmp_path, monkeypatch, test):
    """Each runs from a folder holding a copy of examples/, as the pages' blocks do."""
    import doctest
    import shutil

    for needed in ("xarray", "dask"):
        if f"import {needed}" in test.docstring or ("open_many" in test.name and needed == "dask"):
            pytest.importorskip(needed)
    shutil.copytree(ROOT / "examples", tmp_path / "examples", ignore=shutil.ignore_patterns("*.py", "__*"))
    monkeypatch.chdir(tmp_path)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    report = []
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)
