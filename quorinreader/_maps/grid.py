"""The grid along one stage axis: the nodes origin + k * step, k = 0, 1, ...,
that an axis's positions lie on, each within a tolerance (in steps) of its
node.  Each axis is found from its own positions alone.

Steps to try: the sorted positions are split into groups where neighbours
lie further apart than a threshold, and the step is the typical spacing
of the groups' centres (the median, and the mean), the gaps between the
positions counted in whole steps of it; where the groups are few, each
spacing between them is tried as the step too (a grid with lines left
out).  The thresholds: none
(every distinct position its own group), one in each of the widest jumps
between the spacings' sizes (stage jitter below, node spacings above), and
half of each step so found, again until it settles: jitter within the
tolerance keeps a node's positions less than half a step apart and
neighbouring nodes more, so half the step splits them rightly whatever
jumps the jitter itself makes.

A step gives a grid that fits where every position lies within the
tolerance of its node.  Origin and step are fitted by least squares, again
without the positions furthest off; where that leaves a position beyond the
tolerance, by the fit that makes the largest distance smallest (which
jitter close to the tolerance on a few nodes needs), as long as it moves no
node further than the positions lie from theirs anyway.

Several grids fit the same positions: the half-step grid of a fitting one
always does, with every other line empty, and a grid fine enough fits any
few positions by chance.  Of those that fit, the one kept gives the
shortest description of the positions (see _length): few lines, few of
them empty, and positions close to their nodes.  A finer grid whose extra
lines hold one position alone, while its others hold several each, is that
position astray from the coarser grid: an error, not a grid."""

from __future__ import annotations

import math
from typing import NamedTuple

import numpy
import numpy.typing as npt

__all__ = ["Fit", "axis", "single"]

_JUMPS, _JUMP = 8, 1.25  # thresholds tried: in the widest jumps of the spacings, of at least this ratio
_FEW = 16  # node spacings few enough to try each as the step
_SETTLE = 4  # thresholds at half the step, at most, until the step stays as it is
_ROUNDS = 4  # fits of the nodes at most
_CLOSE = 1e-6  # steps from a node that count as on it, whatever the median
_PRECISION = 1e-4  # of the axis's span: distances below it say nothing of a grid
_FLOOR = 2.0 ** -24  # the resolution of binary32 positions, relative to their size
_EMPTY = 2.0  # nats an empty node costs beyond the choice of which: lines left out are few
_PASSES, _STEPS_PER_PASS = 4, 64  # the minimax fit's search: the step known to a part in 10^7


class Fit(NamedTuple):
    """Along one axis: node k lies at origin + k * step; each position's k, and
    its distance from that node in steps."""

    origin: float
    step: float
    k: npt.NDArray[numpy.int64]
    off: npt.NDArray[numpy.float64]

    @property
    def nodes(self) -> int:
        return int(self.k.max()) + 1 if self.k.size else 0

    @property
    def worst(self) -> float:
        return float(self.off.max()) if self.off.size else 0.0


def single(v: npt.NDArray[numpy.float64]) -> Fit:
    """One node, at the positions' mean."""
    return Fit(float(v.mean()), math.nan, numpy.zeros(v.size, numpy.int64), numpy.zeros(v.size))


def axis(v: npt.NDArray[numpy.float64], sample: npt.NDArray[numpy.float64], tolerance: float,
         limit: int) -> tuple[Fit | None, Fit | None]:
    """The grid along one axis (None where there is none), and the closest
    one tried that does not fit (fewest positions off it), for the message.
    The steps are tried on the sample, and the grid chosen is fitted to
    them all."""
    if v.size == 0 or v.min() == v.max():
        return single(v), None
    span = float(v.max() - v.min())
    floor = max(_FLOOR * float(numpy.abs(sample).max()), _PRECISION * span)
    fitting: list[tuple[float, Fit]] = []
    closest: Fit | None = None
    closest_key = (math.inf, math.inf)
    s = numpy.sort(sample)
    for step, typical in _steps(s):
        if span / step + 1 > limit:
            continue
        origin = float(s[0])
        if typical:
            origin, step = _counted(s, step)
        fit = _fit(sample, origin, step, tolerance)
        if fit.worst <= tolerance and fit.nodes <= limit:
            fitting.append((_length(fit, floor), fit))
        elif sample is v:
            key = (float(numpy.count_nonzero(fit.off > tolerance)), fit.worst)
            if key < closest_key:
                closest, closest_key = fit, key
    fitting.sort(key=lambda item: item[0])
    for _, fit in fitting:
        if sample is not v:
            fit = _fit(v, fit.origin, fit.step, tolerance)
        if fit.worst <= tolerance and fit.nodes <= limit:
            coarser = _stray(v, fit, tolerance)
            if coarser is None:
                return fit, None
            if coarser.worst <= tolerance:
                return coarser, None
            return None, coarser
    if sample is not v:
        return axis(v, v, tolerance, limit)
    return None, closest


