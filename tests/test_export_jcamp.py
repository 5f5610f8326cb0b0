"""JCAMP-DX exports, read back by two independent readers: jcamp (which
reports failed X and Y checks only on its standard output) and nmrglue's
low-level decoder."""
import math
import re
from pathlib import Path

import numpy
import pytest

import spawriter as sw
from cli_files import DEMO_SERIES, DEMO_SPECTRUM
from quorinreader import spectra
from quorinreader._export import formats as _export, jcamp as _export_jcamp
from spectra_files import series, spectrum

EXPORTS_PAGE = Path(__file__).resolve().parent.parent / "docs" / "guide" / "exports.md"

# Finite and awkward: signed zero, the smallest subnormal, the largest
# binary32, one that needs 9 digits, repeats (DUP runs) and a jump.
FINITE = [[0.1, -0.0, 1e-45, 3.4028234663852886e38, 16777217.0, 1 / 3, 1 / 3, 1 / 3, -2.5, 7.0e6, 0.0, 0.0],
          [1.5, -2.0, 8.25, -0.0, 1e-3, 1e-3, 1e-3, 1e-3, 4.0, -16.0, 2.5, 1.0],
          [3.0, 2.5, 1.0, 7.0e6, 5.0, 5.0, 5.0, 5.0, 5.0, -1e-30, 123456.7, 42.0]]
RAMP = numpy.sin(numpy.linspace(0, 25, 1500)) * 1e3 + numpy.linspace(-4, 4, 1500)


def files(tmp_path):
    """Files of every shape a reader must follow: rising and falling X,
    binary32 and binary64, with and without mini headers and dimensions."""
    dims = [dict(dimension_type=2, first_dim=0, last_dim=3, scale_dim=1.0, num_elements=len(FINITE[0]), unit_ID=2,
                 short_label=b"cm-1", long_label=b"Raman shift")]
    return {
        "demo spectrum (falling X)": DEMO_SPECTRUM,
        "demo series": DEMO_SERIES,
        "spectrum, falling X, awkward values": spectrum(tmp_path, values=FINITE[0])[0],
        "series, float64, mini header 100": series(tmp_path, spectra=FINITE, element_size=8, mini_header_type=3,
                                                   name="f64.spa", dimensions=dims).path,
        "series, falling X, no mini headers": series(tmp_path, spectra=[RAMP, -RAMP], mini_hdr=False,
                                                     first_x=3200.0, last_x=100.0, name="bare.spa").path,
    }


NAMES = ["demo spectrum (falling X)", "demo series", "spectrum, falling X, awkward values",
         "series, float64, mini header 100", "series, falling X, no mini headers"]


def read_jcamp(path, capsys):
    """The blocks that jcamp reads, after checking it said nothing."""
    jcamp = pytest.importorskip("jcamp", reason="jcamp is not installed (the test extra)")
    capsys.readouterr()
    found = jcamp.readfile(str(path))
    said = capsys.readouterr().out
    assert said == "", f"jcamp says: {said}"
    return found.get("children", [found]) if found.get("data type") == "LINK" else [found]


def read_nmrglue(path):
    jcampdx = pytest.importorskip("nmrglue.fileio.jcampdx", reason="nmrglue is not installed (the test extra)")
    raw = jcampdx._readrawdic(str(path))
    blocks = [block for key, blocks in raw.items() if key != "_datatype_LINK" for block in blocks]
    return [jcampdx.getdataarray(block) for block in blocks]


def check_lines(path):
    data = Path(path).read_bytes()
    assert all(32 <= b <= 126 or b == 10 for b in data), "only printable ASCII and line ends"
    lines = data.decode("ascii").splitlines()
    assert max(map(len, lines)) <= 80
    assert lines[0].startswith("##TITLE=") and lines[-1] == "##END="
    return lines


def yfactors(lines):
    return [float(line.split("=", 1)[1]) for line in lines if line.startswith("##YFACTOR=")]


