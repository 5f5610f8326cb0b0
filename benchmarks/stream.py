"""Series streaming benchmark: quorinreader against raw reads and a pure-Python reader.

Writes three series files once into a temporary directory (large float32,
large float64, many small spectra), checks that quorinreader and the two
pure-Python readers deliver the same items, then alternates between the
contenders for a few rounds and prints the medians.  The baseline is
pyspa.py, the same reader written in plain Python (whole records, a file
opened per operation); pyreader.py is a leaner hand-written reader that opens
the file once and decodes only what the items need, shown for reference.

- streaming ``for item in open_file(p).open_series(): pass``;
- the raw sequential read of the same bytes (unbuffered readinto in
  spectrum-sized chunks), the physical limit;
- peak RSS of a fresh process that streams the file, against one that only
  imports the module;
- for the many-small file, both pure-Python readers;
- opening a series and taking its first item, quorinreader against both.

Run after `pip install .`:  python benchmarks/stream.py [--quick]
"""

import argparse
import statistics
import subprocess
import sys
import tempfile
import time
from array import array
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

import pyreader  # noqa: E402
import pyspa  # noqa: E402
import quorinreader  # noqa: E402
import spawriter  # noqa: E402

MB = 1e6
MINI_SIZE = 96
SPECTRAL_HEADER_SIZE = 140
BLOB_TYPE = 192
FIRST_X, LAST_X, SCALE = 400.0, 4000.0, 0.5
CHECKED = 5  # spectra compared item by item at the start of each file

# name, spectra, points per spectrum, bytes per value
FULL = [("large float32", 20_000, 1_800, 4), ("large float64", 20_000, 1_800, 8),
        ("many-small", 200_000, 16, 4)]
QUICK = [("large float32", 2_000, 1_800, 4), ("large float64", 2_000, 1_800, 8),
         ("many-small", 20_000, 16, 4)]

# A fresh interpreter that imports the module from the directory given first
# (the one this process uses), streams the file given second unless it is
# "-", and prints its peak resident set size in KiB.  VmHWM is the
# peak of this process's own memory; ru_maxrss would not do, as Linux carries
# the parent's peak over into it across fork and exec.
CHILD = """
import sys
sys.path.insert(0, sys.argv[1])
import quorinreader
if sys.argv[2] != "-":
    for item in quorinreader.open_file(sys.argv[2]).open_series():
        pass
with open("/proc/self/status") as status:
    print(next(line.split()[1] for line in status if line.startswith("VmHWM:")))
"""


def title(i):
    return f"spectrum {i}"


def spectrum(base, i):
    """The values of spectrum i: a ramp whose ends carry the spectrum's number."""
    values = base[:]
    values[0], values[-1] = i, -i
    return values


def ramp(points, typecode):
    return array(typecode, (k * 0.25 for k in range(points)))


def write_series(path, count, points, element_size):
    """Writes the file piece by piece and returns the blob's offset and length."""
    typecode = pyreader.TYPECODES[element_size]
    blob_size = SPECTRAL_HEADER_SIZE + count * (MINI_SIZE + points * element_size)
    link = spawriter.link_to_data(section_type=BLOB_TYPE,
                                  data_blob_format=spawriter.MINI_HDR | spawriter.SPECTRAL_HDR)
    dim = spawriter.dimension(dimension_type=1, first_dim=0, last_dim=count - 1,
                              scale_dim=SCALE, num_elements=count)
    builder = spawriter.SpaBuilder(file_type=spawriter.FT_SERIES)
    builder.add(325, spawriter.series_header(series_ID=b"benchmark", max_spectra=count,
                                             num_dimensions=1))
    builder.add(300, spawriter.disk_resident_array(array_element_size=element_size, link=link,
                                                   dimensions=[dim]))
    blob = builder.add(BLOB_TYPE, b"", section_length=blob_size)
    head, offsets = builder.layout()
    if offsets[blob] != len(head):
        raise RuntimeError("the blob must follow the other sections")
    base = ramp(points, typecode)
    with open(path, "wb", buffering=1 << 20) as f:
        f.write(head)
        f.write(spawriter.main_spectral_header(num_points=points, first_x=FIRST_X, last_x=LAST_X))
        for i in range(count):
            f.write(spawriter.series_specheader(num_scans=i + 1, spec_title=title(i)))
            spectrum(base, i).tofile(f)
    return offsets[blob], blob_size


