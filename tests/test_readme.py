"""The README runs as written, on the bundled demo files.  (What it once
held in full now lives on the site's pages, whose blocks tests/test_docs.py
runs the same way.)

Its blocks are run in order in a folder holding a copy of examples/: each
Python block in a fresh namespace, each `$ quorinreader ...` line of a
console block through the command's main().  A comment on a one-line
`print(...)` of a Python block is what it prints, and the lines under a
command are what it writes to stdout and stderr; "..." stands for any text.
A block that needs an optional library that is missing is skipped."""
import ast
import contextlib
import glob
import io
import os
import re
import shlex
import shutil
import subprocess
import sys
import tokenize
from pathlib import Path
from typing import NamedTuple

import pytest

from quorinreader import _cli

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
OPTIONAL = {"xarray", "dask", "distributed", "matplotlib", "netCDF4", "h5netcdf", "tqdm", "hyperspy", "h5py",
            "nexusformat"}
CI_TEST_COMMAND = 'python -m pip install ".[test]" && python -X dev -W error::ResourceWarning -m pytest -q tests'


class Block(NamedTuple):
    kind: str  # "python", "console", or "shell" for the install-and-run line of "Try it"
    line: int  # of the block's first line in README.md, from 1
    body: str


def readme_blocks(text):
    blocks, lines = [], text.splitlines()
    i = 0
    while i < len(lines):
        fence = re.fullmatch(r"```(\w+)", lines[i])
        if fence and fence[1] in ("python", "console"):
            end = lines.index("```", i + 1)
            blocks.append(Block(fence[1], i + 2, "\n".join(lines[i + 1:end]) + "\n"))
            i = end
        elif lines[i].startswith("    python -m pip install \".[all]\""):
            blocks.append(Block("shell", i + 1, lines[i].strip()))
        i += 1
    return blocks


BLOCKS = readme_blocks(README.read_text(encoding="utf-8"))


def matches(expected, actual):
    """`actual` is `expected`, runs of white space aside, where "..." is any text."""
    pattern = ".*".join(re.escape(" ".join(part.split())) for part in expected.split("..."))
    return re.fullmatch(pattern, " ".join(actual.split()), re.DOTALL) is not None


def run_python(block):
    tree = ast.parse(block.body)
    ast.increment_lineno(tree, block.line - 1)  # tracebacks name README.md's own lines
    comments = {token.start[0] + block.line - 1: token.string[1:].strip()
                for token in tokenize.generate_tokens(io.StringIO(block.body).readline)
                if token.type == tokenize.COMMENT}
    namespace = {"__name__": "__readme__"}
    for statement in tree.body:
        printed = io.StringIO()
        try:
            with contextlib.redirect_stdout(printed):
                exec(compile(ast.Module([statement], []), str(README), "exec"), namespace)
        except ModuleNotFoundError as error:
            if (error.name or "").partition(".")[0] in OPTIONAL:
                pytest.skip(f"README.md line {statement.lineno} needs {error.name}")
            raise
        call = statement.value if isinstance(statement, ast.Expr) else None
        if (isinstance(call, ast.Call) and isinstance(call.func, ast.Name) and call.func.id == "print"
                and statement.end_lineno in comments):
            expected = comments[statement.end_lineno]
            assert matches(expected, printed.getvalue()), (
                f"README.md line {statement.end_lineno} prints {printed.getvalue()!r}, the README says {expected!r}")


def run_command(command, line):
    argv = shlex.split(command)
    assert argv[0] == "quorinreader", f"README.md line {line}: only quorinreader commands are run: {command}"
    args = [match for a in argv[1:] for match in (sorted(glob.glob(a)) if re.search(r"[*?[]", a) else [])
            or [a]]
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = _cli.main(args)
        except SystemExit as exit:  # argparse
            status = exit.code
    if status == 1 and "pip install 'quorinreader[" in err.getvalue():
        pytest.skip(f"README.md line {line}: {err.getvalue().strip()}")
    return status, out.getvalue(), err.getvalue()


def run_console(block):
    lines = block.body.splitlines()
    starts = [i for i, text in enumerate(lines) if text.startswith("$ ")]
    assert starts and starts[0] == 0, f"README.md line {block.line}: a console block starts with a command"
    for start, end in zip(starts, starts[1:] + [len(lines)]):
        line = block.line + start
        status, out, err = run_command(lines[start][2:], line)
        expected = "\n".join(lines[start + 1:end])
        assert matches(expected, out + err), f"README.md line {line} writes:\n{out}{err}"
        failing = any(text.startswith("quorinreader: ") for text in lines[start + 1:end])
        assert (status != 0) == failing, f"README.md line {line}: exit status {status}"