@pytest.mark.parametrize("form", ["affn", "difdup"])
@pytest.mark.parametrize("name", NAMES)
def test_both_readers_read_back_every_spectrum(tmp_path, capsys, name, form):
    s = spectra.load(str(files(tmp_path)[name]))
    assert s.to_jcamp(tmp_path / "out.jdx", form=form) == [tmp_path / "out.jdx"]
    lines = check_lines(tmp_path / "out.jdx")
    blocks = read_jcamp(tmp_path / "out.jdx", capsys)
    assert len(blocks) == len(s)
    for block, row in zip(blocks, s.values):
        assert numpy.array_equal(block["x"], s.x)  # linspace(FIRSTX, LASTX, NPOINTS) as ours
    back = numpy.array([block["y"] for block in blocks]).reshape(s.values.shape)
    if form == "affn":  # exact, signed zeros and subnormals too
        assert back.astype(s.values.dtype).tobytes() == s.values.tobytes()
        assert yfactors(lines) == [1.0] * len(s)
    else:
        for row, got, factor in zip(s.values, back, yfactors(lines)):
            largest = numpy.abs(row).max()
            assert factor <= 1e-6 * largest * (1 + 1e-12) or largest == 0
            assert 10 ** round(math.log10(factor)) == pytest.approx(factor)  # a power of ten
            assert numpy.all(numpy.abs(got - row) <= factor / 2 * (1 + 1e-8))
    assert numpy.array_equal(numpy.array(read_nmrglue(tmp_path / "out.jdx")).reshape(back.shape), back)


def test_a_series_is_one_link_file_or_one_file_per_spectrum(tmp_path, capsys):
    s = spectra.load(str(DEMO_SERIES))
    lines = check_lines(s.to_jcamp(tmp_path / "all.jdx")[0])
    head = lines[:6]
    assert head == ["##TITLE=demo_series.spa", "##JCAMP-DX=5.01", "##DATA TYPE=LINK",
                    "##ORIGIN=demo_series.spa, exported by quorinreader", "##OWNER=UNKNOWN", "##BLOCKS=120"]
    assert [line for line in lines if line.startswith("##BLOCK_ID=")] == [f"##BLOCK_ID={k + 1}" for k in range(120)]
    assert sum(line.startswith("##TITLE=") for line in lines) == sum(line == "##END=" for line in lines) == 121
    blocks = read_jcamp(tmp_path / "all.jdx", capsys)
    assert [b["title"] for b in blocks] == s.titles

    paths = s.to_jcamp(tmp_path / "one.jdx", split=True, data_type="raman")
    assert paths == [tmp_path / f"one-{k:03d}.jdx" for k in range(120)] and not (tmp_path / "one.jdx").exists()
    for k in (0, 119):
        lines = check_lines(paths[k])
        assert "##DATA TYPE=RAMAN SPECTRUM" in lines and not any(line.startswith("##BLOCK") for line in lines)
        (block,) = read_jcamp(paths[k], capsys)
        assert block["title"] == s.titles[k] and numpy.array_equal(block["y"].astype(numpy.float32), s.values[k])


def test_the_header_follows_the_standard_order(tmp_path):
    s = spectra.load(str(DEMO_SERIES))
    s.to_jcamp(tmp_path / "s.jdx", split=True, form="difdup", origin="Lab 4, Example University", owner="PUBLIC")
    lines = check_lines(tmp_path / "s-000.jdx")
    labels = [line.split("=", 1)[0] for line in lines if line.startswith("##") and not line.startswith("##$")]
    assert labels == ["##TITLE", "##JCAMP-DX", "##DATA TYPE", "##ORIGIN", "##OWNER", "##XUNITS", "##YUNITS",
                      "##XFACTOR", "##YFACTOR", "##FIRSTX", "##LASTX", "##NPOINTS", "##FIRSTY", "##XYDATA", "##END"]
    assert "##ORIGIN=Lab 4, Example University" in lines and "##OWNER=PUBLIC" in lines
    assert "##XUNITS=1/CM" in lines and "##$X LABEL=Raman shift (cm-1)" in lines  # from the dimension's labels
    assert "##$NUM_SCANS=1" in lines and "##YUNITS=ARBITRARY UNITS" in lines
    # DIFDUP: each line starts with its X, then the value there in SQZ form.
    data = lines[lines.index("##XYDATA=(X++(Y..Y))") + 1:-1]
    assert all(re.fullmatch(r"\d+(\.\d+)? [@A-Ia-i]\d*([%J-Rj-r]\d*([S-Zs]\d*)?)*", line) for line in data)


