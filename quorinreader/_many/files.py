"""Many files as one matrix: load_many and open_many of quorinreader.spectra.

Paths go through two native calls: one reads every file's header,
directory and main spectral header on a few threads, the other every
single spectrum's values straight into its row of the one matrix.  What
those calls leave to this module (series files, bytes in memory, file
objects, and files whose headers need explaining) goes through
spectra.load, one file at a time, into the same matrix."""

from __future__ import annotations

import glob
import itertools
import os
import re
import warnings
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, cast

import numpy
import numpy.typing as npt

import quorinreader as _core

from .._read import arrays as _arrays, layout as _layout, remote as _remote, sources as _sources
from . import progress as _progress
from .._read.errors import SHOWN as _SHOWN, FormatError, not_spectral, past_end, with_way_out

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped, unused-ignore]
    import xarray

    from .._read.sources import Source
    from .._read.spectra import Spectra

__all__ = ["Collection", "expand", "load_many", "natural_key", "none_read", "open_many"]

# How the header pass sorts a file out; the core's _scan_many says so.
_SINGLE, _ELSEWHERE, _OS_FAILED, _NOT_SPECTRAL, _PLACED = 0, 1, 2, 3, 4
# Files per native call when a progress bar follows them.
_STEP = 512
# Files the differing-axis message names.
_NAMED = 3


def _header_dtype() -> numpy.dtype[numpy.void]:
    fields = [(name, "<" + code, offset) for name, code, offset
              in _core._record_layout(_core.MainSpectralHeader) if not code.endswith("s")]
    spec: Any = {"names": [f[0] for f in fields], "formats": [f[1] for f in fields],
                 "offsets": [f[2] for f in fields], "itemsize": _layout.record_size(_core.MainSpectralHeader)}
    return numpy.dtype(spec)


HEADER_DTYPE = _header_dtype()


def none_read(n: int) -> str:
    """Says that not one of `n` files could be read."""
    return "the one file could not be read" if n == 1 else f"none of the {n:,} files could be read"


def natural_key(name: str) -> list[Any]:
    """Orders names as people do: s2.spa before s10.spa."""
    return [int(part) if k % 2 else part.casefold() for k, part in enumerate(re.split(r"(\d+)", name))]


def _expand_url(url: str, storage_options: Mapping[str, Any] | None) -> list[Source]:
    """A URL's folder (it ends in "/") or glob as the URLs of its files, in
    natural order, each with the size the listing gave where it gave one;
    any other URL is one file.  Asking a store whether a URL without the
    slash is a folder would cost a request on every file, and over HTTP a
    download of it; over HTTP a "?" starts the query ("?X-Amz-..."), and
    only "*" and "[" make a glob, as fsspec's HTTP glob takes them."""
    fs, path = _remote.filesystem(url, storage_options)
    web = url.lower().startswith(("http://", "https://"))
    if (not web and glob.has_magic(path)) or (web and "?" not in url and ("*" in path or "[" in path)):
        found = [(name, info.get("size")) for name, info in fs.glob(path, detail=True).items()
                 if info["type"] == "file"]
        if not found:
            raise FileNotFoundError(f"{url}: the pattern matches no file")
    elif url.endswith("/"):
        found = [(info["name"], info.get("size")) for info in fs.ls(path, detail=True)
                 if info["type"] == "file" and info["name"].lower().endswith(".spa")]
        if not found:
            raise FileNotFoundError(f"{url}: the folder holds no file whose name ends in .spa")
    else:
        return [url]
    found.sort(key=lambda entry: natural_key(entry[0]))
    return [_remote.listed(fs.unstrip_protocol(name), size) for name, size in found]


def expand(sources: Source | Iterable[Source], storage_options: Mapping[str, Any] | None = None) -> list[Source]:
    """The files that `sources` stands for: a folder's files ending in .spa
    (any case, not recursive) and a glob's matches in natural order, or an
    iterable's items in its own order.  A folder or glob may be a URL, with
    `storage_options` for its filesystem."""
    if isinstance(sources, (str, os.PathLike)):
        text = os.fsdecode(os.fspath(sources))
        if isinstance(sources, str) and _remote.is_url(text):
            return _expand_url(sources, storage_options)
        if os.path.isdir(text):
            with os.scandir(text) as entries:
                found = [entry.path for entry in entries
                         if entry.name.lower().endswith(".spa") and entry.is_file()]
            if not found:
                raise FileNotFoundError(f"{text}: the folder holds no file whose name ends in .spa")
        elif glob.has_magic(text):
            found = [path for path in glob.glob(text) if os.path.isfile(path)]
            if not found:
                raise FileNotFoundError(f"{text}: the pattern matches no file")
        else:
            return [sources]
        found.sort(key=natural_key)
        return list(found)
    if isinstance(sources, (bytes, bytearray, memoryview)) or callable(getattr(sources, "read", None)):
        return [sources]  # type: ignore[list-item]
    return list(sources)  # type: ignore[arg-type]


class _Files(NamedTuple):
    """The files of a call as parallel lists: the name messages give, the
    path the core opens (None for a URL or bytes) and the bytes in memory."""

    names: list[str]
    paths: list[Any]
    data: list[memoryview | None]

    def pick(self, kept: list[int]) -> _Files:
        return _Files([self.names[k] for k in kept], [self.paths[k] for k in kept], [self.data[k] for k in kept])


