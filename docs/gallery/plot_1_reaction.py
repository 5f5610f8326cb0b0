"""
A reaction followed over time
=============================

A reaction followed by Raman spectroscopy: 120 spectra, one every ten
seconds, as one series file. One band grows while another fades. The
spectra go into a matrix, the file's own time axis comes with them, and
``Spectra.trace`` measures a band in every spectrum in one call.
"""

# sphinx_gallery_start_ignore
import _workspace

_workspace.enter()
# sphinx_gallery_end_ignore
import subprocess
import sys

import matplotlib.pyplot as plt

from quorinreader import spectra

s = spectra.load("examples/demo_series.spa")
label, time = s.axis  # the series axis, as the file's dimensions state it
print(s)
print(label, time[:3], "...", time[-1])

# %%
# The matrix as an image, time upwards, and the height of each band against
# time: ``s.trace(band=(A, B), how="max")`` is each spectrum's largest value
# from A to B, one value per spectrum, drawn against the series axis.
# ``s.x`` is the X axis every spectrum shares.

bands = {"1000 cm⁻¹, fading": (950, 1050), "1600 cm⁻¹, growing": (1550, 1650)}
traces = {name: s.trace(band=band, how="max") for name, band in bands.items()}

fig, (image, lines) = plt.subplots(1, 2, figsize=(10, 4), layout="constrained")
shown = image.imshow(s.values, aspect="auto", origin="lower", cmap="magma",
                     extent=(s.x[0], s.x[-1], time[0], time[-1]))
image.set(xlabel="Raman shift (cm⁻¹)", ylabel=label, title="120 spectra")
fig.colorbar(shown, ax=image, label="intensity")
for name, trace in traces.items():
    lines.plot(time, trace, label=name)
lines.set(xlabel=label, ylabel="band height", title="bands against time")
lines.legend()
plt.show()

# %%
# The time at which the two bands are equal, where the product has caught
# up with what it is made from:

fading, growing = traces.values()
crossing = time[(growing >= fading).argmax()]
print(f"the bands cross at t = {crossing:g} s")

# %%
# ``quorinreader plot examples/demo_series.spa --band 1550 1650`` draws such
# a trace from the shell, against the axis the file names, over the first
# and the last spectrum with the band shaded:

# sphinx_gallery_start_ignore
_workspace.back()
# sphinx_gallery_end_ignore
done = subprocess.run([sys.executable, "-m", "quorinreader", "plot", "examples/demo_series.spa",
                       "--band", "1550", "1650", "-o", "trace.png"], capture_output=True, text=True, check=True)
print(done.stdout.strip())
# sphinx_gallery_start_ignore
_workspace.show("trace.png")
# sphinx_gallery_end_ignore
