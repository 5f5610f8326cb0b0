"""Errors that end with the way past them, and the ways themselves: partial=True
for a series cut short, x="first" (or an array) and on_error="skip" for
files whose X axes differ; and one message for a file that is no spectral
file at all, from every road that reads one."""
import struct
from pathlib import Path

import numpy
import pytest

import quorinreader as qr
import spectra_files as sf
from quorinreader import spectra
from cli_files import DEMO_SPECTRUM
from quorinreader._read.errors import command_line_text


def cut_series(tmp_path, name="short.spa"):
    info = sf.series(tmp_path, name=name)
    Path(info.path).write_bytes(info.data[:-5])  # the last of its 3 spectra cut
    return info.path


@pytest.mark.parametrize("read", [spectra.load, spectra.open, lambda p: spectra.load(Path(p).read_bytes())])
def test_a_series_cut_short_names_partial(tmp_path, read):
    path = cut_series(tmp_path)
    with pytest.raises(spectra.FormatError) as raised:
        read(path)
    assert str(raised.value).endswith("the file ends at 1,985; partial=True reads its 2 complete spectra")
    assert command_line_text(raised.value).endswith("; --partial reads its 2 complete spectra")


def test_the_engine_names_partial_too(tmp_path):
    xarray = pytest.importorskip("xarray")
    with pytest.raises(spectra.FormatError, match="; partial=True reads its 2 complete spectra$"):
        xarray.open_dataset(cut_series(tmp_path), engine="quorinreader")


def test_load_many_names_skip_for_a_series_cut_short(tmp_path):
    good = sf.series(tmp_path, name="good.spa").path
    short = cut_series(tmp_path)
    with pytest.raises(spectra.FormatError) as raised:
        spectra.load_many([good, short])
    assert str(raised.value).startswith(f"{short}: spectrum 3 of 3 needs ")
    assert 'on_error="skip" leaves it out' in str(raised.value)
    assert command_line_text(raised.value).endswith("; --on-error skip leaves it out")
    with pytest.warns(UserWarning, match="skipped 1 of 2"):
        c = spectra.load_many([good, short], on_error="skip")
    [(source, message)] = c.skipped  # what was wrong, without the way past it
    assert source == short and message.endswith("the file ends at 1,985")


def axes_folder(tmp_path):
    """Four single spectra: a, c and d on one axis, b on another (falling, and of 3 points)."""
    paths = [sf.spectrum(tmp_path, values=[1.0, 5.0, -2.0, 4.0], name="a.spa", first_x=400.0, last_x=4000.0)[0],
             sf.spectrum(tmp_path, values=[3.0, 0.5, 2.0], name="b.spa", first_x=3500.0, last_x=500.0)[0],
             sf.spectrum(tmp_path, values=[7.0, float("inf"), float("nan"), 0.25], name="c.spa",
                         first_x=400.0, last_x=4000.0)[0],
             sf.spectrum(tmp_path, values=[0.0, -1.0, 2.0, 3.0], name="d.spa", first_x=400.0, last_x=4000.0)[0]]
    return paths


@pytest.mark.parametrize("many", ["load_many", "open_many"])
def test_differing_axes_name_x_and_skip(tmp_path, many):
    if many == "open_many":
        pytest.importorskip("dask")
    read = getattr(spectra, many)
    paths = axes_folder(tmp_path)
    with pytest.raises(spectra.FormatError) as raised:
        read(paths)
    message = str(raised.value)
    assert message.startswith(f"{paths[1]}: 3 points from 3500 to 500; the first file has 4 points from 400 to "
                              "4000 (1 of 4 files differ: b.spa); ")
    assert message.endswith('x="first" interpolates every file onto the first file\'s axis, x=an array onto '
                            'those X values, on_error="skip" leaves the files that differ out')
    assert command_line_text(raised.value).endswith(
        "; --x-grid 400 4000 4 interpolates every file onto the first file's axis (other numbers onto another), "
        "--on-error skip leaves the files that differ out")

    with pytest.warns(UserWarning, match="skipped 1 of 4 files"):
        c = read(paths, on_error="skip")
    assert c.files == [paths[0], paths[2], paths[3]]
    assert c.skipped == [(paths[1], f"{paths[1]}: 3 points from 3500 to 500; the first file has 4 points from "
                                    "400 to 4000")]
    assert numpy.array_equal(numpy.asarray(c.values), numpy.array([spectra.load(p).values[0] for p in c.files]),
                             equal_nan=True)


@pytest.mark.parametrize("many", ["load_many", "open_many"])
def test_x_first_puts_every_file_on_the_first_files_axis(tmp_path, many):
    if many == "open_many":
        pytest.importorskip("dask")
    paths = axes_folder(tmp_path)
    c = getattr(spectra, many)(paths, x="first")
    first = spectra.load(paths[0])
    assert numpy.array_equal(c.x, first.x) and c.skipped == []
    values = numpy.asarray(c.values)
    # The files on the first file's axis keep their values exactly, NaN and
    # infinity included: a neighbour's never spills onto a point of the axis.
    for row, path in [(0, paths[0]), (2, paths[2]), (3, paths[3])]:
        assert numpy.array_equal(values[row], spectra.load(path).values[0], equal_nan=True)
    b = spectra.load(paths[1])
    expected = numpy.interp(first.x, b.x[::-1], b.values[0][::-1].astype(float), left=numpy.nan, right=numpy.nan)
    numpy.testing.assert_allclose(values[1], expected.astype(values.dtype), equal_nan=True)
    assert numpy.isnan(values[1, 0]) and not numpy.isnan(values[1, 1:3]).any()


# The file that is no spectral file, as every road reads it.
STRAY = b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR" + bytes(range(256)) * 160
ROADS = {
    "load": lambda path: spectra.load(path),
    "open": lambda path: spectra.open(path),
    "load_many": lambda path: spectra.load_many([path]),
    "load_many, among others": lambda path: spectra.load_many([str(DEMO_SPECTRUM), path]),
    "open_many": lambda path: spectra.open_many([path]),
    "engine": lambda path: __import__("xarray").open_dataset(path, engine="quorinreader"),
}


@pytest.mark.parametrize("road", ROADS)
@pytest.mark.parametrize("data", [STRAY, b"", b"wavenumber,absorbance\n" * 30],
                         ids=["png renamed .spa", "empty", "text"])
def test_a_file_that_is_no_spectral_file_gets_one_message(tmp_path, road, data):
    if road == "open_many":
        pytest.importorskip("dask")
    if road == "engine":
        pytest.importorskip("xarray")
    path = tmp_path / "figure.spa"
    path.write_bytes(data)
    expected = (f"{path}: not a spectral file: it is empty" if not data else
                f"{path}: not a spectral file: it starts with {data[:17]!r}")
    with pytest.raises(spectra.FormatError) as raised:
        ROADS[road](str(path))
    assert str(raised.value) == expected
    if data:  # bytes in memory: the same, under the name they go by
        with pytest.raises(spectra.FormatError, match="^<bytes>: not a spectral file: it starts with "):
            spectra.load(data)
    # The record classes keep the error of a short read.
    if data is STRAY or not data:
        with pytest.raises(struct.error):
            qr.SPAFile(str(path))
