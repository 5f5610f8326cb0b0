"""Instructions per spectrum of many-small streaming, counted by callgrind.

Counts are deterministic where wall-clock times on a shared machine are not.
The floor is benchmarks/floor/floor.cpp, a bare C iterator that reads the
same blob with stdio and builds the same objects per spectrum (a title
string in a one-key dict, an array of values, the pair); the reader is
``for item in open_file(p).open_series()``.  Each contender runs in a fresh
interpreter under ``valgrind --tool=callgrind`` twice, streaming N spectra
and none, so start-up cancels out: per spectrum = (I(N) - I(0)) / N.

Run after `pip install .`; needs valgrind and a C++ compiler:
    python benchmarks/instructions.py [--spectra N] [--points P]
"""

import argparse
import os
import re
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

import stream  # noqa: E402  (writes the benchmark's series files)

MINI_SIZE, SPECTRAL_HEADER_SIZE = 96, 140
TARGET = 1.4

CHILD = """
import sys
kind, path, count, offset, points, floor_dir = sys.argv[1:7]
count, offset, points = int(count), int(offset), int(points)
if kind == "reader":
    import quorinreader
    items = quorinreader.open_file(path).open_series()
    next(items)
    if count:  # the file holds exactly count spectra
        for item in items:
            pass
else:
    sys.path.insert(0, floor_dir)
    from array import array
    import floor
    for item in floor.stream(path, offset, count, 96, points, array("f", [0.0])):
        pass
"""


def build_floor(out_dir):
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    include = sysconfig.get_paths()["include"]
    target = Path(out_dir) / f"floor{suffix}"
    subprocess.run(["c++", "-std=c++20", "-O2", "-shared", "-fPIC", f"-I{include}",
                    str(HERE / "floor" / "floor.cpp"), "-o", str(target)], check=True)
    return out_dir


def instructions(kind, path, count, offset, points, floor_dir, out):
    """Total instructions of one fresh interpreter streaming `count` spectra."""
    # A fixed hash seed: string hashes decide how dictionaries probe.
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
                    "-c", CHILD, kind, str(path), str(count), str(offset), str(points), str(floor_dir)],
                   check=True, capture_output=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    text = Path(out).read_text()
    return int(re.search(r"^summary:\s+(\d+)", text, re.M).group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--spectra", type=int, default=20_000)
    parser.add_argument("--points", type=int, default=16)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="quorin-instr-") as tmp:
        path = Path(tmp) / "many-small.spa"
        blob_offset, _ = stream.write_series(path, args.spectra, args.points, 4)
        first = blob_offset + SPECTRAL_HEADER_SIZE
        floor_dir = build_floor(tmp)
        out = os.path.join(tmp, "callgrind.out")
        per = {}
        # Only the reader may stop short of the file's end, so the file holds exactly N spectra.
        for kind in ("reader", "floor"):
            full = instructions(kind, path, args.spectra, first, args.points, floor_dir, out)
            none = instructions(kind, path, 0, first, args.points, floor_dir, out)
            per[kind] = (full - none) / args.spectra
    ratio = per["reader"] / per["floor"]
    print(f"{sys.version.split()[0]}: {args.spectra} spectra of {args.points} points, instructions per spectrum")
    print(f"  reader {per['reader']:8.0f}\n  floor  {per['floor']:8.0f}\n  ratio  {ratio:8.2f}"
          f"  (target <= {TARGET}: {'met' if ratio <= TARGET else 'MISSED'})")


if __name__ == "__main__":
    main()
