"""The spectra of one file as arrays: the Spectra type, load and open.

This module decides what to read and shapes the result; the bytes move in
the core, one native call per bulk read, straight into the final arrays.
quorinreader.spectra is its public face."""

from __future__ import annotations

import os
import warnings
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Literal, cast

import numpy
import numpy.typing as npt

import quorinreader as _core

from . import arrays as _arrays, layout as _layout, origin as _origin, sources as _sources
from .errors import FormatError, TruncatedWarning
from .._maps.map import Map, MapError, find as _find_map
from .mapped import Mapped
from .origin import Origin
from .sources import Source

if TYPE_CHECKING:
    import pathlib

    import xarray

_TOLERANCE = 0.25  # steps from a node that a stage position may lie, by default


# `values` of a source read by ranges, before its first use.
_PENDING: Any = numpy.empty((0, 0), numpy.float32)


class Spectra:
    """The spectra of one file, as arrays.  Made by load() and open(); both
    give the same attributes, and differ in where `values` lives.

    Attributes
    ----------
    source : str
        The file's name as the messages give it: the path as given, the
        URL, or a description of the bytes or the file object read.

    Examples
    --------
    >>> s = spectra.load("examples/demo_series.spa")
    >>> s.kind, s.values.shape
    ('series', (120, 400))
    """

    __slots__ = ("source", "_layout", "_table", "_values", "_heads", "_mapped", "_partial", "_x", "_titles",
                 "_mini", "_map", "_encoding")

    def __init__(self, layout: _layout.Layout, table: _layout.Table, source: str, values: _arrays.Values,
                 heads: _arrays.Bytes | None, mapped: Mapped | None, partial: bool,
                 encoding: str | None = None) -> None:
        self.source = source
        self._layout = layout
        self._table = table
        self._values: _arrays.Values | None = values
        self._heads = heads
        self._mapped = mapped
        self._partial = partial
        self._x: npt.NDArray[numpy.float64] | None = None
        self._titles: list[str | None] | None = None
        self._mini: npt.NDArray[numpy.void] | None = None
        self._map: Map | MapError | None = None
        self._encoding = encoding  # of the titles; None: UTF-8 where valid, else Windows-1252

    # The records.

    @property
    def kind(self) -> Literal["series", "spectrum"]:
        """"series" for a series file, "spectrum" for a single spectrum."""
        return self._layout.kind

    @property
    def file_header(self) -> _core.FileHeader:
        """The FileHeader, with the section directory."""
        return self._layout.file_header

    @property
    def spectral_header(self) -> _core.MainSpectralHeader:
        """The MainSpectralHeader: of the data blob for a series, of the file for a spectrum."""
        return self._layout.spectral_header

    @property
    def series_header(self) -> _core.SeriesHeader | None:
        """The SeriesHeader; None for a single spectrum."""
        return self._layout.series_header

    @property
    def bench(self) -> _core.BenchInfo | None:
        """The BenchInfo at the head of the data blob; None where there is none."""
        return self._layout.bench

    @property
    def dimensions(self) -> list[_core.Dimension]:
        """The Dimension records of the disk-resident array; empty for a single spectrum."""
        array = self._layout.disk_array
        return [] if array is None else array.dimensions

    # The arrays.

    @property
    def values(self) -> _arrays.Values:
        """(spectra, points) float32 or float64, as stored: a fresh writeable
        matrix from load(), a read-only view of the source from open()."""
        values = self._values
        if values is None:
            raise self._closed_error()
        if values is _PENDING:  # a ranged source: fetched at the first use
            values = self._values = _arrays.values_view(self._raw(), self._table)
        return values

    @property
    def x(self) -> npt.NDArray[numpy.float64]:
        """numpy.linspace(first_x, last_x, num_points) of the main spectral header."""
        x = self._x
        if x is None:
            self._check_open()
            header = self.spectral_header
            x = self._x = numpy.linspace(header.first_x, header.last_x, header.num_points)
        return x

    @property
    def titles(self) -> list[str | None]:
        """One title per spectrum: its mini header's, None without mini headers,
        the file's own id for a single spectrum.  Decoded as UTF-8 where the
        bytes are valid UTF-8, else as Windows-1252, or in the `encoding`
        that load() or open() was given."""
        titles = self._titles
        if titles is None:
            self._check_open()
            table = self._table
            if self.kind == "spectrum":
                titles = [_arrays.text(self._layout.raw_id, self._encoding, self.file_header.file_id)] * table.n
            elif table.mini is None:
                titles = [None] * table.n
            else:
                buffer, offset, stride = self._heads_at()
                titles = cast("list[str | None]", _arrays.titles(buffer, offset, stride, table.n, table.mini,
                                                                 self._encoding))
            self._titles = titles
        return titles

    @property
    def mini_headers(self) -> npt.NDArray[numpy.void] | None:
        """The numeric fields of the mini headers, one structured row per
        spectrum (a view of the table they were read into, or of the source);
        None without mini headers."""
        mini = self._mini
        if mini is None:
            self._check_open()
            table = self._table
            if table.mini is None:
                return None
            buffer, offset, stride = self._heads_at()
            mini = self._mini = _arrays.mini_view(buffer, offset, stride, table.n, table.mini)
        return mini

    def _heads_at(self) -> tuple[_arrays.Bytes, int, int]:
        """Where the mini headers lie: the buffer, the first one's offset, the stride."""
        table = self._table
        if self._mapped is not None:
            return self._raw(), table.offset, table.stride
        assert self._heads is not None
        return self._heads, 0, table.head

    def _raw(self) -> _arrays.Bytes:
        """The opened source's bytes; those of a ranged source, fetched now, must still hold every spectrum."""
        assert self._mapped is not None
        raw = self._mapped.raw()
        table = self._table
        if self._mapped.origin.ranged and table.held(raw.size) < table.n:
            raise FormatError(f"{self.source}: {table.shortfall(table.held(raw.size), raw.size)}")
        return raw

    def _where(self) -> tuple[_layout.Layout, _layout.Table, Origin] | None:
        """Where the spectra of an opened file lie, for lazy readers; None once loaded."""
        self._check_open()
        if self._mapped is None:
            return None
        return self._layout, self._table, self._mapped.origin

    @property
    def axis(self) -> tuple[str, npt.NDArray[numpy.float64]] | None:
        """The series axis as the file's dimensions state it: (label, one value
        per spectrum), such as ("time (s)", [0, 10, ...]); None where no
        dimension has as many elements as the series has spectra."""
        self._check_open()
        from . import axes as _axes

        axis = _axes.spectrum_axis(self)
        return None if axis is None else (axis.label, axis.values())

    @property
    def is_map(self) -> bool:
        """True when the stage positions of the spectra lie on a grid of 2 or
        more positions (see to_map)."""
        self._check_open()
        if self._map is None:
            try:
                self._map = _find_map(self, _TOLERANCE, "last")
            except MapError as error:
                self._map = error
        return isinstance(self._map, Map)

    def to_map(self, *, tolerance: float = _TOLERANCE,
               duplicates: Literal["raise", "last", "mean"] = "raise") -> Map:
        """The spectra on their stage grid, as a Map.

        Each stage axis's grid is found from that axis's positions alone;
        only the mini headers are read.

        Parameters
        ----------
        tolerance : float
            How far from a node a position may lie, in steps, and still
            belong to it (0.25 by default).
        duplicates : {"raise", "last", "mean"}
            What two spectra at one node give: MapError naming both (the
            default), the last one taken, or their mean (in `cube` and
            `image`; `index` names the last).

        Returns
        -------
        Map
            The grid, which spectrum lies at each pixel, the cube and the
            band images.

        Raises
        ------
        MapError
            Where the positions lie on no grid, all share one position, or
            the series has no mini headers; or for duplicates, as above.

        Examples
        --------
        >>> m = spectra.load("examples/demo_map.spa").to_map()
        >>> m.shape, m.scan
        ((15, 20), 'snake')
        """
        self._check_open()
        if duplicates == "last" and tolerance == _TOLERANCE and isinstance(self._map, Map):
            return self._map  # the one is_map found
        return _find_map(self, tolerance, duplicates)

    def trace(self, at: float | None = None, *, band: tuple[float, float] | None = None,
              how: Literal["area", "max", "mean"] = "mean") -> npt.NDArray[numpy.float64]:
        """One value per spectrum: its value at an X, or its measure of a band.

        Measured as Map.image measures each pixel.  The series axis to draw
        it against is `axis` (time, say).

        Parameters
        ----------
        at : float, optional
            The X whose nearest point's value each spectrum gives.
        band : (float, float), optional
            The band from one X to another, both ends included, in either
            order; instead of `at`.
        how : {"mean", "max", "area"}
            How the band is measured: its mean (the default), its largest
            value, or its integral over X, ascending.

        Returns
        -------
        numpy.ndarray
            float64, one value per spectrum, in their order.

        Raises
        ------
        ValueError
            Where `at` lies outside X, or the band holds none of it.

        Examples
        --------
        >>> s = spectra.load("examples/demo_series.spa")
        >>> s.trace(band=(1550, 1650), how="max")[[0, -1]].round(2)
        array([0.24, 1.14])
        """
        self._check_open()
        from . import bands as _bands

        return _bands.trace(self, at, band, how)

    def to_xarray(self, *, map: bool | Map = False) -> xarray.Dataset:  # noqa: A002 - shadows map() only in here
        """The spectra as an xarray Dataset, lazy for an opened file.

        The data variable `spectra` lies on (spectrum, x), with the
        coordinates x, title and every mini header field, the series axis
        where a dimension matches the spectra, and the main spectral
        header's fields as attributes.

        The series axis is named by its dimension's short label (its long
        label where that is empty, "series" where both are), with the long
        label as its long_name; a name that is taken already (spectra,
        spectrum, x, title, a mini header field) gets "_axis" appended.

        With `map`, the spectra lie on (stage_y, stage_x, x), NaN where no
        spectrum was taken (see to_map; or pass the Map of to_map(...) that
        this Spectra gave, for other options), and every per-spectrum coordinate
        on (stage_y, stage_x), missing (NaN) where none was taken.

        Parameters
        ----------
        map : bool or Map
            True to lay the spectra on the stage grid that to_map() finds,
            or the Map to lay them on; False (the default) for one row per
            spectrum.

        Returns
        -------
        xarray.Dataset
            Lazy for an opened file: only what is indexed is read.

        Raises
        ------
        ImportError
            Without xarray (the `xarray` extra).
        MapError
            With `map`, where the positions lie on no grid.
        """
        self._check_open()
        try:
            from .._xarray import dataset as _xarray
        except ImportError as error:
            raise ImportError("to_xarray() needs xarray: pip install 'quorinreader[xarray]'") from error
        ds = _xarray.dataset(self)
        if not map:
            return ds
        from .._xarray import axes as _xarray_axes

        if isinstance(map, Map) and map._spectra is not self:
            raise ValueError(f"the map given is of {map.source!r}, not of these spectra ({self.source!r})")
        return _xarray_axes.on_map(self, ds, map if isinstance(map, Map) else self.to_map())

    # Exports that other tools read; each format in a module of its own.

    def to_jcamp(self, path: str | os.PathLike[str], *, data_type: str = "INFRARED SPECTRUM",
                 form: Literal["affn", "difdup"] = "affn", split: bool = False, origin: str | None = None,
                 owner: str | None = None) -> list[pathlib.Path]:
        """Writes the spectra as JCAMP-DX 5.01.

        One block for a spectrum, one compound (LINK) file of a block per
        spectrum for a series, or with `split` one file per spectrum.

        Parameters
        ----------
        path : str or os.PathLike
            The file to write; with `split`, the name the numbered files
            are made from (path-0.jdx, path-1.jdx, ...).
        data_type : str
            Written as ##DATA TYPE=: "INFRARED SPECTRUM" (the default) or
            "RAMAN SPECTRUM".  The file does not say which it holds.
        form : {"affn", "difdup"}
            "affn" (the default) writes every value exactly, as the fewest
            digits that read back as it; "difdup" compresses them to 7
            significant digits of each spectrum's largest value (each within
            half a YFACTOR).
        split : bool
            One file per spectrum of a series instead of one compound file.
        origin : str, optional
            ##ORIGIN=; by default the file's name.
        owner : str, optional
            ##OWNER=; by default UNKNOWN.

        Returns
        -------
        list of pathlib.Path
            The files written.

        Raises
        ------
        ValueError
            For a NaN or an infinity, which JCAMP-DX cannot hold, before
            anything is written; or for a `data_type` of neither kind.
        """
        self._check_open()
        import pathlib

        from .._export import jcamp as _export_jcamp

        return _export_jcamp.write(self, pathlib.Path(path), data_type=data_type, form=form, split=split,
                                   origin=origin, owner=owner)

    def to_hyperspy(self) -> Any:
        """The spectra as HyperSpy's signal, (spectrum | x).

        The navigation axis is the series axis where a dimension matches the
        spectra (else the spectrum index; a single spectrum has none,
        (| x)), the signal axis X, each with offset, scale, name and units
        from the file's labels.  The title (the spectrum's, or the file's
        name) is in metadata.General.title, every record in
        original_metadata, field by field.  For a map on its grid:
        to_map().to_hyperspy().

        Returns
        -------
        hyperspy.signals.Signal1D
            A LazySignal1D, whose chunks are read by positioned reads, for
            an opened file.

        Raises
        ------
        ImportError
            Without HyperSpy (the `hyperspy` extra).
        """
        self._check_open()
        from .._export import hyperspy as _export_hyperspy

        return _export_hyperspy.spectra_signal(self)

    def to_nexus(self, path: str | os.PathLike[str], *, map: bool | Map = False) -> None:  # noqa: A002
        """Writes a NeXus (HDF5) file of the spectra.

        An NXentry whose NXdata holds `spectra`, each axis with units and
        long_name, the titles and mini-header fields as datasets beside
        them, and every record in an NXcollection; written in chunks of
        spectra.

        Parameters
        ----------
        path : str or os.PathLike
            The file to write.
        map : bool or Map
            False (the default): `spectra` on (spectrum, x).  True, or the
            Map to use: on (stage_y, stage_x, x), NaN where no spectrum was
            taken.

        Raises
        ------
        ImportError
            Without h5py (the `nexus` extra).
        MapError
            With `map`, where the positions lie on no grid.
        """
        self._check_open()
        import pathlib

        from .._export import nexus as _export_nexus, output as _output

        on_map: Map | None = None
        if map:
            if isinstance(map, Map) and map._spectra is not self:
                raise ValueError(f"the map given is of {map.source!r}, not of these spectra ({self.source!r})")
            on_map = map if isinstance(map, Map) else self.to_map()
        _export_nexus._h5py()
        with _output.replacing(pathlib.Path(path)) as temporary:
            _export_nexus.write(self, temporary, on_map)

    # The object.

    def __len__(self) -> int:
        """The number of spectra."""
        return self._table.n

    @property
    def closed(self) -> bool:
        """True once close() was called."""
        return self._values is None

    def close(self) -> None:
        """Drops the arrays and ends the mapping of an opened file.  Arrays a
        caller kept stay valid; the attributes that give arrays raise ValueError."""
        self._values = self._heads = self._x = self._titles = self._mini = self._map = None
        if self._mapped is not None:
            self._mapped.close()

    def __enter__(self) -> Spectra:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        table, header = self._table, self.spectral_header
        what = (f"series, {table.n:,} spectra of {table.points:,} points" if self.kind == "series"
                else f"spectrum, {table.points:,} points")
        state = "closed, was" if self.closed else "opened" if self._mapped is not None else "loaded"
        return (f"<Spectra: {what}, {_arrays.native_dtype(table.item).name}, "
                f"x {header.first_x:g} to {header.last_x:g}, {state} from {self.source!r}>")

    def _repr_html_(self) -> str:
        from .._show import html as _html
        return _html.spectra(self)

    def __reduce__(self) -> tuple[Any, ...]:
        self._check_open()
        if self._mapped is not None:
            return _reopen, (self._mapped, self._partial, self._encoding)
        return Spectra, (self._layout, self._table, self.source, self._values, self._heads, None, False,
                         self._encoding)

    def _check_open(self) -> None:
        if self._values is None:
            raise self._closed_error()

    def _closed_error(self) -> ValueError:
        return ValueError(f"I/O operation on closed spectra ({self.source})")


