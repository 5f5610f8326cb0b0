"""A band of X measured in each spectrum: the value at the X nearest one X,
or the area, largest or mean value over a range of X.

A map's image (one value per pixel) and a series' trace (one value per
spectrum) measure through here, so that they measure alike and refuse
alike: an X outside the spectra's X, or a band that holds none of it, is
an error that says where X runs."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Literal

import numpy
import numpy.typing as npt

if TYPE_CHECKING:
    from .spectra import Spectra

__all__ = ["How", "columns", "label", "measure", "strongest", "trace"]

How = Literal["area", "max", "mean"]
HOWS = ("area", "max", "mean")
_ROWS = 1 << 22  # values measured at a time: a trace of a large file needs no copy of it


def columns(x: npt.NDArray[numpy.float64], source: str, what: str, at: float | None,
            band: tuple[float, float] | None, how: str) -> tuple[slice, How]:
    """The points of X that `at` or `band` picks, and how to measure them;
    ValueError where they pick none.  `what` names the caller in messages."""
    if (at is None) == (band is None):
        raise ValueError(f"{what} takes one of at=X or band=(A, B)")
    if how not in HOWS:
        raise ValueError(f"how must be 'area', 'max' or 'mean', not {how!r}")
    if not x.size:
        raise ValueError(f"{source}: the spectra have no points")
    if not numpy.isfinite(x[[0, -1]]).all():
        raise ValueError(f"{source}: the spectra's X runs from {x[0]:g} to {x[-1]:g}, so no X can be picked")
    lowest, highest = min(x[0], x[-1]), max(x[0], x[-1])
    if at is not None:
        at = float(at)
        if not lowest <= at <= highest:
            raise ValueError(f"{source}: X = {at:g} lies outside the spectra's X, which runs from {x[0]:g} "
                             f"to {x[-1]:g}")
        k = int(numpy.argmin(numpy.abs(x - at)))
        return slice(k, k + 1), "mean"
    assert band is not None
    lo, hi = sorted(map(float, band))
    inside = numpy.flatnonzero((x >= lo) & (x <= hi))
    if not inside.size:
        raise ValueError(f"{source}: no X lies in the band {lo:g} to {hi:g}; X runs from {x[0]:g} to {x[-1]:g}")
    return slice(int(inside[0]), int(inside[-1]) + 1), how  # type: ignore[return-value]


def measure(block: npt.NDArray[numpy.float64], x: npt.NDArray[numpy.float64], how: How) -> npt.NDArray[numpy.float64]:
    """Reduces the last axis of `block` (values at `x`)."""
    if how == "max":
        return numpy.asarray(block.max(axis=-1), numpy.float64)
    if how == "mean":
        return numpy.asarray(block.mean(axis=-1), numpy.float64)
    if x.size < 2:
        return numpy.zeros(block.shape[:-1])
    # The trapezoid rule, written out: numpy.trapezoid is NumPy 2's name, trapz NumPy 1's.
    steps = numpy.diff(x) / 2
    return numpy.asarray(numpy.abs(numpy.einsum("...i,i->...", block[..., 1:] + block[..., :-1], steps)),
                         numpy.float64)


def trace(s: Spectra, at: float | None, band: tuple[float, float] | None, how: str) -> npt.NDArray[numpy.float64]:
    """One value per spectrum of `s`, in the order of the spectra."""
    x = s.x
    picked, how = columns(x, s.source, "trace()", at, band, how)
    values = s.values
    out = numpy.empty(values.shape[0])
    rows = max(1, _ROWS // max(1, picked.stop - picked.start))
    for first in range(0, values.shape[0], rows):
        block = numpy.asarray(values[first:first + rows, picked], numpy.float64)
        out[first:first + rows] = measure(block, x[picked], how)
    return out


def strongest(s: Spectra) -> tuple[float, float]:
    """The band of the largest mean intensity: around the highest point of
    the mean spectrum, out to where the mean falls to half its height above
    its median."""
    x = s.x
    values = s.values
    mean = numpy.zeros(x.size)
    counted = numpy.zeros(x.size)
    rows = max(1, _ROWS // max(1, x.size))
    for first in range(0, values.shape[0], rows):
        block = numpy.asarray(values[first:first + rows], numpy.float64)
        finite = numpy.isfinite(block)
        mean += numpy.where(finite, block, 0).sum(axis=0)
        counted += finite.sum(axis=0)
    with numpy.errstate(invalid="ignore", divide="ignore"):
        mean = numpy.where(counted > 0, mean / numpy.maximum(counted, 1), numpy.nan)
    if not numpy.isfinite(mean).any():
        return float(x[0]), float(x[-1])
    top = int(numpy.nanargmax(mean))
    half = (mean[top] + numpy.nanmedian(mean)) / 2
    below = ~(mean >= half)
    left = numpy.flatnonzero(below[:top])
    right = numpy.flatnonzero(below[top:])
    first = int(left[-1]) + 1 if left.size else 0
    last = top + int(right[0]) - 1 if right.size else x.size - 1
    lo, hi = sorted((float(x[first]), float(x[last])))
    return lo, hi


def label(s: Spectra, at: float | None, band: tuple[float, float] | None, how: str | None) -> str:
    """What a measure is, for people: "value at 1596 cm⁻¹", "mean over 1550–1650 cm⁻¹"."""
    from . import axes as _axes

    unit = _axes.x_unit(s)
    if at is not None:
        x = s.x
        nearest = float(x[int(numpy.argmin(numpy.abs(x - at)))])
        return f"value at {_short(nearest)}{unit}"
    assert band is not None
    lo, hi = sorted(band)
    return f"{how or 'mean'} over {_short(lo)}–{_short(hi)}{unit}"


def _short(value: float) -> str:
    """An X for a label: five significant digits at most."""
    from . import axes as _axes

    return _axes.number(float(f"{value:.5g}")) if math.isfinite(value) else str(value)