class _Pass(NamedTuple):
    """What the header pass learnt of the files it kept, in their order."""

    files: _Files
    rows: npt.NDArray[numpy.int64]    # spectra per file
    headers: npt.NDArray[numpy.void]  # the main spectral header of each file
    item: npt.NDArray[numpy.int64]    # bytes per value
    offset: npt.NDArray[numpy.int64]  # a native single's values; -1 for the others
    titles: list[list[str | None]]
    loaded: dict[int, Spectra]        # files read by spectra.load, by position
    mini: list[Any]                   # each file's mini headers (None without)
    sources: list[Any]                # as the caller gave them
    skipped: list[tuple[Any, str]]
    # The matrix the header pass read single spectra into, one row per file,
    # while it had them open (None where it read none); which files it holds.
    matrix: Any = None
    placed: Any = None


def _without(found: _Pass, errors: dict[int, BaseException], on_error: str) -> _Pass:
    """The files that failed left out, or the first one's error raised."""
    if on_error == "raise":
        for s in found.loaded.values():
            s.close()
        raise errors[min(errors)]
    for k in errors:
        if k in found.loaded:
            found.loaded.pop(k).close()
    n = len(found.files.names)
    keep = numpy.array([k not in errors for k in range(n)], dtype=bool)
    kept = numpy.flatnonzero(keep).tolist()
    renumber = {k: i for i, k in enumerate(kept)}
    # What was wrong, without the way past it: leaving the file out was that.
    skipped = found.skipped + [(found.sources[k], getattr(errors[k], "_reason", None) or str(errors[k]))
                               for k in sorted(errors)]
    # Rows move up once files are left out: the values are read again, into a matrix of the right size.
    return _Pass(found.files.pick(kept), found.rows[keep], found.headers[keep], found.item[keep],
                 found.offset[keep], [found.titles[k] for k in kept],
                 {renumber[k]: s for k, s in found.loaded.items()}, [found.mini[k] for k in kept],
                 [found.sources[k] for k in kept], skipped)


def _workers(workers: int | None) -> int:
    if workers is None:
        return max(1, min(os.cpu_count() or 1, 8))
    if not isinstance(workers, int) or isinstance(workers, bool) or workers < 1:
        raise ValueError(f"workers must be a positive int, not {workers!r}")
    return workers


def _scan(paths: list[Any], workers: int, matrix: Any = None) -> npt.NDArray[numpy.void]:
    """The core's summary of every path, as a structured array; the values
    of single spectra that fit `matrix` (one row per path) go there."""
    points = 0 if matrix is None else matrix.shape[1]
    data, fields, size = _core._scan_many(paths, workers, matrix, points)
    formats = [HEADER_DTYPE if name == "header" else code for name, code, _ in fields]
    spec: Any = {"names": [f[0] for f in fields], "formats": formats, "offsets": [f[2] for f in fields],
                 "itemsize": size}
    return numpy.frombuffer(data, numpy.dtype(spec))


class _Summaries:
    """What the header pass keeps of the core's summaries, file by file; the
    summaries themselves go as soon as a chunk of them is taken in."""

    def __init__(self, n: int, encoding: str | None = None) -> None:
        self.encoding = encoding  # of the titles
        self.status = numpy.full(n, _ELSEWHERE, numpy.int32)
        self.error = numpy.zeros(n, numpy.int32)
        self.headers = numpy.zeros(n, HEADER_DTYPE)
        self.offset = numpy.full(n, -1, numpy.int64)
        self.titles: list[list[str | None]] = [[]] * n
        self.starts: dict[int, bytes] = {}

    def take(self, at: npt.NDArray[numpy.intp], summary: npt.NDArray[numpy.void]) -> None:
        if not len(at):
            return
        # A run of files, as a chunk of paths is, goes by slices: fancy
        # indexing costs several times as much on thousands of rows.
        where: Any = slice(int(at[0]), int(at[-1]) + 1) if int(at[-1]) - int(at[0]) == len(at) - 1 else at
        status = summary["status"]
        self.status[where] = status
        self.error[where] = summary["error"]
        mine = (status == _SINGLE) | (status == _PLACED)
        every = bool(mine.all())
        # As bytes: a structured copy goes field by field, ten times slower.
        fields = summary.dtype.fields
        assert fields is not None
        start, size = fields["header"][1], HEADER_DTYPE.itemsize
        raw = summary.view(numpy.uint8).reshape(len(summary), summary.dtype.itemsize)[:, start:start + size]
        headers = self.headers.view(numpy.uint8).reshape(len(self.headers), size)
        if every:
            headers[where] = raw
            self.offset[where] = summary["values_at"]
        else:
            headers[at[mine]] = raw[mine]
            self.offset[at[mine]] = summary["values_at"][mine]
        ids = _core._decode_titles(cast(Any, summary), fields["file_id"][1], summary.dtype.itemsize, len(summary),
                                   fields["file_id"][0].itemsize, self.encoding)
        if isinstance(where, slice):
            self.titles[where] = [[title] for title in ids]
        else:
            for k, title in zip(at.tolist(), ids):
                self.titles[k] = [title]
        if every:
            return
        for j in numpy.flatnonzero(status == _NOT_SPECTRAL).tolist():
            self.starts[int(at[j])] = bytes(summary["start"][j])[:int(summary["start_size"][j])]


# Files per native call of the header pass: bounds the summaries held at once.
_CHUNK = 4096


