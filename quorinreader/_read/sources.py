"""What a caller hands over: a path, bytes in memory, or a binary file object.

A file object is read into memory once and then handled as bytes, so there
are only two kinds of source below this module: a path, which the core opens
itself, and a one-dimensional buffer of unsigned bytes."""

from __future__ import annotations

import os
from typing import Protocol, Union, cast

__all__ = ["PathLike", "Readable", "Source", "file_name", "native", "resolve"]


class Readable(Protocol):
    """A binary file object: anything whose read() returns the rest of its bytes."""

    def read(self, size: int = ..., /) -> bytes: ...


PathLike = Union[str, "os.PathLike[str]", "os.PathLike[bytes]"]
Source = Union[PathLike, bytes, bytearray, memoryview, Readable]


def resolve(source: Source) -> tuple[str, PathLike | None, memoryview | None]:
    """The source as (name for messages, path or None, bytes or None)."""
    if isinstance(source, str):
        return source, source, None
    if isinstance(source, os.PathLike):
        return os.fsdecode(os.fspath(source)), source, None
    try:
        data = memoryview(source)  # type: ignore[arg-type]
    except TypeError:
        if not callable(getattr(source, "read", None)):
            raise TypeError("expected a path (str or os.PathLike), a bytes-like object or a binary file "
                            f"object, not {type(source).__name__!r}") from None
        return file_name(source), None, memoryview(_read_all(cast(Readable, source)))
    return f"<{type(source).__name__}>", None, _as_bytes(data)


def native(path: PathLike | None, data: memoryview | None) -> PathLike | memoryview:
    """What the core reads a resolved source from: its path, or else its bytes."""
    if path is not None:
        return path
    assert data is not None
    return data


def _as_bytes(data: memoryview) -> memoryview:
    """The buffer as one flat run of unsigned bytes, whatever its shape or item type."""
    if data.ndim == 1 and data.format in ("B", "b", "c"):
        return data if data.format == "B" else data.cast("B")
    return data.cast("B")  # raises TypeError for a buffer that is not contiguous


def file_name(f: object) -> str:
    name = getattr(f, "name", None)
    if isinstance(name, (str, os.PathLike)):
        return os.fsdecode(os.fspath(name))
    return f"<{type(f).__name__}>"


def _read_all(f: Readable) -> bytes:
    # From the start where the object can go there; a pipe or socket cannot.
    seek = getattr(f, "seek", None)
    if callable(seek):
        try:
            seek(0)
        except OSError:
            pass
    data = f.read()
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"read() of a binary file object must return bytes, not {type(data).__name__!r}")
    return bytes(data) if not isinstance(data, bytes) else data
