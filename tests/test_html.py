"""The notebook's pictures: what they leave out is pooled, so a band one
point wide shows; a map shows as the image of its strongest band.  Each
test decodes the picture the display emits and reads its pixels."""

import base64
import re
import struct
import zlib
from pathlib import Path

import numpy
import pytest

from quorinreader import spectra
import spawriter as sw
import test_maps as maps

POINTS, BAND = 1024, 501  # 501 is on no stride of 1024 points in 48 or 240 columns


def png_of(html):
    """The (h, w, 3) uint8 pixels of the one PNG in the display."""
    [data] = re.findall(r"data:image/png;base64,([A-Za-z0-9+/=]+)", html)
    png = base64.b64decode(data)
    assert png[:8] == b"\x89PNG\r\n\x1a\n"
    at, idat, size = 8, b"", None
    while at < len(png):
        length, kind = struct.unpack(">I4s", png[at:at + 8])
        body = png[at + 8:at + 8 + length]
        if kind == b"IHDR":
            size = struct.unpack(">II", body[:8])
            assert body[8:10] == b"\x08\x02"  # 8-bit RGB, as the writer makes them
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    width, height = size
    raw = numpy.frombuffer(zlib.decompress(idat), numpy.uint8).reshape(height, 1 + 3 * width)
    assert (raw[:, 0] == 0).all()  # no row filters
    return raw[:, 1:].reshape(height, width, 3)


def brightness(rgb):
    """viridis runs from dark purple to bright yellow: red + green rises with the value."""
    return rgb[..., 0].astype(int) + rgb[..., 1]


def cell(k, n, cells):
    """The cell that item k of n falls in, the n cut into `cells` even runs."""
    return int(numpy.searchsorted(numpy.arange(cells) * n // cells, k, side="right")) - 1


def polylines(html):
    """Each polyline's points as an (n, 2) array of SVG coordinates."""
    return [numpy.array([p.split(",") for p in points.split()], float)
            for points in re.findall(r"<polyline[^>]* points='([^']*)'", html)]


def a_series(tmp_path, rows, band_rows=None, spike=None):
    """`rows` spectra of POINTS points: a low ramp, a band one point wide at
    BAND in the spectra `band_rows` (all by default), and `spike`: (spectrum,
    point) one value high in one spectrum alone."""
    values = numpy.tile(numpy.linspace(0.0, 1.0, POINTS), (rows, 1))
    values[range(rows) if band_rows is None else band_rows, BAND] = 800.0
    if spike is not None:
        values[spike] = 800.0
    return sw.series_file(str(Path(tmp_path) / "narrow.spa"), values.tolist()).path


def test_a_heat_map_shows_a_band_one_point_wide_and_one_spectrum_alone(tmp_path):
    path = a_series(tmp_path, 300, spike=(137, 100))
    for s in (spectra.load(path), spectra.open(path)):
        rgb = png_of(s._repr_html_())
        height, width = rgb.shape[:2]
        assert (height, width) == (48, 48)
        light = brightness(rgb)
        # The band's column in every row, and the spike's cell (rows run
        # upwards), are the brightest, and nothing else is.
        bright = numpy.zeros((height, width), bool)
        bright[:, cell(BAND, POINTS, width)] = True
        bright[height - 1 - cell(137, 300, height), cell(100, POINTS, width)] = True
        assert numpy.array_equal(light == light.max(), bright)
        s.close()


def test_lines_show_a_band_one_point_wide_as_their_envelope(tmp_path):
    path = a_series(tmp_path, 3, band_rows=[1])
    lines = polylines(spectra.load(path)._repr_html_())
    assert len(lines) == 3
    top = min(line[:, 1].min() for line in lines)
    assert top == pytest.approx(2.0)  # the highest value drawn reaches the top edge
    reaching = [k for k, line in enumerate(lines) if line[:, 1].min() == top]
    assert reaching == [1]
    at = lines[1][lines[1][:, 1] == top][:, 0]
    assert abs(at[0] - BAND * 240 / (POINTS - 1)) < 1.5  # where the band lies along X


def a_map(tmp_path, holes=()):
    """A 6 x 4 raster whose spectra are a ramp with a band one point wide at
    BAND, as high as the spectrum's index + 1; no spectrum at `holes`."""
    nodes = [n for n in maps.scan(6, 4) if n not in holes]
    values = numpy.tile(numpy.linspace(0.0, 1.0, POINTS), (len(nodes), 1))
    values[:, BAND] = 100.0 * (1 + numpy.arange(len(nodes)))
    mini = [dict(x_position=maps.X0 + maps.DX * ix, y_position=maps.Y0 + maps.DY * iy) for ix, iy in nodes]
    return sw.series_file(str(Path(tmp_path) / "map.spa"), values.tolist(), mini=mini).path, nodes


@pytest.mark.parametrize("shown", ["spectra", "map"])
def test_a_map_shows_the_image_of_its_strongest_band(tmp_path, shown):
    path, nodes = a_map(tmp_path, holes=[(2, 1)])
    s = spectra.load(path)
    html = (s if shown == "spectra" else s.to_map())._repr_html_()
    assert "6 × 4 positions, step 5.0 × 2.5, raster, 23 of 24 taken" in html
    x = s.x[BAND]
    assert f"mean over {x:.5g}–{x:.5g}" in html  # the band of the largest mean: one point wide
    rgb = png_of(html)
    assert rgb.shape[:2] == (4, 6)  # a pixel per node, the lowest stage y at the bottom
    light = brightness(rgb[::-1])
    index = s.to_map().index
    taken = index >= 0
    assert (rgb[::-1][~taken] == 217).all()  # grey where no spectrum was taken
    order = numpy.argsort(index[taken])
    assert (numpy.diff(light[taken][order]) >= 0).all() and light[taken][order][-1] > light[taken][order][0]
    # The picture's pixels are as wide as high where the steps are: 6 x 5 by 4 x 2.5.
    width, height = map(float, re.search(r"<svg[^>]* width='([\d.]+)' height='([\d.]+)'", html).groups())
    assert width / height == pytest.approx(30 / 10, rel=0.02)


def test_a_large_map_is_pooled_to_the_largest_of_its_pixels(tmp_path):
    nodes = maps.scan(200, 3)
    values = numpy.zeros((len(nodes), 4))
    values[:, 2] = 1.0
    hot = nodes.index((123, 1))
    values[hot, 2] = 50.0  # one pixel of 600
    mini = [dict(x_position=5.0 * ix, y_position=5.0 * iy) for ix, iy in nodes]
    path = sw.series_file(str(Path(tmp_path) / "wide.spa"), values.tolist(), mini=mini).path
    rgb = png_of(spectra.load(path)._repr_html_())
    assert rgb.shape[:2] == (3, 96)
    light = brightness(rgb[::-1])
    assert light[1, cell(123, 200, 96)] == light.max() and (light == light.max()).sum() == 1
