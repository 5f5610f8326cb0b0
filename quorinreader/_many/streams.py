"""A file's spectra read as the file streams: one request for all of them,
each block of whole records read into its rows as it arrives.

A ranged read brings its part whole, and the part is held beside the rows
it is read into until it has been read: over many large files that doubles
the fresh memory the read touches, and fresh memory is what a large read
pays for most (each page faulted in and zeroed, on a VM backed by the host
as well).  A stream brings the records in blocks that two buffers of
BLOCK bytes hold in turn, so the rows are the only memory of any size.

Only filesystems whose stream reads what their ranged reads read are
streamed: fsspec's HTTP (its stream is told the filesystem's request
options, which it would leave out) and S3 but where its requests carry
options of their own (a requester that pays, object versions) that its
stream leaves out.  Any other reads its spectra by ranges."""

from __future__ import annotations

from collections.abc import Awaitable, Callable
from typing import Any, NamedTuple

__all__ = ["BLOCK", "Block", "read", "streams"]

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
    if _is_http(fs):
        return True
    return "s3" in _protocols(fs) and not getattr(fs, "req_kw", None) and not getattr(fs, "version_aware", False)


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
    if _is_http(fs):
        stream = await fs.open_async(path, "rb", size=size, **fs.kwargs)
    else:
        stream = await fs.open_async(path, "rb")
    try:
        if await _skip(stream, start) < start:
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
        end = start + rows * stride
        if size is not None and 0 < size - end <= _DRAIN:
            await _skip(stream, size - end)
        return done
    finally:
        await _close(stream)


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


async def _close(stream: Any) -> None:
    # S3's stream leaves its answer open when it is closed: closed here, or
    # its connection would wait for the collector.
    answer = getattr(stream, "r", None)
    await stream.close()
    if answer is not None:
        answer.close()
