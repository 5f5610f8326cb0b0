"""
A map: a band's image and a pixel's spectrum
============================================

A Raman map of 20 × 15 stage positions, scanned as a snake: a round grain,
whose band lies at 1000 cm⁻¹, in a matrix whose band at 1600 cm⁻¹ fades
from left to right. ``to_map`` finds the stage grid from the mini headers
alone; ``image`` measures a band in every pixel.
"""

# sphinx_gallery_start_ignore
import _workspace

_workspace.enter()
# sphinx_gallery_end_ignore
import subprocess
import sys

import matplotlib.pyplot as plt
import numpy

from quorinreader import spectra

s = spectra.load("examples/demo_map.spa")
m = s.to_map()
print(m)

grain = m.image(band=(950, 1050), how="area")  # (ny, nx), NaN where no spectrum was taken
iy, ix = numpy.unravel_index(numpy.nanargmax(grain), grain.shape)
k = m.index[iy, ix]  # the spectrum at that pixel
print(f"the strongest pixel: stage ({m.stage_x[ix]:g}, {m.stage_y[iy]:g}), spectrum {k}")

# %%
# The band's image in stage coordinates, lowest y at the bottom, and the
# spectra of the strongest pixel and of a corner.

dy, dx = m.step
extent = (m.stage_x[0] - dx / 2, m.stage_x[-1] + dx / 2, m.stage_y[0] - dy / 2, m.stage_y[-1] + dy / 2)
fig, (image, lines) = plt.subplots(1, 2, figsize=(10, 4), layout="constrained")
shown = image.imshow(grain, origin="lower", extent=extent, cmap="viridis")
image.plot(m.stage_x[ix], m.stage_y[iy], "w+", ms=12, mew=2)
image.set(xlabel="stage x", ylabel="stage y", title="band 950 to 1050 cm⁻¹, area")
fig.colorbar(shown, ax=image, label="area")
lines.plot(s.x, s.values[k], label=f"grain, spectrum {k}")
lines.plot(s.x, m.cube[0, -1], label="matrix, lower right corner")
lines.axvspan(950, 1050, color="tab:green", alpha=0.15, label="the band")
lines.set(xlabel="Raman shift (cm⁻¹)", ylabel="intensity", title="two pixels")
lines.legend()
plt.show()

# %%
# ``quorinreader plot examples/demo_map.spa --band 950 1050 --how area``
# draws such a figure from the shell: the band's image in stage
# coordinates, grey where no spectrum was taken, beside the spectra of four
# marked pixels, their positions written to the grid's precision.

# sphinx_gallery_start_ignore
_workspace.back()
# sphinx_gallery_end_ignore
done = subprocess.run([sys.executable, "-m", "quorinreader", "plot", "examples/demo_map.spa",
                       "--band", "950", "1050", "--how", "area", "-o", "grain.png"],
                      capture_output=True, text=True, check=True)
print(done.stdout.strip())
# sphinx_gallery_start_ignore
_workspace.show("grain.png")
# sphinx_gallery_end_ignore
