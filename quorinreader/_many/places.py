"""A place for the rows of each file of a call, before any file is known.

Where a listing gave every file's size, a file of up to one part comes whole
in one request, and its rows are read into the call's matrix as it comes.
A file's rows cannot follow the last file's until every earlier file is
known, and that would hold the bytes of whatever came early.  So each file
is given a place of as many rows as its size could hold at most, a place
that depends on the sizes alone, and the rows are closed up at the end: a
move within memory the rows already fill, where holding the files would
double it."""

from __future__ import annotations

from itertools import accumulate
from typing import Any

import numpy

__all__ = ["Places"]


class Places:
    """One matrix with a place for each file of a call, in order: for file
    j, as many rows of `points` values of `dtype` as `sizes[j]` bytes could
    hold, headers aside."""

    def __init__(self, sizes: list[int], points: int, dtype: numpy.dtype[Any]) -> None:
        row = points * dtype.itemsize
        self.starts = list(accumulate((size // row for size in sizes), initial=0))
        self.matrix = numpy.empty((self.starts[-1], points), dtype)

    def rows(self, j: int, n: int, points: int, dtype: numpy.dtype[Any]) -> Any:
        """The place of file j for its `n` rows; None where they are not of
        the matrix's kind or, against the odds, more than its size held."""
        start = self.starts[j]
        if points != self.matrix.shape[1] or dtype != self.matrix.dtype or start + n > self.starts[j + 1]:
            return None
        return self.matrix[start:start + n]

    def holds(self, values: Any) -> bool:
        return values is not None and values.base is self.matrix

    def close_up(self, files: list[tuple[int, int]]) -> tuple[Any, list[int]]:
        """Moves the rows of the files, (position, rows) each in order, down
        to follow each other.  Gives the matrix of them all, and where each
        file's rows start in it."""
        matrix = self.matrix
        at = 0
        starts = []
        for j, n in files:
            start = self.starts[j]
            if start != at:
                matrix[at:at + n] = matrix[start:start + n]  # NumPy sees the overlap
            starts.append(at)
            at += n
        if len(matrix) - at > at // 8:
            # Places well beyond the rows (small files, whose headers could
            # have held a row or more): a matrix of the rows alone, so that
            # the rest is not kept alive with it.
            return matrix[:at].copy(), starts
        return matrix[:at], starts
