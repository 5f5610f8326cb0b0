"""What the axes of a file's spectra are, as the file states them: the
dimensions that match the spectra or the points, their values and labels.

A dimension matches the spectra when its element count is the series
header's max_spectra, as the series reader reports it; its values run from
first_dim x scale_dim to last_dim x scale_dim.  Shared by the command line's
info and plot."""

from __future__ import annotations

import math
import re
from typing import TYPE_CHECKING, NamedTuple

import numpy
import numpy.typing as npt

import quorinreader as _core

if TYPE_CHECKING:
    from .spectra import Spectra

__all__ = ["Axis", "label", "matching", "number", "point_axis", "spectrum_axis", "split", "superscripts",
           "x_label", "x_unit"]


class Axis(NamedTuple):
    """One matching dimension: its labels, first and last value and count."""

    short_label: str
    long_label: str
    first: float
    last: float
    n: int

    @property
    def label(self) -> str:
        return label(self.long_label, self.short_label)

    def values(self) -> npt.NDArray[numpy.float64]:
        return numpy.linspace(self.first, self.last, self.n)


def matching(s: Spectra) -> list[Axis]:
    """The dimensions whose element count is the series' max_spectra, in file order."""
    if s.series_header is None:
        return []
    return _matching(s, s.series_header.max_spectra)


def spectrum_axis(s: Spectra) -> Axis | None:
    """The first matching dimension that can place the spectra: finite and
    not all of one value.  Of a series cut short (read with partial=True),
    the spectra read are the first of the dimension's elements: the axis
    given is that part of it."""
    n = len(s)
    for axis in matching(s):
        if n and axis.n >= n and numpy.isfinite([axis.first, axis.last]).all() and (
                axis.first != axis.last or axis.n == 1):
            if axis.n == n:
                return axis
            return axis._replace(last=axis.first + (axis.last - axis.first) * (n - 1) / (axis.n - 1), n=n)
    return None


def point_axis(s: Spectra, taken: Axis | None = None) -> Axis | None:
    """A dimension of as many elements as each spectrum has points, other than
    `taken`: it names the X axis.  Its values are not used; X is the spectral
    header's."""
    for axis in _matching(s, s.spectral_header.num_points):
        if axis != taken and axis.label:
            return axis
    return None


def label(long_label: str, short_label: str) -> str:
    """The long label, with the short one in brackets where it adds to it:
    "Raman shift" and "cm-1" give "Raman shift (cm-1)", "time (s)" and "t"
    give "time (s)"."""
    long_label, short_label = long_label.strip(), short_label.strip()
    if not long_label:
        return short_label
    if not short_label or short_label in long_label or "(" in long_label:
        return long_label
    return f"{long_label} ({short_label})"


_UNITS = re.compile(r"^(.*?)\s*\(([^()]*)\)\s*$")


def split(text: str) -> tuple[str, str | None]:
    """A label's name and the units in brackets at its end: "Raman shift
    (cm-1)" gives ("Raman shift", "cm-1"), "depth" gives ("depth", None)."""
    found = _UNITS.match(text.strip())
    if found is None or not found.group(2).strip() or not found.group(1):
        return text.strip(), None
    return found.group(1), found.group(2).strip()


def x_label(s: Spectra) -> str | None:
    """What names X: a dimension of as many elements as the spectra have
    points ("Raman shift (cm-1)"); None where the file names nothing."""
    named = point_axis(s, spectrum_axis(s))
    return named.label if named is not None and named.label else None


def x_unit(s: Spectra) -> str:
    """ " cm⁻¹": the units of X, for a number in a label; "" where not known."""
    found = x_label(s)
    unit = split(found)[1] if found is not None else None
    return " " + superscripts(unit) if unit else ""


_SUPERSCRIPT = str.maketrans("0123456789-+", "⁰¹²³⁴⁵⁶⁷⁸⁹⁻⁺")
# An exponent after a caret ("m^2", "cm^-1", "s^(-1)"), or a negative one
# written straight after a short unit in lower case ("cm-1", "s-2"), which a
# word such as "sample-1" is not.
_CARET = re.compile(r"(?<=[^\W\d_])\^\(?([-+]?\d+)\)?")
_SHORT_UNIT = re.compile(r"(?<![^\W\d_])([a-zµμ]{1,3})(-\d+)\b")


def superscripts(text: str) -> str:
    """Units with their exponents raised, for pictures: "cm-1" gives "cm⁻¹",
    "m^2" gives "m²"."""
    text = _CARET.sub(lambda found: found.group(1).translate(_SUPERSCRIPT), text)
    return _SHORT_UNIT.sub(lambda found: found.group(1) + found.group(2).translate(_SUPERSCRIPT), text)


def number(value: float) -> str:
    """A value for people: the shortest text that gives back its binary32
    value when it is one (X values and scales are stored so), integers
    without a fraction."""
    if not math.isfinite(value):
        return str(value)
    if value == int(value) and abs(value) < 1e16:
        return str(int(value))
    single = numpy.float32(value)
    return str(single) if float(single) == value else repr(value)


def _matching(s: Spectra, count: int) -> list[Axis]:
    # The core holds the rule of a matching dimension, for the series reader too.
    return [Axis(d.short_label, d.long_label, **extent) for d, extent in _core._matching_dimensions(s.dimensions, count)]
