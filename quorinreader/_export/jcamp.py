"""JCAMP-DX 5.01 files of a file's spectra, as the IUPAC recommendations
lay them out: a single spectrum as one block, a series as one compound
(LINK) file of one block per spectrum, or as one file per spectrum.

Every block starts with ##TITLE= and ends with ##END=; between them come
##JCAMP-DX=, ##DATA TYPE=, ##ORIGIN= and ##OWNER=, any of our own `##$`
labels, then the spectral parameters (XUNITS, YUNITS, XFACTOR, YFACTOR,
FIRSTX, LASTX, NPOINTS, FIRSTY) and the table ##XYDATA=(X++(Y..Y)): each
line an X value, then the Y values that follow it from that X on.  Every
line is printable ASCII of at most 80 characters.

Two forms of the table:
- AFFN (the default): every Y value as the fewest digits that read back as
  the stored float (binary32 or binary64), YFACTOR 1; exact.
- DIFDUP: Y values as integers of YFACTOR, a power of ten such that the
  largest |Y| of the spectrum has 7 significant digits; the first on each
  line in SQZ form, then differences (DIF), runs of equal differences
  folded (DUP).  Each line repeats the last value of the line before it as
  its first (the Y check), and a last line holds the last point alone, so
  that its line is checked too.  Each value lies within half a YFACTOR of
  the stored one: at most 5e-7 of the spectrum's largest |Y|.

X is always written in its own units (XFACTOR 1), FIRSTX and LASTX as the
shortest text of the binary64 values that numpy.linspace(FIRSTX, LASTX,
NPOINTS) turns back into X exactly."""

from __future__ import annotations

import math
import os
import re
from collections.abc import Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy
import numpy.typing as npt

from .._read import axes as _axes
from .output import Unwritable, replacing

if TYPE_CHECKING:
    from .._read.spectra import Spectra

__all__ = ["DATA_TYPES", "FORMS", "write", "x_units"]

DATA_TYPES = ("INFRARED SPECTRUM", "RAMAN SPECTRUM")
FORMS = ("affn", "difdup")
VERSION = "5.01"
WIDTH = 80
UNKNOWN_UNITS = "ARBITRARY UNITS"
# Significant digits of the largest |Y| of a spectrum in the DIFDUP form.
DIGITS = 7

# The pseudo-digits of the ASCII squeezed difference form: the first digit
# of a number, with its sign, stands for the number's start.
_SQZ = ("@ABCDEFGHI", "@abcdefghi")
_DIF = ("%JKLMNOPQR", "%jklmnopqr")
_DUP = "?STUVWXYZs"  # counts 1 to 9; a count is never 0
_ZERO_FRACTION = re.compile(r"\.0(?= |$)")


def write(s: Spectra, out: Path, *, data_type: str = "INFRARED SPECTRUM", form: str = "affn",
          split: bool = False, origin: str | None = None, owner: str | None = None) -> list[Path]:
    """Writes the spectra of `s` to `out` (with `split`, to one file per
    spectrum beside it, numbered); returns the paths written.  Nothing is
    written where a spectrum holds a value JCAMP-DX cannot (NaN, infinity)."""
    data_type = data_type_of(data_type)
    if form not in FORMS:
        raise ValueError(f"form must be 'affn' or 'difdup', not {form!r}")
    name = _name(s.source)
    texts = {}
    for label, given, default in (("origin", origin, f"{name}, exported by quorinreader"),
                                  ("owner", owner, "UNKNOWN")):
        text = _printable(default if given is None else given)[:WIDTH - 9].rstrip()
        if not text:
            raise ValueError(f"{label} must hold printable ASCII text, not {given!r}")
        texts[label] = text
    _check_finite(s)
    common = _Common(s, data_type, form, texts["origin"], texts["owner"])
    if split:
        if not len(s):
            raise Unwritable(f"{s.source}: the series holds no spectra, so there is no file to write for each")
        paths = numbered(out, len(s))
        for k, path in enumerate(paths):
            with replacing(path) as temporary, _text(temporary) as f:
                f.writelines(common.block(k))
        return paths
    with replacing(out) as temporary, _text(temporary) as f:
        if s.kind == "spectrum":
            f.writelines(common.block(0))
        else:
            f.writelines(common.link(name))
            for k in range(len(s)):
                f.writelines(common.block(k, block_id=k + 1))
            f.write("##END=\n")
    return [out]


