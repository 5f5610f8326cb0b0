"""quorinreader export --to jcamp|hspy|nexus: the options, the outputs, the refusals."""
import os

import numpy
import pytest

from cli_files import DEMO_SERIES, DEMO_SPECTRUM
from quorinreader import spectra
from spectra_files import series


def test_jcamp_beside_the_input_with_its_options(tmp_path, cli):
    path = tmp_path / "scan.spa"
    path.write_bytes(DEMO_SERIES.read_bytes())
    assert cli("export", path, "--to", "jcamp") == (0, f"wrote {tmp_path / 'scan.jdx'}\n", "")
    text = (tmp_path / "scan.jdx").read_text(encoding="ascii")
    assert text.count("##DATA TYPE=INFRARED SPECTRUM\n") == 120 and "##YFACTOR=1\n" in text

    out = tmp_path / "r.jdx"
    assert cli("export", path, "--to", "jcamp", "--data-type", "RAMAN SPECTRUM", "--jcamp-form", "difdup",
               "-o", out)[0] == 0
    text = out.read_text(encoding="ascii")
    assert text.count("##DATA TYPE=RAMAN SPECTRUM\n") == 120 and "##YFACTOR=1\n" not in text


def test_split_writes_one_numbered_file_per_spectrum(tmp_path, cli):
    path = tmp_path / "scan.spa"
    path.write_bytes(DEMO_SERIES.read_bytes())
    first, last = tmp_path / "scan-000.jdx", tmp_path / "scan-119.jdx"
    assert cli("export", path, "--to", "jcamp", "--split", "--data-type", "raman") == (
        0, f"wrote 120 files, {first} to {last}\n", "")
    assert len(list(tmp_path.glob("scan-*.jdx"))) == 120 and not (tmp_path / "scan.jdx").exists()
    assert "##DATA TYPE=RAMAN SPECTRUM\n" in last.read_text(encoding="ascii")
    folder = tmp_path / "out"
    assert cli("export", path, DEMO_SPECTRUM, "--to", "jcamp", "--split", "-o", folder) == (
        0, f"wrote 121 files to {os.path.join(folder, '')}\n", "")
    assert (folder / "demo_spectrum-0.jdx").exists() and (folder / "scan-057.jdx").exists()


@pytest.mark.parametrize("args, message", [
    (["--to", "csv", "--split"], "--split is for JCAMP-DX files: add --to jcamp"),
    (["--to", "nexus", "--jcamp-form", "difdup"], "--jcamp-form is for JCAMP-DX files: add --to jcamp"),
    (["--to", "npz", "--data-type", "raman"], "--data-type is for JCAMP-DX files: add --to jcamp"),
    (["--to", "jcamp", "--combine", "-o", "all.jdx"],
     "--combine writes every input as one file, which a JCAMP-DX file is not made to hold; export each file "
     "on its own (a series as one compound file)"),
])
def test_what_a_format_cannot_do_is_refused_in_one_line(tmp_path, cli, args, message):
    assert cli("export", DEMO_SPECTRUM, DEMO_SERIES, *args) == (2, "", f"quorinreader: {message}\n")
    assert not list(tmp_path.iterdir())


def test_a_data_type_that_is_neither_is_a_usage_error(cli, capsys):
    with pytest.raises(SystemExit) as exit:
        cli("export", DEMO_SPECTRUM, "--to", "jcamp", "--data-type", "UV")
    assert exit.value.code == 2
    assert "expected 'INFRARED SPECTRUM' or 'RAMAN SPECTRUM', not 'UV'" in capsys.readouterr().err


def test_a_file_jcamp_cannot_hold_is_one_line_and_the_others_are_written(tmp_path, cli):
    nan = series(tmp_path, spectra=[[1.0, float("nan"), 2.0]], name="nan.spa").path
    good = tmp_path / "good.spa"
    good.write_bytes(DEMO_SPECTRUM.read_bytes())
    status, out, err = cli("export", nan, good, "--to", "jcamp")
    assert (status, out) == (1, f"wrote {tmp_path / 'good.jdx'}\n")
    assert err == (f"quorinreader: {nan}: spectrum 0 holds nan at point 1 (X = 2200), which JCAMP-DX cannot "
                   "hold; export it as CSV, NPZ or NeXus instead\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["good.jdx", "good.spa", "nan.spa"]


@pytest.mark.parametrize("to, suffix", [("hspy", ".hspy"), ("nexus", ".nxs")])
def test_hspy_and_nexus_go_beside_the_input(tmp_path, cli, to, suffix):
    pytest.importorskip("h5py")
    if to == "hspy":
        pytest.importorskip("hyperspy")
    path = tmp_path / "scan.spa"
    path.write_bytes(DEMO_SERIES.read_bytes())
    assert cli("export", path, "--to", to) == (0, f"wrote {path.with_suffix(suffix)}\n", "")
    import h5py

    with h5py.File(path.with_suffix(suffix), "r") as f:
        found = []
        f.visititems(lambda name, item: found.append(item) if getattr(item, "shape", None) == (120, 400) else None)
        assert any(numpy.array_equal(item[()], spectra.load(str(path)).values) for item in found)