def asdf(packed):
    """Decodes a line's pseudo-digit tokens by the tables of the standard: (kind, number)."""
    tables = [("@ABCDEFGHI", "SQZ", 1), ("@abcdefghi", "SQZ", -1), ("%JKLMNOPQR", "DIF", 1),
              ("%jklmnopqr", "DIF", -1), ("0STUVWXYZs", "DUP", 1)]
    tokens = []
    for token in re.findall(r"\D\d*", packed):
        kind, digit, sign = next((kind, chars.index(token[0]), sign) for chars, kind, sign in tables
                                 if token[0] in chars)
        tokens.append((kind, sign * int(str(digit) + token[1:])))
    return tokens


def test_the_difdup_y_checks_hold_line_by_line(tmp_path, capsys):
    """Decoded by hand: each line starts at the X of its first value, which
    repeats the last of the line before; the last line is the check alone."""
    s = spectra.load(str(files(tmp_path)["series, falling X, no mini headers"]))
    s.to_jcamp(tmp_path / "s.jdx", split=True, form="difdup")
    lines = check_lines(tmp_path / "s-0.jdx")
    data = lines[lines.index("##XYDATA=(X++(Y..Y))") + 1:-1]
    values, position = [], 0
    for line in data:
        x, packed = line.split(" ")
        assert float(x) == s.x[position]
        (kind, first), *rest = asdf(packed)
        assert kind == "SQZ" and all(kind != "SQZ" for kind, _ in rest)
        if values:
            assert first == values[-1]  # the Y check
        here = [first]
        for (kind, number), (before, step) in zip(rest, [(kind, first)] + rest):
            if kind == "DIF":
                here.append(here[-1] + number)
            else:  # a DUP count: the DIF before it, that many times in all
                assert before == "DIF" and number >= 2
                here += [here[-1] + step * k for k in range(1, number)]
        values += here[1:] if values else here
        position = len(values) - 1
    assert data[-1].split(" ")[1][0] in "@ABCDEFGHIabcdefghi" and len(asdf(data[-1].split(" ")[1])) == 1
    factor = yfactors(lines)[0]
    assert len(values) == s.values.shape[1]
    assert numpy.all(numpy.abs(numpy.array(values) * factor - s.values[0]) <= factor / 2 * (1 + 1e-8))
    (block,) = read_jcamp(tmp_path / "s-0.jdx", capsys)  # and jcamp decodes the same, saying nothing
    assert numpy.array_equal(block["y"], numpy.array(values) * factor)


@pytest.mark.parametrize("title, shown", [
    ("a $$ comment", "a $ comment"),
    ("café 25 °C", "caf 25 C"),
    ("two\nlines", "two lines"),
    ("##END= # \\ $ " + "x" * 120, "##END= # \\ $ " + "x" * 59),
    ("Ωμ", None),
])
def test_a_title_is_kept_to_printable_ascii_and_whole_in_a_comment(tmp_path, capsys, title, shown):
    s = spectra.load(str(DEMO_SPECTRUM))
    s._titles = [title]  # as the arrays layer decodes titles, whatever their script
    lines = check_lines(s.to_jcamp(tmp_path / "t.jdx")[0])
    assert lines[0] == f"##TITLE={shown or 'demo_spectrum.spa'}"
    at = next(k for k, line in enumerate(lines) if line.startswith("##$FULL TITLE="))
    end = next(k for k in range(at + 1, len(lines)) if lines[k].startswith("##"))
    escaped = "".join(lines[at:end])[len("##$FULL TITLE="):]
    assert escaped.encode("ascii").decode("unicode_escape") == title
    (block,) = read_jcamp(tmp_path / "t.jdx", capsys)
    assert block["title"] == lines[0][8:] and len(block["y"]) == 1800


def test_an_ascii_title_that_fits_has_no_comment(tmp_path):
    lines = check_lines(spectra.load(str(DEMO_SPECTRUM)).to_jcamp(tmp_path / "t.jdx")[0])
    assert lines[0] == "##TITLE=demo ester, FT-IR absorbance" and not any("$FULL" in line for line in lines)