def load(source: Source, *, partial: bool = False, storage_options: Mapping[str, Any] | None = None,
         encoding: str | None = None) -> Spectra:
    """Reads every spectrum of a spectrum or series file into memory.

    One native pass, straight into a fresh, writeable matrix; no file is
    left open.

    Parameters
    ----------
    source : str, os.PathLike, bytes-like or binary file object
        A path, a URL that fsspec knows ("s3://...", "https://..."), a
        bytes-like object holding the file, or a binary file object (read
        from its start; by ranges where it can seek).
    partial : bool
        For a series that ends before its last spectrum: give the complete
        spectra it holds, with a TruncatedWarning, instead of raising.
    storage_options : mapping, optional
        For the fsspec filesystem of a URL, such as {"anon": True}.
    encoding : str, optional
        The codec of the titles; by default UTF-8 where their bytes are
        valid UTF-8, else Windows-1252.

    Returns
    -------
    Spectra
        Its `values`, `x`, titles, mini headers and records.

    Raises
    ------
    FormatError
        Where the file holds no readable spectrum or series, naming the
        source, the offset, what was expected and what was found.
    OSError
        Where the path cannot be opened.

    Examples
    --------
    >>> s = spectra.load("examples/demo_series.spa")
    >>> s.values.shape, s.titles[0]
    ((120, 400), 't = 0 s')
    """
    encoding = _arrays.check_encoding(encoding)
    ranged = _origin.ranged_of(source, storage_options)
    if ranged is not None:
        with ranged.reader() as reader:
            layout = _layout.find(reader, reader.size, ranged.name)
            table, warning = _fit(layout.table, reader.size, partial, ranged.name)
            values, heads, got = ranged.read_all(reader, table)
        return _loaded(layout, table, ranged.name, values, heads, got, warning, partial, encoding)
    if storage_options:
        _origin.of(source, storage_options)  # says what storage_options is for
    name, path, data = _sources.resolve(source)
    with _core._Reader(_sources.native(path, data)) as reader:
        size = reader.size
        layout = _layout.find(reader, size, name)
        table, warning = _fit(layout.table, size, partial, name)
        values, heads, got = _arrays.read(reader, table, size is not None)
    return _loaded(layout, table, name, values, heads, got, warning, partial, encoding)