def _scan_all(paths: list[Any], native: npt.NDArray[numpy.intp], workers: int, speculate: bool,
              bar: Any, encoding: str | None = None) -> tuple[_Summaries, Any]:
    """The header pass over the files at `native`, a chunk at a time.  With
    `speculate`, the first file's headers shape a float32 matrix, one row per
    file, that the values of every single spectrum of as many points are
    read into with their headers; it is returned (or None)."""
    found = _Summaries(len(paths), encoding)
    matrix = None
    rest = native
    if speculate and len(native) == len(paths) and len(native):
        first = native[:1]
        found.take(first, _scan(paths[:1], 1))
        rest = native[1:]
        if found.status[0] == _SINGLE:
            points = int(found.headers["num_points"][0])
            matrix = numpy.empty((len(paths), points), numpy.float32)
            plan = numpy.array([[found.offset[0], points, 4, 0]], numpy.int64)
            if not numpy.frombuffer(_core._read_many(paths[:1], cast(Any, plan), matrix, 4, 1),
                                    numpy.int32).any():
                found.status[0] = _PLACED
        if bar is not None:
            bar.update(1)
    step = _STEP if bar is not None else _CHUNK
    for start in range(0, len(rest), step):
        at = rest[start:start + step]
        rows = None if matrix is None else matrix[at[0]:at[-1] + 1]
        found.take(at, _scan(_at(paths, at), workers, rows))
        if bar is not None:
            bar.update(len(at))
    return found, matrix


_stray = not_spectral


def _header_row(record: Any) -> npt.NDArray[numpy.void]:
    # One conversion of a tuple: field by field costs more than twice as much.
    return numpy.array([tuple([getattr(record, name) for name in HEADER_DTYPE.names or ()])], HEADER_DTYPE)


def _at(items: list[Any], at: npt.NDArray[numpy.intp]) -> list[Any]:
    """items[k] for k in `at`; a slice where `at` is a run."""
    if len(at) and int(at[-1]) - int(at[0]) == len(at) - 1:
        return items[int(at[0]):int(at[-1]) + 1]
    return [items[k] for k in at.tolist()]


def _files(sources: list[Source]) -> _Files:
    """What each source is.  A URL keeps neither path nor bytes: spectra.load
    reads it by ranges."""
    # Thousands of plain paths are the common case: they are their own names.
    if set(map(type, sources)) <= {str} and "://" not in "\0".join(cast(list[str], sources)):
        return _Files(cast(list[str], sources), sources, [None] * len(sources))
    names: list[str] = []
    paths: list[Any] = []
    data: list[memoryview | None] = []
    for source in sources:
        entry: tuple[str, Any, memoryview | None]
        if isinstance(source, str):
            entry = (source, None, None) if _remote.is_url(source) else (source, source, None)
        else:
            entry = _sources.resolve(source)
        names.append(entry[0])
        paths.append(entry[1])
        data.append(entry[2])
    return _Files(names, paths, data)


def _header_pass(sources: list[Source], on_error: str, workers: int, progress: bool, opening: bool,
                 speculate: bool = False, storage_options: Mapping[str, Any] | None = None,
                 encoding: str | None = None, max_concurrency: int | None = None) -> _Pass:
    """The headers of every file.  With `speculate` (x="exact", paths only),
    the values of single spectra are read too, into a matrix shaped after
    the first file, while each file is open: where every file is such a
    spectrum, as with x="exact" all must be, that matrix is the result."""
    if on_error not in ("raise", "skip"):
        raise ValueError(f"on_error must be 'raise' or 'skip', not {on_error!r}")
    from .._read import spectra

    files = _files(sources)
    n = len(files.names)
    if files.names is files.paths:
        native = numpy.arange(n)
    else:
        native = numpy.flatnonzero(numpy.fromiter((path is not None for path in files.paths), bool, n))
    bar = _progress.bar(progress, len(native), "headers")
    try:
        scanned, matrix = _scan_all(files.paths, native, workers, speculate, bar, encoding)
    finally:
        if bar is not None:
            bar.close()
    status, headers, offset, titles = scanned.status, scanned.headers, scanned.offset, scanned.titles
    placed = status == _PLACED
    status[placed] = _SINGLE
    count = numpy.ones(n, numpy.int64)
    item = numpy.full(n, 4, numpy.int64)

    # URLs all together, as they come: what spectra.load (or open) gives for each.
    from . import urls as _many_remote  # here: paths alone need none of what reads URLs

    remote = _many_remote.read(files, storage_options, opening=opening, whole_matrix=speculate, on_error=on_error,
                               progress=progress, max_concurrency=max_concurrency, encoding=encoding)
    errors: dict[int, BaseException] = {
        k: _in_many(error, files.names[k]) if isinstance(error, FormatError) else error
        for k, error in remote.errors.items()}
    loaded: dict[int, Spectra] = {}
    mini: list[Any] = [None] * n
    for k in numpy.flatnonzero(status != _SINGLE).tolist():
        name, path, data = files.names[k], files.paths[k], files.data[k]
        if k in errors or (path is None and data is None and k not in remote.spectra):
            continue  # a URL that failed, or was left unread once one had
        if status[k] == _OS_FAILED:
            errors[k] = _core._many_error(int(scanned.error[k]), name)
        elif status[k] == _NOT_SPECTRAL:
            errors[k] = _stray(name, scanned.starts[k])
        else:
            try:
                if path is None and data is None:
                    s = remote.spectra.pop(k)
                else:
                    s = spectra.open(_sources.native(path, data), encoding=encoding) if opening \
                        else spectra.load(_sources.native(path, data), encoding=encoding)
            except (FormatError, OSError) as error:
                if data is not None and isinstance(error, FormatError) and _layout.looks_stray(data):
                    error = _stray(name, bytes(data[:_SHOWN]))
                elif isinstance(error, FormatError):
                    error = _in_many(error, name)
                errors[k] = error
                continue
            if opening:
                with s:
                    titles[k] = list(s.titles)
                    mini[k] = None if s.mini_headers is None else s.mini_headers.copy()
                    count[k], item[k] = len(s), s._table.item
                    headers[k] = _header_row(s.spectral_header)[0]
                continue
            loaded[k] = s
            titles[k], mini[k] = s.titles, s.mini_headers
            count[k], item[k] = len(s), s.values.dtype.itemsize
            headers[k] = _header_row(s.spectral_header)[0]

    if remote.matrix is not None:  # every file a URL, every row in it
        matrix, placed = remote.matrix, numpy.ones(n, bool)
    found = _Pass(files, count, headers, item, offset, titles, loaded, mini, list(sources), [], matrix,
                  placed)
    return _without(found, errors, on_error) if errors else found


