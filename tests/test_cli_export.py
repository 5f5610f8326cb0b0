"""quorinreader export: CSV, NPZ and netCDF hold what spectra.load reads; many files, failures, outputs."""
import csv
import errno
import io
import os
import sys
from pathlib import Path

import numpy
import pytest

from cli_files import BAD, DEMO_SERIES, DEMO_SPECTRUM, VARIANTS, bad, reason, variant
from quorinreader import spectra
from quorinreader._export import formats as _export


def same_floats(a, b):
    """Equal bit for bit: signed zeros and NaNs included."""
    a, b = numpy.asarray(a), numpy.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def check_csv(out, s):
    with open(out, newline="", encoding="utf-8") as f:
        header, *rows = csv.reader(f)
    assert header[0] == "title"
    assert same_floats([float(v) for v in header[1:]], s.x)
    assert len(rows) == len(s)
    assert [row[0] for row in rows] == ["" if t is None else t for t in s.titles]
    values = numpy.array([row[1:] for row in rows], dtype=s.values.dtype).reshape(s.values.shape)
    assert same_floats(values, s.values)


def check_npz(out, s):
    with numpy.load(out, allow_pickle=False) as npz:
        assert sorted(npz) == sorted(["x", "values", "titles"] + (["mini_headers"] if s.mini_headers is not None
                                                                  else []))
        assert same_floats(npz["x"], s.x) and same_floats(npz["values"], s.values)
        assert npz["titles"].dtype.kind == "U" and npz["titles"].tolist() == ["" if t is None else t
                                                                              for t in s.titles]
        if s.mini_headers is not None:
            mini = npz["mini_headers"]
            assert mini.dtype.names == s.mini_headers.dtype.names
            for name in mini.dtype.names:
                assert same_floats(mini[name], s.mini_headers[name].copy()), name


def check_netcdf(out, s):
    xarray = pytest.importorskip("xarray")
    with xarray.open_dataset(out) as back:
        back.load()
        expected = s.to_xarray()
        if s.mini_headers is None and s.kind == "series" and len(s):  # no titles: None reads back as NaN
            assert numpy.isnan(back["title"].values.astype(float)).all()
            back, expected = back.drop_vars("title"), expected.drop_vars("title")
        xarray.testing.assert_identical(back, expected)
        assert same_floats(back["spectra"].values, s.values)


CHECKS = {"csv": (".csv", check_csv), "npz": (".npz", check_npz), "netcdf": (".nc", check_netcdf)}


@pytest.fixture
def needs(request):
    """Skips a netCDF test where no library writes netCDF-4."""
    def needs(form):
        if form == "netcdf":
            try:
                _export.netcdf_engine()
            except _export.MissingExtra as missing:
                pytest.skip(str(missing))
    return needs


@pytest.mark.parametrize("name", VARIANTS)
@pytest.mark.parametrize("form", CHECKS)
def test_an_export_holds_what_load_reads(tmp_path, cli, needs, form, name):
    needs(form)
    path = variant(tmp_path, name)
    out = tmp_path / ("out" + CHECKS[form][0])
    assert cli("export", path, "--to", form, "-o", out) == (0, f"wrote {out}\n", "")
    CHECKS[form][1](out, spectra.load(str(path)))
    assert not list(tmp_path.glob(".*.partial"))


@pytest.mark.parametrize("form", CHECKS)
def test_many_files_one_failing(tmp_path, cli, needs, form):
    needs(form)
    suffix, check = CHECKS[form]
    good = [tmp_path / "series.spa", tmp_path / "spectrum.spa", Path(variant(tmp_path, "series, no mini headers"))]
    good[0].write_bytes(DEMO_SERIES.read_bytes())
    good[1].write_bytes(DEMO_SPECTRUM.read_bytes())
    cut, _ = bad(tmp_path, "series cut short")
    missing, _ = bad(tmp_path, "missing file")
    status, out, err = cli("export", good[0], cut, good[1], missing, good[2], "--to", form)
    assert (status, out) == (1, "wrote 3 files\n")
    assert err == reason(cut, None, spectra.load) + f"quorinreader: {missing}: No such file or directory\n"
    for path in good:
        check(path.with_suffix(suffix), spectra.load(str(path)))
    assert not cut.with_suffix(suffix).exists() and not missing.with_suffix(suffix).exists()
    assert not [name for name in os.listdir(tmp_path) if name.endswith(".partial")]


@pytest.mark.parametrize("name", BAD)
def test_each_bad_file_is_one_line(tmp_path, cli, name):
    path, expected = bad(tmp_path, name)
    before = set(os.listdir(tmp_path))
    status, out, err = cli("export", path, "--to", "npz", "-o", tmp_path / "out.npz")
    expected = reason(path, expected, spectra.load)
    assert (status, out, err) == (1, "", expected)
    assert set(os.listdir(tmp_path)) == before


