"""Spectra as NumPy arrays: any spectrum or series file, loaded or memory-mapped.

    from quorinreader import spectra

    s = spectra.load("reaction.spa")        # everything in memory, no file left open
    s.x, s.values, s.titles, s.mini_headers

    with spectra.open("reaction.spa") as s: # headers read, values mapped in place
        row = s.values[12345]               # a read-only view: reads just that spectrum

    s = spectra.load("s3://bucket/reaction.spa", storage_options={"anon": True})

A map cannot survive the file being cut short under it (the process gets
SIGBUS); the xarray engine, which reads by positioned reads, can.

This module is the public face of what users import; the code lives in
the private subpackages, one per layer: _read (one file), _maps, _many
(many files), _xarray, _export and _show (plots and the notebook's
pictures), under the command line (_cli).
"""

from ._many.files import Collection, load_many, open_many
from ._maps.map import Map, MapError
from ._read.errors import FormatError, TruncatedWarning
from ._read.sources import Source
from ._read.spectra import Spectra, load, open

__all__ = ["Collection", "FormatError", "Map", "MapError", "Spectra", "Source", "TruncatedWarning", "load",
           "load_many", "open", "open_many"]

# Where users meet them, as help() and the reference name them.
for _public in (Collection, Map, Spectra, load, load_many, open, open_many):
    _public.__module__ = __name__
del _public


def __dir__() -> list[str]:
    """The public names and the module's own dunders; not what it imports for its own use."""
    return [*__all__, *(name for name in globals() if name[:2] == name[-2:] == "__")]