def _in_many(error: FormatError, name: str) -> FormatError:
    """The error of one of many files, named by the name the caller knows
    it by; a series cut short is left out by on_error="skip" here, since
    only a file read alone can take partial=True."""
    reason = getattr(error, "_reason", None)
    if reason is not None:
        reason = reason if name in reason else f"{name}: {reason}"
        return with_way_out(reason, 'on_error="skip" leaves it out (spectra.load(..., partial=True) reads '
                                    "its complete spectra)", "--on-error skip leaves it out")
    return error if name in str(error) else FormatError(f"{name}: {error}")


def _float32_text(value: Any) -> str:
    return numpy.format_float_positional(numpy.float32(value), trim="-")


def _axis_text(header: Any) -> str:
    return (f"{int(header['num_points']):,} points from {_float32_text(header['first_x'])} "
            f"to {_float32_text(header['last_x'])}")


def _exact_text(value: Any) -> str:
    """A float32 field widened to float64, as the shortest text that reads back as exactly that."""
    return numpy.format_float_positional(numpy.float64(numpy.float32(value)), trim="-")


def _same_axes(found: _Pass, on_error: str) -> _Pass:
    """The files that store the first one's point count, first X and last X.
    Those that do not raise FormatError, which names them and the ways past
    it; with on_error="skip" they are left out like unreadable files."""
    headers = found.headers
    keys = [headers["num_points"], headers["first_x"].view(numpy.uint32), headers["last_x"].view(numpy.uint32)]
    differ = numpy.zeros(len(headers), bool)
    for key in keys:
        differ |= key != key[0]
    if not differ.any():
        return found
    bad = numpy.flatnonzero(differ).tolist()
    names = [found.files.names[k] for k in bad]
    first = _axis_text(headers[0])
    if on_error == "skip":
        return _without(found, {k: FormatError(f"{found.files.names[k]}: {_axis_text(headers[k])}; the first file "
                                               f"has {first}") for k in bad}, on_error)
    listed = ", ".join(os.path.basename(name) or name for name in names[:_NAMED])
    more = ", ..." if len(bad) > _NAMED else ""
    grid = (f"{_exact_text(headers['first_x'][0])} {_exact_text(headers['last_x'][0])} "
            f"{int(headers['num_points'][0])}")
    raise with_way_out(
        f"{names[0]}: {_axis_text(headers[bad[0]])}; the first file has {first} ({len(bad):,} of "
        f"{len(headers):,} files differ: {listed}{more})",
        'x="first" interpolates every file onto the first file\'s axis, x=an array onto those X values, '
        'on_error="skip" leaves the files that differ out',
        f"--x-grid {grid} interpolates every file onto the first file's axis (other numbers onto another), "
        "--on-error skip leaves the files that differ out")


def _own_axis(header: Any) -> npt.NDArray[numpy.float64]:
    return numpy.linspace(float(header["first_x"]), float(header["last_x"]), int(header["num_points"]))


def _grid(x: Any) -> npt.NDArray[numpy.float64] | Literal["first"] | None:
    """The X values asked for: None for x="exact", "first" until the first file is known."""
    if isinstance(x, str):
        if x not in ("exact", "first"):
            raise ValueError(f"x must be 'exact', 'first' or a 1-D array of X values, not {x!r}")
        return None if x == "exact" else "first"
    grid = numpy.asarray(x, dtype=numpy.float64)
    if grid.ndim != 1:
        raise ValueError(f"x must be 'exact', 'first' or a 1-D array of X values, not an array of shape {grid.shape}")
    return grid


def _axis_for(asked: npt.NDArray[numpy.float64] | Literal["first"] | None, found: _Pass,
              on_error: str) -> tuple[npt.NDArray[numpy.float64] | None, _Pass]:
    """The grid to interpolate onto (None: the files' own, which they must
    share), and the files that go onto it."""
    if isinstance(asked, str):  # "first": the first file read gives the axis
        return (_own_axis(found.headers[0]) if found.files.names else numpy.empty(0)), found
    if asked is None and found.files.names:
        found = _same_axes(found, on_error)
    return asked, found


def _interpolator(own: npt.NDArray[numpy.float64], grid: npt.NDArray[numpy.float64]) -> Any:
    """Linear interpolation of rows on the axis `own` onto `grid`, NaN
    outside `own`, as numpy.interp does it row by row."""
    points = own.size
    if own.size > 1 and own[0] > own[-1]:
        own, flip = own[::-1], True
    else:
        flip = False
    if points == 0:
        return lambda rows: numpy.full((rows.shape[0], grid.size), numpy.nan)
    if points == 1:
        hit = grid == own[0]
        return lambda rows: numpy.where(hit, rows[:, :1], numpy.nan)
    position = numpy.interp(grid, own, numpy.arange(points, dtype=numpy.float64), left=numpy.nan,
                            right=numpy.nan)
    inside = ~numpy.isnan(position)
    low = numpy.minimum(numpy.floor(numpy.where(inside, position, 0)).astype(numpy.intp), points - 2)
    weight = numpy.where(inside, position, 0) - low
    # A grid point on a point of the file's axis takes that point's value as
    # it is: a NaN or an infinity beside it must not spill into it.
    on_low, on_high = (weight == 0) & inside, (weight == 1) & inside

    def apply(rows: Any) -> Any:
        rows = numpy.asarray(rows, dtype=numpy.float64)
        if flip:
            rows = rows[:, ::-1]
        with numpy.errstate(invalid="ignore"):  # inf * 0 where a weight is 0: taken as it is below
            out = rows[:, low] * (1 - weight) + rows[:, low + 1] * weight
        out[:, on_low] = rows[:, low[on_low]]
        out[:, on_high] = rows[:, low[on_high] + 1]
        out[:, ~inside] = numpy.nan
        return out
    return apply


