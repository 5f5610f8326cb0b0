"""Titles in the user's letters: UTF-8 where the bytes are valid UTF-8, else
Windows-1252, or the codec named by `encoding=` (`--encoding`), on every road
that gives titles; the record classes keep their ASCII decoding."""
import csv
import json
import pickle

import numpy
import pytest

import quorinreader as qr
import spawriter as sw
from quorinreader import spectra
from spectra_files import mini_records, series

SAMPLE = "échantillon 7, 25 µm"
# Bytes 0x80 to 0x9F in Windows-1252, the five it leaves undefined as the C1
# controls of the same code (as Windows and the WHATWG Encoding Standard
# decode them); from 0xA0 on it is Latin-1.
CP1252 = {b: bytes([b]).decode("cp1252") if b not in (0x81, 0x8D, 0x8F, 0x90, 0x9D) else chr(b)
          for b in range(0x80, 0x100)}

# (the 64 bytes of a mini header's title field, what the default gives)
CASES = {
    "ascii": (b"sample 7", "sample 7"),
    "windows-1252": (SAMPLE.encode("cp1252"), SAMPLE),
    "utf-8": (SAMPLE.encode("utf-8"), SAMPLE),
    "utf-8 beyond the BMP": ("pH 7 🧪 ok".encode(), "pH 7 🧪 ok"),
    "cut at the first zero byte": ("µm\0é".encode("cp1252"), "µm"),
    "the undefined bytes": (bytes([0x81, 0x8D, 0x8F, 0x90, 0x9D]), "\x81\x8d\x8f\x90\x9d"),
    "every high byte": (bytes(range(0x80, 0xC0)), "".join(CP1252[b] for b in range(0x80, 0xC0))),
    "every high byte, upper half": (bytes(range(0xC0, 0x100)), "".join(CP1252[b] for b in range(0xC0, 0x100))),
    # Not UTF-8 as Python's strict decoder has it: then the code page.
    "overlong form": (b"a\xc0\xafb", "aÀ¯b"),
    "surrogate": (b"\xed\xa0\x80", "í\xa0€"),
    "past U+10FFFF": (b"\xf4\x90\x80\x80", "ô\x90€€"),
    "lone continuation byte": (b"25 \xb5m", "25 µm"),
    "utf-8 cut inside the text": (b"\xc3(", "Ã("),
    # UTF-8 that fills its field: the character the field cuts off is left out.
    "utf-8 cut by the field": (b"a" * 63 + "é".encode()[:1], "a" * 63),
}


def series_titled(tmp_path, raw, name="titled.spa", **knobs):
    return series(tmp_path, name=name, titles=[b"first", raw, b"last"], **knobs)


def spectrum_titled(tmp_path, raw, name="one.spa"):
    builder = sw.SpaBuilder(file_id=raw)
    builder.add(2, sw.main_spectral_header(num_points=3, first_x=400.0, last_x=4000.0))
    builder.add(3, numpy.arange(3, dtype="<f4").tobytes())
    path = tmp_path / name
    builder.write(path)
    return path


@pytest.mark.parametrize("raw, text", CASES.values(), ids=CASES)
def test_the_default_is_utf8_where_valid_else_windows_1252(tmp_path, raw, text):
    path = series_titled(tmp_path, raw).path
    assert spectra.load(path).titles == ["first", text, "last"]
    with spectra.open(path) as s:
        assert s.titles == ["first", text, "last"]
    # The file's own id, a field of 256 bytes, titles a single spectrum.
    if len(raw) == 64 and text == "a" * 63:
        raw, text = b"a" * 255 + raw[-1:], "a" * 255
    assert spectra.load(spectrum_titled(tmp_path, raw + bytes(256 - len(raw)))).titles == [text]


def test_the_record_classes_keep_their_ascii_decoding(tmp_path):
    raw = SAMPLE.encode("cp1252")
    path = series_titled(tmp_path, raw).path
    assert [r.spec_title for r in mini_records(path)] == ["first", "chantillon 7, 25 m", "last"]
    assert qr.decode_string(raw) == "chantillon 7, 25 m"
    assert qr.SPAFile(spectrum_titled(tmp_path, raw)).info.file_id == "chantillon 7, 25 m"


@pytest.mark.parametrize("encoding, text", [("latin-1", "\x80 25 µm"), ("mac_roman", "Ä 25 µm"),
                                            ("utf-8", "� 25 �m"), ("cp1252", "€ 25 µm")])
