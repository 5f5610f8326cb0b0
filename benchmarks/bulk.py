"""Bulk benchmark: quorinreader.spectra against raw reads and a numpy.memmap peer.

Writes two series files (20,000 x 1,800 float32 and 200,000 x 16 float32,
both with 96-byte mini headers) and a single-spectrum file into a temporary
directory, reads each once so that it is page-cached, checks that every
contender gives the same data, then alternates the contenders within every
round and prints medians:

- load(p).values against one readinto of the whole blob into a fresh
  numpy.empty buffer (the limit for a result in new memory, page faults
  included), and into an already-touched buffer;
- load(p) with its titles against mmpeer.py, the numpy.memmap reader with a
  structured dtype that a NumPy user would write;
- titles alone, per title;
- open(p), the first copy of spectrum k (its page faults included) and
  close(), for the first, middle and last k; and the copy once its pages
  are mapped;
- load of the single-spectrum file against a bare open + read + close;
- peak RSS of a fresh process that loads each file, against the result's size.

Run after `pip install .`:  python benchmarks/bulk.py [--quick] [--rounds N]
"""

import argparse
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

import mmpeer  # noqa: E402
import quorinreader  # noqa: E402
import spawriter  # noqa: E402
from quorinreader import spectra  # noqa: E402
from stream import write_series  # noqa: E402

MiB = 1 << 20
FULL = [("large", 20_000, 1_800), ("many-small", 200_000, 16)]
QUICK = [("large", 2_000, 1_800), ("many-small", 20_000, 16)]
SINGLE_POINTS = 1_800

# A fresh interpreter: imports, loads the file given (unless "-") and keeps
# the result, then prints its peak RSS in KiB and the result's bytes.
CHILD = """
import sys
sys.path.insert(0, sys.argv[1])
import numpy
from quorinreader import spectra
size = 0
if sys.argv[2] != "-":
    s = spectra.load(sys.argv[2])
    size = s.values.nbytes + (0 if s.mini_headers is None else len(s) * s.mini_headers.itemsize)
with open("/proc/self/status") as status:
    print(next(line.split()[1] for line in status if line.startswith("VmHWM:")), size)
"""


def write_single(path, points):
    builder = spawriter.SpaBuilder(file_type=spawriter.FT_IRDATA)
    builder.add(2, spawriter.main_spectral_header(num_points=points, first_x=4000.0, last_x=400.0))
    builder.add(3, numpy.arange(points, dtype="<f4").tobytes())
    builder.write(path)


def timed(fn, *args):
    start = time.perf_counter()
    fn(*args)
    return time.perf_counter() - start


def per_call(fn, reps, *args):
    start = time.perf_counter()
    for _ in range(reps):
        fn(*args)
    return (time.perf_counter() - start) / reps


def readinto_fresh(path, offset, size):
    buf = numpy.empty(size, numpy.uint8)
    with open(path, "rb", buffering=0) as f:
        f.seek(offset)
        if f.readinto(buf) != size:
            raise SystemExit(f"{path}: short read")
    return buf


def readinto_touched(path, offset, buf):
    with open(path, "rb", buffering=0) as f:
        f.seek(offset)
        f.readinto(buf)


def load_values(path):
    return spectra.load(path).values


def load_titles(path):
    s = spectra.load(path)
    return s.values, s.titles


def titles_alone(path):
    """Seconds for the first access to titles of a freshly loaded file."""
    s = spectra.load(path)
    start = time.perf_counter()
    s.titles
    return time.perf_counter() - start


def open_row_phases(path, ks, reps):
    """For each k: mean seconds of open(path), of the first copy of spectrum
    k, and of close().  The ks take turns within every repetition."""
    sums = [[0.0, 0.0, 0.0] for _ in ks]
    clock = time.perf_counter
    for _ in range(reps):
        for k, acc in zip(ks, sums):
            start = clock()
            s = spectra.open(path)
            opened_at = clock()
            numpy.array(s.values[k])
            read_at = clock()
            s.close()
            del s
            closed_at = clock()
            acc[0] += opened_at - start
            acc[1] += read_at - opened_at
            acc[2] += closed_at - read_at
    return [[t / reps for t in acc] for acc in sums]


def bare_read(path):
    with open(path, "rb") as f:
        return f.read()