def _loaded(layout: _layout.Layout, table: _layout.Table, name: str, values: _arrays.Values,
            heads: _arrays.Bytes | None, got: int, warning: str | None, partial: bool,
            encoding: str | None) -> Spectra:
    if got < table.n:  # the size was not known, or the file shrank meanwhile
        table, warning = _short(table, got, None, partial, name)
        values = values[:got]
        heads = None if heads is None else heads[:got * table.head]
    if warning:
        warnings.warn(TruncatedWarning(warning), stacklevel=3)
    return Spectra(layout, table, name, values, heads, None, partial, encoding)


def open(source: Source, *, partial: bool = False,  # noqa: A001 - the module's verb
         storage_options: Mapping[str, Any] | None = None, encoding: str | None = None) -> Spectra:
    """Reads the headers of a spectrum or series file and maps its values in place.

    A path is memory-mapped (no file descriptor is kept); a bytes-like object
    is viewed where it lies.  `values` is then a read-only view whose rows
    are read as they are used.  A URL that fsspec knows or a seekable file
    object has its headers read by a few ranged reads, and `values` read
    whole at its first use; a file object that cannot seek is read into
    memory once.  close() ends the mapping; the object is a context manager.

    Parameters
    ----------
    source : str, os.PathLike, bytes-like or binary file object
        What load() takes.
    partial : bool
        For a series cut short: its complete spectra, with a
        TruncatedWarning, instead of FormatError.
    storage_options : mapping, optional
        For the fsspec filesystem of a URL.
    encoding : str, optional
        The codec of the titles, as load() takes it.

    Returns
    -------
    Spectra
        Its `values` a read-only view until close().

    Raises
    ------
    FormatError
        Where the file holds no readable spectrum or series.
    OSError
        Where the path cannot be opened.

    Examples
    --------
    >>> with spectra.open("examples/demo_series.spa") as lazy:
    ...     print(lazy.values[60].max().round(3))
    0.712
    """
    encoding = _arrays.check_encoding(encoding)
    ranged = _origin.ranged_of(source, storage_options)
    if ranged is not None:
        mapped = Mapped(ranged.name, ranged=ranged)
    else:
        if storage_options:
            _origin.of(source, storage_options)  # says what storage_options is for
        name, path, data = _sources.resolve(source)
        mapped = Mapped(name, path, data)
    spectra, warning = _open(mapped, partial, encoding)
    if warning:
        warnings.warn(TruncatedWarning(warning), stacklevel=2)
    return spectra