def _read_values(found: _Pass, grid: npt.NDArray[numpy.float64] | None, workers: int,
                 progress: bool) -> tuple[npt.NDArray[Any], dict[int, BaseException]]:
    """The one matrix: native singles read into their rows, the files
    spectra.load read copied there; and the files that failed meanwhile."""
    dtype = numpy.dtype(numpy.float32 if (found.item == 4).all() else numpy.float64)
    n = len(found.files.names)
    starts = numpy.zeros(n + 1, numpy.int64)
    numpy.cumsum(found.rows, out=starts[1:])
    rows = int(starts[-1])
    if grid is None:
        points = int(found.headers["num_points"][0]) if n else 0
    else:
        points = grid.size
    values = numpy.empty((rows, points), dtype)
    native = numpy.flatnonzero(found.offset >= 0)
    bar = _progress.bar(progress, len(native), "values")
    failed: dict[int, BaseException] = {}
    try:
        if grid is None:
            _read_rows(found, native, values.reshape(-1), starts[native] * points, workers, bar, failed)
        else:
            _read_onto(found, native, values, starts, grid, workers, bar, failed)
    finally:
        if bar is not None:
            bar.close()
    for k, s in found.loaded.items():
        part = s.values if grid is None else _interpolator(_own_axis(found.headers[k]), grid)(s.values)
        values[starts[k]:starts[k + 1]] = part
    if failed:
        values = numpy.delete(values, [r for k in failed for r in range(starts[k], starts[k + 1])], axis=0)
    return values, failed


def _read_rows(found: _Pass, which: npt.NDArray[numpy.intp], out: npt.NDArray[Any],
               first: npt.NDArray[numpy.int64], workers: int, bar: Any, failed: dict[int, BaseException]) -> None:
    """Reads the native singles `which` into the flat `out`, from elements
    `first` on; what fails goes to `failed`, by file."""
    plan = numpy.empty((len(which), 4), numpy.int64)
    plan[:, 0] = found.offset[which]
    plan[:, 1] = found.headers["num_points"][which]
    plan[:, 2] = 4
    plan[:, 3] = first
    step = _STEP if bar is not None else max(len(which), 1)
    for start in range(0, len(which), step):
        part = which[start:start + step]
        paths = _at(found.files.paths, part)
        status = numpy.frombuffer(_core._read_many(paths, cast(Any, plan[start:start + step]), out, out.itemsize,
                                                   workers),
                                  numpy.int32)
        for at in numpy.flatnonzero(status).tolist():
            k = int(part[at])
            failed[k] = _value_error(found.files.names[k], found.files.paths[k], int(status[at]), int(found.offset[k]),
                                     int(found.headers["num_points"][k]))
        if bar is not None:
            bar.update(len(part))


def _value_error(name: str, path: Any, code: int, offset: int, points: int) -> BaseException:
    """Why the values of a single spectrum could not be read."""
    if code > 0:
        return _core._many_error(code, name)  # type: ignore[no-any-return]
    # The file ends before its values: spectra.load says where, as it says it for one file.
    from .._read import spectra
    try:
        spectra.load(path)
    except (FormatError, OSError) as error:
        return error
    return FormatError(past_end(f"{name}: the spectrum values", offset, points * 4, None)
                       + " when they were read; the file has changed since")


def _read_onto(found: _Pass, native: npt.NDArray[numpy.intp], values: npt.NDArray[Any],
               starts: npt.NDArray[numpy.int64], grid: npt.NDArray[numpy.float64], workers: int, bar: Any,
               failed: dict[int, BaseException]) -> None:
    """Reads the native singles, a group of files sharing an axis at a time,
    and interpolates each group onto the grid."""
    if not len(native):
        return
    headers = found.headers[native]
    keys = numpy.stack([headers["num_points"].astype(numpy.int64), headers["first_x"].view(numpy.uint32),
                        headers["last_x"].view(numpy.uint32)], axis=1)
    _, group = numpy.unique(keys, axis=0, return_inverse=True)
    for g in range(int(group.max()) + 1):
        members = native[group.reshape(-1) == g]
        own = _own_axis(found.headers[members[0]])
        scratch = numpy.empty((len(members), own.size), numpy.float32)
        _read_rows(found, members, scratch.reshape(-1), numpy.arange(len(members), dtype=numpy.int64) * own.size,
                   workers, bar, failed)
        values[starts[members]] = _interpolator(own, grid)(scratch)


