"""The command line on a series cut short (--partial) and on an image too large to draw."""
import pathlib

import numpy
import pytest

from spectra_files import SPECTRA, series


@pytest.fixture
def cut(tmp_path):
    """A series of three spectra whose last one lacks its last byte."""
    info = series(tmp_path, mini_header_type=3)
    pathlib.Path(info.path).write_bytes(info.data[:-1])
    return info


def commands(tmp_path):
    return {"info": ["info"], "export": ["export", "--to", "npz", "-o", tmp_path / "out.npz"],
            "plot": ["plot", "-o", tmp_path / "out.png"]}


@pytest.mark.parametrize("command", ["info", "export", "plot"])
def test_partial_keeps_the_complete_spectra(cli, cut, tmp_path, command):
    if command == "plot":
        pytest.importorskip("matplotlib")
    args = commands(tmp_path)[command]
    status, _, err = cli(*args, cut.path)
    assert status != 0 and "spectrum 3 of 3 needs" in err and "warning" not in err
    status, out, err = cli(*args, cut.path, "--partial")
    assert status == 0
    assert len(err.splitlines()) == 1
    assert err.startswith(f"quorinreader: warning: {cut.path}: read 2 of 3 spectra; spectrum 3 of 3 needs ")
    if command == "info":
        assert "spectra     2\n" in out
    elif command == "export":
        with numpy.load(tmp_path / "out.npz") as saved:
            assert saved["values"].tolist() == numpy.float32(SPECTRA[:2]).tolist()
    else:
        assert (tmp_path / "out.png").stat().st_size > 0


def test_plot_refuses_an_image_too_large(cli, tmp_path):
    pytest.importorskip("matplotlib")
    info = series(tmp_path)
    out = tmp_path / "huge.png"
    status, _, err = cli("plot", info.path, "-o", out, "--dpi", "5000")
    assert status == 2
    assert err == (f"quorinreader: {out}: an image of 45,000 x 35,000 pixels at --dpi 5000 is more than 100 "
                   "megapixels; use a smaller --dpi\n")
    assert not out.exists()