def fail(message):
    raise SystemExit(f"verification failed: {message}")


def verify(path, count, points, element_size):
    """Every reader gives the written first item, the same first spectra and the same count."""
    base = ramp(points, pyreader.TYPECODES[element_size])
    readers = [iter(open_quorin(path)), open_pyspa(path), pyreader.read_series(path)]
    expected = ({"first": FIRST_X, "last": LAST_X, "n": points},
                [{"first": 0.0, "last": (count - 1) * SCALE, "n": count}])
    for reader in readers:
        first = next(reader)
        if first != expected:
            fail(f"{path}: first item {first!r}, expected {expected!r}")
    for i in range(min(CHECKED, count)):
        want = ({"title": title(i)}, spectrum(base, i))
        for reader in readers:
            item = next(reader)
            if item != want or item[1].typecode != base.typecode:
                fail(f"{path}: spectrum {i} differs from what was written")
    seen = [sum(1 for _ in rest) + min(CHECKED, count) for rest in readers]
    if seen != [count] * len(readers):
        fail(f"{path}: {seen} spectra from quorinreader, pyspa and pyreader, {count} written")


def open_quorin(path):
    return quorinreader.open_file(path).open_series()


def open_pyspa(path):
    return pyspa.open_file(path).open_series()


def streamer(open_items):
    def stream(path):
        for item in open_items(path):
            pass
    return stream


def raw_read(path, offset, count, chunk):
    """Reads the blob's bytes as the stream does: its header, then one chunk per spectrum."""
    view = memoryview(bytearray(chunk))
    with open(path, "rb", buffering=0) as f:
        f.seek(offset)
        total = f.readinto(view[:SPECTRAL_HEADER_SIZE])
        for _ in range(count):
            total += f.readinto(view)
    if total != SPECTRAL_HEADER_SIZE + count * chunk:
        fail(f"{path}: the raw read got {total} bytes")


def timed(fn, *args):
    start = time.perf_counter()
    fn(*args)
    return time.perf_counter() - start


def first_items(fn, path, reps, items=1):
    """Seconds per open-and-take-the-first-items, over reps repetitions."""
    start = time.perf_counter()
    for _ in range(reps):
        taken = iter(fn(path))
        for _ in range(items):
            next(taken)
    return (time.perf_counter() - start) / reps