def _stray(v: npt.NDArray[numpy.float64], fit: Fit, tolerance: float) -> Fit | None:
    """The grid of two or three times the step, where `fit` needs its finer
    lines for one position alone while its other lines hold several each:
    a stray position, not a line of the grid.  None where there is none."""
    counts = numpy.bincount(fit.k)
    for times in (2, 3):
        if fit.nodes <= times:
            continue
        for phase in range(times):
            kept = numpy.arange(counts.size) % times == phase
            if counts[~kept].sum() == 1 and numpy.median(counts[kept & (counts > 0)]) >= 2:
                return _fit(v, fit.origin + phase * fit.step, times * fit.step, tolerance)
    return None


def _length(fit: Fit, floor: float) -> float:
    """How long a description of the positions the grid gives, in nats: which
    of its nodes hold positions (and a price for each empty one), which node
    each position is at, and how far from it: the median distance, in the
    axis's own units and down to `floor`, for each.  A grid of half the step
    pays for its empty lines and saves nothing; one whose nodes merge two
    groups pays in distance what it saves in nodes; one whose nodes split a
    group's jitter saves in distance less than it pays for its many empty
    lines.  The median, not each distance, so that one stray position costs
    no more than any other, and a few that chance puts on a node save
    nothing."""
    counts = numpy.bincount(fit.k)
    counts = counts[counts > 0]
    n, nodes, taken = fit.k.size, fit.nodes, counts.size
    which = math.lgamma(nodes + 1) - math.lgamma(taken + 1) - math.lgamma(nodes - taken + 1)
    which += _EMPTY * (nodes - taken)
    at = float(n * math.log(n) - numpy.dot(counts, numpy.log(counts)))
    distance = n * math.log(max(float(numpy.median(fit.off)) * fit.step, floor))
    return which + at + distance


def _counted(s: npt.NDArray[numpy.float64], step: float) -> tuple[float, float]:
    """Origin and step where the gaps between the sorted positions `s` are
    counted in whole steps of `step`: a median spacing a little off still
    counts every gap rightly, where nodes counted from the lowest position
    would slip by one at the far end of a long line."""
    k = numpy.concatenate([[0.0], numpy.cumsum(numpy.rint(numpy.diff(s) / step))])
    a, b = _line(k, s - s[0])
    return (float(s[0]) + a, b) if b > 0 else (float(s[0]), step)


def _steps(s: npt.NDArray[numpy.float64]) -> list[tuple[float, bool]]:
    """The candidate steps from sorted positions (see the module's notes),
    each with whether it is a grouping's typical spacing, median or mean,
    whose gaps are counted in whole steps (the others are spacings tried as
    they are)."""
    gaps = numpy.diff(s)
    sizes = numpy.unique(gaps[gaps > 0])
    if not sizes.size:
        return []
    ratios = sizes[1:] / sizes[:-1]
    widest = numpy.argsort(ratios)[::-1][:_JUMPS]
    thresholds = [0.0] + [math.sqrt(sizes[j] * sizes[j + 1]) for j in widest if ratios[j] >= _JUMP]
    # Thresholds cut at nested sets of gaps: the number of cuts names a grouping.
    found: dict[int, list[float]] = {}

    def grouping(threshold: float) -> list[float]:
        cuts = gaps > threshold
        count = int(numpy.count_nonzero(cuts))
        if not count:
            return []
        if count not in found:
            group = numpy.concatenate([[0], numpy.cumsum(cuts)])
            centres = numpy.bincount(group, s) / numpy.bincount(group)
            spacings = numpy.diff(centres)
            # The median, and the mean, which jitter on a line of single
            # positions leaves unbiased where no line is left out.
            steps = [float(numpy.median(spacings)), float(spacings.mean())]
            distinct = numpy.unique(spacings.astype(numpy.float32))
            if distinct.size <= _FEW:
                steps += distinct.tolist()
            found[count] = steps
        return found[count]

    for threshold in thresholds:
        grouping(threshold)
    for steps in list(found.values()):
        step = steps[0]
        for _ in range(_SETTLE):
            settled = grouping(step / 2)
            if not settled or abs(settled[0] - step) <= 1e-9 * step:
                break
            step = settled[0]
    tried: list[tuple[float, bool]] = []
    for steps in found.values():
        for j, step in enumerate(steps):
            typical = j < 2
            if step > 0 and all(abs(step - other) > 1e-9 * step or typical != kind for other, kind in tried):
                tried.append((step, typical))
    return tried


