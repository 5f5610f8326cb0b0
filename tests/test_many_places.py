"""The places of the rows of a call's files, given by their sizes before any
file is known, and closed up once all have come."""
import numpy

from quorinreader._many.places import Places

F32 = numpy.dtype(numpy.float32)
ROW = 4 * 4  # a row of 4 float32 values


def _fill(places, j, n, first):
    rows = places.rows(j, n, 4, F32)
    rows[...] = numpy.arange(first, first + n * 4, dtype=F32).reshape(n, 4)
    return rows


def test_each_file_has_the_rows_its_size_could_hold_and_no_more():
    places = Places([100 * ROW + 15, 0, 3 * ROW + 15, 40 * ROW], 4, F32)
    assert places.starts == [0, 100, 100, 103, 143]
    assert places.rows(0, 100, 4, F32).shape == (100, 4)
    assert places.rows(0, 101, 4, F32) is None  # more than the file's size held
    assert places.rows(1, 1, 4, F32) is None  # an empty file holds none
    assert places.rows(2, 3, 5, F32) is None  # another point count
    assert places.rows(2, 3, 4, numpy.dtype(numpy.float64)) is None
    assert places.holds(places.rows(3, 1, 4, F32)) and not places.holds(numpy.zeros((1, 4), F32))


def test_closing_up_keeps_every_row_in_order():
    """Files placed with gaps between them (headers; an empty file; a file
    left out) come out as one matrix, each file's rows where the last
    ended, whatever order they were read in."""
    places = Places([100 * ROW + 15, 0, 3 * ROW + 15, 9 * ROW, 40 * ROW], 4, F32)
    rows = {3: _fill(places, 4, 39, 10_000), 1: _fill(places, 2, 3, 5_000), 0: _fill(places, 0, 98, 0)}
    want = numpy.concatenate([rows[0].copy(), rows[1].copy(), rows[3].copy()])
    matrix, starts = places.close_up([(0, 98), (2, 3), (4, 39)])  # file 3 failed: left out
    assert starts == [0, 98, 101]
    assert matrix.tobytes() == want.tobytes()
    assert matrix.base is places.matrix  # 12 rows of gaps in 152: not copied
    tight = matrix

    # Places far beyond the rows (a header that could have held many): a
    # matrix of its own, that does not keep the places alive.
    places = Places([10 * ROW, 10 * ROW], 4, F32)
    _fill(places, 0, 1, 0)
    _fill(places, 1, 1, 4)
    matrix, starts = places.close_up([(0, 1), (1, 1)])
    assert starts == [0, 1] and matrix.base is None
    assert matrix.tolist() == [[0, 1, 2, 3], [4, 5, 6, 7]]
    assert tight.flags.c_contiguous
