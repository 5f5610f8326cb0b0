"""Where the spectra of a file lie: the header phase of every load and open.

It decodes the records that say what the file holds, with the core's own
decoder, and turns them into a Table: the offset, count and geometry of the
spectra.  It moves no spectrum's bytes; that is the core's bulk read."""

from __future__ import annotations

import struct
from typing import Any, Literal, NamedTuple, Protocol

import quorinreader as _core

from .errors import SHOWN, FormatError, not_spectral, past_end, with_way_out

__all__ = ["Layout", "Table", "find", "fit", "record_size", "short"]

# Offsets that messages name: the directory follows the 304-byte file
# header, whose file type is at 288; a disk-resident array holds its element
# size at 8 and its link at 12, and the link its section type at 4.
_DIRECTORY_OFFSET = 304
_FILE_TYPE_OFFSET = 288
_ELEMENT_SIZE_OFFSET = 8
_LINK_OFFSET = 12
_LINK_SECTION_TYPE_OFFSET = 4
# The file's own id, the title of a single spectrum, as raw bytes in the file header.
_FILE_ID_OFFSET = _core.ST_ID_LENGTH
# Sections of a spectrum or a series: a file that lists none of them is no spectral file.
_OURS = {2, 3, 300, 325}


def record_size(cls: type) -> int:
    """Bytes of a flat record class, from the tables the core decodes with."""
    _, code, offset = _core._record_layout(cls)[-1]
    return int(offset) + struct.calcsize("<" + code)


_SPECTRAL_HEADER_SIZE = record_size(_core.MainSpectralHeader)
_BENCH_SIZE = record_size(_core.BenchInfo)
_SERIES_HEADER_SIZE = record_size(_core.SeriesHeader)
_MINI_SIZES = {cls: record_size(cls) for cls in (_core.SeriesSpecheader, _core.SeriesSpecheaderVer3)}


class Reader(Protocol):
    """What the header phase needs of a source: the core's _Reader."""

    def record(self, cls: type, offset: int, /) -> Any: ...

    def read_bytes(self, offset: int, size: int, /) -> bytes: ...


