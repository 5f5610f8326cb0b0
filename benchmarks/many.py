"""Many single-spectrum files into one matrix: load_many against its floors.

    python benchmarks/many.py [--files 2000] [--mf 200] [--rounds 5]
                              [--scaling 100000] [--cluster 20000] [--cluster-mf 200]

Files of 1,800 float32 points, each with a 2 KiB extra section before its
values, page cache warm.  In each round, alternating: a C loop (built here
with cc: open, one 4 KiB pread, the directory, the values into the row,
close), a hand reader in plain Python (os.pread, struct, os.preadv into the
row), a loop of spectra.load, load_many with workers=1 and with the default
workers, and xarray.open_mfdataset on --mf files (scaled per file).  Medians
of the rounds, in microseconds per file.  The C loop takes the median of 5
passes in one process, each into a fresh matrix as every reader here fills.

Then: load_many per file at --scaling files of 16 points against 2,000 such
files; the peak memory of load_many beyond its result (tracemalloc); and
open_many over --cluster files on a LocalCluster of 2 worker processes,
computing the mean spectrum, against open_mfdataset(parallel=True) on
--cluster-mf files on the same cluster (scaled per file).  0 skips a part.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

import numpy

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import spawriter  # noqa: E402
from quorinreader import spectra  # noqa: E402

POINTS = 1800


def template(points: int) -> tuple[bytes, int]:
    """A single-spectrum file, and where its values lie."""
    builder = spawriter.SpaBuilder(file_id=b"sample")
    builder.add(27, bytes(2048))  # an extra section, as instruments write them
    builder.add(2, spawriter.main_spectral_header(num_points=points, first_x=4000.0, last_x=400.0))
    builder.add(3, numpy.zeros(points, "<f4").tobytes())
    data, offsets = builder.layout()
    return data, offsets[-1]


def make(folder: Path, count: int, points: int) -> list[str]:
    folder.mkdir(parents=True, exist_ok=True)
    data, at = template(points)
    head = data[:at]
    paths = []
    for k in range(count):
        path = str(folder / f"s{k:06d}.spa")
        values = (numpy.arange(points, dtype="<f4") + k).tobytes()
        with open(path, "wb") as f:
            f.write(head + values)
        paths.append(path)
    return paths


def build_loop(workdir: Path) -> str:
    exe = str(workdir / "many_loop")
    subprocess.run([os.environ.get("CC", "cc"), "-O2", "-o", exe, str(HERE / "many_loop.c")], check=True)
    return exe


def c_loop(exe: str, listing: str, points: int) -> float:
    """The median of 5 passes in one process, each into a fresh matrix."""
    out = subprocess.run([exe, listing, "5", str(points)], capture_output=True, text=True, check=True)
    return float(out.stdout)


_HEADER = struct.Struct("<H")
_ENTRY = struct.Struct("<HI")


def hand(paths: list[str], points: int) -> numpy.ndarray:
    """What a user writes with os and struct."""
    matrix = numpy.empty((len(paths), points), numpy.float32)
    for i, path in enumerate(paths):
        fd = os.open(path, os.O_RDONLY)
        try:
            block = os.pread(fd, 4096, 0)
            (sections,) = _HEADER.unpack_from(block, 294)
            header_at = values_at = None
            for k in range(sections):
                kind, at = _ENTRY.unpack_from(block, 304 + 16 * k)
                if kind == 2 and header_at is None:
                    header_at = at
                elif kind == 3 and values_at is None:
                    values_at = at
            (count,) = struct.unpack_from("<I", block, header_at + 4)
            os.preadv(fd, [matrix[i]], values_at)
        finally:
            os.close(fd)
    return matrix


def load_loop(paths: list[str]) -> numpy.ndarray:
    return numpy.stack([spectra.load(p).values[0] for p in paths])


def per_file(fn, n: int) -> float:
    start = time.perf_counter()
    fn()
    return (time.perf_counter() - start) / n


def mfdataset(paths: list[str], parallel: bool = False) -> None:
    import xarray
    with xarray.open_mfdataset(paths, engine="quorinreader", combine="nested", concat_dim="spectrum",
                               parallel=parallel, join="exact") as ds:
        ds.spectra.mean("spectrum").compute()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--mf", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--scaling", type=int, default=100_000)
    parser.add_argument("--cluster", type=int, default=20_000)
    parser.add_argument("--cluster-mf", type=int, default=200)
    args = parser.parse_args()
    print(f"{os.cpu_count()} CPUs; numbers are medians of {args.rounds} alternating rounds, "
          "microseconds per file")
    workdir = Path(tempfile.mkdtemp(prefix="many-bench-"))
    try:
        paths = make(workdir / "main", args.files, POINTS)
        listing = str(workdir / "list.txt")
        Path(listing).write_text("\n".join(paths) + "\n")
        exe = build_loop(workdir)
        expected = load_loop(paths)
        for check in (hand(paths, POINTS), spectra.load_many(paths).values):
            assert numpy.array_equal(check, expected)
        runs = {
            "C loop": lambda: c_loop(exe, listing, POINTS),
            "hand reader (Python)": lambda: per_file(lambda: hand(paths, POINTS), len(paths)),
            "spectra.load loop": lambda: per_file(lambda: load_loop(paths), len(paths)),
            "load_many workers=1": lambda: per_file(lambda: spectra.load_many(paths, workers=1), len(paths)),
            "load_many default": lambda: per_file(lambda: spectra.load_many(paths), len(paths)),
        }
        if args.mf:
            runs["open_mfdataset"] = lambda: per_file(lambda: mfdataset(paths[:args.mf]), args.mf)
        times: dict[str, list[float]] = {name: [] for name in runs}
        for name, run in runs.items():  # a round to warm up
            run()
        for _ in range(args.rounds):
            for name, run in runs.items():
                times[name].append(run())
        med = {name: statistics.median(t) * 1e6 for name, t in times.items()}
        for name, us in med.items():
            print(f"  {name:<24} {us:10.1f} us/file")
        c = med["C loop"]
        print(f"load_many workers=1 / C loop speed: {c / med['load_many workers=1']:.2f} (target >= 0.85)")
        print(f"load_many default  / C loop speed: {c / med['load_many default']:.2f} (target >= 1.5)")
        print(f"load_many default vs spectra.load loop: {med['spectra.load loop'] / med['load_many default']:.1f}x "
              "(target >= 5)")
        if args.mf:
            print(f"load_many default vs open_mfdataset: {med['open_mfdataset'] / med['load_many default']:.0f}x "
                  "(target >= 300)")

        # What the call held at its peak beyond what it returns (values,
        # headers, files and titles): tracemalloc sees the interpreter's and
        # NumPy's allocations, not the core's C++ vectors (32 bytes a file).
        tracemalloc.start()
        got = spectra.load_many(paths)
        kept, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        print(f"peak memory beyond the result: {(peak - kept) / len(paths):.0f} B/file (target <= 1024; "
              f"result {kept / len(paths):,.0f} B/file, values {got.values.nbytes / len(paths):,.0f}; "
              f"tracemalloc, {len(paths):,} files)")
        del got

        if args.scaling:
            small = make(workdir / "small", 2000, 16)
            large = make(workdir / "large", args.scaling, 16)
            spectra.load_many(small), spectra.load_many(large)
            rs, rl = [], []
            for _ in range(max(3, args.rounds // 2)):
                rs.append(per_file(lambda: spectra.load_many(small), len(small)))
                rl.append(per_file(lambda: spectra.load_many(large), len(large)))
            s_us, l_us = statistics.median(rs) * 1e6, statistics.median(rl) * 1e6
            print(f"16 points: {s_us:.2f} us/file at 2,000 files, {l_us:.2f} at {args.scaling:,}: "
                  f"{l_us / s_us:.2f}x (target <= 1.3)")
            shutil.rmtree(workdir / "large")

        if args.cluster:
            cluster_run(workdir, paths, args)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def cluster_run(workdir: Path, paths: list[str], args: argparse.Namespace) -> None:
    from distributed import Client, LocalCluster

    many = make(workdir / "cluster", args.cluster, POINTS)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster):
        def ours() -> None:
            spectra.open_many(many, files_per_chunk=1000).values.mean(axis=0).compute()

        def theirs() -> None:
            mfdataset(many[:args.cluster_mf], parallel=True)

        ours(), theirs()
        a, b = [], []
        for _ in range(3):
            a.append(per_file(ours, len(many)))
            b.append(per_file(theirs, args.cluster_mf))
        a_us, b_us = statistics.median(a) * 1e6, statistics.median(b) * 1e6
        print(f"LocalCluster, 2 worker processes, mean spectrum: open_many {a_us:.1f} us/file over "
              f"{len(many):,} files, open_mfdataset(parallel=True) {b_us:.0f} us/file over {args.cluster_mf} "
              f"files: {b_us / a_us:.0f}x (target >= 100)")


if __name__ == "__main__":
    main()
