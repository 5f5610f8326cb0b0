"""
A reaction followed over time
=============================

A reaction followed by Raman spectroscopy: 120 spectra, one every ten
seconds, as one series file. One band grows while another fades. The
spectra go into a matrix, the file's own time axis comes with them, and a
band's height over time is one line of NumPy.
"""

# sphinx_gallery_start_ignore
import _workspace

_workspace.enter()
# sphinx_gallery_end_ignore
import matplotlib.pyplot as plt

from quorinreader import spectra

s = spectra.load("examples/demo_series.spa")
label, time = s.axis  # the series axis, as the file's dimensions state it
print(s)
print(label, time[:3], "...", time[-1])

# %%
# The matrix as an image, time upwards, and the height of each band against
# time. ``s.x`` is the X axis every spectrum shares.

# sphinx_gallery_start_ignore
# TO COME: Spectra.trace(band=(A, B), how="max") gives each trace in one
# call, against the series axis, with its label and units.
# sphinx_gallery_end_ignore
bands = {"1000 cm⁻¹, fading": (950, 1050), "1600 cm⁻¹, growing": (1550, 1650)}
traces = {name: s.values[:, (s.x >= lo) & (s.x <= hi)].max(axis=1) for name, (lo, hi) in bands.items()}

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
