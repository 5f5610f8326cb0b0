"""
A folder of single spectra
==========================

A lab's folder holds one file per sample: here 24 single Raman spectra of a
two-component blend, the share of the second component rising from 0 to
100 %. ``load_many`` reads the whole folder into one matrix, one row per
file, with the X axis they share and each row's file and title.
"""

# sphinx_gallery_start_ignore
import _workspace

_workspace.enter()
_workspace.singles("singles", 24)  # stand-ins for your folder
# sphinx_gallery_end_ignore
import subprocess
import sys

import matplotlib.pyplot as plt
import numpy

from quorinreader import spectra

c = spectra.load_many("singles")  # its files ending in .spa, sample-2 before sample-10
print(c)
print(c.files[:2], c.titles[:2])

# %%
# Overlaid, each spectrum coloured by its place in the folder, and as a
# matrix: one row per file, in the folder's natural order.

fig, (overlaid, matrix) = plt.subplots(1, 2, figsize=(10, 4), layout="constrained")
colours = plt.cm.viridis(numpy.linspace(0, 1, len(c)))
for row, title, colour in zip(c.values, c.titles, colours):
    overlaid.plot(c.x, row, color=colour, lw=0.8)
overlaid.set(xlabel="Raman shift (cm⁻¹)", ylabel="intensity", title=f"{len(c)} spectra overlaid",
             ylim=(0, 1.15 * c.values.max()))
for row, title in ((c.values[0], c.titles[0]), (c.values[-1], c.titles[-1])):
    peak = row.argmax()
    overlaid.annotate(title, (c.x[peak], row[peak]), xytext=(c.x[peak] + 150, row[peak]), va="center",
                      arrowprops={"arrowstyle": "->"})
shown = matrix.imshow(c.values, aspect="auto", cmap="magma", interpolation="nearest",
                      extent=(c.x[0], c.x[-1], len(c) + 0.5, 0.5))
matrix.set(xlabel="Raman shift (cm⁻¹)", ylabel="file", title="as a matrix")
fig.colorbar(shown, ax=matrix, label="intensity")
plt.show()

# %%
# The same rows as a pandas DataFrame, indexed by file and title:

frame = c.to_pandas()
print(frame.iloc[:3, :4])

# %%
# From the shell, ``quorinreader plot singles`` draws a folder: up to 20
# spectra overlaid (``--offset`` stacks them), each labelled by its title;
# more, as here, make a heat map of them all, one row per file, over five of
# them as lines.

# sphinx_gallery_start_ignore
_workspace.back()
# sphinx_gallery_end_ignore
done = subprocess.run([sys.executable, "-m", "quorinreader", "plot", "singles", "-o", "singles.png"],
                      capture_output=True, text=True, check=True)
print(done.stdout.strip())
# sphinx_gallery_start_ignore
_workspace.show("singles.png")
# sphinx_gallery_end_ignore
