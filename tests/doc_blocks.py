"""The code blocks of a Markdown page, run as written.

Blocks fenced as ```python and ```console run, in the order of the page, in
a folder holding a copy of examples/; blocks in any other fence (```text, a
{code-block} directive) are shown only.  The python blocks of one page share
one namespace, as a notebook's cells do.  A comment on a one-line
`print(...)` is what it prints; the lines under a `$ quorinreader ...`
command are what it writes to stdout, then stderr; "..." stands for any
text, and runs of white space compare equal.  A block that starts worker
processes (one with `if __name__ == "__main__":`) runs as a script of its
own in a fresh interpreter.  A block that needs an optional library that is
missing is skipped."""

import ast
import builtins
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

import wine

ROOT = Path(__file__).resolve().parent.parent
OPTIONAL = {"xarray", "dask", "distributed", "matplotlib", "netCDF4", "h5netcdf", "tqdm", "pandas", "fsspec",
            "hyperspy", "h5py", "nexusformat"}
_FENCE = re.compile(r"^( *)```(python|console)\s*$")


class Block(NamedTuple):
    kind: str  # "python" or "console"
    line: int  # of the block's first line in its page, from 1
    body: str


def blocks(text):
    """The python and console blocks of a Markdown text, in order."""
    found, lines, i = [], text.splitlines(), 0
    while i < len(lines):
        fence = _FENCE.match(lines[i])
        if fence:
            indent = fence[1]
            end = next(k for k in range(i + 1, len(lines)) if lines[k].strip() == "```"
                       and lines[k].startswith(indent))
            body = [line[len(indent):] for line in lines[i + 1:end]]
            found.append(Block(fence[2], i + 2, "\n".join(body) + "\n"))
            i = end
        i += 1
    return found


def matches(expected, actual):
    """`actual` is `expected`, runs of white space aside, where "..." is any text.
    On Windows the paths printed take its separator: the pages write "/"."""
    if sys.platform == "win32":  # both: a repr's escapes stay alike
        expected, actual = expected.replace("\\", "/"), actual.replace("\\", "/")
    pattern = ".*".join(re.escape(" ".join(part.split())) for part in expected.split("..."))
    return re.fullmatch(pattern, " ".join(actual.split()), re.DOTALL) is not None


def _comments(body, first_line):
    return {token.start[0] + first_line - 1: token.string[1:].strip()
            for token in tokenize.generate_tokens(io.StringIO(body).readline) if token.type == tokenize.COMMENT}


def _skip_if_optional(error, where):
    if (error.name or "").partition(".")[0] in OPTIONAL:
        pytest.skip(f"{where} needs {error.name}")
    raise error


def _print_comments(tree, comments):
    """{line of a print(...) call: the comment on its last line} for every
    print call of the block, also inside with, for and if statements."""
    return {node.lineno: comments[node.end_lineno] for node in ast.walk(tree)
            if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id == "print"
            and node.end_lineno in comments}


def run_python(page, block, namespace):
    tree = ast.parse(block.body)
    ast.increment_lineno(tree, block.line - 1)  # tracebacks name the page's own lines
    expected = _print_comments(tree, _comments(block.body, block.line))
    printed = {}

    def recording_print(*args, sep=" ", end="\n", file=None, flush=False):
        if file is not None:
            return builtins.print(*args, sep=sep, end=end, file=file, flush=flush)
        text = io.StringIO()
        builtins.print(*args, sep=sep, end=end, file=text)
        line = sys._getframe(1).f_lineno
        printed[line] = printed.get(line, "") + text.getvalue()

    namespace["print"] = recording_print
    for statement in tree.body:
        try:
            exec(compile(ast.Module([statement], []), str(page), "exec"), namespace)
        except ModuleNotFoundError as error:
            _skip_if_optional(error, f"{page.name} line {statement.lineno}")
    for line, comment in expected.items():
        assert line in printed, f"{page.name} line {line}: the print(...) never ran"
        assert matches(comment, printed[line]), (
            f"{page.name} line {line} prints {printed[line]!r}, the page says {comment!r}")