def verify(path, count):
    s = spectra.load(path)
    values, titles = mmpeer.load(path)
    with spectra.open(path) as lazy:
        same = (numpy.array_equal(lazy.values, s.values) and lazy.titles == s.titles
                and numpy.array_equal(lazy.mini_headers, s.mini_headers))
    first = quorinreader.open_file(path).open_series()
    next(first)
    header, row = next(first)
    if not (same and len(s) == count and numpy.array_equal(values, s.values) and titles == s.titles
            and header["title"] == s.titles[0] and numpy.array_equal(numpy.asarray(row), s.values[0])):
        raise SystemExit(f"verification failed: {path}")


def peak_rss(path, runs=3):
    """Median over fresh processes of (peak RSS in bytes, result bytes)."""
    command = [sys.executable, "-c", CHILD, str(Path(quorinreader.__file__).parent.parent), str(path)]
    out = [tuple(map(int, subprocess.run(command, check=True, capture_output=True, text=True).stdout.split()))
           for _ in range(runs)]
    return statistics.median(kib for kib, _ in out) * 1024, out[0][1]


def spread(values):
    return f"({min(values):.2f} - {max(values):.2f})"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small files, for a smoke run")
    parser.add_argument("--rounds", type=int, default=None, help="timed rounds (median is shown)")
    args = parser.parse_args()
    files = QUICK if args.quick else FULL
    rounds = args.rounds or (3 if args.quick else 15)
    latency_rounds, batch = (5, 100) if args.quick else (41, 200)
    started = time.perf_counter()

    with tempfile.TemporaryDirectory(prefix="quorin-bulk-") as tmp:
        runs = []
        for name, count, points in files:
            path = Path(tmp) / f"{name}.spa"
            offset, blob_size = write_series(path, count, points, 4)
            verify(path, count)
            data_offset = offset + 140
            runs.append(dict(name=name, path=str(path), count=count, points=points, offset=data_offset,
                             size=blob_size - 140, touched=numpy.ones(blob_size - 140, numpy.uint8),
                             fresh=[], touched_t=[], values=[], with_titles=[], peer=[], titles=[],
                             ))
            print(f"wrote and verified {name}: {count:,} x {points:,} float32, "
                  f"{path.stat().st_size / MiB:.1f} MiB")
        single = str(Path(tmp) / "single.spa")
        write_single(single, SINGLE_POINTS)
        if not numpy.array_equal(spectra.load(single).values[0], numpy.arange(SINGLE_POINTS, dtype="f4")):
            raise SystemExit("verification failed: single spectrum")

        # Each round runs every contender once, starting one further on: a
        # fresh allocation costs more right after a large one was freed
        # (the kernel may compact memory for huge pages), so no contender
        # may always come first.
        for r in range(rounds):
            for run in runs:
                p = run["path"]
                contenders = [
                    ("fresh", lambda: timed(readinto_fresh, p, run["offset"], run["size"])),
                    ("values", lambda: timed(load_values, p)),
                    ("touched_t", lambda: timed(readinto_touched, p, run["offset"], run["touched"])),
                    ("peer", lambda: timed(mmpeer.load, p)),
                    ("with_titles", lambda: timed(load_titles, p)),
                    ("titles", lambda: titles_alone(p)),
                ]
                for key, measure in contenders[r % len(contenders):] + contenders[:r % len(contenders)]:
                    run[key].append(measure())

        # Latencies: many short rounds, alternating, so that the load of a
        # shared machine falls on every contender alike.
        large = runs[0]
        ks = {"first": 0, "middle": large["count"] // 2, "last": large["count"] - 1}
        phases = {label: [] for label in ks}
        warm = {label: [] for label in ks}
        single_t = {"load": [], "bare": []}
        with spectra.open(large["path"]) as opened:
            for _ in range(latency_rounds):
                for label, result in zip(ks, open_row_phases(large["path"], list(ks.values()), batch)):
                    phases[label].append(result)
                for label, k in ks.items():
                    warm[label].append(per_call(lambda: numpy.array(opened.values[k]), batch))
                single_t["bare"].append(per_call(bare_read, batch, single))
                single_t["load"].append(per_call(spectra.load, batch, single))

        base_rss, _ = peak_rss("-")
        for run in runs:
            run["rss"], run["result"] = peak_rss(run["path"])

    med = statistics.median
    print(f"\nmedian of {rounds} rounds, alternating; MiB/s of the blob's bytes")
    print(f"{'file':<12}{'fresh readinto':>16}{'touched':>10}{'load.values':>13}{'ratio':>7}"
          f"{'  range':<15}{'peer':>8}{'load+titles':>13}{'speed-up':>10}{'  range':<15}{'ns/title':>9}")
    for run in runs:
        mib = run["size"] / MiB
        fresh, values = med(run["fresh"]), med(run["values"])
        peer, with_titles = med(run["peer"]), med(run["with_titles"])
        run["ratio"], run["speedup"] = fresh / values, peer / with_titles
        run["ns_title"] = med(run["titles"]) / run["count"] * 1e9
        print(f"{run['name']:<12}{mib / fresh:>16,.0f}{mib / med(run['touched_t']):>10,.0f}{mib / values:>13,.0f}"
              f"{run['ratio']:>7.2f}  {spread([f / v for f, v in zip(run['fresh'], run['values'])]):<13}"
              f"{mib / peer:>8,.0f}{mib / with_titles:>13,.0f}{run['speedup']:>10.2f}"
              f"  {spread([p / w for p, w in zip(run['peer'], run['with_titles'])]):<13}{run['ns_title']:>9.0f}")

    print(f"\nlarge file, spectrum k: us, median of {latency_rounds} rounds of {batch}")
    print(f"{'k':<8}{'':>8}{'open':>8}{'first copy of k':>17}{'open + copy':>13}{'close':>8}"
          f"{'copy, pages mapped':>20}")
    open_read = {}
    for label, k in ks.items():
        o, r, c = (med([p[i] for p in phases[label]]) * 1e6 for i in range(3))
        open_read[label] = med([p[0] + p[1] for p in phases[label]]) * 1e6
        print(f"{label:<8}{k:>8}{o:>8.1f}{r:>17.1f}{open_read[label]:>13.1f}{c:>8.1f}"
              f"{med(warm[label]) * 1e6:>20.2f}")
    load_single, bare = med(single_t["load"]), med(single_t["bare"])
    single_ratio = med([a / b for a, b in zip(single_t["load"], single_t["bare"])])
    print(f"\nsingle spectrum of {SINGLE_POINTS:,} points, median of {latency_rounds} rounds of {batch}: "
          f"load {load_single * 1e6:.1f} us, open + read + close {bare * 1e6:.1f} us, "
          f"ratio {load_single / bare:.2f} (per round {single_ratio:.2f})")
    print(f"\npeak RSS, fresh process: import only {base_rss / MiB:.1f} MiB")
    for run in runs:
        run["extra"] = (run["rss"] - base_rss - run["result"]) / MiB
        print(f"  {run['name']:<12} load {run['rss'] / MiB:.1f} MiB, result {run['result'] / MiB:.1f} MiB, "
              f"beyond the result {run['extra']:.1f} MiB")

    first_open = open_read["first"]
    row_times = list(open_read.values())
    print("\ntargets")
    for label, ok, value in [
        ("large: load.values / fresh readinto >= 0.85", runs[0]["ratio"] >= 0.85, f"{runs[0]['ratio']:.2f}"),
        ("many-small: load.values / fresh readinto >= 0.7", runs[1]["ratio"] >= 0.7, f"{runs[1]['ratio']:.2f}"),
        ("large: load+titles vs memmap peer >= 1.3x", runs[0]["speedup"] >= 1.3, f"{runs[0]['speedup']:.2f}x"),
        ("many-small: load+titles vs memmap peer >= 2x", runs[1]["speedup"] >= 2, f"{runs[1]['speedup']:.2f}x"),
        ("many-small: titles <= 150 ns each", runs[1]["ns_title"] <= 150, f"{runs[1]['ns_title']:.0f} ns"),
        ("large: open + first copy of spectrum 0 <= 30 us", first_open <= 30, f"{first_open:.1f} us"),
        ("large: open + spectrum k independent of k (max/min <= 1.2)", max(row_times) / min(row_times) <= 1.2,
         f"{max(row_times) / min(row_times):.2f}"),
        ("single spectrum: load <= 1.5x open+read+close", load_single / bare <= 1.5, f"{load_single / bare:.2f}"),
        ("peak RSS of load <= result + 4 MiB", max(r["extra"] for r in runs) <= 4,
         f"{max(r['extra'] for r in runs):.1f} MiB"),
    ]:
        print(f"  {label:<54}{value:>10}  {'met' if ok else 'MISSED'}")
    print(f"\ntotal run time {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main()
