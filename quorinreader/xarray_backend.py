"""The xarray engine "quorinreader": SPA spectra and series as lazy Datasets.

    import xarray

    ds = xarray.open_dataset("reaction.spa", engine="quorinreader")
    ds.spectra[12]                          # reads that spectrum alone, when used
    ds.close()                              # ends its reads

    xarray.open_dataset("s3://bucket/reaction.spa", engine="quorinreader",
                        storage_options={"anon": True})

The Dataset is the one `spectra.open(path).to_xarray()` gives: `spectra` on
(spectrum, x), the coordinates x, title and the mini header fields, the main
spectral header's fields as attributes.  Nothing but the headers is read
until a variable is used, then only the spectra it selects, by positioned
reads (ranged requests for a URL), adjacent spectra together; nothing is
mapped, so a file cut short raises FormatError.  Its lazy arrays hold the
file's path (or URL and storage options) and layout, so a Dataset or a Dask
graph made from it pickles, and each task opens the file, reads its ranges
and closes it.

xarray finds the engine through the package's "xarray.backends" entry point;
`xarray.open_dataset` picks it by itself for a path ending in ".spa".
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping
from typing import Any

try:
    import xarray
    from xarray.backends import BackendEntrypoint
except ImportError:  # the missing import stays the context of this one
    raise ImportError("the quorinreader xarray engine needs xarray: pip install 'quorinreader[xarray]'")

from ._xarray import dataset as _xarray
from ._read.sources import Source

__all__ = ["SpaBackendEntrypoint"]


class SpaBackendEntrypoint(BackendEntrypoint):
    """Opens a spectrum or series file as a lazily indexed Dataset.

    xarray finds it as engine="quorinreader", and picks it by itself for a
    path ending in .spa.

    Attributes
    ----------
    description : str
        What the engine opens, as xarray lists its engines.
    url : str
        Where the engine is documented.
    open_dataset_parameters : tuple of str
        The parameters of open_dataset, as xarray asks for them.

    Examples
    --------
    >>> import xarray
    >>> with xarray.open_dataset("examples/demo_series.spa", engine="quorinreader") as ds:
    ...     print(dict(ds.sizes))
    {'spectrum': 120, 'x': 400}
    """

    description = "Open SPA spectrum and series files (FT-IR, Raman) in xarray, lazily"
    url = "https://pypi.org/project/quorinreader/"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "partial", "storage_options", "encoding")

    def open_dataset(  # type: ignore[override]
        self,
        filename_or_obj: Source,
        *,
        drop_variables: str | Iterable[str] | None = None,
        partial: bool = False,
        storage_options: Mapping[str, Any] | None = None,
        encoding: str | None = None,
    ) -> xarray.Dataset:
        """Opens a file as a Dataset whose variables are read as they are indexed.

        Opening reads the headers; nothing is mapped and no file descriptor
        is kept.  Each read opens the file, reads its ranges and closes it.

        Parameters
        ----------
        filename_or_obj : str, os.PathLike, bytes-like or binary file object
            A path, a URL that fsspec knows, the file's bytes, or a binary
            file object.
        drop_variables : str or iterable of str, optional
            Variables and coordinates to leave out; names the file does not
            have are ignored.
        partial : bool
            For a series cut short: its complete spectra, with
            spectra.TruncatedWarning, instead of spectra.FormatError.
        storage_options : mapping, optional
            For the fsspec filesystem of a URL.
        encoding : str, optional
            The codec of the titles; by default UTF-8 where valid, else
            Windows-1252.

        Returns
        -------
        xarray.Dataset
            `spectra` on (spectrum, x), with the coordinates x, title, every
            mini-header field and the series axis.

        Raises
        ------
        spectra.FormatError
            Where the file holds no readable spectrum or series, now or when
            a read finds it cut short.
        """
        return _xarray.open_dataset(filename_or_obj, storage_options=storage_options,
                                    drop_variables=drop_variables, partial=partial, encoding=encoding)

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        """Whether xarray may pick this engine by itself for a source.

        Parameters
        ----------
        filename_or_obj : object
            What xarray.open_dataset was given.

        Returns
        -------
        bool
            True for a path (str or os.PathLike) whose suffix is .spa, in
            any case.
        """
        if not isinstance(filename_or_obj, (str, os.PathLike)):
            return False
        path = os.fsdecode(os.fspath(filename_or_obj))
        return os.path.splitext(path)[1].lower() == ".spa"


def __dir__() -> list[str]:
    """The public names and the module's own dunders; not what it imports for its own use."""
    return [*__all__, *(name for name in globals() if name[:2] == name[-2:] == "__")]
