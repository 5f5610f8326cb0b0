"""Band traces: one value per spectrum against the series axis, measured as
a map's image measures each pixel; an X outside the spectra's refused alike
by trace and image."""

import re

import numpy
import pytest

from cli_files import DEMO_SERIES
from quorinreader import spectra
import test_maps as maps


@pytest.mark.parametrize("how", ["load", "open"])
def test_a_trace_is_one_measure_per_spectrum(how):
    with getattr(spectra, how)(str(DEMO_SERIES)) as s:
        x, values = s.x, numpy.asarray(s.values, numpy.float64)
        at = s.trace(at=1600)
        k = int(numpy.argmin(abs(x - 1600)))
        assert at.dtype == numpy.float64 and at.shape == (len(s),) and numpy.array_equal(at, values[:, k])
        inside = (x >= 1550) & (x <= 1650)
        assert numpy.array_equal(s.trace(band=(1650, 1550), how="max"), values[:, inside].max(axis=1))
        assert numpy.allclose(s.trace(band=(1550, 1650)), values[:, inside].mean(axis=1))
        area = s.trace(band=(1550, 1650), how="area")
        step = x[1] - x[0]
        block = values[:, inside]
        assert numpy.allclose(area, step * (block.sum(axis=1) - (block[:, 0] + block[:, -1]) / 2))
        # Against the series axis: the band grows over the reaction's 1190 s.
        label, times = s.axis
        assert label == "time (s)" and times.shape == at.shape and at[-1] > 3 * at[0]


def test_a_trace_measures_as_the_image_does(tmp_path):
    nodes = [n for n in maps.scan(5, 4, snake=True) if n != (3, 2)]
    s = spectra.load(maps.write(tmp_path, nodes, points=5))
    m = s.to_map()
    taken = m.index >= 0
    for kwargs in [dict(at=1250.0), dict(band=(1300, 4000), how="area"), dict(band=(400, 2200), how="max")]:
        trace, image = s.trace(**kwargs), m.image(**kwargs)
        assert numpy.array_equal(image[taken], trace[m.index[taken]])


@pytest.mark.parametrize("kwargs, message", [
    (dict(at=99999), "X = 99999 lies outside the spectra's X, which runs from 400 to 4000"),
    (dict(at=399.5), "X = 399.5 lies outside the spectra's X, which runs from 400 to 4000"),
    (dict(band=(5000, 6000)), "no X lies in the band 5000 to 6000; X runs from 400 to 4000"),
    (dict(), "takes one of at=X or band=(A, B)"),
    (dict(at=1000, band=(1, 2)), "takes one of at=X or band=(A, B)"),
    (dict(band=(1, 5000), how="median"), "how must be 'area', 'max' or 'mean', not 'median'"),
], ids=["far", "just below", "band", "neither", "both", "how"])
def test_trace_and_image_refuse_alike(tmp_path, kwargs, message):
    s = spectra.load(maps.write(tmp_path, maps.scan(3, 2), points=5))
    m = s.to_map()
    for measure in (s.trace, m.image):
        with pytest.raises(ValueError, match=re.escape(message)):
            measure(**kwargs)
    assert s.trace(at=4000.0).shape == (6,) and m.image(at=400.0).shape == (2, 3)  # the ends are inside
