"""A file's spectra read as the file streams: one request for all of them,
each block of whole records read into its rows as it arrives.

A ranged read brings its part whole, and the part is held beside the rows
it is read into until it has been read: over many large files that doubles
the fresh memory the read touches, and fresh memory is what a large read
pays for most (each page faulted in and zeroed, on a VM backed by the host
as well).  A stream brings the records in blocks that two buffers of
BLOCK bytes hold in turn, so the rows are the only memory of any size.

Two filesystems are streamed: fsspec's HTTP, whose stream is told the
filesystem's request options (it would leave them out), and S3, whose
stream is a ranged GET of the spectra alone, sent as the filesystem sends
its own: its options, a requester that pays, the object's version.  A GET
of the whole object would bring the headers again, and have botocore check
the whole object's checksum on the way, a CRC of every byte that costs as
much as the read (a ranged answer carries none).  Any other filesystem
reads its spectra by ranges."""

from __future__ import annotations

import errno
from collections.abc import Awaitable, Callable
from typing import Any, NamedTuple

__all__ = ["BLOCK", "Block", "range_refused", "read", "streams"]

# The buffer a stream is read through: whole records of a spectrum each, at
# least one.
BLOCK = 256 * 1024

# Bytes past the last spectrum read through rather than dropped with the
# connection: a connection whose answer was read to its end is used again.
_DRAIN = 64 * 1024


class Block(NamedTuple):
    """Whole records of a stream, `rows` of them from record `first_row`,
    to be read into their rows; `taken` is set once they have been, and
    until then the stream fills its other buffer."""

    data: memoryview
    first_row: int
    rows: int
    taken: Any  # an asyncio.Future of the stream's loop


def streams(fs: Any) -> bool:
    """Whether the spectra of files on `fs` are read as the files stream."""
    return _is_http(fs) or ("s3" in _protocols(fs) and hasattr(fs, "_call_s3") and hasattr(fs, "split_path"))


def _protocols(fs: Any) -> tuple[str, ...]:
    return fs.protocol if isinstance(fs.protocol, tuple) else (fs.protocol,)


def _is_http(fs: Any) -> bool:
    return not {"http", "https"}.isdisjoint(_protocols(fs))


async def read(fs: Any, path: str, size: int | None, start: int, stride: int, rows: int,
               hand: Callable[[memoryview, int, int], Awaitable[None]]) -> int:
    """Streams the file at `path` and hands on each block of whole records,
    `hand(block, row, count)` for `count` of them from record `row` (from
    0), records of `stride` bytes from byte `start`: what `hand` gives is
    awaited before that buffer is filled again.  Two buffers take turns, so
    that the stream is read while the last block is read into its rows
    elsewhere.  Gives how many records it handed on: fewer than `rows`
    where the file ended first."""
    per = max(1, BLOCK // stride)
    buffers = [memoryview(bytearray(min(per, rows) * stride)) for _ in range(2)]
    handed: list[Awaitable[None] | None] = [None, None]
    end = start + rows * stride
    try:
        stream, before = await _open(fs, path, size, start, end)
    except Exception as error:
        if range_refused(error):
            return 0  # the file now ends before its spectra
        raise
    try:
        if await _skip(stream, before) < before:
            return 0
        done = 0
        turn = 0
        while done < rows:
            count = min(per, rows - done)
            earlier = handed[turn]
            if earlier is not None:
                await earlier
            buffer = buffers[turn]
            whole = await _fill(stream, buffer[:count * stride]) // stride
            if whole:
                handed[turn] = hand(buffer[:whole * stride], done, whole)
                turn ^= 1
            done += whole
            if whole < count:
                return done
        if before and size is not None and 0 < size - end <= _DRAIN:  # a stream of the whole file
            await _skip(stream, size - end)
        return done
    finally:
        await stream.close()


async def _open(fs: Any, path: str, size: int | None, start: int, end: int) -> tuple[Any, int]:
    """The stream of bytes `start` to `end` of the file, and how many bytes
    before `start` it brings first."""
    if _is_http(fs):
        return await fs.open_async(path, "rb", size=size, **fs.kwargs), start
    bucket, key, version = fs.split_path(path)
    answer = await fs._call_s3("get_object", Bucket=bucket, Key=key, Range=f"bytes={start}-{end - 1}",
                               **({"VersionId": version} if version else {}))
    return _Body(answer["Body"]), 0


class _Body:
    """The body of an S3 answer, read as a stream is."""

    def __init__(self, body: Any) -> None:
        self.body = body

    async def read(self, n: int) -> bytes:
        return await self.body.read(n)  # type: ignore[no-any-return]

    async def close(self) -> None:
        self.body.close()


def range_refused(error: BaseException) -> bool:
    """Whether the error is a refusal of the range asked for (416): S3's, as
    s3fs raises it, or an HTTP server's, as aiohttp does."""
    if getattr(error, "status", None) == 416:
        return True
    return isinstance(error, OSError) and error.errno == errno.EINVAL and "range" in str(error).lower()


async def _fill(stream: Any, view: memoryview) -> int:
    """Reads into `view` until it is full or the stream ends; gives the bytes read."""
    at = 0
    while at < len(view):
        chunk = await stream.read(len(view) - at)
        if not chunk:
            break
        view[at:at + len(chunk)] = chunk
        at += len(chunk)
    return at


async def _skip(stream: Any, n: int) -> int:
    """Reads past `n` bytes of the stream; gives how many there were."""
    at = 0
    while at < n:
        chunk = await stream.read(min(BLOCK, n - at))
        if not chunk:
            break
        at += len(chunk)
    return at
