"""Writes the demo files with the test suite's writer of synthetic files.

    python examples/make_demo.py [FOLDER]

demo_series.spa: a reaction followed over time, 120 Raman spectra of 400
points from 200 to 3200 cm-1, one band growing while another fades.

demo_spectrum.spa: one FT-IR absorbance spectrum of 1,800 points from 4000
down to 400 cm-1, with the bands of an ester (O-H, C-H, C=O, C-O).

demo_map.spa: a Raman map, 20 x 15 stage positions 5 um apart scanned as a
snake (rows first, from the lower left), 150 points from 200 to 1800 cm-1:
a round grain whose band at 1000 cm-1 stands out of a matrix whose band at
1600 cm-1 fades from left to right.

singles/: a lab's folder of single spectra, six Raman spectra of 1,000
points from 200 to 3200 cm-1 of blends of polyethylene and polystyrene, each
titled in the Windows code page ("mélange PE 20 %, PS 80 %").
"""

import math
import struct
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import spawriter  # noqa: E402

SPECTRA, POINTS = 120, 400
FIRST_X, LAST_X = 200.0, 3200.0

IR_POINTS, IR_FIRST_X, IR_LAST_X = 1800, 4000.0, 400.0
# (centre in cm-1, half width, absorbance): Lorentzian bands.
IR_BANDS = [(3450, 120, 0.12), (2962, 14, 0.42), (2930, 16, 0.55), (2874, 12, 0.25),
            (1738, 11, 1.05), (1462, 12, 0.22), (1375, 8, 0.18), (1240, 18, 0.78),
            (1047, 20, 0.46), (722, 6, 0.08)]


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


def absorbance():
    step = (IR_LAST_X - IR_FIRST_X) / (IR_POINTS - 1)
    values = []
    for i in range(IR_POINTS):
        x = IR_FIRST_X + i * step
        baseline = 0.02 + 0.01 * (IR_FIRST_X - x) / (IR_FIRST_X - IR_LAST_X)
        values.append(baseline + sum(h / (1 + ((x - c) / w) ** 2) for c, w, h in IR_BANDS)
                      + 0.002 * math.sin(i * 1.3) * math.sin(i * 0.11))
    return values


def write_series(path):
    spectra = [spectrum(k) for k in range(SPECTRA)]
    titles = [f"t = {10 * k} s" for k in range(SPECTRA)]
    time = dict(dimension_type=1, first_dim=0, last_dim=10 * (SPECTRA - 1), scale_dim=1.0,
                num_elements=SPECTRA, unit_ID=1, short_label=b"t", long_label=b"time (s)")
    wavenumber = dict(dimension_type=2, first_dim=int(FIRST_X), last_dim=int(LAST_X), scale_dim=1.0,
                      num_elements=POINTS, unit_ID=2, short_label=b"cm-1", long_label=b"Raman shift")
    spawriter.series_file(path, spectra, titles=titles, first_x=FIRST_X, last_x=LAST_X,
                          bench_hdr=True, dimensions=[time, wavenumber])


def write_spectrum(path):
    """A single spectrum: its main spectral header (section type 2), then its values (type 3)."""
    builder = spawriter.SpaBuilder(file_type=spawriter.FT_IRDATA, file_id=b"demo ester, FT-IR absorbance")
    builder.add(2, spawriter.main_spectral_header(num_points=IR_POINTS, first_x=IR_FIRST_X, last_x=IR_LAST_X,
                                                  num_scans=32))
    builder.add(3, struct.pack(f"<{IR_POINTS}f", *absorbance()))
    builder.write(path)


MAP_NX, MAP_NY, MAP_STEP, MAP_X0, MAP_Y0 = 20, 15, 5.0, 1200.0, -340.0
MAP_POINTS, MAP_FIRST_X, MAP_LAST_X = 150, 200.0, 1800.0


