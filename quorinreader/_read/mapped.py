"""The bytes of an opened source, in place: a memory map of a path, or the
caller's own buffer; for a source read by ranges (a URL, a seekable file
object), all its bytes fetched at the first use.

It pickles as its source, an absolute path, the bytes themselves or the
Origin of a ranged source, never as an open file or a mapping: a copy that
reaches another process maps the file again there, at its first use."""

from __future__ import annotations

import os
from typing import Any

import quorinreader as _core

from . import origin as _origin
from .arrays import Bytes, raw_bytes
from .sources import PathLike

__all__ = ["Mapped"]


class Mapped:
    __slots__ = ("name", "path", "data", "origin", "_absolute", "_raw", "_mapping", "_closed")

    def __init__(self, name: str, path: PathLike | None = None, data: Any = None,
                 ranged: _origin.Origin | None = None) -> None:
        self.name = name
        self.path = path
        # Fixed now: a copy may be unpickled in another working directory.
        self._absolute = None if path is None else _absolute(path)
        self.data = data
        # Where lazy reads of other kinds (an xarray Dataset) read from:
        # positioned reads of the path, never this mapping.
        self.origin = ranged if ranged is not None else (
            _origin.Origin(name, path=self._absolute) if self._absolute is not None else _origin.Origin(name, data=data))
        self._raw: Bytes | None = None
        self._mapping: Any = None
        self._closed = False

    @property
    def closed(self) -> bool:
        return self._closed

    def raw(self, reader: Any = None) -> Bytes:
        """All the source's bytes as a read-only uint8 array.  The file is
        mapped at the first call, through `reader` (a _Reader of the path)
        when the caller holds one open already."""
        raw = self._raw
        if raw is None:
            if self._closed:
                raise ValueError(f"I/O operation on closed spectra ({self.name})")
            if self.origin.ranged:
                with self.origin.reader() as ranged:
                    (whole,) = ranged.fetcher.fetch([(0, ranged.size)])
                raw = raw_bytes(whole)
            elif self.path is None:
                raw = raw_bytes(self.data)
            elif reader is not None:
                self._mapping = reader.map()
                raw = raw_bytes(self._mapping)
            else:
                with _core._Reader(self.path) as own:
                    self._mapping = own.map()
                raw = raw_bytes(self._mapping)
            self._raw = raw
        return raw

    def close(self) -> None:
        """Ends the mapping; arrays a caller still holds keep it until they are gone."""
        self._closed = True
        self.origin.close()
        self._raw = None
        if self._mapping is not None:
            self._mapping.close()
            self._mapping = None
        self.data = None

    def __reduce__(self) -> tuple[Any, ...]:
        if self._closed:
            raise ValueError(f"I/O operation on closed spectra ({self.name})")
        if self.origin.ranged:
            return Mapped, (self.name, None, None, self.origin)
        if self._absolute is not None:
            return Mapped, (self.name, self._absolute, None)
        data = self.data
        whole = isinstance(data, memoryview) and isinstance(data.obj, bytes) and data.nbytes == len(data.obj)
        return Mapped, (self.name, None, data.obj if whole else bytes(data))


def _absolute(path: PathLike) -> str:
    text = os.fsdecode(os.fspath(path))
    return text if os.path.isabs(text) else os.path.abspath(text)
