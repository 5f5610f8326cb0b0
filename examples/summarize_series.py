"""Summarize a series file: its X range, point count and dimensions, then
the number of spectra and the first titles with each spectrum's range.

    python examples/summarize_series.py [path/to/series.spa]

Without a path it reads the demo file next to this script.
"""

import sys
from pathlib import Path

import quorinreader

DEMO = Path(__file__).resolve().parent / "demo_series.spa"
SHOWN = 5


def summarize(path):
    series = quorinreader.open_file(path)
    if series is None:
        sys.exit(f"{path}: not a series file")
    items = series.open_series()
    spectral_info, valid_dims = next(items)
    print(f"file        {path}")
    print(f"x range     {spectral_info['first']:g} .. {spectral_info['last']:g}")
    print(f"points      {spectral_info['n']}")
    for d in valid_dims:
        print(f"dimension   {d['first']:g} .. {d['last']:g} ({d['n']} elements)")
    count = 0
    for header, values in items:
        if count < SHOWN:
            print(f"  {header['title']!s:<20} min {min(values, default=0):10.4g}  max {max(values, default=0):10.4g}")
        count += 1
    if count > SHOWN:
        print(f"  ... {count - SHOWN} more")
    print(f"spectra     {count}")


if __name__ == "__main__":
    summarize(sys.argv[1] if len(sys.argv) > 1 else DEMO)
