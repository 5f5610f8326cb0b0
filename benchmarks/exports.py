"""The exports of a large series: each format's time and peak memory beside --to npz.

    python benchmarks/exports.py [--spectra 20000] [--points 1800] [--formats npz,jcamp,...]

Writes one series file of --spectra float32 spectra of --points points
(mini headers with titles and stage positions, values that vary as measured
ones do), then runs each export in a fresh process, as the command line runs
it (`quorinreader export FILE --to FORMAT -o OUT`): the file is loaded, then
written.  "opened" rows write from spectra.open instead (the values mapped,
read as they are written).  For each: the wall time of the export; the
peak of the process's anonymous memory (RssAnon, sampled every 2 ms: what
it allocated, not the file's mapped pages) beyond what it held before the
export began, and the peak resident memory (ru_maxrss) likewise; its CPU
time; the size of what was written.  Page cache warm (the input is read once first).
Linux only."""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import spawriter  # noqa: E402

# name: (command line arguments, suffix); "opened:" rows write through the Python API.
RUNS = {
    "npz": (["--to", "npz"], ".npz"),
    "csv": (["--to", "csv"], ".csv"),
    "jcamp": (["--to", "jcamp"], ".jdx"),
    "jcamp difdup": (["--to", "jcamp", "--jcamp-form", "difdup"], ".jdx"),
    "hspy": (["--to", "hspy"], ".hspy"),
    "nexus": (["--to", "nexus"], ".nxs"),
    "opened: nexus": (["to_nexus"], ".nxs"),
    "opened: hspy": (["to_hyperspy"], ".hspy"),
}

CHILD = r"""
import json, os, resource, sys, threading, time
from quorinreader import _cli, spectra

def anonymous():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("RssAnon:"))

highest, done = [0], threading.Event()
def sample():
    while not done.wait(0.002):
        highest[0] = max(highest[0], anonymous())

path, out, how = sys.argv[1], sys.argv[2], sys.argv[3:]
if how == ["to_hyperspy"]:
    import hyperspy.api  # imported before the baseline, as the command line's check does
if how == ["to_nexus"]:
    import h5py
with open(path, "rb") as f:  # the page cache warm, the file's pages not ours
    while f.read(1 << 24):
        pass
usage = resource.getrusage(resource.RUSAGE_SELF)
before, cpu = usage.ru_maxrss, usage.ru_utime + usage.ru_stime
base = highest[0] = anonymous()
sampler = threading.Thread(target=sample, daemon=True)
sampler.start()
start = time.perf_counter()
if how == ["to_nexus"]:
    with spectra.open(path) as s:
        s.to_nexus(out)
elif how == ["to_hyperspy"]:
    from quorinreader._export import hyperspy as _export_hyperspy
    with spectra.open(path) as s:
        _export_hyperspy.save(s.to_hyperspy(), out)
else:
    status = _cli.main(["export", path, "-o", out, *how])
    assert status == 0, status
seconds = time.perf_counter() - start
done.set()
sampler.join()
usage = resource.getrusage(resource.RUSAGE_SELF)
print(json.dumps({"seconds": seconds, "cpu": usage.ru_utime + usage.ru_stime - cpu,
                  "rss_kib": usage.ru_maxrss - before, "anon_kib": highest[0] - base,
                  "bytes": os.path.getsize(out)}))
"""


def make(path: Path, n: int, points: int) -> None:
    """A series file of n spectra: a band that moves and noise, as a map of positions."""
    rng = numpy.random.default_rng(0)
    x = numpy.linspace(0.0, 1.0, points)
    side = int(numpy.ceil(numpy.sqrt(n)))
    titles = [f"x {k % side}, y {k // side}".encode() for k in range(n)]
    mini = [{"x_position": float(k % side), "y_position": float(k // side)} for k in range(n)]
    values = (numpy.exp(-((x[None, :] - rng.uniform(0.3, 0.7, (n, 1))) / 0.02) ** 2)
              + rng.normal(0, 0.01, (n, points))).astype("<f4")
    spawriter.series_file(str(path), values.tolist(), titles=titles, mini=mini, first_x=200.0, last_x=3200.0)


def run(path: Path, out: Path, how: list[str]) -> dict[str, float]:
    env = dict(os.environ)
    found = subprocess.run([sys.executable, "-c", CHILD, str(path), str(out), *how], capture_output=True, text=True,
                           env=env, check=False)
    if found.returncode:
        raise SystemExit(f"{' '.join(how)}: {found.stderr.strip()}")
    return json.loads(found.stdout.strip().splitlines()[-1])  # type: ignore[no-any-return]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--spectra", type=int, default=20000)
    parser.add_argument("--points", type=int, default=1800)
    parser.add_argument("--formats", default=",".join(RUNS), help="which rows, by name, comma-separated")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="qr-exports-") as folder:
        path = Path(folder) / "series.spa"
        started = time.perf_counter()
        make(path, args.spectra, args.points)
        size = path.stat().st_size
        print(f"{args.spectra:,} spectra of {args.points:,} points, {size / 1e6:,.0f} MB, made in "
              f"{time.perf_counter() - started:.0f} s")
        print(f"{'export':<16}{'seconds':>9}{'x npz':>7}{'CPU s':>7}{'anon MB':>9}{'RSS MB':>8}{'output MB':>11}")
        npz = None
        for name in args.formats.split(","):
            how, suffix = RUNS[name]
            out = Path(folder) / f"out{suffix}"
            got = run(path, out, how)
            out.unlink()
            if name == "npz":
                npz = got["seconds"]
            ratio = f"{got['seconds'] / npz:7.1f}" if npz else f"{'':7}"
            print(f"{name:<16}{got['seconds']:9.1f}{ratio}{got['cpu']:7.1f}{got['anon_kib'] * 1024 / 1e6:9.0f}"
                  f"{got['rss_kib'] * 1024 / 1e6:8.0f}{got['bytes'] / 1e6:11.0f}")


if __name__ == "__main__":
    main()
