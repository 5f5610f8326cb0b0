"""The arrays of a Table: read into new memory (load), or viewed in place (open).

Either way one native call moves or decodes each bulk: read_rows for the
values and the mini headers, _decode_titles for the titles (in the user's
code page: see `text`).  The mini
headers' structured dtype comes from the core's own record tables."""

from __future__ import annotations

import codecs
from typing import Any, Protocol, TypeAlias

import numpy
import numpy.typing as npt

import quorinreader as _core

from .layout import Table, record_size

__all__ = ["Bytes", "Values", "check_encoding", "mini_dtype", "mini_view", "native_dtype", "raw_bytes", "read",
           "text", "titles", "values_view"]

Values: TypeAlias = npt.NDArray[numpy.floating[Any]]
Bytes: TypeAlias = npt.NDArray[numpy.uint8]

# Bound on one step of a read whose size is not known beforehand: a bad
# count then costs at most this much memory before the file runs out.
_STEP_BYTES = 64 << 20


class BulkReader(Protocol):
    def read_rows(self, offset: int, count: int, head_size: int, row_size: int, item_size: int,
                  values: Any, heads: Any, /) -> int: ...


# What the layouts give, made once per mini header class.
_MINI_DTYPES: dict[type, numpy.dtype[numpy.void]] = {}
_TITLE_FIELDS: dict[type, tuple[int, int]] = {}


def mini_dtype(cls: type) -> numpy.dtype[numpy.void]:
    """The numeric fields of a mini header record, at their offsets, little-endian."""
    made = _MINI_DTYPES.get(cls)
    if made is None:
        made = _MINI_DTYPES[cls] = _make_mini_dtype(cls)
    return made


def _make_mini_dtype(cls: type) -> numpy.dtype[numpy.void]:
    fields = [(name, "<" + code, offset) for name, code, offset in _core._record_layout(cls)
              if not code.endswith("s")]
    spec: Any = {"names": [f[0] for f in fields], "formats": [f[1] for f in fields],
                 "offsets": [f[2] for f in fields], "itemsize": record_size(cls)}
    return numpy.dtype(spec)


def _title_field(cls: type) -> tuple[int, int]:
    """Offset and width of the title in a mini header."""
    made = _TITLE_FIELDS.get(cls)
    if made is None:
        made = _TITLE_FIELDS[cls] = _find_title_field(cls)
    return made


def _find_title_field(cls: type) -> tuple[int, int]:
    for name, code, offset in _core._record_layout(cls):
        if name == "spec_title":
            return int(offset), int(code[:-1])
    raise LookupError(f"{cls.__name__} has no spec_title")


_NATIVE: dict[int, numpy.dtype[Any]] = {4: numpy.dtype(numpy.float32), 8: numpy.dtype(numpy.float64)}
_STORED: dict[int, numpy.dtype[Any]] = {4: numpy.dtype("<f4"), 8: numpy.dtype("<f8")}


def native_dtype(item: int) -> numpy.dtype[Any]:
    """The dtype of values of `item` bytes, in native byte order."""
    return _NATIVE[item]


def read(reader: BulkReader, table: Table, known_size: bool) -> tuple[Values, Bytes | None, int]:
    """Reads the table into a fresh C-contiguous matrix of native floats and a
    table of mini headers.  Returns them with how many spectra were there in
    full; with `known_size` the caller has bounded the count by the file."""
    # Fields, not properties: this runs for every load, a single spectrum too.
    offset, n, points, item, head, _ = table
    row = points * item
    if not known_size and n * (head + row) > _STEP_BYTES:
        return _read_in_steps(reader, table)
    values = numpy.empty((n, points), _NATIVE[item])
    heads = numpy.empty(n * head, numpy.uint8) if head else None
    got = reader.read_rows(offset, n, head, row, item, values, heads) if n and head + row else n
    return values, heads, got


def _read_in_steps(reader: BulkReader, table: Table) -> tuple[Values, Bytes | None, int]:
    """A table whose source has no known size: whole steps while it lasts, then one matrix."""
    stride = table.stride
    step = max(1, _STEP_BYTES // stride)
    parts: list[tuple[Values, Bytes | None]] = []
    done = 0
    while done < table.n:
        part = table._replace(offset=table.offset + done * stride, n=min(step, table.n - done))
        values, heads, got = read(reader, part, True)
        parts.append((values[:got], None if heads is None else heads[:got * table.head]))
        done += got
        if got < part.n:
            break
    if len(parts) == 1:
        return parts[0][0], parts[0][1], done
    heads_parts = [h for _, h in parts if h is not None]
    return (numpy.concatenate([v for v, _ in parts]),
            numpy.concatenate(heads_parts) if table.head else None, done)


def raw_bytes(buffer: Any) -> Bytes:
    """A read-only byte array over a buffer.  frombuffer keeps a memoryview
    as the array's base, so the buffer stays exported (a mapping stays
    mapped) for as long as any array made from it is alive."""
    raw = numpy.frombuffer(buffer, numpy.uint8)
    if raw.flags.writeable:  # bytes of the caller's, such as a bytearray
        raw.flags.writeable = False
    return raw


def values_view(raw: Bytes, table: Table) -> Values:
    """The values of the table as a read-only (count, points) view over `raw`."""
    offset, n, points, item, head, _ = table
    return numpy.ndarray((n, points), _STORED[item], buffer=raw, offset=min(offset + head, raw.size),
                         strides=(head + points * item, item))


def mini_view(buffer: Bytes, offset: int, stride: int, count: int, cls: type) -> npt.NDArray[numpy.void]:
    """`count` mini headers of class `cls`, the first at `offset`, one every
    `stride` bytes, as a structured view over `buffer`."""
    return numpy.ndarray((count,), mini_dtype(cls), buffer=buffer, offset=min(offset, buffer.size),
                         strides=(stride,))


def titles(buffer: Any, offset: int, stride: int, count: int, cls: type, encoding: str | None) -> list[str]:
    """The titles of `count` mini headers of class `cls`, the first at `offset`, one every `stride` bytes,
    decoded as `text` decodes them."""
    title_at, width = _title_field(cls)
    return _core._decode_titles(buffer, offset + title_at, stride, count, width, encoding)


def text(raw: bytes, encoding: str | None, ascii_text: str | None = None) -> str:
    """A text field of the user's: cut at its first zero byte, then UTF-8 where
    the bytes are valid UTF-8 and else Windows-1252 (encoding None), or in the
    codec named by `encoding`, its bad bytes replaced.  `ascii_text`, the
    record's own decoding of the field, is the same text where every byte is
    ASCII, as most are: then it is taken as it is."""
    if ascii_text is not None and encoding is None and raw.isascii():
        return ascii_text
    return _core._decode_titles(raw, 0, 0, 1, len(raw), encoding)[0]


def check_encoding(encoding: str | None) -> str | None:
    """`encoding` as the decoders take it; LookupError for a codec Python does not know."""
    if encoding is None:
        return None
    if not isinstance(encoding, str):
        raise TypeError(f"encoding must be a codec name (str) or None, not {type(encoding).__name__!r}")
    return codecs.lookup(encoding).name