def map_spectrum(ix, iy):
    """The grain, some 30 um across, lies at the eleventh column of the sixth row."""
    grain = math.exp(-(((ix - 10) ** 2 + (iy - 5) ** 2) * MAP_STEP ** 2) / (2 * 12.5 ** 2))
    seed = (ix * 7919 + iy * 104729) % 1000
    matrix = 1.0 - 0.6 * ix / (MAP_NX - 1)
    step = (MAP_LAST_X - MAP_FIRST_X) / (MAP_POINTS - 1)
    values = []
    for i in range(MAP_POINTS):
        x = MAP_FIRST_X + i * step
        values.append(0.1 + band(x, 1000.0, 25.0, 6.0 * grain) + band(x, 1600.0, 40.0, 0.8 * matrix)
                      + 0.01 * math.sin(i * 2.3 + seed) * math.sin(i * 0.37 + seed))
    return values


def write_map(path):
    nodes = [(ix if iy % 2 == 0 else MAP_NX - 1 - ix, iy) for iy in range(MAP_NY) for ix in range(MAP_NX)]
    positions = [(MAP_X0 + MAP_STEP * ix, MAP_Y0 + MAP_STEP * iy) for ix, iy in nodes]
    wavenumber = dict(dimension_type=2, first_dim=int(MAP_FIRST_X), last_dim=int(MAP_LAST_X), scale_dim=1.0,
                      num_elements=MAP_POINTS, unit_ID=2, short_label=b"cm-1", long_label=b"Raman shift")
    spawriter.series_file(path, [map_spectrum(ix, iy) for ix, iy in nodes],
                          titles=[f"x {x:g}, y {y:g}" for x, y in positions],
                          mini=[dict(x_position=x, y_position=y) for x, y in positions],
                          first_x=MAP_FIRST_X, last_x=MAP_LAST_X, dimensions=[wavenumber])


# (centre in cm-1, width, height) of the Raman bands of polyethylene and of polystyrene.
PE_BANDS = [(1063, 9, 0.45), (1130, 8, 0.5), (1295, 8, 0.7), (1440, 12, 0.8), (2848, 10, 1.0), (2883, 10, 1.3)]
PS_BANDS = [(621, 6, 0.25), (1001, 5, 1.6), (1031, 6, 0.45), (1602, 8, 0.6), (3054, 12, 0.9)]
BLENDS = range(0, 101, 20)  # % polyethylene
BLEND_POINTS = 1000


def blend(pe):
    step = (LAST_X - FIRST_X) / (BLEND_POINTS - 1)
    values = []
    for i in range(BLEND_POINTS):
        x = FIRST_X + i * step
        values.append(0.03 + 0.00002 * x + sum(pe / 100 * band(x, c, w, h) for c, w, h in PE_BANDS)
                      + sum((100 - pe) / 100 * band(x, c, w, h) for c, w, h in PS_BANDS)
                      + 0.006 * math.sin(i * 1.7 + pe) * math.sin(i * 0.091))
    return values


def write_singles(folder):
    """One file per blend, titled in Windows-1252 as the instruments' PCs write titles."""
    folder.mkdir(exist_ok=True)
    paths = []
    for pe in BLENDS:
        title = f"mélange PE {pe} %, PS {100 - pe} %".encode("cp1252")
        builder = spawriter.SpaBuilder(file_type=spawriter.FT_IRDATA, file_id=title)
        builder.add(2, spawriter.main_spectral_header(num_points=BLEND_POINTS, first_x=FIRST_X, last_x=LAST_X))
        builder.add(3, struct.pack(f"<{BLEND_POINTS}f", *blend(pe)))
        builder.write(folder / f"blend_{pe:02d}.spa")
        paths.append(folder / f"blend_{pe:02d}.spa")
    return paths


def main(folder=HERE):
    for name, write in (("demo_series.spa", write_series), ("demo_spectrum.spa", write_spectrum),
                        ("demo_map.spa", write_map)):
        path = Path(folder) / name
        write(path)
        print(f"wrote {path} ({path.stat().st_size} bytes)")
    for path in write_singles(Path(folder) / "singles"):
        print(f"wrote {path} ({path.stat().st_size} bytes)")


if __name__ == "__main__":
    main(*sys.argv[1:])
