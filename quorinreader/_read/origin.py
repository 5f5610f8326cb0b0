"""Where a file's bytes lie, and how runs of its spectra are read from there.

An Origin is a path, a URL with its storage options, a seekable file object
or bytes in memory.  It holds nothing open: every read opens the source,
reads its ranges with positioned reads (or ranged requests) straight into
the caller's arrays, and closes it.  So it pickles as what it names (the
absolute path, the URL and its options), and a copy reads wherever it lands.
A file cut short after it was opened gives FormatError, never a signal:
nothing is mapped."""

from __future__ import annotations

import contextlib
import os
import struct
from collections.abc import Iterator, Mapping, Sequence
from typing import Any

import numpy

import quorinreader as _core

from . import remote as _remote, sources as _sources
from .errors import FormatError
from .layout import Table

__all__ = ["Origin", "RangedReader", "of", "of_path", "ranged_of"]

# The first ranged read of a remote header: the file header, the directory
# and, as the project's writers lay files out, every record the layout needs.
FIRST_READ = 32 * 1024
# What a later read fetches of a section the first one missed, at most.
SECTION_READ = 4 * 1024
SECTION_WHOLE = 64 * 1024
# A ranged load fetches the spectra in parts of about this size, together.
LOAD_PART = 32 << 20


class RangedReader:
    """The header phase's reader over a Fetcher: records decoded by the core
    from blocks fetched whole.  The first block holds the file header and
    directory; a record it misses is fetched with every other section start
    it misses, in one more call."""

    def __init__(self, fetcher: _remote.Fetcher, blocks: list[tuple[int, bytes]] | None = None) -> None:
        self.fetcher = fetcher
        self.size: int = fetcher.size
        self.blocks: list[tuple[int, bytes]] = list(blocks or ())
        self.sections: list[tuple[int, int]] = []

    def record(self, cls: type, offset: int) -> Any:
        if not self.blocks:
            self._fetch([(0, min(self.size, FIRST_READ))])
        want = SECTION_READ
        while True:
            error: struct.error | None = None
            for start, data in self.blocks:
                if start <= offset <= start + len(data):
                    try:
                        found: Any = _core._Reader(memoryview(data)).record(cls, offset - start)
                    except struct.error as e:
                        error = e
                        if start + len(data) >= self.size:
                            raise  # the file itself ends there
                        continue
                    if cls is _core.FileHeader and not self.sections:
                        self.sections = [(int(e.section_offset), int(e.section_length)) for e in found.sections]
                    return found
            if offset >= self.size:
                raise error or struct.error("past the end")
            misses = self._misses(offset, want)
            if not self._fetch(misses):
                raise error or struct.error("past the end")  # the source ended before its known size
            want *= 4

    def _misses(self, offset: int, want: int) -> list[tuple[int, int]]:
        """The record at `offset`, and the start of every section no block holds yet."""
        ranges = [(offset, offset + want)]
        for start, length in self.sections:
            if start > offset and not any(s <= start < s + len(d) for s, d in self.blocks):
                ranges.append((start, start + (length if 0 < length <= SECTION_WHOLE else SECTION_READ)))
            elif start <= offset < start + length <= offset + SECTION_WHOLE:
                ranges[0] = (offset, max(offset + want, start + length))
        self.sections = []  # once: later misses fetch only what they need
        return _remote.merge([(s, min(e, self.size)) for s, e in ranges if s < self.size])

    def _fetch(self, ranges: list[tuple[int, int]]) -> bool:
        """Fetches the ranges; False where one came short, before the end of the source."""
        whole = True
        for (start, end), data in zip(ranges, self.fetcher.fetch(ranges)):
            self.blocks.append((start, data))
            whole = whole and start + len(data) >= min(end, self.size)
        self.blocks.sort(key=lambda block: (block[0], -len(block[1])))
        return whole

    def read_bytes(self, offset: int, size: int) -> bytes:
        """At most `size` bytes from `offset` on, from a block fetched already where one holds them."""
        end = min(offset + size, self.size)
        if offset >= end:
            return b""
        found = self.cached(offset, end)
        if found is None:
            self._fetch([(offset, end)])
            found = self.cached(offset, end) or b""
        return found

    def cached(self, start: int, end: int) -> bytes | None:
        """Bytes [start, end) where a fetched block holds them all."""
        for s, data in self.blocks:
            if s <= start and end <= s + len(data):
                return data[start - s:end - s]
        return None

    def close(self) -> None:
        self.blocks = []
        self.fetcher.close()

    def __enter__(self) -> RangedReader:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