def numbered(out: Path, n: int) -> list[Path]:
    """The files of a split: `out` with -0, -1, ... (zero-padded) before its suffix."""
    width = len(str(n - 1))
    return [out.with_name(f"{out.stem}-{k:0{width}d}{out.suffix}") for k in range(n)]


def data_type_of(text: str) -> str:
    """"INFRARED SPECTRUM" or "RAMAN SPECTRUM", from either or "infrared"/"raman" in any case."""
    found = " ".join(str(text).split()).upper()
    if found in ("INFRARED", "RAMAN"):
        found += " SPECTRUM"
    if found not in DATA_TYPES:
        raise ValueError(f"data_type must be 'INFRARED SPECTRUM' or 'RAMAN SPECTRUM', not {text!r}")
    return found


def _check_finite(s: Spectra) -> None:
    """Unwritable for the first NaN or infinity, before anything is written."""
    values = s.values
    step = max(1, (32 << 20) // max(1, values.itemsize * values.shape[1]))
    for start in range(0, values.shape[0], step):
        bad = numpy.argwhere(~numpy.isfinite(values[start:start + step]))
        if bad.size:
            k, j = int(bad[0][0]) + start, int(bad[0][1])
            raise Unwritable(f"{s.source}: spectrum {k} holds {values[k, j]} at point {j} (X = "
                             f"{_axes.number(float(s.x[j]))}), which JCAMP-DX cannot hold; export it as CSV, "
                             "NPZ or NeXus instead")


def _text(path: Path) -> Any:
    return open(path, "w", encoding="ascii", newline="\n")


class _Common:
    """What every block of one file shares: X, its units and labels, the texts of the mini-header fields."""

    def __init__(self, s: Spectra, data_type: str, form: str, origin: str, owner: str) -> None:
        self.s, self.data_type, self.form, self.origin, self.owner = s, data_type, form, origin, owner
        self.x_texts = [_positional(v) for v in s.x.tolist()]
        self.x_units = x_units(s)
        named = _axes.point_axis(s, _axes.spectrum_axis(s))
        self.x_label = "" if named is None else _printable(named.label)[:WIDTH - 11].rstrip()
        header = s.spectral_header
        self.first_x, self.last_x = _number(float(header.first_x)), _number(float(header.last_x))
        self.titles = s.titles
        mini = s.mini_headers
        self.fields = [] if mini is None else [
            (f"##${name.upper()}=", _numbers(mini[name]) if mini[name].dtype.kind == "f"
             else list(map(str, mini[name].tolist()))) for name in mini.dtype.names or ()]
        self.name = _name(s.source)

    def link(self, title: str) -> Iterator[str]:
        yield f"##TITLE={_printable(title)[:WIDTH - 8].rstrip() or 'series'}\n"
        yield f"##JCAMP-DX={VERSION}\n"
        yield "##DATA TYPE=LINK\n"
        yield f"##ORIGIN={self.origin}\n"
        yield f"##OWNER={self.owner}\n"
        yield f"##BLOCKS={len(self.s)}\n"

    def block(self, k: int, block_id: int | None = None) -> Iterator[str]:
        s = self.s
        fallback = self.name if s.kind == "spectrum" else f"{self.name}, spectrum {k}"
        title = self.titles[k] or ""
        shown = _printable(title)[:WIDTH - 8].rstrip()
        y = s.values[k]
        yield f"##TITLE={shown or _printable(fallback)[:WIDTH - 8].rstrip()}\n"
        yield f"##JCAMP-DX={VERSION}\n"
        yield f"##DATA TYPE={self.data_type}\n"
        if block_id is not None:
            yield f"##BLOCK_ID={block_id}\n"
        yield f"##ORIGIN={self.origin}\n"
        yield f"##OWNER={self.owner}\n"
        if shown != title:
            yield from _full_title(title)
        if self.x_label:
            yield f"##$X LABEL={self.x_label}\n"
        for label, texts in self.fields:
            yield f"{label}{texts[k]}\n"
        if self.form == "affn":
            factor, lines = "1", _affn(self.x_texts, y)
        else:
            factor, ints = _integers(y)
            lines = _difdup(self.x_texts, ints)
        yield f"##XUNITS={self.x_units}\n"
        yield f"##YUNITS={UNKNOWN_UNITS}\n"
        yield "##XFACTOR=1\n"
        yield f"##YFACTOR={factor}\n"
        yield f"##FIRSTX={self.first_x}\n"
        yield f"##LASTX={self.last_x}\n"
        yield f"##NPOINTS={y.size}\n"
        if y.size:
            yield f"##FIRSTY={_numbers(y[:1])[0]}\n"
        yield "##XYDATA=(X++(Y..Y))\n"
        for line in lines:
            yield line + "\n"
        yield "##END=\n"


def x_units(s: Spectra) -> str:
    """XUNITS from the label of the dimension that names X: 1/CM for a
    wavenumber axis, NANOMETERS, MICROMETERS, SECONDS; ARBITRARY UNITS
    where the file has no such label (its units codes are not defined)."""
    named = _axes.point_axis(s, _axes.spectrum_axis(s))
    if named is None:
        return UNKNOWN_UNITS
    text = f" {named.short_label} {named.long_label} ".lower()
    if re.search(r"cm\s*(\^\s*\(?\s*-\s*1\s*\)?|-1|⁻¹)|1\s*/\s*cm|wave\s*numbers?", text):
        return "1/CM"
    if re.search(r"\bnm\b|nanomet", text):
        return "NANOMETERS"
    if re.search(r"[µμ]m\b|\bum\b|micromet|\bmicrons?\b", text):
        return "MICROMETERS"
    if re.search(r"\((s|sec|seconds?)\)|\bseconds?\b", text):
        return "SECONDS"
    return UNKNOWN_UNITS


# Numbers.

def _numbers(values: npt.NDArray[Any]) -> list[str]:
    """Each value as the fewest digits that read back as it in its own
    binary format, in AFFN: 1.5, -0, 1E-45, 3.4028235E+38."""
    if values.dtype.itemsize == 4:
        texts = list(map(str, values.astype(numpy.float32)))  # NumPy's shortest digits for binary32
    else:
        texts = list(map(repr, values.tolist()))
    joined = _ZERO_FRACTION.sub("", " ".join(texts)).replace("e", "E")
    return joined.split(" ") if texts else []


def _number(value: float) -> str:
    return _numbers(numpy.array([value], numpy.float64))[0]


def _positional(value: float) -> str:
    """A binary64 X value as the fewest digits that read back as it, without
    an exponent, which no line of pseudo-digits may hold."""
    text = repr(value)
    if "e" in text:
        text = numpy.format_float_positional(value, unique=True, trim="-")
    return text[:-2] if text.endswith(".0") else text


def _integers(y: npt.NDArray[Any]) -> tuple[str, npt.NDArray[numpy.int64]]:
    """YFACTOR's text, a power of ten that gives the largest |Y| 7
    significant digits, and the values as integers of it."""
    largest = float(numpy.max(numpy.abs(y))) if y.size else 0.0
    if largest == 0:
        return "1", numpy.zeros(y.size, numpy.int64)
    exponent = math.floor(math.log10(largest)) - (DIGITS - 1)
    while largest < 10.0 ** (exponent + DIGITS - 1):  # log10 may round up just below a power of ten
        exponent -= 1
    wide = numpy.asarray(y, numpy.float64)
    # By an exact power of ten where there is one, so that one rounding is all.
    scaled = wide * 10.0 ** -exponent if exponent <= 0 else wide / 10.0 ** exponent
    return _number(float(f"1e{exponent}")), numpy.rint(scaled).astype(numpy.int64)


def _affn(x_texts: list[str], y: npt.NDArray[Any]) -> list[str]:
    """Lines of an X and as many AFFN values after it as fit."""
    texts = _numbers(y)
    sizes = [len(text) + 1 for text in texts]  # each with the space before it
    lines = []
    a, n = 0, len(texts)
    while a < n:
        room = WIDTH - len(x_texts[a]) - sizes[a]
        b = a + 1  # one value always fits
        while b < n and sizes[b] <= room:
            room -= sizes[b]
            b += 1
        lines.append(x_texts[a] + " " + " ".join(texts[a:b]))
        a = b
    return lines


def _pseudo(value: int, tables: tuple[str, str]) -> str:
    text = str(abs(value))
    return tables[value < 0][ord(text[0]) - 48] + text[1:]


def _difdup(x_texts: list[str], ints: npt.NDArray[numpy.int64]) -> list[str]:
    """Lines of an X, the value at it (SQZ) and the differences that follow
    (DIF, with DUP counts); each line's first value repeats the last of the
    line before, and a last line holds the last point again."""
    n = ints.size
    if not n:
        return []
    values = ints.tolist()
    line = x_texts[0] + " " + _pseudo(values[0], _SQZ)
    if n == 1:
        return [line]
    lines: list[str] = []
    steps = numpy.diff(ints)
    starts = numpy.flatnonzero(numpy.concatenate(([True], steps[1:] != steps[:-1])))
    counts = numpy.diff(numpy.append(starts, steps.size)).tolist()
    known: dict[int, str] = {}
    at = 0  # the point the line has reached
    for step, count in zip(steps[starts].tolist(), counts):
        token = known.get(step)
        if token is None:
            token = known[step] = _pseudo(step, _DIF)
        if count > 1:
            digits = str(count)
            token += _DUP[ord(digits[0]) - 48] + digits[1:]
        if len(line) + len(token) > WIDTH:
            lines.append(line)
            line = x_texts[at] + " " + _pseudo(values[at], _SQZ)
        line += token
        at += count
    lines.append(line)
    lines.append(x_texts[n - 1] + " " + _pseudo(values[n - 1], _SQZ))
    return lines


# Text.

def _printable(text: str) -> str:
    """`text` kept to printable ASCII: line breaks and tabs as spaces, other
    characters left out, "$$" (which starts a comment) as "$"."""
    kept = "".join(c if " " <= c <= "~" else " " if c in "\t\r\n" else "" for c in text)
    while "$$" in kept:
        kept = kept.replace("$$", "$")
    return " ".join(kept.split())


def _full_title(title: str) -> Iterator[str]:
    """Where the title line leaves anything out (a character that is not
    printable ASCII, a line break, its end past 80 characters): the whole
    title in ##$FULL TITLE=, every character outside printable ASCII (and
    \\, $ and #) as a Python escape, wrapped over as many lines as it takes,
    a space at either end of a line as \\x20.  Joined without the line
    breaks, it decodes with the codec "unicode_escape"."""
    escaped = [f"\\x{ord(c):02x}" if c in "$#" else c if " " <= c <= "~" and c != "\\"
               else c.encode("unicode_escape").decode("ascii") for c in title]
    first = "##$FULL TITLE="
    lines: list[list[str]] = [[]]
    used = len(first)
    for piece in escaped:
        if used + len(piece) > WIDTH - 6:  # room for a space at either end, written as \x20
            lines.append([])
            used = 0
        lines[-1].append(piece)
        used += len(piece)
    for k, pieces in enumerate(lines):
        for end in (0, -1):
            if pieces and pieces[end] == " ":
                pieces[end] = "\\x20"
        text = "".join(pieces)
        yield (first if k == 0 else "") + text + "\n"


def _name(source: str) -> str:
    return os.path.basename(str(source).rstrip("/\\")) or str(source)