@pytest.mark.parametrize("values", [[0.5, float("nan"), 1.0], [float("-inf"), 0.0, 1.0]], ids=["nan", "infinity"])
def test_what_jcamp_cannot_hold_is_refused_before_anything_is_written(tmp_path, values):
    path = series(tmp_path, spectra=[[1.0, 2.0, 3.0], values]).path
    s = spectra.load(path)
    for split in (False, True):
        with pytest.raises(_export.Unwritable, match=r"series\.spa: spectrum 1 holds .* at point [01] \(X = "):
            s.to_jcamp(tmp_path / "out.jdx", split=split)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["series.spa"]


@pytest.mark.parametrize("short, long, units", [
    ("cm-1", "Raman shift", "1/CM"), ("", "wavenumber (cm^-1)", "1/CM"), ("1/cm", "", "1/CM"),
    ("nm", "wavelength", "NANOMETERS"), ("µm", "wavelength", "MICROMETERS"), ("um", "", "MICROMETERS"),
    ("s", "time (s)", "SECONDS"), ("", "Raman shift", "ARBITRARY UNITS"), ("K", "temperature", "ARBITRARY UNITS"),
])
def test_x_units_come_from_the_label_that_names_x(tmp_path, short, long, units):
    dims = [dict(dimension_type=2, first_dim=0, last_dim=3, scale_dim=1.0, num_elements=4, unit_ID=2,
                 short_label=short.encode("utf-8"), long_label=long.encode("utf-8"))]
    s = spectra.load(series(tmp_path, dimensions=dims).path)
    if short == "µm":  # the arrays layer may drop what is not ASCII; the rule reads the label it gives
        assert _export_jcamp.x_units(s) in ("MICROMETERS", "ARBITRARY UNITS")
    else:
        assert _export_jcamp.x_units(s) == units
    assert _export_jcamp.x_units(spectra.load(str(DEMO_SPECTRUM))) == "ARBITRARY UNITS"  # no labels at all


def test_bad_arguments_say_what_is_taken(tmp_path):
    s = spectra.load(str(DEMO_SPECTRUM))
    with pytest.raises(ValueError, match="data_type must be 'INFRARED SPECTRUM' or 'RAMAN SPECTRUM', not 'UV'"):
        s.to_jcamp(tmp_path / "x.jdx", data_type="UV")
    with pytest.raises(ValueError, match="form must be 'affn' or 'difdup'"):
        s.to_jcamp(tmp_path / "x.jdx", form="sqz")
    with pytest.raises(ValueError, match="owner must hold printable ASCII"):
        s.to_jcamp(tmp_path / "x.jdx", owner="Ωμ")
    empty = spectra.load(series(tmp_path, max_spectra=0).path)
    with pytest.raises(_export.Unwritable, match="holds no spectra"):
        empty.to_jcamp(tmp_path / "x.jdx", split=True)
    assert empty.to_jcamp(tmp_path / "x.jdx") == [tmp_path / "x.jdx"]
    assert "##BLOCKS=0" in check_lines(tmp_path / "x.jdx")
    assert not [p for p in tmp_path.iterdir() if p.name.endswith(".partial")]


def test_the_exports_page_shows_the_first_lines_of_the_demo_spectrum(tmp_path):
    text = EXPORTS_PAGE.read_text(encoding="utf-8")
    shown = re.search(r"The first 15 lines of `spectrum\.jdx`:\n\n```text\n(.*?)```", text, re.DOTALL)
    assert shown, "the exports page shows the first lines of an exported file"
    lines = check_lines(spectra.load(str(DEMO_SPECTRUM)).to_jcamp(tmp_path / "spectrum.jdx")[0])
    assert shown[1].splitlines() == lines[:15]


def test_a_large_file_id_becomes_a_cut_title(tmp_path, capsys):
    builder = sw.SpaBuilder(file_type=sw.FT_IRDATA, file_id=b"long " * 51)
    builder.add(2, sw.main_spectral_header(num_points=3, first_x=1.0, last_x=3.0))
    builder.add(3, numpy.array([1, 2, 3], "<f4").tobytes())
    builder.write(str(tmp_path / "long.spa"))
    s = spectra.load(str(tmp_path / "long.spa"))
    lines = check_lines(s.to_jcamp(tmp_path / "long.jdx")[0])
    assert lines[0] == "##TITLE=" + ("long " * 15).rstrip()[:72].rstrip()
    assert any(line.startswith("##$FULL TITLE=long") for line in lines)
    (block,) = read_jcamp(tmp_path / "long.jdx", capsys)
    assert list(block["y"]) == [1, 2, 3]