class Origin:
    """Where a file lies: exactly one of `path` (absolute), `url` (with
    `options`), `fetcher` (a seekable file object's) or `data` (bytes)."""

    def __init__(self, name: str, *, path: str | None = None, url: str | None = None,
                 options: Mapping[str, Any] | None = None, fetcher: _remote.FileFetcher | None = None,
                 data: Any = None, size: int | None = None) -> None:
        self.name = name
        self.path = path
        self.url = url
        self.options = dict(options or {})
        self.fetcher = fetcher
        self.data = data
        self.size = size  # learnt by the first reader, so later reads need not ask
        self.closed = False
        # The first block of a ranged source, kept from the header phase in
        # this process only: the first spectra often lie in it.
        self.first_block: list[tuple[int, bytes]] = []

    @property
    def ranged(self) -> bool:
        """True where the bytes come by ranged requests, not by positioned reads of a file."""
        return self.url is not None or self.fetcher is not None

    @contextlib.contextmanager
    def reader(self) -> Iterator[Any]:
        """The source opened for one operation, closed when it ends: the core's
        _Reader for a path or bytes, a RangedReader otherwise."""
        self.check_open()
        if self.path is not None or self.data is not None:
            with _core._Reader(self.path if self.path is not None else self.data) as reader:
                if self.size is None:
                    self.size = reader.size
                yield reader
            return
        if self.url is not None:
            fetcher: _remote.Fetcher = _remote.UrlFetcher(self.url, self.options, self.size)
        else:
            assert self.fetcher is not None
            fetcher = self.fetcher
        self.size = fetcher.size
        ranged = RangedReader(fetcher, self.first_block)
        yield ranged
        if not self.first_block and ranged.blocks:
            self.first_block = ranged.blocks[:1]

    def check_open(self) -> None:
        if self.closed:
            raise ValueError(f"I/O operation on closed spectra ({self.name})")

    def close(self) -> None:
        self.closed = True

    # Reads of spectra.

    def read_runs(self, table: Table, runs: Sequence[tuple[int, int]], values: Any, heads: Any) -> None:
        """Reads each run (first spectrum, count) of the table into the next
        rows of `values` ((spectra, points), C-contiguous) and of `heads`
        ((spectra * head) bytes, or None without mini headers)."""
        offset, _, points, item, head, _ = table
        stride, row = head + points * item, points * item
        if not self.ranged:  # one positioned read per run, the file open for all of them
            self.check_open()
            with _core._Reader(self.path if self.path is not None else self.data) as reader:
                out = 0
                for first, count in runs:
                    got = reader.read_rows(offset + first * stride, count, head, row, item, values[out:out + count],
                                           None if heads is None else heads[out * head:(out + count) * head])
                    if got < count:
                        raise self._cut(table, first + got, reader.size)
                    out += count
            return
        places = []  # (run, first output row)
        at = 0
        for first, count in runs:
            places.append((first, count, at))
            at += count
        with self.reader() as reader:
            wanted = [(offset + first * stride, offset + (first + count) * stride) for first, count, _ in places]
            merged = _remote.merge(wanted)
            blobs: list[bytes | None] = [reader.cached(start, end) for start, end in merged]
            missing = [k for k, blob in enumerate(blobs) if blob is None]
            for k, blob in zip(missing, reader.fetcher.fetch([merged[k] for k in missing])):
                blobs[k] = blob
            k = 0
            for (first, count, out), (start, _) in zip(places, wanted):  # both ascending, as merged is
                while merged[k][1] <= start:
                    k += 1
                blob = memoryview(blobs[k])  # type: ignore[arg-type]
                got = _core._Reader(blob).read_rows(start - merged[k][0], count, head, row, item,
                                                    values[out:out + count],
                                                    None if heads is None else heads[out * head:(out + count) * head])
                if got < count:
                    raise self._cut(table, first + got, merged[k][0] + len(blob))

    def read_all(self, reader: Any, table: Table) -> tuple[Any, Any, int]:
        """The whole table of a ranged source, in a few large ranged reads
        fetched together, aligned on spectra: (values, heads, spectra read)."""
        offset, n, points, item, head, _ = table
        stride = table.stride
        values = numpy.empty((n, points), numpy.float32 if item == 4 else numpy.float64)
        heads = numpy.empty(n * head, numpy.uint8) if head else None
        if not n or not stride:
            return values, heads, n
        step = max(1, LOAD_PART // stride)
        runs = [(first, min(step, n - first)) for first in range(0, n, step)]
        ranges = [(offset + first * stride, offset + (first + count) * stride) for first, count in runs]
        # A small file's spectra came with its headers: no request for them.
        parts: list[bytes | None] = [reader.cached(start, end) for start, end in ranges]
        missing = [k for k, part in enumerate(parts) if part is None]
        for k, part in zip(missing, reader.fetcher.fetch([ranges[k] for k in missing]) if missing else ()):
            parts[k] = part
        done = 0
        for (first, count), data in zip(runs, parts):
            assert data is not None
            got = _core._Reader(memoryview(data)).read_rows(
                0, count, head, points * item, item, values[first:first + count],
                None if heads is None else heads[first * head:(first + count) * head])
            done += got
            if got < count:
                break
        return values, heads, done

    def _cut(self, table: Table, k: int, size: int | None) -> FormatError:
        return FormatError(f"{self.name}: {table.shortfall(k, size)}")

    # Pickling: what the origin names, never an open file or the bytes read.

    def __getstate__(self) -> dict[str, Any]:
        self.check_open()
        state = dict(vars(self))
        state["first_block"] = []
        if self.data is not None:
            data = self.data
            whole = isinstance(data, memoryview) and isinstance(data.obj, bytes) and data.nbytes == len(data.obj)
            state["data"] = data.obj if whole else bytes(data)
        return state


def of_path(name: str, path: Any) -> Origin:
    text = os.fsdecode(os.fspath(path))
    # Fixed now: a copy may be unpickled in another working directory.
    return Origin(name, path=text if os.path.isabs(text) else os.path.abspath(text))


def of(source: Any, storage_options: Mapping[str, Any] | None = None) -> Origin:
    """The Origin of what a caller hands over (see _sources.Source), or of a
    URL.  A file object that cannot seek is read whole, once, into memory."""
    ranged = ranged_of(source, storage_options)
    if ranged is not None:
        return ranged
    local = _local_path(source)
    if local is not None:
        return of_path(local, local)
    if storage_options:
        raise ValueError("storage_options is for a URL (such as 's3://bucket/file.spa'), "
                         f"not for {type(source).__name__!r}")
    name, path, data = _sources.resolve(source)
    # The name is the path as given, decoded: os.fspath is asked once.
    return of_path(name, name) if path is not None else Origin(name, data=data)


def ranged_of(source: Any, storage_options: Mapping[str, Any] | None = None) -> Origin | None:
    """The Origin of a URL or a seekable file object, read by ranges; None for anything else."""
    if isinstance(source, str) and _remote.is_url(source):
        return Origin(source, url=source, options=storage_options, size=_remote.listed_size(source))
    if isinstance(source, (str, os.PathLike)) or not callable(getattr(source, "read", None)):
        return None
    fs, path = getattr(source, "fs", None), getattr(source, "path", None)
    if fs is not None and isinstance(path, str) and callable(getattr(fs, "unstrip_protocol", None)):
        # An fsspec file: read through its filesystem, by ranges, as a URL;
        # a local one is read as a file object (by the engine: as its path).
        if "file" in _protocols(fs):
            return None
        url = fs.unstrip_protocol(path)
        return Origin(url, url=url, options={**getattr(fs, "storage_options", {}), **(storage_options or {})})
    seekable = getattr(source, "seekable", None)
    try:
        if not (seekable() if callable(seekable) else callable(getattr(source, "seek", None))):
            return None
    except (OSError, ValueError):
        return None
    return Origin(_sources.file_name(source), fetcher=_remote.FileFetcher(source))


def _local_path(source: Any) -> str | None:
    """The path of a local fsspec file object; None for anything else."""
    fs, path = getattr(source, "fs", None), getattr(source, "path", None)
    if fs is None or not isinstance(path, str) or isinstance(source, (str, os.PathLike)):
        return None
    return path if "file" in _protocols(fs) else None


def _protocols(fs: Any) -> tuple[str, ...]:
    protocol = getattr(fs, "protocol", ())
    return (protocol,) if isinstance(protocol, str) else tuple(protocol)
