"""
A remote folder
===============

With the ``[remote]`` extra, every reader takes a URL that fsspec knows:
``s3://``, ``gs://``, ``https://``... A URL ending in ``/`` is a folder. So
that this page builds offline, the folder is served over HTTP from this
machine's loopback interface, and the server counts what it was asked for.
"""

# sphinx_gallery_start_ignore
import _workspace

_workspace.enter()
url, server = _workspace.serve(_workspace.singles("singles", 12))
# sphinx_gallery_end_ignore
import matplotlib.pyplot as plt

from quorinreader import spectra

print(url)  # for S3: "s3://bucket/run42/", with storage_options={"anon": True}
c = spectra.load_many(url)
print(c)
print(c.files[0])
# sphinx_gallery_start_ignore
requests, sent = server.counter.take()
# sphinx_gallery_end_ignore
print(f"{requests} requests, {sent:,} bytes for {len(c)} files")

# %%
# The files are fetched together, each round's requests sent at once: the
# folder's listing, then each small file whole in one request. Beside the
# listing, that is what fsspec's own ``cat`` of the same URLs costs, which
# fetches the bytes and decodes nothing:

import fsspec  # noqa: E402

fs = fsspec.filesystem("http")
fs.cat(c.files)
# sphinx_gallery_start_ignore
cat_requests, cat_sent = server.counter.take()
# sphinx_gallery_end_ignore
print(f"fsspec's cat: {cat_requests} requests, {cat_sent:,} bytes for {len(c)} files")

# %%
# One spectrum of one file costs a few ranged requests, not the whole file:

with spectra.open(c.files[5]) as one:
    spectrum = one.values[0]
    print(one.titles[0], spectrum.shape)

fig, ax = plt.subplots(figsize=(8, 3.5), layout="constrained")
for row, title in zip(c.values[::3], c.titles[::3]):
    ax.plot(c.x, row, lw=0.9, label=title)
ax.set(xlabel="Raman shift (cm⁻¹)", ylabel="intensity", title="read over HTTP")
ax.legend()
plt.show()
