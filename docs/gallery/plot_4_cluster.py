"""
Many files on a Dask cluster
============================

``open_many`` reads the headers of a folder now and gives the values as a
Dask array: each chunk is one native ``load_many`` of its files, run on
whichever worker computes it. The graph holds only paths, so it runs on a
``dask.distributed`` cluster; here a ``LocalCluster`` of two worker
processes.
"""

# sphinx_gallery_start_ignore
import _workspace

_workspace.enter()
_workspace.singles("singles", 48)  # stand-ins for your folder
# sphinx_gallery_end_ignore
from pathlib import Path

import matplotlib.pyplot as plt
from dask.distributed import Client, LocalCluster

from quorinreader import spectra

# Worker processes start by importing the script that made them: a script
# of your own guards this part with `if __name__ == "__main__":`.
cluster = LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None)
client = Client(cluster)

c = spectra.open_many(Path("singles").resolve(), files_per_chunk=12)
print(c)
print("chunks:", c.values.chunks[0])
mean, spread = c.values.mean(axis=0), c.values.std(axis=0)
mean, spread = client.compute([mean, spread], sync=True)  # the workers read the files

# %%
# The mean spectrum of the folder, with one standard deviation about it:
# where the samples differ, the band is wide.

fig, ax = plt.subplots(figsize=(8, 3.5), layout="constrained")
ax.fill_between(c.x, mean - spread, mean + spread, alpha=0.3, label="± one standard deviation")
ax.plot(c.x, mean, label=f"mean of {len(c)} files")
ax.set(xlabel="Raman shift (cm⁻¹)", ylabel="intensity", title="computed on two worker processes")
ax.legend()
plt.show()

client.close()
cluster.close()