def _open(mapped: Mapped, partial: bool, encoding: str | None) -> tuple[Spectra, str | None]:
    if mapped.origin.ranged:
        return _open_ranged(mapped, partial, encoding)
    try:
        # The headers are read from the file, not through the mapping: a
        # first touch of a mapped page costs more than a read, and so the
        # first access to spectrum k costs one page fault whatever k is.
        with _core._Reader(_sources.native(mapped.path, mapped.data)) as reader:
            raw = mapped.raw(reader)
            layout = _layout.find(reader, raw.size, mapped.name)
        table, warning = _fit(layout.table, raw.size, partial, mapped.name)
        values = _arrays.values_view(raw, table)
    except BaseException:
        mapped.close()
        raise
    return Spectra(layout, table, mapped.name, values, None, mapped, partial, encoding), warning


def _open_ranged(mapped: Mapped, partial: bool, encoding: str | None) -> tuple[Spectra, str | None]:
    """The headers by ranged reads; `values`, with all the file's bytes, at their first use."""
    origin = mapped.origin
    with origin.reader() as reader:
        layout = _layout.find(reader, reader.size, origin.name)
    table, warning = _fit(layout.table, origin.size, partial, origin.name)
    return Spectra(layout, table, origin.name, _PENDING, None, mapped, partial, encoding), warning


# The header phase's verdict on a source's size lives with the layouts; the
# names stay here for the readers of this module.
_fit = _layout.fit
_short = _layout.short


def _reopen(mapped: Mapped, partial: bool, encoding: str | None = None) -> Spectra:
    # The caller was warned when the file was first opened.
    return _open(mapped, partial, encoding)[0]