def test_encoding_names_another_codec(tmp_path, encoding, text):
    raw = "€ 25 µm".encode("cp1252")
    path = series_titled(tmp_path, raw).path
    if encoding == "mac_roman":
        raw, text = "Ä 25 µm".encode("mac_roman"), "Ä 25 µm"
        path = series_titled(tmp_path, raw, name="mac.spa").path
    assert spectra.load(path, encoding=encoding).titles[1] == text  # bad bytes replaced, never refused
    with spectra.open(path, encoding=encoding) as s:
        assert s.titles[1] == text
        assert pickle.loads(pickle.dumps(s)).titles[1] == text
    assert pickle.loads(pickle.dumps(spectra.load(path, encoding=encoding))).titles[1] == text
    single = spectrum_titled(tmp_path, raw)
    assert spectra.load(single, encoding=encoding).titles == [text]
    c = spectra.load_many([path, single], x="first", encoding=encoding)
    assert c.titles == ["first", text, "last", text]


def test_an_unknown_codec_is_refused_before_anything_is_read(tmp_path):
    with pytest.raises(LookupError, match="no-such-codec"):
        spectra.load(tmp_path / "missing.spa", encoding="no-such-codec")
    with pytest.raises(TypeError, match="encoding must be a codec name"):
        spectra.open(tmp_path / "missing.spa", encoding=b"utf-8")


def test_many_files_and_their_frame_keep_the_letters(tmp_path):
    raw = SAMPLE.encode("cp1252")
    folder = tmp_path / "samples"
    folder.mkdir()
    series_titled(folder, raw, name="a.spa", spectra=[[1.0, 2.0]] * 3)
    for k in range(3):  # single spectra: titled by the native header pass
        spectrum_titled(folder, f"{SAMPLE} #{k}".encode("utf-8" if k % 2 else "cp1252"), name=f"s{k}.spa")
    expected = ["first", SAMPLE, "last", f"{SAMPLE} #0", f"{SAMPLE} #1", f"{SAMPLE} #2"]
    c = spectra.load_many(folder, x="first")
    assert c.titles == expected
    assert list(c.to_pandas().index.get_level_values("title")) == expected
    pytest.importorskip("dask")
    assert spectra.open_many(folder, x="first").titles == expected


def test_xarray_keeps_the_letters(tmp_path):
    xarray = pytest.importorskip("xarray")
    raw = SAMPLE.encode("cp1252")
    path = series_titled(tmp_path, raw).path
    with xarray.open_dataset(path, engine="quorinreader") as ds:
        assert ds.title.values.tolist() == ["first", SAMPLE, "last"]
        assert ds.title[1:2].values.tolist() == [SAMPLE]  # decoded as indexed
    with xarray.open_dataset(path, engine="quorinreader", encoding="latin-1") as ds:
        assert ds.title.values[1] == raw.decode("latin-1")
    with spectra.open(path, encoding="latin-1") as s:
        assert s.to_xarray().title.values[1] == raw.decode("latin-1")
    assert spectra.load(path).to_xarray().title.values[1] == SAMPLE
    single = spectrum_titled(tmp_path, raw)
    with xarray.open_dataset(single, engine="quorinreader") as ds:
        assert ds.title.values.tolist() == [SAMPLE]


@pytest.mark.parametrize("form", ["csv", "npz", "netcdf"])
def test_exports_keep_the_letters(tmp_path, cli, form):
    if form == "netcdf":
        pytest.importorskip("netCDF4")
    path = series_titled(tmp_path, SAMPLE.encode("cp1252")).path
    out = tmp_path / f"out.{form}"
    assert cli("export", path, "--to", form, "-o", out)[0] == 0
    if form == "csv":
        with open(out, newline="", encoding="utf-8") as f:
            assert [row[0] for row in csv.reader(f)][1:] == ["first", SAMPLE, "last"]
    elif form == "npz":
        with numpy.load(out) as npz:
            assert npz["titles"].tolist() == ["first", SAMPLE, "last"]
    else:
        import xarray
        with xarray.open_dataset(out, engine="netcdf4") as ds:
            assert ds.title.values.tolist() == ["first", SAMPLE, "last"]


def test_the_command_line_shows_the_letters_and_takes_encoding(tmp_path, cli):
    raw = "€ 25 µm".encode("cp1252")
    path = series_titled(tmp_path, raw).path
    status, out, err = cli("info", path)
    assert (status, err) == (0, "") and "  titles      first\n              € 25 µm\n" in out
    status, out, err = cli("info", "--json", "--encoding", "latin-1", path)
    assert (status, err) == (0, "") and json.loads(out)[0]["titles"][1] == raw.decode("latin-1")
    with pytest.raises(SystemExit):
        cli("info", "--encoding", "no-such-codec", path)