def peak_rss_mb(arg, runs=3):
    command = [sys.executable, "-c", CHILD, str(Path(quorinreader.__file__).parent), str(arg)]
    out = [int(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
           for _ in range(runs)]
    return statistics.median(out) * 1024 / MB


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small files, for a smoke run")
    parser.add_argument("--rounds", type=int, default=None, help="timed rounds (median is shown)")
    args = parser.parse_args()
    files = QUICK if args.quick else FULL
    rounds = args.rounds or (3 if args.quick else 5)
    reps = 200 if args.quick else 2000
    started = time.perf_counter()

    with tempfile.TemporaryDirectory(prefix="quorin-bench-") as tmp:
        runs = []
        for name, count, points, element_size in files:
            path = Path(tmp) / (name.replace(" ", "-") + ".spa")
            t = time.perf_counter()
            offset, blob_size = write_series(path, count, points, element_size)
            verify(path, count, points, element_size)
            print(f"wrote and verified {name}: {count} x {points} x {element_size} B, "
                  f"{path.stat().st_size / MB:.1f} MB in {time.perf_counter() - t:.1f} s")
            runs.append(dict(name=name, path=path, count=count, offset=offset, bytes=blob_size,
                             chunk=MINI_SIZE + points * element_size,
                             quorin=[], raw=[], pyspa=[], pyreader=[]))
        small = runs[-1]

        # Alternate contenders within every round, so drift hits them alike.
        for _ in range(rounds):
            for run in runs:
                run["raw"].append(timed(raw_read, run["path"], run["offset"], run["count"],
                                        run["chunk"]))
                run["quorin"].append(timed(streamer(open_quorin), run["path"]))
                if run is small:
                    run["pyspa"].append(timed(streamer(open_pyspa), run["path"]))
                    run["pyreader"].append(timed(streamer(pyreader.read_series), run["path"]))
        first = {"quorin": [], "pyspa": [], "pyreader": []}
        spectrum = {"quorin": [], "pyreader": []}  # the summary item, then the first spectrum
        for _ in range(rounds):
            for name, open_items in [("quorin", open_quorin), ("pyspa", open_pyspa),
                                     ("pyreader", pyreader.read_series)]:
                first[name].append(first_items(open_items, small["path"], reps))
            for name, open_items in [("quorin", open_quorin), ("pyreader", pyreader.read_series)]:
                spectrum[name].append(first_items(open_items, small["path"], reps, items=2))

        base_rss = peak_rss_mb("-")
        for run in runs:
            run["rss"] = peak_rss_mb(run["path"])

    print(f"\nmedian of {rounds} rounds; MB = 10^6 bytes of blob; RSS = peak of a fresh process\n")
    print(f"{'file':<14}{'blob MB':>8}{'spectra/s':>12}{'ns each':>9}{'MB/s':>8}"
          f"{'raw MB/s':>10}{'ratio':>7}{'RSS import':>12}{'stream':>8}{'delta kB':>9}{'= spectra':>10}")
    for run in runs:
        q, raw = statistics.median(run["quorin"]), statistics.median(run["raw"])
        run["ratio"], run["delta"] = raw / q, run["rss"] - base_rss
        print(f"{run['name']:<14}{run['bytes'] / MB:>8.1f}{run['count'] / q:>12,.0f}"
              f"{q / run['count'] * 1e9:>9.0f}{run['bytes'] / MB / q:>8.0f}"
              f"{run['bytes'] / MB / raw:>10.0f}{run['ratio']:>7.2f}"
              f"{base_rss:>12.2f}{run['rss']:>8.2f}{run['delta'] * 1e3:>9.0f}{run['delta'] * MB / run['chunk']:>10.1f}")
    for name in ("pyspa", "pyreader"):
        py = statistics.median(small[name])
        print(f"{'  ' + name:<14}{small['bytes'] / MB:>8.1f}{small['count'] / py:>12,.0f}"
              f"{py / small['count'] * 1e9:>9.0f}{small['bytes'] / MB / py:>8.0f}")
    f = {name: statistics.median(times) for name, times in first.items()}
    print(f"\nopen + first item ({reps} reps): quorinreader {f['quorin'] * 1e6:.1f} us, "
          f"pyspa {f['pyspa'] * 1e6:.1f} us, pyreader {f['pyreader'] * 1e6:.1f} us")
    s = {name: statistics.median(times) for name, times in spectrum.items()}
    print(f"open + first spectrum ({reps} reps): quorinreader {s['quorin'] * 1e6:.1f} us, "
          f"pyreader {s['pyreader'] * 1e6:.1f} us")

    # A few spectra: four spectra's bytes, plus 1 MiB for allocator and page granularity.
    worst = max(runs, key=lambda r: r["delta"] / (4 * r["chunk"] + 2**20))
    stream_q = statistics.median(small["quorin"])
    print("\ntargets (median; range over the rounds)")
    for label, target, value, per_round in [
        ("large float32 streaming / raw >= 0.85", 0.85, runs[0]["ratio"],
         [r / q for r, q in zip(runs[0]["raw"], runs[0]["quorin"])]),
        ("many-small vs pyspa >= 3x", 3, statistics.median(small["pyspa"]) / stream_q,
         [p / q for p, q in zip(small["pyspa"], small["quorin"])]),
        ("open + first item vs pyspa >= 3x", 3, f["pyspa"] / f["quorin"],
         [p / q for p, q in zip(first["pyspa"], first["quorin"])]),
        ("(many-small vs pyreader)", 0, statistics.median(small["pyreader"]) / stream_q,
         [p / q for p, q in zip(small["pyreader"], small["quorin"])]),
        ("open + first spectrum vs pyreader >= 1", 1, s["pyreader"] / s["quorin"],
         [p / q for p, q in zip(spectrum["pyreader"], spectrum["quorin"])]),
        ("(open + first item vs pyreader)", 0, f["pyreader"] / f["quorin"],
         [p / q for p, q in zip(first["pyreader"], first["quorin"])]),
    ]:
        print(f"  {label:<42}{value:>8.2f}  ({min(per_round):.2f} - {max(per_round):.2f})"
              f"{'' if not target else 'met' if value >= target else 'MISSED':>9}")
    ok = worst["delta"] * MB <= 4 * worst["chunk"] + 2**20
    print(f"  {'peak RSS <= import + 4 spectra + 1 MiB':<42}{worst['delta'] * 1e3:>5.0f} kB"
          f"  (worst: {worst['name']}){'met' if ok else 'MISSED':>6}")
    print(f"\ntotal run time {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main()
