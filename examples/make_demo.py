"""Writes examples/demo_series.spa, the demo series file, with the test writer.

A reaction followed over time: 120 Raman spectra of 400 points from
200 to 3200 cm-1, one band growing while another fades.
"""

import math
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import spawriter  # noqa: E402

SPECTRA, POINTS = 120, 400
FIRST_X, LAST_X = 200.0, 3200.0


def band(x, centre, width, height):
    return height * math.exp(-(((x - centre) / width) ** 2))


def spectrum(k):
    progress = k / (SPECTRA - 1)
    step = (LAST_X - FIRST_X) / (POINTS - 1)
    values = []
    for i in range(POINTS):
        x = FIRST_X + i * step
        values.append(0.05 + band(x, 1000.0, 40.0, 1.0 - 0.8 * progress)
                      + band(x, 1600.0, 30.0, 0.2 + 0.9 * progress)
                      + band(x, 2900.0, 60.0, 0.5) + 0.01 * math.sin(i * 0.7 + k))
    return values


def main(path=HERE / "demo_series.spa"):
    spectra = [spectrum(k) for k in range(SPECTRA)]
    titles = [f"t = {10 * k} s" for k in range(SPECTRA)]
    time = dict(dimension_type=1, first_dim=0, last_dim=10 * (SPECTRA - 1), scale_dim=1.0,
                num_elements=SPECTRA, unit_ID=1, short_label=b"t", long_label=b"time (s)")
    wavenumber = dict(dimension_type=2, first_dim=int(FIRST_X), last_dim=int(LAST_X), scale_dim=1.0,
                      num_elements=POINTS, unit_ID=2, short_label=b"cm-1", long_label=b"Raman shift")
    spawriter.series_file(path, spectra, titles=titles, first_x=FIRST_X, last_x=LAST_X,
                          bench_hdr=True, dimensions=[time, wavenumber])
    print(f"wrote {path} ({Path(path).stat().st_size} bytes)")


if __name__ == "__main__":
    main(*sys.argv[1:])
