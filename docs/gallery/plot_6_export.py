"""
Export and read back
====================

``quorinreader export`` writes a file's spectra as CSV, NPZ or netCDF for
your own code, and as JCAMP-DX and NeXus for the tools of the field. Every
number of the CSV and of the JCAMP-DX file is the shortest text that reads
back as exactly the stored value, so each export reads back bit for bit:
here by somebody else's readers, jcamp and h5py, beside NumPy and xarray.
"""

# sphinx_gallery_start_ignore
import _workspace

_workspace.enter()
# sphinx_gallery_end_ignore
import csv
import subprocess
import sys

import h5py
import jcamp
import matplotlib.pyplot as plt
import numpy
import xarray

from quorinreader import spectra

# The command line, as from a shell: quorinreader export ... --to csv
for to in ("csv", "npz", "netcdf", "jcamp", "nexus"):
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
# A series is one compound JCAMP-DX file (##DATA TYPE=LINK), one block per spectrum.
linked = jcamp.readfile("examples/demo_series.jdx")
from_jcamp = numpy.array([block["y"] for block in linked["children"]], dtype=numpy.float32)
# NeXus: the entry's default NXdata names its signal, as any NeXus reader follows them.
with h5py.File("examples/demo_series.nxs", "r") as nxs:
    entry = nxs[nxs.attrs["default"]]
    data = entry[entry.attrs["default"]]
    from_nexus = data[data.attrs["signal"]][()]
    print("NeXus axes:", list(data.attrs["axes"]), "units of x:", data["x"].attrs["units"])

backs = {"CSV": from_csv, "NPZ": from_npz, "netCDF": from_netcdf, "JCAMP-DX": from_jcamp, "NeXus": from_nexus}
for name, back in backs.items():
    print(f"{name}: {back.shape}, equal to the file's values: {numpy.array_equal(back, s.values)}")
print(header[:3], rows[0][:2])

with open("examples/demo_series.jdx") as f:
    print(f.read().splitlines()[:4])  # the compound file's first lines

# %%
# ``--to hspy`` and ``Spectra.to_hyperspy()`` give HyperSpy's signal (the
# ``[hyperspy]`` extra, left out of this page's build); see the exports
# page of the guide.

# %%
# The last spectrum as stored and as each export reads it back: the lines
# lie on one another, and their difference is zero everywhere.

fig, (lines, diff) = plt.subplots(2, 1, figsize=(8, 5), sharex=True, layout="constrained",
                                  height_ratios=(3, 1))
lines.plot(s.x, s.values[-1], lw=3, color="0.8", label="stored")
for (name, back), style in zip(backs.items(), ("-", "--", ":", "-.", (0, (1, 3)))):
    lines.plot(s.x, back[-1], linestyle=style, lw=1, label=name)
    diff.plot(s.x, back[-1] - s.values[-1], linestyle=style, lw=1)
lines.set(ylabel="intensity", title=s.titles[-1])
lines.legend()
diff.set(xlabel="Raman shift (cm⁻¹)", ylabel="read back − stored")
plt.show()