class Table(NamedTuple):
    """The `n` spectra of a file: spectrum k is `head` bytes of mini header
    (a `mini` record), then `points` little-endian values of `item` bytes
    each, at byte offset + k * stride."""

    offset: int
    n: int
    points: int
    item: int
    head: int = 0
    mini: type | None = None

    @property
    def row(self) -> int:
        return self.points * self.item

    @property
    def stride(self) -> int:
        return self.head + self.points * self.item

    def held(self, size: int) -> int:
        """How many of the spectra a source of `size` bytes holds in full."""
        stride = self.head + self.points * self.item
        if stride == 0:
            return self.n
        return min(self.n, max(0, size - self.offset) // stride)

    def shortfall(self, held: int, size: int | None) -> str:
        """Says that the spectrum after the first `held` is not all there."""
        return past_end(f"spectrum {held + 1:,} of {self.n:,}",
                        self.offset + held * self.stride, self.stride, size)


class Layout(NamedTuple):
    """What the header phase found."""

    kind: Literal["series", "spectrum"]
    table: Table
    file_header: Any
    spectral_header: Any
    series_header: Any = None
    disk_array: Any = None
    bench: Any = None
    # The file_id field as stored, which a single spectrum's title is decoded from.
    raw_id: bytes = b""


def find(reader: Reader, size: int | None, name: str) -> Layout:
    """The layout of the file behind `reader`, whose size is `size` (None when unknown)."""
    try:
        header = reader.record(_core.FileHeader, 0)
    except struct.error:
        # Too short for its own header and directory: as the header pass of many files says it.
        raise not_spectral(name, reader.read_bytes(0, SHOWN)) from None
    file_type = header.file_type
    if file_type == 11:
        return _series(reader, header, size, name)
    if file_type == 10:
        _check_spectral(reader, header, name)
        raise FormatError(f"{name}: the file type at offset {_FILE_TYPE_OFFSET} is 10, a group file; "
                          "expected a spectrum or a series (type 11)")
    return _spectrum(reader, header, size, name)


def _spectrum(reader: Reader, header: Any, size: int | None, name: str) -> Layout:
    spectral_at, values_at = _firsts(header.sections, 2, 3)
    if spectral_at is None or values_at is None:
        missing = "2 (main spectral header)" if spectral_at is None else "3 (spectrum values)"
        raise _missing(reader, header, name, f"section of type {missing}")
    spectral = _record(reader, _core.MainSpectralHeader, spectral_at, _SPECTRAL_HEADER_SIZE, size, name,
                       "the main spectral header")
    raw_id = reader.read_bytes(_FILE_ID_OFFSET, _core.FILE_ID_LENGTH)
    return Layout("spectrum", Table(values_at, 1, spectral.num_points, 4), header, spectral, None, None, None, raw_id)


def _series(reader: Reader, header: Any, size: int | None, name: str) -> Layout:
    sections = header.sections
    series_at, array_at = _firsts(sections, 325, 300)
    if series_at is None or array_at is None:
        what = "325 (series header)" if series_at is None else "300 (disk-resident array)"
        raise _missing(reader, header, name, f"section of type {what}")
    series = _record(reader, _core.SeriesHeader, series_at, _SERIES_HEADER_SIZE, size, name, "the series header")
    array = _record(reader, _core.DiskResidentArray, array_at, None, size, name, "the disk-resident array")

    link = array.link
    link_at = array_at + _LINK_OFFSET
    if link.link_type:
        raise FormatError(f"{name}: the link at offset {link_at:,} has link_type {link.link_type}, data in "
                          f"the external file {link.filename!r}; expected 0, data inside this file")
    blob_at = _nth(sections, link.section_type, link.section_number)
    if blob_at is None:
        listed = sum(entry.section_type == link.section_type for entry in sections)
        raise FormatError(f"{name}: the link at offset {link_at + _LINK_SECTION_TYPE_OFFSET:,} names section "
                          f"{link.section_number} (counted from 0) of type {link.section_type}; the directory "
                          f"at offset {_DIRECTORY_OFFSET} lists {listed} of that type")
    item = array.array_element_size
    if item != 4 and item != 8:
        raise FormatError(f"{name}: the disk-resident array gives {item} bytes per value at offset "
                          f"{array_at + _ELEMENT_SIZE_OFFSET:,}; expected 4 or 8")

    offset = blob_at
    blob_format = link.data_blob_format
    if not blob_format.spectral_hdr:
        raise FormatError(f"{name}: the data blob at offset {blob_at:,} has no main spectral header (the link "
                          f"at offset {link_at:,} does not set spectral_hdr); expected one, for the point count")
    spectral = _record(reader, _core.MainSpectralHeader, offset, _SPECTRAL_HEADER_SIZE, size, name,
                       "the main spectral header of the data blob")
    offset += _SPECTRAL_HEADER_SIZE
    bench = None
    if blob_format.bench_hdr:
        bench = _record(reader, _core.BenchInfo, offset, _BENCH_SIZE, size, name, "the bench information")
        offset += _BENCH_SIZE
    mini = None
    if blob_format.mini_hdr:
        mini = _core.SeriesSpecheaderVer3 if link.mini_header_type else _core.SeriesSpecheader
    table = Table(offset, series.max_spectra, spectral.num_points, item, _MINI_SIZES[mini] if mini else 0, mini)
    return Layout("series", table, header, spectral, series, array, bench)


def _firsts(sections: list[Any], a: int, b: int) -> tuple[int | None, int | None]:
    """The offsets of the first sections of types a and b (None where there is none)."""
    at_a = at_b = None
    for entry in sections:
        section_type = entry.section_type
        if section_type == a and at_a is None:
            at_a = entry.section_offset
        elif section_type == b and at_b is None:
            at_b = entry.section_offset
    return at_a, at_b


def _nth(sections: list[Any], section_type: int, n: int) -> int | None:
    """The offset of section n (from 0) among those of a type; None if there are fewer."""
    for entry in sections:
        if entry.section_type == section_type:
            if n == 0:
                return int(entry.section_offset)
            n -= 1
    return None


def _check_spectral(reader: Reader, header: Any, name: str) -> None:
    """Raises the error of a file that is no spectral file at all where its
    directory lists no section of a spectrum or series: of such a file, what
    its header seems to say is noise.  Asked only on the way to another error."""
    if not any(entry.section_type in _OURS for entry in header.sections):
        raise not_spectral(name, reader.read_bytes(0, SHOWN))


def _missing(reader: Reader, header: Any, name: str, what: str) -> FormatError:
    _check_spectral(reader, header, name)
    found = sorted({entry.section_type for entry in header.sections})
    return FormatError(f"{name}: the directory at offset {_DIRECTORY_OFFSET} lists no {what}; "
                       f"found section types {found}")


def _record(reader: Reader, cls: type, offset: int, needed: int | None, size: int | None, name: str,
            what: str) -> Any:
    if (size is not None and offset >= size) or offset >= 1 << 63:
        raise FormatError(past_end(f"{name}: {what}", offset, needed, size))
    try:
        return reader.record(cls, offset)
    except struct.error as error:
        raise FormatError(past_end(f"{name}: {what}", offset, needed, size)) from error


def fit(table: Table, size: int | None, partial: bool, name: str) -> tuple[Table, str | None]:
    """The table cut to what a source of `size` bytes holds, before anything is allocated for it."""
    offset, n, points, item, head, _ = table
    if size is None or offset + n * (head + points * item) <= size:
        return table, None
    held = table.held(size)
    if held == table.n:  # spectra of no bytes at all
        return table, None
    return short(table, held, size, partial, name)


def short(table: Table, held: int, size: int | None, partial: bool, name: str) -> tuple[Table, str]:
    shortfall = table.shortfall(held, size)
    if not partial:
        if not held:
            raise FormatError(f"{name}: {shortfall}")
        complete = f"{held:,} complete spectr{'um' if held == 1 else 'a'}"
        raise with_way_out(f"{name}: {shortfall}", f"partial=True reads its {complete}",
                           f"--partial reads its {complete}")
    return table._replace(n=held), f"{name}: read {held:,} of {table.n:,} spectra; {shortfall}"


def looks_stray(data: memoryview) -> bool:
    """What the core's header pass calls not a spectral file, for bytes in memory."""
    size = len(data)
    if size < 304:
        return True
    raw = bytes(data[:304])
    text = bytes(b for b in raw[:30].split(b"\0", 1)[0] if b < 0x80)
    entry = 22 if b"Exte" in text else 16
    sections = int.from_bytes(raw[294:296], "little")
    if 304 + sections * entry > size:
        return True
    types = {int.from_bytes(data[at:at + 2], "little") for at in range(304, 304 + sections * entry, entry)}
    return not types & {2, 3, 300, 325}
