"""export --combine: one table or file for many inputs, read back exactly."""

import csv
import os

import numpy
import pytest

import spectra_files as sf
from quorinreader import spectra


@pytest.fixture
def folder(tmp_path):
    samples = tmp_path / "samples"
    samples.mkdir()
    for k in (10, 2, 1):
        sf.spectrum(samples, values=[k + 0.1, -k / 3, 1e-7 * k, 7.0], name=f"s{k}.spa")
    return samples


def test_combined_csv_and_npz_read_back_exactly(folder, tmp_path, cli):
    c = spectra.load_many(folder)
    out = tmp_path / "all.csv"
    assert cli("export", folder, "--to", "csv", "--combine", "-o", out) == (0, f"wrote {out}\n", "")
    with open(out, newline="") as f:
        header, *rows = list(csv.reader(f))
    assert header[:2] == ["file", "title"] and numpy.array_equal(numpy.array(header[2:], float), c.x)
    assert [r[0] for r in rows] == [str(folder / f"s{k}.spa") for k in (1, 2, 10)]
    assert numpy.array_equal(numpy.array([r[2:] for r in rows], numpy.float32), c.values)
    out = tmp_path / "all.npz"
    assert cli("export", folder, "--to", "npz", "--combine", "-o", out)[0] == 0
    with numpy.load(out) as npz:
        assert npz["values"].tobytes() == c.values.tobytes() and list(npz["files"]) == c.files
        assert npz["headers"]["num_points"].tolist() == [4, 4, 4]


def test_combine_checks_or_interpolates_the_axis(folder, tmp_path, cli):
    sf.spectrum(folder, values=[1.0, 2.0, 3.0], name="s5.spa")
    out = tmp_path / "all.csv"
    status, _, err = cli("export", folder, "--to", "csv", "--combine", "-o", out)
    assert status == 2 and err.startswith(f"quorinreader: {folder / 's5.spa'}: 3 points from 4000 to 400; ")
    assert not out.exists()
    assert cli("export", folder, "--to", "npz", "--combine", "-o", tmp_path / "g.npz",
               "--x-grid", "400", "4000", "7")[0] == 0
    with numpy.load(tmp_path / "g.npz") as npz:
        assert npz["values"].shape == (4, 7) and numpy.array_equal(npz["x"], numpy.linspace(400, 4000, 7))


@pytest.mark.parametrize("extra, says", [(("--partial",), "--partial"), ((), "-o")])
def test_combine_refuses_what_it_cannot_honour(folder, cli, extra, says):
    status, stdout, err = cli("export", folder, "--to", "csv", "--combine", *extra)
    assert (status, stdout) == (2, "") and err.count("\n") == 1 and says in err


def test_several_inputs_refuse_a_file_name_without_combine(folder, tmp_path, cli):
    out = tmp_path / "all.csv"
    status, stdout, err = cli("export", folder, "--to", "csv", "-o", out)
    assert (status, stdout) == (2, "") and err.count("\n") == 1 and "--combine" in err
    assert not out.exists()
    assert cli("export", folder, "--to", "csv", "-o", tmp_path / "tables") == (
        0, f"wrote 3 files to {tmp_path / 'tables'}{os.sep}\n", "")
