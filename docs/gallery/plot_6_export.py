"""
Export and read back
====================

``quorinreader export`` writes a file's spectra as CSV, NPZ or netCDF.
Every number of the CSV is the shortest text that reads back as exactly the
stored value, so each export reads back bit for bit.
"""

# sphinx_gallery_start_ignore
import _workspace

_workspace.enter()
# sphinx_gallery_end_ignore
import csv
import subprocess
import sys

import matplotlib.pyplot as plt
import numpy
import xarray

from quorinreader import spectra

# The command line, as from a shell: quorinreader export ... --to csv
for to in ("csv", "npz", "netcdf"):
    done = subprocess.run([sys.executable, "-m", "quorinreader", "export", "examples/demo_series.spa",
                           "--to", to], capture_output=True, text=True, check=True)
    print(done.stdout.strip())

s = spectra.load("examples/demo_series.spa")

with open("examples/demo_series.csv", newline="") as f:
    header, *rows = csv.reader(f)
from_csv = numpy.array([row[1:] for row in rows], dtype=numpy.float32)
with numpy.load("examples/demo_series.npz") as npz:
    from_npz = npz["values"]
with xarray.open_dataset("examples/demo_series.nc") as ds:
    from_netcdf = ds.spectra.values

for name, back in (("CSV", from_csv), ("NPZ", from_npz), ("netCDF", from_netcdf)):
    print(f"{name}: {back.shape}, equal to the file's values: {numpy.array_equal(back, s.values)}")
print(header[:3], rows[0][:2])

# sphinx_gallery_start_ignore
# TO COME: --to jcamp (read back by jcamp.readfile), to_hyperspy() and
# --to nexus (read back by nexusformat), each beside the formats above.
# sphinx_gallery_end_ignore

# %%
# The last spectrum as stored and as each export reads it back: the lines
# lie on one another, and their difference is zero everywhere.

fig, (lines, diff) = plt.subplots(2, 1, figsize=(8, 5), sharex=True, layout="constrained",
                                  height_ratios=(3, 1))
lines.plot(s.x, s.values[-1], lw=3, color="0.8", label="stored")
for name, back, style in (("CSV", from_csv, "-"), ("NPZ", from_npz, "--"), ("netCDF", from_netcdf, ":")):
    lines.plot(s.x, back[-1], style, lw=1, label=name)
    diff.plot(s.x, back[-1] - s.values[-1], style, lw=1)
lines.set(ylabel="intensity", title=s.titles[-1])
lines.legend()
diff.set(xlabel="Raman shift (cm⁻¹)", ylabel="read back − stored")
plt.show()