def test_outputs_go_beside_the_inputs_or_into_a_folder(tmp_path, cli):
    a, b = tmp_path / "a.spa", tmp_path / "sub" / "b.data.spa"
    b.parent.mkdir()
    a.write_bytes(DEMO_SERIES.read_bytes())
    b.write_bytes(DEMO_SPECTRUM.read_bytes())
    assert cli("export", a, b, "--to", "csv") == (0, "wrote 2 files\n", "")
    assert (tmp_path / "a.csv").exists() and (tmp_path / "sub" / "b.data.csv").exists()

    folder = tmp_path / "new" / "folder"  # made, parents and all
    assert cli("export", a, b, "--to", "npz", "-o", folder) == (0, f"wrote 2 files to {folder}{os.sep}\n", "")
    assert sorted(os.listdir(folder)) == ["a.npz", "b.data.npz"]
    assert cli("export", a, "--to", "npz", "-o", folder / "one.bin") == (0, f"wrote {folder / 'one.bin'}\n", "")  # one input: the file itself
    assert cli("export", b, "--to", "csv", "-o", folder) == (0, f"wrote {folder / 'b.data.csv'}\n", "")  # an existing folder: inside it
    assert sorted(os.listdir(folder)) == ["a.npz", "b.data.csv", "b.data.npz", "one.bin"]
    check_npz(folder / "one.bin", spectra.load(str(a)))


@pytest.mark.parametrize("case", ["same name from two folders", "one file twice", "a file for several"])
def test_outputs_that_collide_are_refused_before_anything_is_written(tmp_path, cli, case):
    a = tmp_path / "x" / "s.spa"
    b = tmp_path / "y" / "s.spa"
    for path in (a, b):
        path.parent.mkdir()
        path.write_bytes(DEMO_SPECTRUM.read_bytes())
    (tmp_path / "file").write_text("")
    args, message = {
        "same name from two folders": ([a, b, "-o", tmp_path / "out"],
                                       f"{tmp_path / 'out' / 's.csv'} would be written for both {a} and {b}"),
        "one file twice": ([a, a], f"{a} is given twice"),
        "a file for several": ([a, b, "-o", tmp_path / "file"],
                               f"{tmp_path / 'file'}: not a folder; for several files -o names the folder to "
                               "write them in"),
    }[case]
    before = sorted(p.name for p in tmp_path.rglob("*"))
    assert cli("export", *args, "--to", "csv") == (2, "", f"quorinreader: {message}\n")
    assert sorted(p.name for p in tmp_path.rglob("*")) == before


def test_an_output_never_replaces_its_input(tmp_path, cli):
    path = tmp_path / "scan.csv"  # a series file under a name the export would give its output
    data = DEMO_SERIES.read_bytes()
    path.write_bytes(data)
    status, _, err = cli("export", path, "--to", "csv")
    assert status == 1 and err == f"quorinreader: {path}: the output {path} would replace the input\n"
    assert path.read_bytes() == data


def test_a_failed_write_leaves_the_old_output_whole(tmp_path, cli, monkeypatch):
    out = tmp_path / "out.npz"
    out.write_bytes(b"the previous export")

    def full_disk(s, temporary, **options):
        temporary.write_bytes(b"half an export")
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(_export.FORMATS["npz"], "_write", full_disk)
    status, _, err = cli("export", DEMO_SERIES, "--to", "npz", "-o", out)
    assert (status, err) == (1, f"quorinreader: {out}: No space left on device\n")
    assert out.read_bytes() == b"the previous export" and os.listdir(tmp_path) == ["out.npz"]


def test_a_missing_netcdf_library_names_the_extra(tmp_path, cli, monkeypatch):
    find_spec = _export.importlib.util.find_spec
    monkeypatch.setattr(_export.importlib.util, "find_spec",
                        lambda name, *args: None if name in ("netCDF4", "h5netcdf") else find_spec(name, *args))
    path = tmp_path / "s.spa"
    path.write_bytes(DEMO_SERIES.read_bytes())
    status, out, err = cli("export", path, "--to", "netcdf")
    assert (status, out) == (1, "")
    assert err == "quorinreader: export --to netcdf needs xarray and netCDF4: pip install 'quorinreader[netcdf]'\n"
    assert os.listdir(tmp_path) == ["s.spa"]


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("terminal, tqdm", [(True, True), (False, True), (True, False)],
                         ids=["terminal", "not a terminal", "terminal without tqdm"])
def test_a_progress_bar_only_on_a_terminal(tmp_path, cli, monkeypatch, terminal, tqdm):
    if tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)
    stderr = Terminal() if terminal else io.StringIO()
    monkeypatch.setattr(sys, "stderr", stderr)
    missing, _ = bad(tmp_path, "missing file")
    files = [tmp_path / f"{k}.spa" for k in range(3)]
    for path in files:
        path.write_bytes(DEMO_SPECTRUM.read_bytes())
    status, _, _ = cli("export", *files, missing, "--to", "npz")
    assert status == 1 and all(path.with_suffix(".npz").exists() for path in files)
    line = f"quorinreader: {missing}: No such file or directory\n"
    if terminal and tqdm:  # the bar over the four files, the line written past it
        assert "0/4 [" in stderr.getvalue() and line in stderr.getvalue()
    else:
        assert stderr.getvalue() == line
