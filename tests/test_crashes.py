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
}

EXPECTED = {
    "a base __init__ deleted":
        "TypeError: object.__init__() takes exactly one argument (the instance to initialize)",
    "the entry class rebound and collected while a header is read": "['Entry'] 2",
}


@pytest.mark.parametrize("case", CASES)
def test_no_crash(case, tmp_path):
    script = "import sys; sys.path.insert(0, %r)\n" % str(__import__("pathlib").Path(__file__).parent)
    done = subprocess.run([sys.executable, "-c", script + textwrap.dedent(CASES[case])],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == EXPECTED[case]
