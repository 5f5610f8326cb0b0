"""Sources read by byte ranges: fsspec URLs and seekable file objects.

A URL ("s3://...", "https://...", "memory://...") is read through fsspec,
an optional extra imported here only.  Both kinds give a Fetcher: the
source's size and any list of byte ranges, fetched together (concurrently,
where the filesystem can).  Nothing here decodes a byte; the core does."""

from __future__ import annotations

import re
import threading
from collections.abc import Mapping, Sequence
from typing import Any

__all__ = ["Fetcher", "FileFetcher", "Listed", "UrlFetcher", "filesystem", "is_url", "listed", "listed_size",
           "merge"]

# "file://..." goes through fsspec too; a Windows path ("C:\\...") has no "//".
_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*(::[A-Za-z][A-Za-z0-9+.-]*)*://")

# Ranges this close together are fetched as one: a round trip to object
# storage costs more than moving this many bytes more.
MERGE_GAP = 64 * 1024


def is_url(text: str) -> bool:
    return _URL.match(text) is not None


class Listed(str):
    """A URL with the size in bytes its folder's listing gave: what reads it
    need not ask the size again.  In every other way it is the URL."""

    __slots__ = ("size",)
    size: int

    def __new__(cls, url: str, size: int) -> Listed:
        self = super().__new__(cls, url)
        self.size = size
        return self

    def __reduce__(self) -> tuple[Any, ...]:
        return Listed, (str(self), self.size)


def listed(url: str, size: Any) -> str:
    """The URL, with the size a listing gave it where it gave one."""
    return Listed(url, size) if isinstance(size, int) and size >= 0 else url


def listed_size(url: str) -> int | None:
    """The size a listing gave `url`; None where none did."""
    return url.size if isinstance(url, Listed) else None


def filesystem(url: str, storage_options: Mapping[str, Any] | None) -> tuple[Any, str]:
    """The fsspec filesystem of `url` and the path on it."""
    try:
        import fsspec  # type: ignore[import-untyped, unused-ignore]
    except ImportError as error:
        raise ImportError(f"reading {url!r} needs fsspec: pip install 'quorinreader[remote]'") from error
    fs, path = fsspec.core.url_to_fs(url, **dict(storage_options or {}))
    return fs, path


def merge(ranges: Sequence[tuple[int, int]], gap: int = MERGE_GAP) -> list[tuple[int, int]]:
    """Ascending (start, end) ranges joined where they touch or lie within `gap` of each other."""
    merged: list[tuple[int, int]] = []
    for start, end in sorted(ranges):
        if merged and start <= merged[-1][1] + gap:
            merged[-1] = (merged[-1][0], max(merged[-1][1], end))
        else:
            merged.append((start, end))
    return merged


class Fetcher:
    """A source of known size read by byte ranges."""

    size: int

    def fetch(self, ranges: Sequence[tuple[int, int]]) -> list[bytes]:
        """The bytes of each (start, end) range, short only at the end of the source."""
        raise NotImplementedError

    def close(self) -> None:
        pass


class UrlFetcher(Fetcher):
    """An object at a URL: one ranged request per range, all in one call."""

    def __init__(self, url: str, storage_options: Mapping[str, Any] | None, size: int | None = None) -> None:
        self.fs, self.path = filesystem(url, storage_options)
        # Asked once, when the file is first opened; a copy that reads a
        # few spectra later is told it and saves the request.
        self.size = int(self.fs.size(self.path)) if size is None else size

    def fetch(self, ranges: Sequence[tuple[int, int]]) -> list[bytes]:
        ranges = [(start, min(end, self.size)) for start, end in ranges]
        wanted = [(start, end) for start, end in ranges if end > start]
        if not wanted:
            return [b"" for _ in ranges]
        if len(wanted) == 1:
            got = [self.fs.cat_file(self.path, start=wanted[0][0], end=wanted[0][1])]
        else:
            got = self.fs.cat_ranges([self.path] * len(wanted), [s for s, _ in wanted], [e for _, e in wanted],
                                     on_error="raise")
        found = iter(got)
        return [next(found) if end > start else b"" for start, end in ranges]


class FileFetcher(Fetcher):
    """A seekable binary file object of the caller's: seek and read, one
    range at a time under a lock, since the position is shared."""

    def __init__(self, f: Any) -> None:
        self.f = f
        self.lock = threading.Lock()
        with self.lock:
            self.size = int(f.seek(0, 2))

    def fetch(self, ranges: Sequence[tuple[int, int]]) -> list[bytes]:
        out = []
        with self.lock:
            for start, end in ranges:
                if end <= start:
                    out.append(b"")
                    continue
                self.f.seek(start)
                data = self.f.read(end - start)
                if not isinstance(data, (bytes, bytearray, memoryview)):
                    raise TypeError(f"read() of a binary file object must return bytes, not {type(data).__name__!r}")
                out.append(bytes(data))
        return out

    def __getstate__(self) -> dict[str, Any]:
        return {"f": self.f, "size": self.size}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.f, self.size = state["f"], state["size"]
        self.lock = threading.Lock()
