"""Faults that once crashed the interpreter.  Each runs in a child process,
so that a crash fails its test instead of ending the suite."""
import subprocess
import sys
import textwrap

import pytest

CASES = {
    # object has no class dictionary of its own to look __init__ up in.
    "a base __init__ deleted": """
        import io, quorinreader as q
        del q.SeriesSpecheader.__init__
        try:
            q.SeriesSpecheaderVer3(io.BytesIO(bytes(100)))
        except TypeError as e:
            print("TypeError:", e)
    """,
    # The entry class was held as a borrowed reference while a property ran.
    "the entry class rebound and collected while a header is read": """
        import gc, io, quorinreader as q, spawriter as sw

        def install():
            class Entry(q.IndexEntry):
                pass
            q.IndexEntry = Entry   # the module's binding is the class's only owner

        class Header(q.FileHeader):
            @property
            def num_sections(self):
                q.IndexEntry = None
                gc.collect()
                return self._n
            @num_sections.setter
            def num_sections(self, n):
                self._n = n

        install()
        builder = sw.SpaBuilder()
        builder.add(2, bytes(140))
        header = Header(io.BytesIO(builder.build()))
        print([type(s).__name__ for s in header.sections], header.sections[0].section_type)
    """,
    # The list's item array was kept across __fspath__, which emptied it
    # (its storage then reused by other bytes) and filled it again.
    "a list of paths emptied and refilled by a path's __fspath__": """
        import array, tempfile, quorinreader as q, spectra_files as sf

        folder = tempfile.mkdtemp()
        files = [sf.spectrum(folder, values=[k, k + 0.5, -k - 1, 8.0], name=f"{k}.spa") for k in range(3)]
        paths = []

        class Shifting:
            def __fspath__(self):
                paths.clear()
                self.junk = bytearray(b"\x41" * 8199)
                paths.extend(["missing.spa"] * 1025)
                return files[0][0]

        def fill():
            paths[:] = [Shifting()] + [path for path, _ in files[1:]] * 512
            return len(paths)

        n = fill()
        values = array.array("f", bytes(16 * n))
        scans, fields, size = q._scan_many(paths, 1, values, 4)
        at = {name: offset for name, _, offset in fields}["status"]
        statuses = {int.from_bytes(scans[k * size + at:k * size + at + 4], "little") for k in range(n)}
        print(n, sorted(statuses), list(values[:12]))

        fill()
        offsets = [files[0][1]] + [offset for _, offset in files[1:]] * 512
        plan = array.array("q", [v for k, offset in enumerate(offsets) for v in (offset, 4, 4, 4 * k)])
        values = array.array("f", bytes(16 * n))
        print(sorted(set(array.array("i", q._read_many(paths, plan, values, 4, 1)))), list(values[:12]))
    """,
    # The reader's source was found open before the arguments' __index__,
    # which closed it, then read.
    "a reader closed by its own arguments": """
        import os, tempfile, quorinreader as q

        path = os.path.join(tempfile.mkdtemp(), "data")
        with open(path, "wb") as f:
            f.write(bytes(range(256)) * 64)
        for source in (path, open(path, "rb").read()):
            for call in ("read_rows", "record"):
                reader = q._Reader(source)

                class Closing:
                    def __index__(self):
                        reader.close()
                        return 0

                try:
                    if call == "read_rows":
                        reader.read_rows(Closing(), 4, 0, 1024, 4, bytearray(4096), None)
                    else:
                        reader.record(q.MainSpectralHeader, Closing())
                except ValueError as e:
                    print(call, type(source).__name__, e)
    """,
    # A series read on through a handle a caller's mini header class had
    # closed and dropped, finding the blob's sequence through gc.
    "a series' sequence closed by its mini header class": """
        import gc, os, tempfile, quorinreader as q, spawriter as sw

        path = os.path.join(tempfile.mkdtemp(), "series.spa")
        sw.series_file(path, [[1.0, 2.0], [3.0, 4.0]])
        refused = []

        class Mini(q.SeriesSpecheader):
            def __init__(self, f):
                super().__init__(f)
                for o in gc.get_objects():
                    if type(o).__name__ == "_LinkedData":
                        try:
                            o.close()
                        except ValueError as e:
                            refused.append(str(e))

        q.SeriesSpecheader = Mini
        items = list(q.open_file(path).open_series())
        print(items[0][0], [(h["title"], list(v)) for h, v in items[1:]], refused)
    """,
}

EXPECTED = {
    "a base __init__ deleted":
        "TypeError: object.__init__() takes exactly one argument (the instance to initialize)",
    "the entry class rebound and collected while a header is read": "['Entry'] 2",
    "a list of paths emptied and refilled by a path's __fspath__":
        "1025 [4] [0.0, 0.5, -1.0, 8.0, 1.0, 1.5, -2.0, 8.0, 2.0, 2.5, -3.0, 8.0]\n"
        "[0] [0.0, 0.5, -1.0, 8.0, 1.0, 1.5, -2.0, 8.0, 2.0, 2.5, -3.0, 8.0]",
    "a reader closed by its own arguments": "\n".join(
        f"{call} {kind} I/O operation on closed reader." for kind in ("str", "bytes")
        for call in ("read_rows", "record")),
    "a series' sequence closed by its mini header class":
        "{'first': 400.0, 'last': 4000.0, 'n': 2} [('spectrum 0', [1.0, 2.0]), ('spectrum 1', [3.0, 4.0])]"
        " ['generator already executing', 'generator already executing']",
}

if sys.version_info >= (3, 12):  # a class's __buffer__ makes it a buffer from 3.12 on
    CASES["a reader closed by its destination's __buffer__"] = """
        import quorinreader as q

        reader = q._Reader(bytes(8192))

        class Closing:
            def __buffer__(self, flags):
                reader.close()
                return memoryview(bytearray(4096))

        try:
            reader.read_rows(0, 4, 0, 1024, 4, Closing(), None)
        except ValueError as e:
            print(e)
    """
    EXPECTED["a reader closed by its destination's __buffer__"] = "I/O operation on closed reader."


@pytest.mark.parametrize("case", CASES)
def test_no_crash(case, tmp_path):
    script = "import sys; sys.path.insert(0, %r)\n" % str(__import__("pathlib").Path(__file__).parent)
    done = subprocess.run([sys.executable, "-c", script + textwrap.dedent(CASES[case])],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == EXPECTED[case]
