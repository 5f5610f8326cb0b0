"""What the gallery's examples stand on: a scratch folder holding a copy of
the checkout's examples/, and stand-ins for a lab's folder of single
spectra, made with the test suite's writer of synthetic files."""

import atexit
import math
import os
import shutil
import struct
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests"))

import spawriter  # noqa: E402
from remote_servers import HttpServer  # noqa: E402

POINTS, FIRST_X, LAST_X = 400, 200.0, 3200.0


def enter():
    """Makes a scratch folder with a copy of examples/ the working folder; it
    is removed when the process ends.  Returns its path."""
    folder = Path(tempfile.mkdtemp(prefix="quorinreader-gallery-"))
    atexit.register(shutil.rmtree, folder, True)
    shutil.copytree(ROOT / "examples", folder / "examples", ignore=shutil.ignore_patterns("*.py", "__*"))
    os.chdir(folder)
    _entered.append(folder)
    return folder


_entered = []


def back():
    """Makes the scratch folder the working folder again: the gallery runs
    each cell of an example from the example's own folder."""
    os.chdir(_entered[-1])


def _band(x, centre, width, height):
    return height * math.exp(-(((x - centre) / width) ** 2))


def singles(folder="singles", n=24):
    """Writes n single Raman spectra of a two-component blend, one file per
    sample (sample-1.spa ... sample-n.spa), the share of the second
    component rising from 0 to 1.  Returns the folder."""
    folder = Path(folder)
    folder.mkdir(exist_ok=True)
    step = (LAST_X - FIRST_X) / (POINTS - 1)
    for k in range(n):
        share = k / (n - 1)
        values = []
        for i in range(POINTS):
            x = FIRST_X + i * step
            values.append(0.1 + 0.004 * math.sin(i * 0.9 + k) * math.sin(i * 0.13)
                          + _band(x, 1001.0, 18.0, 1.6 * (1 - share)) + _band(x, 1450.0, 30.0, 0.5)
                          + _band(x, 1600.0, 22.0, 1.2 * share) + _band(x, 2930.0, 50.0, 0.8))
        builder = spawriter.SpaBuilder(file_type=spawriter.FT_IRDATA,
                                       file_id=f"blend, {round(100 * share)} % B".encode())
        builder.add(2, spawriter.main_spectral_header(num_points=POINTS, first_x=FIRST_X, last_x=LAST_X,
                                                      num_scans=16))
        builder.add(3, struct.pack(f"<{POINTS}f", *values))
        builder.write(folder / f"sample-{k + 1}.spa")
    return folder


def serve(folder):
    """Serves the files of `folder` over HTTP on 127.0.0.1, with a listing
    of the folder as a web server gives one; returns the folder's URL and
    the server, which stops when the process ends."""
    server = HttpServer()
    atexit.register(server.stop)
    folder = Path(folder)
    links = []
    for path in sorted(folder.iterdir()):
        server.put(f"{folder.name}/{path.name}", path.read_bytes())
        links.append(f'<a href="{path.name}">{path.name}</a>')
    listing = ("<html><body>" + "<br>".join(links) + "</body></html>").encode()
    listed = {f"/{folder.name}", f"/{folder.name}/"}  # fsspec asks for both
    for path in listed:
        server.files[path] = listing

    class Listing(server.httpd.RequestHandlerClass):
        """The suite's handler, answering a folder's listing as a web page,
        as web servers do: fsspec reads the links of a page only."""

        def send_header(self, keyword, value):
            if keyword == "Content-Type" and self.path.split("?")[0] in listed:
                value = "text/html"
            super().send_header(keyword, value)

    server.httpd.RequestHandlerClass = Listing
    return f"{server.url}/{folder.name}/", server


def show(png):
    """Shows a picture that the command line wrote as a figure of the page,
    at its own size, so that the gallery shows what the command draws."""
    import matplotlib.pyplot as plt

    image = plt.imread(png)
    height, width = image.shape[:2]
    fig = plt.figure(figsize=(width / 100, height / 100), dpi=100)
    fig.figimage(image)
    plt.show()