def run_shell(block):
    """The install-and-run line: every quorinreader command of it succeeds."""
    for command in block.body.split("&&"):
        command = command.strip()
        if command.startswith("quorinreader "):
            status, _, err = run_command(command, block.line)
            assert status == 0 and not err, f"README.md line {block.line}: {command}: {status} {err}"


class Walk:
    """The README's blocks, run in order in one folder: a block's test runs
    the blocks before it first, where they have not run yet."""

    def __init__(self, folder):
        self.folder = folder
        self.done = 0
        shutil.copytree(ROOT / "examples", folder / "examples", ignore=shutil.ignore_patterns("*.py", "__*"))

    def run(self, index):
        before = os.getcwd()
        os.chdir(self.folder)
        try:
            while self.done <= index:
                block = BLOCKS[self.done]
                self.done += 1
                {"python": run_python, "console": run_console, "shell": run_shell}[block.kind](block)
        finally:
            os.chdir(before)


@pytest.fixture(scope="module")
def walk(tmp_path_factory):
    return Walk(tmp_path_factory.mktemp("readme"))


@pytest.mark.parametrize("index", range(len(BLOCKS)), ids=[f"line {b.line} {b.kind}" for b in BLOCKS])
def test_the_readme_runs_as_written(walk, index):
    walk.run(index)


def python_scripts():
    """The Python a user would check, as (name, text): each block of the
    README on its own, as it runs; each page of the documentation as one
    script of its blocks, which share a namespace as they run, but for a
    block that runs as a script of its own."""
    import doc_blocks

    scripts = [(f"readme_line_{block.line}", block.body) for block in readme_blocks(README.read_text(encoding="utf-8"))
               if block.kind == "python"]
    for page in sorted((ROOT / "docs").rglob("*.md")):
        if "_build" in page.parts:
            continue
        name = "_".join(page.relative_to(ROOT / "docs").with_suffix("").parts).lower().replace("-", "_")
        shared = []
        for block in doc_blocks.blocks(page.read_text(encoding="utf-8")):
            if block.kind != "python":
                continue
            if "if __name__ ==" in block.body:
                scripts.append((f"{name}_line_{block.line}", block.body))
            else:
                shared.append(block.body)
        if shared:
            scripts.append((name, "\n".join(shared)))
    return scripts


def test_every_python_block_passes_mypy_strict(tmp_path, mypy_env):
    """As a user would check a script made of it; `dask.distributed`, which
    ships no annotations, is the one library whose calls may be untyped."""
    pytest.importorskip("mypy", reason="mypy is not installed")
    scripts = []
    for name, text in python_scripts():
        script = tmp_path / f"{name}.py"
        script.write_text(text, encoding="utf-8")
        scripts.append(script)
    # HyperSpy ships no annotations either: a user's mypy takes it as untyped.
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n[mypy-hyperspy.*]\nignore_missing_imports = True\n", encoding="utf-8")
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", f"--config-file={config}", "--no-error-summary",
                          "--no-pretty", "--no-color-output", "--untyped-calls-exclude=distributed",
                          "--cache-dir", str(tmp_path / "cache"), *map(str, scripts)],
                         cwd=tmp_path, env=mypy_env, capture_output=True, text=True)
    assert (run.returncode, run.stdout, run.stderr) == (0, "", "")


def test_the_readme_holds_the_commands_ci_runs():
    text = README.read_text(encoding="utf-8")
    assert f"    {CI_TEST_COMMAND}\n" in text
    if sys.platform != "win32":  # a bash script, which Windows does not run
        ci = subprocess.run([str(ROOT / ".ci" / "test-command")], capture_output=True, text=True, check=True)
        assert ci.stdout.strip() == CI_TEST_COMMAND
    assert ".ci/test-command" in (ROOT / ".ci" / "run").read_text(encoding="utf-8")
    first = [b for b in BLOCKS if b.kind == "shell"]
    assert len(first) == 1 and "quorinreader info examples/demo_series.spa" in first[0].body
    assert "quorinreader plot examples/demo_series.spa -o demo.png" in first[0].body
    assert {"python", "shell"} <= {b.kind for b in BLOCKS}

