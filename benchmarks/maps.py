"""Map benchmark: finding the grid of a mapped series, and its image cube.

Writes a 500 x 500 map (250,000 spectra of 16 float32 points, 96-byte mini
headers holding the stage positions) twice, as a rows-first raster and as a
snake, loads each, then alternates within every round and prints medians:

- to_map() of the loaded series, against decoding its mini-header table
  (every numeric field of every mini header into a native array of its
  own, what reading the positions out of the table takes at the least);
- m.cube: of the raster a view of the values (no copy), of the snake one
  gather pass, against a plain copy of the values.

Run after `pip install .`:  python benchmarks/maps.py [--quick] [--rounds N]
"""

import argparse
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE.parent / "tests")]

import spawriter  # noqa: E402
from quorinreader import spectra  # noqa: E402

BLOB_TYPE = 192
POINTS = 16
STEP = 2.5


def positions(nx, ny, snake):
    """Node indices (ix, iy) in the order the stage visits them: rows first from the lower left."""
    iy = numpy.repeat(numpy.arange(ny), nx)
    ix = numpy.tile(numpy.arange(nx), ny)
    if snake:
        odd = iy % 2 == 1
        ix[odd] = nx - 1 - ix[odd]
    return ix, iy


def write_map(path, nx, ny, snake):
    """The file written in one go: headers by the writer, the blob as one structured array."""
    n = nx * ny
    record = numpy.dtype({"names": ["num_scans", "x_position", "y_position", "values"],
                          "formats": ["<u4", "<f4", "<f4", ("<f4", POINTS)],
                          "offsets": [0, 80, 84, 96], "itemsize": 96 + 4 * POINTS})
    link = spawriter.link_to_data(section_type=BLOB_TYPE,
                                  data_blob_format=spawriter.MINI_HDR | spawriter.SPECTRAL_HDR)
    blob_size = 140 + n * record.itemsize
    builder = spawriter.SpaBuilder(file_type=spawriter.FT_SERIES)
    builder.add(325, spawriter.series_header(series_ID=b"map", max_spectra=n, num_dimensions=0))
    builder.add(300, spawriter.disk_resident_array(array_element_size=4, link=link, dimensions=[]))
    blob = builder.add(BLOB_TYPE, b"", section_length=blob_size)
    head, offsets = builder.layout()
    assert offsets[blob] == len(head)
    rows = numpy.zeros(n, record)
    ix, iy = positions(nx, ny, snake)
    rows["num_scans"] = numpy.arange(1, n + 1)
    rows["x_position"] = 1000 + STEP * ix
    rows["y_position"] = -200 + STEP * iy
    rows["values"] = numpy.arange(POINTS, dtype="<f4") + numpy.arange(n, dtype="<f4")[:, None]
    with open(path, "wb") as f:
        f.write(head)
        f.write(spawriter.main_spectral_header(num_points=POINTS, first_x=400.0, last_x=4000.0))
        rows.tofile(f)


def timed(fn, *args):
    start = time.perf_counter()
    fn(*args)
    return time.perf_counter() - start


def decode_table(s):
    mini = s.mini_headers
    return {name: numpy.array(mini[name]) for name in mini.dtype.names}


def cube_of(s):
    return s.to_map().cube


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a 100 x 100 map")
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()
    side = 100 if args.quick else 500
    with tempfile.TemporaryDirectory() as folder:
        loaded = {}
        for kind in ("raster", "snake"):
            path = Path(folder) / f"{kind}.spa"
            write_map(path, side, side, kind == "snake")
            loaded[kind] = spectra.load(path)
        raster, snake = loaded["raster"], loaded["snake"]

        # What must hold before anything is timed.
        for kind, s in loaded.items():
            m = s.to_map()
            assert m.shape == (side, side) and m.scan == kind and m.taken == side * side, m
            ix, iy = positions(side, side, kind == "snake")
            assert numpy.array_equal(m.index[iy, ix], numpy.arange(side * side))
            assert numpy.array_equal(m.cube[iy, ix], s.values)
        cube = raster.to_map().cube
        view = numpy.shares_memory(cube, raster.values)
        assert view, "the cube of a complete raster must be a view"
        assert not numpy.shares_memory(snake.to_map().cube, snake.values)

        contenders = [("decode", lambda: timed(decode_table, raster)),
                      ("to_map", lambda: timed(raster.to_map)),
                      ("to_map_snake", lambda: timed(snake.to_map)),
                      ("cube_raster", lambda: timed(cube_of, raster)),
                      ("cube_snake", lambda: timed(cube_of, snake)),
                      ("copy", lambda: timed(numpy.array, snake.values))]
        times = {key: [] for key, _ in contenders}
        for r in range(args.rounds):
            for key, measure in contenders[r % len(contenders):] + contenders[:r % len(contenders)]:
                times[key].append(measure())
    med = {key: statistics.median(t) for key, t in times.items()}
    ratio = statistics.median(m / d for m, d in zip(times["to_map"], times["decode"]))
    n = side * side
    print(f"{side} x {side} map, {n:,} spectra of {POINTS} points; median of {args.rounds} rounds, alternating")
    for key, label in [("decode", "decode the mini-header table"), ("to_map", "to_map(), raster"),
                       ("to_map_snake", "to_map(), snake"), ("cube_raster", "to_map().cube, raster (a view)"),
                       ("cube_snake", "to_map().cube, snake (gathered)"), ("copy", "numpy.array(values)")]:
        print(f"  {label:<36}{med[key] * 1e3:>9.2f} ms")
    print("\ntargets")
    for label, ok, value in [
        ("to_map() <= 2x decoding the mini-header table", ratio <= 2, f"{ratio:.2f}x"),
        ("to_map() under 0.2 s", med["to_map"] < 0.2, f"{med['to_map'] * 1e3:.1f} ms"),
        ("raster cube: a view of the values", view, "view" if view else "copy"),
    ]:
        print(f"  {label:<50}{value:>10}  {'met' if ok else 'MISSED'}")


if __name__ == "__main__":
    main()