def _fit(v: npt.NDArray[numpy.float64], origin: float, step: float, tolerance: float) -> Fit:
    """The nodes of a first guess, then origin and step fitted by least
    squares: on every position, and again on those within the tolerance
    where some are not, so that one stray position moves no node.  Where a
    position is left beyond the tolerance, the minimax fit of those nodes."""
    k = numpy.empty(0)
    off = numpy.empty(0)
    for _ in range(_ROUNDS):  # until the nodes stay as they are
        d = v - origin
        moved = d * (1 / step)
        numpy.rint(moved, out=moved)
        lowest = float(moved.min())
        if lowest:
            moved -= lowest
            d -= lowest * step
            origin += lowest * step
        if numpy.array_equal(moved, k):
            break
        k = moved
        a, b = _line(k, d)
        off = _off(k, d, a, b)
        if off.max() > tolerance:
            use = off <= tolerance
            if numpy.count_nonzero(use) >= 2 and numpy.ptp(k[use]) > 0:
                a, b = _line(k[use], d[use])
                off = _off(k, d, a, b)
        if not b > 0:
            break
        origin, step = origin + a, b
        if off.max() < 0.5:  # every position nearest its node already: rounding again keeps them
            break
    fit = _trimmed(v, Fit(origin, step, k.astype(numpy.int64), off), tolerance)
    # Least squares can leave a node's outermost position beyond the
    # tolerance where a grid that fits exists; nodes that are not each
    # position's nearest cannot be mended so.  The grid that mends it moves
    # no node further than the positions other than the furthest lie from
    # theirs: it takes in jitter, and cannot leave positions that lie on
    # their nodes to take in a stray one.
    if tolerance < fit.worst < 0.5 and fit.nodes > 1:
        tighter = _minimax(v, fit)
        ends = numpy.array([0.0, fit.nodes - 1])
        moved = numpy.abs(tighter.origin + ends * tighter.step - fit.origin - ends * fit.step).max() / fit.step
        jitter = float(numpy.partition(fit.off, fit.off.size - 2)[-2]) if fit.off.size > 1 else 0.0
        if tighter.worst < fit.worst and moved <= jitter:
            return tighter
    return fit


def _trimmed(v: npt.NDArray[numpy.float64], fit: Fit, tolerance: float) -> Fit:
    """The fit again on the positions that lie closest to their nodes (within
    three times the median distance), where that keeps every position within
    the tolerance: a position off by more than the others pulls the least
    squares line towards itself and every other position off its node."""
    if not fit.off.size or not math.isfinite(fit.step):
        return fit
    use = fit.off <= 3 * float(numpy.median(fit.off)) + _CLOSE
    if use.all() or numpy.count_nonzero(use) < 2 or numpy.ptp(fit.k[use]) == 0:
        return fit
    k = fit.k.astype(numpy.float64)
    d = v - fit.origin
    a, b = _line(k[use], d[use])
    if not b > 0:
        return fit
    trimmed = Fit(fit.origin + a, b, fit.k, _off(k, d, a, b))
    return trimmed if trimmed.worst <= max(tolerance, fit.worst) else fit


def _line(k: npt.NDArray[numpy.float64], d: npt.NDArray[numpy.float64]) -> tuple[float, float]:
    """a and b of the least-squares line d = a + b k (b NaN where k takes one value)."""
    n = k.size
    sk, sd = float(k.sum()), float(d.sum())
    skk, skd = float(numpy.einsum("i,i", k, k)), float(numpy.einsum("i,i", k, d))
    denominator = n * skk - sk * sk
    b = (n * skd - sk * sd) / denominator if denominator > 0 else math.nan
    if not b > 0:
        return sd / n, math.nan
    return (sd - b * sk) / n, b


def _off(k: npt.NDArray[numpy.float64], d: npt.NDArray[numpy.float64], a: float,
         b: float) -> npt.NDArray[numpy.float64]:
    """|d - (a + b k)| / b: how far each position lies from its node, in steps."""
    r = k * b
    r += a
    numpy.subtract(d, r, out=r)
    numpy.abs(r, out=r)
    r *= 1 / b
    return r


def _minimax(v: npt.NDArray[numpy.float64], fit: Fit) -> Fit:
    """The origin and step that put the positions, on the nodes of `fit`, at
    the smallest largest distance from their nodes, in steps.  For a step b
    the best origin lies midway in the spread of v - k b, and the distance is
    half that spread over b: a ratio of a convex function to b, with one
    minimum, which a search over ever finer ranges of steps finds.  Only each
    node's lowest and highest position count."""
    k = fit.k
    lo = numpy.full(fit.nodes, numpy.inf)
    hi = numpy.full(fit.nodes, -numpy.inf)
    numpy.minimum.at(lo, k, v)
    numpy.maximum.at(hi, k, v)
    taken = numpy.isfinite(lo)
    nodes = numpy.flatnonzero(taken).astype(numpy.float64)[:, None]
    lo, hi = lo[taken][:, None], hi[taken][:, None]
    first, last = fit.step / 1.5, fit.step * 1.5
    for _ in range(_PASSES):
        steps = numpy.linspace(first, last, _STEPS_PER_PASS)
        top, bottom = (hi - nodes * steps).max(axis=0), (lo - nodes * steps).min(axis=0)
        best = int(numpy.argmin((top - bottom) / steps))
        width = steps[1] - steps[0]
        first, last = max(steps[best] - width, steps[0]), min(steps[best] + width, steps[-1])
    step = float(steps[best])
    origin = float(top[best] + bottom[best]) / 2
    return Fit(origin, step, k, numpy.abs(v - origin - k * step) / step)
