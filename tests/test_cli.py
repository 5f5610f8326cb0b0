"""The quorinreader command: info, bad input, the entry points."""
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quorinreader as qr
from cli_files import BAD, DEMO_SERIES, DEMO_SPECTRUM, VARIANTS, bad, reason, variant
from quorinreader import spectra
from spectra_files import series


@pytest.mark.parametrize("name", VARIANTS)
def test_info_json_is_what_load_reads(tmp_path, cli, name):
    path = variant(tmp_path, name)
    status, out, err = cli("info", "--json", "--titles", "2", path)
    assert (status, err) == (0, "")
    [summary] = json.loads(out)
    s = spectra.load(str(path))
    assert summary["file"] == str(path) and summary["kind"] == s.kind
    assert (summary["spectra"], summary["points"]) == s.values.shape
    assert summary["dtype"] == s.values.dtype.name
    assert summary["x"] == {"first": s.spectral_header.first_x, "last": s.spectral_header.last_x}
    assert summary["titles"] == s.titles[:2]
    if s.kind == "series":  # the dimensions the streaming reader reports, with their labels
        valid_dims = next(qr.open_file(str(path)).open_series())[1]
        assert [{k: d[k] for k in ("first", "last", "n")} for d in summary["dimensions"]] == valid_dims
        labels = [(d.short_label, d.long_label) for d in s.dimensions if d.num_elements == len(s)]
        assert [(d["short_label"], d["long_label"]) for d in summary["dimensions"]] == labels
    else:
        assert summary["dimensions"] == []

    status, text, err = cli("info", "--titles", "2", path)
    assert (status, err) == (0, "")
    lines = text.splitlines()
    assert lines[0] == str(path) and f"  kind        {s.kind}" in lines
    assert f"  spectra     {len(s):,}" in lines and f"  dtype       {s.values.dtype.name}" in lines
    assert sum(line.startswith("  dimension") for line in lines) == max(1, len(summary["dimensions"]))


def test_info_reports_only_the_dimensions_that_match_the_spectra(tmp_path, cli):
    dims = [dict(num_elements=3, first_dim=0, last_dim=99, scale_dim=0.5, long_label=b"time", short_label=b"min"),
            dict(num_elements=4, first_dim=400, last_dim=4000, long_label=b"wavenumber"),
            dict(num_elements=3, first_dim=10, last_dim=30, scale_dim=2.0, short_label=b"z")]
    path = series(tmp_path, dimensions=dims).path
    status, out, _ = cli("info", "--json", path)
    assert status == 0
    assert [(d["long_label"], d["first"], d["last"], d["n"]) for d in json.loads(out)[0]["dimensions"]] == [
        ("time", 0.0, 49.5, 3), ("", 20.0, 60.0, 3)]
    status, out, _ = cli("info", path)
    assert "  dimension   time (min): 0 to 49.5, 3 values\n  dimension   z: 20 to 60, 3 values\n" in out


def test_info_shows_the_first_titles_and_how_many_more(tmp_path, cli):
    status, out, _ = cli("info", "--titles", "1", DEMO_SERIES)
    assert status == 0 and out.endswith("  titles      t = 0 s\n              ... 119 more\n")
    status, out, _ = cli("info", "--titles", "0", DEMO_SERIES)
    assert out.endswith("  titles      120 not shown\n")
    status, out, _ = cli("info", variant(tmp_path, "series, no mini headers"))
    assert out.endswith("  titles      none (the spectra have no mini headers)\n")
    status, out, _ = cli("info", variant(tmp_path, "series, awkward values and titles"))
    assert "  titles      a, \"quoted\" title\n              'two\\nlines'\n              \n" in out


def test_info_json_holds_no_nan(tmp_path, cli):
    path = series(tmp_path, first_x=float("nan"), last_x=float("inf")).path
    status, out, _ = cli("info", "--json", path)
    assert status == 0 and "NaN" not in out and "Infinity" not in out
    assert json.loads(out)[0]["x"] == {"first": None, "last": None}


@pytest.mark.parametrize("command", ["info", "plot"])
@pytest.mark.parametrize("name", BAD)
def test_bad_input_is_one_line_and_status_2(tmp_path, cli, command, name):
    if command == "plot":
        pytest.importorskip("matplotlib")
    path, expected = bad(tmp_path, name)
    before = set(os.listdir(tmp_path))
    status, out, err = cli(command, path, *(["-o", tmp_path / "out.png"] if command == "plot" else []))
    assert (status, out) == (2, "")
    assert err == reason(path, expected)
    assert set(os.listdir(tmp_path)) == before  # no image, no leftovers


def test_info_goes_on_past_a_bad_file(tmp_path, cli):
    missing, _ = bad(tmp_path, "missing file")
    status, out, err = cli("info", DEMO_SERIES, missing, DEMO_SPECTRUM)
    assert status == 2 and err == f"quorinreader: {missing}: No such file or directory\n"
    assert out.splitlines()[0] == str(DEMO_SERIES) and f"\n\n{DEMO_SPECTRUM}\n" in out
    status, out, err = cli("info", "--json", missing, DEMO_SPECTRUM)
    assert status == 2 and [d["file"] for d in json.loads(out)] == [str(DEMO_SPECTRUM)]


@pytest.mark.parametrize("args", [[], ["info"], ["info", "--titles", "-1", "x.spa"], ["export", "x.spa"],
                                  ["export", "x.spa", "--to", "xls"], ["plot", "x.spa", "--dpi", "0"],
                                  ["frobnicate", "x.spa"]])
def test_a_bad_command_line_is_status_2(cli, args):
    with pytest.raises(SystemExit) as raised:
        cli(*args)
    assert raised.value.code == 2


def console_commands():
    """`python -m quorinreader`, and the installed script where there is one."""
    commands = [[sys.executable, "-m", "quorinreader"]]
    script = Path(sys.executable).parent / "quorinreader"
    if script.exists():
        commands.append([str(script)])
    return commands


@pytest.mark.parametrize("command", console_commands(), ids=lambda c: " ".join(Path(a).name for a in c))
def test_the_command_as_a_process(tmp_path, command):
    path, _ = bad(tmp_path, "series cut short")
    run = subprocess.run([*command, "info", str(DEMO_SPECTRUM), str(path)], capture_output=True, text=True)
    assert run.returncode == 2 and run.stdout.startswith(f"{DEMO_SPECTRUM}\n  kind        spectrum\n")
    assert run.stderr == reason(path, None)
    run = subprocess.run([*command, "--version"], capture_output=True, text=True)
    assert run.returncode == 0 and run.stdout.startswith("quorinreader ")


def test_a_closed_pipe_ends_the_command_quietly():
    # `quorinreader info ... | head -1`: the reader goes away after one line.
    files = [str(DEMO_SERIES)] * 500
    with subprocess.Popen([sys.executable, "-m", "quorinreader", "info", *files], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE) as process:
        process.stdout.readline()
        process.stdout.close()
        err = process.stderr.read()
    assert process.returncode == 1 and err == b""


def test_importing_the_package_or_the_command_line_loads_no_optional_library():
    code = ("import sys, quorinreader; before = sorted(m for m in sys.modules if m.startswith(('quorinreader.', "
            "'numpy')))\nimport quorinreader._cli\nprint(before, sorted({m.partition('.')[0] for m in sys.modules} "
            "& {'matplotlib', 'xarray', 'tqdm', 'netCDF4', 'dask'}))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out == "[] []\n"

