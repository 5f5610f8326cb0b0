"""A user's script: a mapped series as an image cube, and a series on its axis.

tests/test_typing.py checks it with mypy --strict against the installed
package; tests/test_maps.py runs it on a map written by the project's writer.
"""

from typing import Any, Literal, assert_type

import numpy
import numpy.typing as npt

from quorinreader import spectra


def brightest(path: str) -> tuple[float, float] | None:
    """The stage position of the pixel with the largest mean over the band
    1000 to 2000; None where the file is no map."""
    s = spectra.load(path)
    assert_type(s.is_map, bool)
    if not s.is_map:
        return None
    m = s.to_map(tolerance=0.3, duplicates="mean")
    assert_type(m, spectra.Map)
    assert_type(m.shape, tuple[int, int])
    assert_type(m.stage_x, npt.NDArray[numpy.float64])
    assert_type(m.index, npt.NDArray[numpy.int64])
    assert_type(m.cube, npt.NDArray[numpy.floating[Any]])
    assert_type(m.scan, Literal["raster", "snake"])
    assert_type(m.taken, int)
    image = m.image(band=(1000.0, 2000.0), how="mean")
    assert_type(image, npt.NDArray[numpy.float64])
    iy, ix = numpy.unravel_index(int(numpy.nanargmax(image)), m.shape)
    return float(m.stage_x[ix]), float(m.stage_y[iy])


def position_error(path: str) -> str | None:
    """What is wrong with the grid, if anything."""
    try:
        spectra.load(path).to_map()
    except spectra.MapError as error:
        assert_type(error, spectra.MapError)
        return str(error)
    return None


def axis_label(path: str) -> str | None:
    axis = spectra.load(path).axis
    if axis is None:
        return None
    label, values = axis
    assert_type(values, npt.NDArray[numpy.float64])
    return label


def rise(path: str) -> float:
    """How much the mean over 1000 to 2000 grows from the first spectrum to the last."""
    trace = spectra.load(path).trace(band=(1000.0, 2000.0))
    assert_type(trace, npt.NDArray[numpy.float64])
    return float(trace[-1] - trace[0])