def run_script(page, block):
    """A block that starts worker processes: a script, run as a user would run it."""
    script = Path(f"block_{block.line}.py")
    script.write_text(block.body, encoding="utf-8")
    expected = [line.partition("  # ")[2] for line in block.body.splitlines() if line.lstrip().startswith("print(")]
    if "LocalCluster" in block.body and wine.WINE_VERSION is not None:
        pytest.skip(f"{page.name} line {block.line}: {wine.DASK_CLUSTER.kwargs['reason']}")
    run = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=300)
    if run.returncode and "ModuleNotFoundError" in run.stderr:
        missing = re.search(r"No module named '([\w.]+)'", run.stderr)
        if missing and missing[1].partition(".")[0] in OPTIONAL:
            pytest.skip(f"{page.name} line {block.line} needs {missing[1]}")
    assert run.returncode == 0, f"{page.name} line {block.line}:\n{run.stderr}"
    printed = run.stdout.splitlines()
    assert len(printed) == len(expected) and all(map(matches, expected, printed)), (
        f"{page.name} line {block.line} prints {printed}, the page says {expected}")


def run_command(command, where):
    from quorinreader import _cli

    argv = shlex.split(command)
    assert argv[0] == "quorinreader", f"{where}: only quorinreader commands are run: {command}"
    args = [match for a in argv[1:] for match in (sorted(glob.glob(a)) if re.search(r"[*?[]", a) else [])
            or [a]]
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = _cli.main(args)
        except SystemExit as exit:  # argparse
            status = exit.code
    if status == 1 and "pip install 'quorinreader[" in err.getvalue():
        pytest.skip(f"{where}: {err.getvalue().strip()}")
    return status, out.getvalue(), err.getvalue()


def run_console(page, block):
    lines = block.body.splitlines()
    starts = [i for i, text in enumerate(lines) if text.startswith("$ ")]
    assert starts and starts[0] == 0, f"{page.name} line {block.line}: a console block starts with a command"
    for start, end in zip(starts, starts[1:] + [len(lines)]):
        where = f"{page.name} line {block.line + start}"
        status, out, err = run_command(lines[start][2:], where)
        expected = "\n".join(lines[start + 1:end])
        assert matches(expected, out + err), f"{where} writes:\n{out}{err}"
        # A line of ours that is not a warning says that the command failed.
        failing = any(text.startswith("quorinreader: ") and not text.startswith("quorinreader: warning: ")
                      for text in lines[start + 1:end])
        assert (status != 0) == failing, f"{where}: exit status {status}"


def _names_a_missing_file(error):
    """Whether the error is about a file that is not there: a
    FileNotFoundError, or a library's own error quoting the missing name
    (HyperSpy's 'No filename matches the pattern "map.hspy"')."""
    if isinstance(error, FileNotFoundError):
        return True
    if isinstance(error, AssertionError):  # the page's own check
        return False
    quoted = re.findall(r"""["']([^"'\s]+\.\w+)["']""", str(error))
    return any(not Path(name).exists() for name in quoted)


class Walk:
    """A page's blocks, run in order in one folder and one namespace: a
    block's test runs the blocks before it first, where they have not run."""

    def __init__(self, page, folder):
        self.page = page
        self.blocks = blocks(page.read_text(encoding="utf-8"))
        self.folder = folder
        self.namespace = {"__name__": "__docs__"}
        self.done = 0
        self.skipped = None  # why a block of the page was skipped, once one was
        shutil.copytree(ROOT / "examples", folder / "examples", ignore=shutil.ignore_patterns("*.py", "__*"))

    def run(self, index):
        before = os.getcwd()
        os.chdir(self.folder)
        try:
            while self.done <= index:
                block = self.blocks[self.done]
                self.done += 1
                try:
                    self._run(block)
                except pytest.skip.Exception as skipped:
                    self.skipped = str(skipped)
                    raise
                except Exception as error:
                    # What a skipped block would have written is not there.
                    if self.skipped is None or not _names_a_missing_file(error):
                        raise
                    pytest.skip(f"{self.page.name} line {block.line} reads what a block skipped before it "
                                f"would have written ({self.skipped})")
        finally:
            os.chdir(before)

    def _run(self, block):
        if block.kind == "console":
            run_console(self.page, block)
        elif 'if __name__ == "__main__":' in block.body:
            run_script(self.page, block)
        else:
            run_python(self.page, block, self.namespace)