class Collection:
    """Spectra of many files as one matrix: one row per spectrum, with the
    X axis they share, the file and title of each row, and the main
    spectral header of each row's file.  Made by load_many and open_many;
    the two differ only in where `values` lives (memory, or a Dask array).

    Index it (`c[k]`, `c[a:b]`, `c[mask]`, `c[indices]`) or take a file's
    rows (`c.sel(file=name)`) for a Collection of some rows.

    Attributes
    ----------
    values : numpy.ndarray or dask.array.Array
        Spectra × points: float32 where every file stores 4-byte values,
        else float64.  A Dask array for open_many.
    x : numpy.ndarray
        float64, the X axis the rows share.
    files : list of str
        Each row's file, as given or found (a path or a URL).
    titles : list of str or None
        Each row's title; None where its file has none.
    headers : numpy.ndarray
        A structured array of each row's main spectral header: its file's
        own, also where the rows were interpolated onto another axis.
    mini_headers : numpy.ndarray or None
        A structured array of each row's mini header, where every file is a
        series with the same mini-header layout; else None.
    skipped : list of (source, str)
        With on_error="skip", each file left out and why.

    Examples
    --------
    >>> c = spectra.load_many("examples/singles")
    >>> len(c), c.titles[0]
    (6, 'mélange PE 0 %, PS 100 %')
    """

    __slots__ = ("values", "x", "files", "titles", "headers", "mini_headers", "skipped")

    def __init__(self, values: Any, x: npt.NDArray[numpy.float64], files: list[str], titles: list[str | None],
                 headers: npt.NDArray[numpy.void], mini_headers: npt.NDArray[numpy.void] | None,
                 skipped: list[tuple[Any, str]]) -> None:
        self.values = values
        self.x = x
        self.files = files
        self.titles = titles
        self.headers = headers
        self.mini_headers = mini_headers
        self.skipped = skipped

    def __len__(self) -> int:
        """The number of rows: of spectra, of every file."""
        return int(self.values.shape[0])

    def __getitem__(self, rows: int | slice | Sequence[int] | Sequence[bool] | npt.NDArray[numpy.integer[Any]]
                    | npt.NDArray[numpy.bool_]) -> Collection:
        """The Collection of the rows selected, as NumPy selects them: an int
        (one row, kept as a Collection), a slice, a boolean mask of one
        entry per row, or an array of row indices.  `skipped` stays that of
        the read."""
        n = len(self)
        if isinstance(rows, slice):
            picked: Any = rows
            index = numpy.arange(n)[rows]
        else:
            if isinstance(rows, (bool, numpy.bool_)):
                raise TypeError("a Collection takes an int, a slice, a boolean mask or an array of indices, "
                                "not a bool")
            if isinstance(rows, (int, numpy.integer)):
                rows = [int(rows)]
            index = numpy.asarray(rows)
            if index.dtype == bool:
                if index.shape != (n,):
                    raise IndexError(f"a boolean mask of shape {index.shape} does not fit a Collection of {n:,} "
                                     "rows; it needs one entry per row")
                index = numpy.flatnonzero(index)
            elif index.size == 0:
                index = index.astype(numpy.intp)
            elif index.dtype.kind not in "iu" or index.ndim != 1:
                raise TypeError("a Collection takes an int, a slice, a boolean mask or a 1-D array of indices, "
                                f"not an array of {index.dtype} and shape {index.shape}")
            if index.size and not (-n <= index.min() and index.max() < n):
                bad = int(index.max() if index.max() >= n else index.min())
                raise IndexError(f"row {bad} is out of range for a Collection of {n:,} rows")
            picked = index = index % n if n else index
        mini = None if self.mini_headers is None else self.mini_headers[picked]
        return Collection(self.values[picked], self.x, [self.files[k] for k in index.tolist()],
                          [self.titles[k] for k in index.tolist()], self.headers[picked], mini, self.skipped)

    def sel(self, *, file: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> Collection:
        """The rows of a file, or of several, in the order of the rows.

        Parameters
        ----------
        file : str, os.PathLike, or an iterable of them
            A file's name as in `files`, or a path to the same file.

        Returns
        -------
        Collection
            Those files' rows.

        Raises
        ------
        KeyError
            For a file that no row is of, naming the files held.
        """
        wanted = [file] if isinstance(file, (str, os.PathLike)) else list(file)
        names = numpy.array(self.files, dtype=object)
        mask = numpy.zeros(len(self), bool)
        for one in wanted:
            text = os.fsdecode(os.fspath(one))
            hit = names == text
            if not hit.any() and not _remote.is_url(text):
                here = os.path.abspath(text)
                hit = numpy.array([not _remote.is_url(f) and os.path.abspath(f) == here for f in self.files], bool)
            if not hit.any():
                held = list(dict.fromkeys(self.files))
                shown = ", ".join(held[:_NAMED]) + (", ..." if len(held) > _NAMED else "")
                raise KeyError(f"{text}: no row of the Collection is of that file; it holds {len(held):,} files: "
                               f"{shown}")
            mask |= hit
        return self[mask]

    @property
    def lazy(self) -> bool:
        """True where values is a Dask array (open_many)."""
        return not isinstance(self.values, numpy.ndarray)

    def to_xarray(self) -> xarray.Dataset:
        """The rows as an xarray Dataset.

        Returns
        -------
        xarray.Dataset
            `spectra` on (spectrum, x); file, title, every header field (and
            mini header field) as coordinates on spectrum.  Lazy for
            open_many.

        Raises
        ------
        ImportError
            Without xarray (the `xarray` extra).
        """
        try:
            import xarray
        except ImportError as error:
            raise ImportError("to_xarray() needs xarray: pip install 'quorinreader[xarray]'") from error
        coords: dict[str, Any] = {"x": ("x", self.x), "file": ("spectrum", _objects(self.files)),
                                  "title": ("spectrum", _objects(self.titles))}
        for table in (self.headers, self.mini_headers):
            if table is not None:
                for name in table.dtype.names or ():
                    coords.setdefault(name, ("spectrum", table[name].astype(table[name].dtype.newbyteorder("="))))
        return xarray.Dataset({"spectra": (("spectrum", "x"), self.values)}, coords=coords)

    def to_pandas(self) -> pandas.DataFrame:
        """The rows as a pandas DataFrame.

        Returns
        -------
        pandas.DataFrame
            One row per spectrum, indexed by (file, title), one column per X
            value.  open_many's values are computed.

        Raises
        ------
        ImportError
            Without pandas.
        """
        try:
            import pandas
        except ImportError as error:
            raise ImportError("to_pandas() needs pandas: pip install pandas") from error
        index = pandas.MultiIndex.from_arrays([self.files, self.titles], names=["file", "title"])
        values = self.values if isinstance(self.values, numpy.ndarray) else self.values.compute()
        return pandas.DataFrame(values, index=index, columns=pandas.Index(self.x, name="x"))

    def to_hyperspy(self) -> Any:
        """The rows as HyperSpy's signal, (spectrum | x).

        Returns
        -------
        hyperspy.signals.Signal1D
            Each row's file and title, and the header fields, in
            original_metadata.  Lazy for open_many.

        Raises
        ------
        ImportError
            Without HyperSpy (the `hyperspy` extra).
        """
        from .._export import hyperspy as _export_hyperspy

        return _export_hyperspy.collection_signal(self)

    def __repr__(self) -> str:
        files = len(dict.fromkeys(self.files))
        axis = f"x {self.x[0]:g} to {self.x[-1]:g}, " if self.x.size else ""
        where = "lazy" if self.lazy else "loaded"
        skipped = f", {len(self.skipped):,} skipped" if self.skipped else ""
        return (f"<Collection: {_counted(len(self), 'spectrum', 'spectra')} of {_counted(self.x.size, 'point')} "
                f"from {_counted(files, 'file')}, {numpy.dtype(self.values.dtype).name}, {axis}{where}{skipped}>")

    def _repr_html_(self) -> str:
        from .._show import html as _html
        return _html.collection(self)


def _counted(n: int, one: str, many: str | None = None) -> str:
    return f"{n:,} {one if n == 1 else many or one + 's'}"


def _objects(items: Sequence[Any]) -> npt.NDArray[Any]:
    out = numpy.empty(len(items), dtype=object)
    out[:] = items
    return out


def _finish(found: _Pass, values: Any, grid: npt.NDArray[numpy.float64] | None) -> Collection:
    names = found.files.names
    if (found.rows == 1).all():
        files = list(names)
    else:
        files = [name for name, c in zip(names, found.rows.tolist()) for _ in range(c)]
    titles = list(itertools.chain.from_iterable(found.titles))
    headers = found.headers if (found.rows == 1).all() else numpy.repeat(found.headers, found.rows)
    if grid is None:
        x = _own_axis(found.headers[0]) if names else numpy.empty(0)
    else:
        x = grid
    mini = None
    tables = found.mini
    if tables and all(isinstance(t, numpy.ndarray) for t in tables) and len({t.dtype for t in tables}) == 1:
        mini = numpy.concatenate(tables)
    if found.skipped and not names:
        reasons = "; ".join(message for _, message in found.skipped[:_NAMED])
        more = f"; and {len(found.skipped) - _NAMED:,} more" if len(found.skipped) > _NAMED else ""
        raise FormatError(f"{none_read(len(found.skipped))}: {reasons}{more}")
    if found.skipped:
        warnings.warn(f"skipped {len(found.skipped):,} of {len(found.skipped) + len(names):,} files "
                      "that could not be read; their sources and messages are in .skipped", stacklevel=3)
    return Collection(values, x, files, titles, headers, mini, found.skipped)


# What x may be: a word, or the X values to interpolate onto (a str is no array here).
XValues = Literal["exact", "first"] | Sequence[float] | npt.NDArray[numpy.floating[Any] | numpy.integer[Any]]


def load_many(sources: Source | Iterable[Source], *, x: XValues = "exact",
              on_error: Literal["raise", "skip"] = "raise", workers: int | None = None,
              progress: bool = False, storage_options: Mapping[str, Any] | None = None,
              encoding: str | None = None, max_concurrency: int | None = None) -> Collection:
    """Reads many files into one matrix, one row per spectrum.

    One native call reads every file's headers, another every file's values
    into its row of a matrix allocated once, on threads with the GIL
    released.  URLs are read together, a round of requests at a time.

    Parameters
    ----------
    sources : a folder, a glob, or an iterable of sources
        A folder (its files ending in .spa, in natural order), a glob, or
        an iterable of paths, URLs that fsspec knows, bytes-like objects and
        binary file objects.  A folder (its URL ending in "/") or a glob may
        be a URL.
    x : "exact", "first", or an array of X values
        "exact" (the default): every file must store the same point count,
        first X and last X.  "first": every file interpolated onto the
        first file's axis.  An array: onto those X values.  Interpolation is
        linear, NaN outside a file's own range.
    on_error : {"raise", "skip"}
        "skip" leaves unreadable files out, in `skipped`, with one warning,
        and with x="exact" the files whose axis differs from the first
        file's.
    workers : int, optional
        How many threads read: by default the CPUs, at most 8; 1 starts
        none.
    progress : bool
        Show a progress bar (tqdm).
    storage_options : mapping, optional
        For the fsspec filesystem of URLs.
    encoding : str, optional
        The codec of the titles, as spectra.load takes it.
    max_concurrency : int, optional
        The most requests in flight for URLs; by default fsspec's batch
        size.

    Returns
    -------
    Collection
        The rows, with the X axis they share and each row's file, title and
        headers.

    Raises
    ------
    FormatError
        For a file that cannot be read, or whose X axis differs (naming the
        way past it); with on_error="skip", where no file could be read.

    Examples
    --------
    >>> c = spectra.load_many("examples/*.spa", x="first")
    >>> c.values.shape
    (421, 150)
    """
    asked = _grid(x)
    count = _workers(workers)
    encoding = _arrays.check_encoding(encoding)
    limit = _progress.concurrency(max_concurrency)
    found = _header_pass(expand(sources, storage_options), on_error, count, progress, opening=False,
                         speculate=asked is None, storage_options=storage_options, encoding=encoding,
                         max_concurrency=limit)
    try:
        grid, found = _axis_for(asked, found, on_error)
        if found.matrix is not None and found.placed.all():
            values = found.matrix  # every file a single spectrum, read with its headers
        else:
            found = found._replace(matrix=None)
            values, failed = _read_values(found, grid, count, progress)
            if failed:
                found = _without(found, failed, on_error)
    finally:
        for s in found.loaded.values():
            s.close()
    return _finish(found, values, grid)


def _chunk(paths: list[str], rows: int, points: int, dtype: Any, grid: Any,
           storage_options: Mapping[str, Any] | None = None, max_concurrency: int | None = None) -> npt.NDArray[Any]:
    """One chunk of open_many, read where Dask runs it."""
    got = load_many(paths, x="exact" if grid is None else grid, workers=1, storage_options=storage_options,
                    max_concurrency=max_concurrency).values
    if got.shape != (rows, points):
        raise FormatError(f"{paths[0]}...: the files of this chunk now hold {got.shape[0]:,} spectra of "
                          f"{got.shape[1]:,} points; {rows:,} of {points:,} were found when they were opened")
    return got.astype(dtype, copy=False)


def open_many(sources: Source | Iterable[Source], *, files_per_chunk: int = 1000,
              x: XValues = "exact", on_error: Literal["raise", "skip"] = "raise",
              workers: int | None = None, progress: bool = False,
              storage_options: Mapping[str, Any] | None = None, encoding: str | None = None,
              max_concurrency: int | None = None) -> Collection:
    """Reads the headers of many files now and gives their values as a Dask array.

    Each chunk is one load_many of `files_per_chunk` files, which pickles as
    their paths or URLs (with `storage_options`, and the sizes their listing
    gave) and runs on whichever worker computes it.  URLs are read together,
    now and in each chunk.

    Parameters
    ----------
    sources : a folder, a glob, or an iterable of paths or URLs
        As load_many takes them, but for bytes and file objects, which
        cannot travel to a worker.
    files_per_chunk : int
        How many files each Dask chunk reads (1000 by default).
    x : "exact", "first", or an array of X values
        As load_many takes it.
    on_error : {"raise", "skip"}
        As load_many takes it, for the headers read now.
    workers : int, optional
        How many threads read the headers now.
    progress : bool
        Show a progress bar over the headers.
    storage_options : mapping, optional
        For the fsspec filesystem of URLs, also on the workers.
    encoding : str, optional
        The codec of the titles.
    max_concurrency : int, optional
        The most requests in flight for URLs, now and in each chunk.

    Returns
    -------
    Collection
        Its `values` a Dask array; `to_xarray()` stays lazy.

    Raises
    ------
    ImportError
        Without Dask (the `xarray` extra).
    TypeError
        For a source that is not a path or a URL.
    FormatError
        As load_many raises it, for the headers.

    Examples
    --------
    >>> lazy = spectra.open_many(["examples/demo_series.spa"] * 3, files_per_chunk=2)
    >>> lazy.values.chunks[0]
    (240, 120)
    """
    try:
        import dask
        import dask.array
    except ImportError as error:
        raise ImportError("open_many() needs Dask: pip install 'quorinreader[xarray]'") from error
    if not isinstance(files_per_chunk, int) or files_per_chunk < 1:
        raise ValueError(f"files_per_chunk must be a positive int, not {files_per_chunk!r}")
    limit = _progress.concurrency(max_concurrency)
    listed = expand(sources, storage_options)
    for source in listed:
        if not isinstance(source, (str, os.PathLike)):
            raise TypeError(f"open_many() reads files by their paths or URLs, not {type(source).__name__!r} objects")
    asked = _grid(x)
    encoding = _arrays.check_encoding(encoding)
    found = _header_pass(listed, on_error, _workers(workers), progress, opening=True,
                         storage_options=storage_options, encoding=encoding, max_concurrency=limit)
    grid, found = _axis_for(asked, found, on_error)
    dtype = numpy.dtype(numpy.float32 if (found.item == 4).all() else numpy.float64)
    points = grid.size if grid is not None else int(found.headers["num_points"][0]) if found.files.names else 0
    chunks = []
    for start in range(0, len(found.files.names), files_per_chunk):
        part = slice(start, start + files_per_chunk)
        # A URL has no path: its name is the URL.
        paths = [name if path is None else os.fsdecode(os.fspath(path))
                 for name, path in zip(found.files.names[part], found.files.paths[part])]
        rows = int(found.rows[start:start + files_per_chunk].sum())
        task = dask.delayed(_chunk, pure=True)(paths, rows, points, dtype, grid, storage_options, limit)
        chunks.append(dask.array.from_delayed(task, (rows, points), dtype=dtype))
    values = dask.array.concatenate(chunks) if chunks else dask.array.empty((0, points), dtype=dtype)
    return _finish(found, values, grid)
