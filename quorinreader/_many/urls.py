"""The URLs of a load_many or open_many call, read together.

Reading URLs one after another costs a round trip per request, three per
file; this reads every URL of the call in a few rounds, the requests of a
round sent together, a bounded number in flight at once (fsspec's own batch
size unless the caller sets max_concurrency):

1. the first bytes of every file.  A file of at most WHOLE bytes (by the
   size its folder's listing gave, or by this first read, which may run
   past the end of the file) comes whole, and is read as it arrives.
   Where the listing gave every file's size, a file of up to LOAD_PART
   bytes comes whole too, its rows read into its place as it arrives
   (places.py): one request a file;
2. the size of each larger file that no listing gave;
3. the records of the larger files that their first bytes miss, all
   together (most files need none of this round);
4. the spectra of the larger files: one request each, read into their rows
   a block at a time as the file streams, where the filesystem streams as
   it reads ranges (streams.py); else in parts of at most LOAD_PART bytes,
   each part read into its rows as it arrives and dropped.

What comes of each file is what spectra.load (or open) gives for it, or
the error it raised, named by URL; retries are the filesystem's own."""

from __future__ import annotations

import errno
import queue
import threading
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy

import quorinreader as _core

from .._read import arrays as _arrays, layout as _layout, remote as _remote
from .._read.errors import SHOWN, FormatError, not_spectral, with_way_out
from .._read.origin import FIRST_READ, LOAD_PART, RangedReader
from . import places as _places, progress as _progress, streams as _streams

if TYPE_CHECKING:
    from .._read.spectra import Spectra

__all__ = ["WHOLE", "Fetched", "read"]

# Files up to this size come whole in one request: on a store some way off
# a request costs its round trip, and this many bytes more cost next to
# nothing beside it (benchmarks/remote.py measures both).
WHOLE = 64 * 1024

# The values of an opened file that only the mini headers are read for.
_NO_VALUES = numpy.empty((0, 0), numpy.float32)


class Fetched(NamedTuple):
    """What the URLs of a call gave, by their position among the call's files."""

    spectra: dict[int, Spectra]
    errors: dict[int, BaseException]
    # Every file's rows, in order, where every file of the call was a URL
    # read whole into one matrix of spectra sharing one point count.
    matrix: Any = None


class _Missing(Exception):
    """Raised through the header reader of a file: these ranges first."""

    def __init__(self, ranges: list[tuple[int, int]]) -> None:
        super().__init__()
        self.ranges = ranges


class _Rounds(_remote.Fetcher):
    """A file's bytes as the rounds brought them.  A fetch of ranges that
    they hold is answered; any other raises _Missing, for the next round."""

    def __init__(self, size: int, first: bytes, asked: int) -> None:
        self.size = size
        self.blocks: list[tuple[int, bytes, int]] = []  # (start, bytes, end asked)
        self.add(0, first, asked)

    def add(self, start: int, data: bytes, end: int) -> None:
        self.blocks.append((start, data, min(end, self.size)))

    def fetch(self, ranges: Any) -> list[bytes]:
        got = [self._held(start, min(end, self.size)) for start, end in ranges]
        if any(part is None for part in got):
            raise _Missing([r for r, part in zip(ranges, got) if part is None])
        return got  # type: ignore[return-value]

    def _held(self, start: int, end: int) -> bytes | None:
        for at, data, asked in self.blocks:
            stop = at + len(data)
            # A block that came short ends where the file now does.
            if at <= start and (end <= stop or (stop < asked and start <= stop)):
                return data[start - at:end - at]
        return None


class _Url:
    """One URL of the call, from its first bytes to its spectra."""

    __slots__ = ("k", "j", "name", "fs", "path", "size", "first", "rounds", "layout", "table", "values", "heads",
                 "parts", "error", "retry_size")

    def __init__(self, k: int, j: int, name: str) -> None:
        self.k, self.j, self.name = k, j, name
        self.size = _remote.listed_size(name)
        self.fs: Any = None
        self.path = ""
        self.first: bytes | None = None
        self.rounds: _Rounds | None = None
        self.layout: Any = None
        self.table: _layout.Table | None = None
        self.values: Any = None
        self.heads: Any = None
        self.parts = 0  # of the values still to come
        self.error: BaseException | None = None
        self.retry_size: BaseException | None = None  # a first read that failed, unless the file is empty


class _Request(NamedTuple):
    url: _Url
    start: int  # -1: the size
    end: int | None = None
    first_row: int = 0
    rows: int = 0
    stream: bool = False  # the spectra in one request, read a block at a time


def read(files: Any, storage_options: Mapping[str, Any] | None, *, opening: bool, whole_matrix: bool,
         on_error: str, progress: bool, max_concurrency: int | None, encoding: str | None = None) -> Fetched:
    """Reads the URLs among `files` (the _Files of load_many: a URL has
    neither path nor bytes), loaded, or `opening`, their headers, titles and
    mini headers only, the titles in `encoding`.  With `whole_matrix`, where
    every file is a URL, all read, of one point count, the matrix of their
    rows comes too.  With on_error="raise", no spectra are fetched once a
    file has failed."""
    names = files.names
    if names is files.paths:  # paths only
        return Fetched({}, {})
    at = [k for k, (path, data) in enumerate(zip(files.paths, files.data)) if path is None and data is None]
    if not at:
        return Fetched({}, {})
    urls = [_Url(k, j, names[k]) for j, k in enumerate(at)]
    _filesystems(urls, storage_options)
    bar = _progress.bar(progress, len(urls), "files")
    try:
        run = _Run(urls, opening, max_concurrency, bar)
        run.first()
        run.sizes()
        run.headers()
        failed = any(u.error is not None for u in urls)
        matrix = None if failed and on_error == "raise" else run.values()
    finally:
        if bar is not None:
            bar.close()
    from .._read.spectra import Spectra

    spectra: dict[int, Spectra] = {}
    errors: dict[int, BaseException] = {}
    for u in urls:
        if u.error is not None:
            errors[u.k] = u.error
        elif failed and on_error == "raise":
            continue  # not read: the first error is raised
        else:
            assert u.table is not None
            values = _NO_VALUES if opening else u.values
            spectra[u.k] = Spectra(u.layout, u.table, u.name, values, u.heads, None, False, encoding)
    every = whole_matrix and not errors and len(at) == len(names)
    return Fetched(spectra, errors, matrix if every else None)


def _filesystems(urls: list[_Url], storage_options: Mapping[str, Any] | None) -> None:
    """Each URL's filesystem and path.  Finding a filesystem costs a good
    part of a millisecond: it is found once for each scheme and host (what a
    filesystem's options can come from), but for URLs that chain filesystems
    or carry a query."""
    found: dict[str, Any] = {}
    for u in urls:
        url = str(u.name)
        if "::" in url or "?" in url:
            u.fs, u.path = _remote.filesystem(url, storage_options)
            continue
        key = "/".join(url.split("/", 3)[:3])
        fs = found.get(key)
        if fs is None:
            fs, u.path = _remote.filesystem(url, storage_options)
            found[key] = fs
        else:
            u.path = fs._strip_protocol(url)
        u.fs = fs


class _Run:
    """The rounds of one call, each a method that sends its requests and
    a method that takes each answer in as it comes."""

    def __init__(self, urls: list[_Url], opening: bool, max_concurrency: int | None, bar: Any) -> None:
        self.urls = urls
        self.opening = opening
        self.limit = max_concurrency
        self.bar = bar
        # Single spectra that came whole, read into the row of their position
        # as they arrive; shaped after the first.
        self.singles: Any = None
        # Where a listing gave every file's size, the places of their rows,
        # made when the first file has come.
        self.sized = not opening and all(u.size is not None for u in urls)
        self.places: _places.Places | None = None

    # Rounds.

    def first(self) -> None:
        requests = []
        for u in self.urls:
            if u.size == 0:
                self._whole(u, b"")
            elif u.size is not None and u.size <= (LOAD_PART if self.sized else WHOLE):
                requests.append(_Request(u, 0, u.size))
            else:
                requests.append(_Request(u, 0, WHOLE if u.size is None else FIRST_READ))
        self._send(requests, self._first_came)

    def _first_came(self, r: _Request, got: Any) -> None:
        u = r.url
        if isinstance(got, Exception):
            if u.size is None and _streams.range_refused(got):
                u.retry_size = got  # as a store refuses any range of an empty file: its size tells
                return
            self._fail(u, got)
            return
        data = bytes(got)
        assert r.end is not None
        if len(data) != r.end or u.size == len(data):
            # Short only at the end of the file; longer only where the
            # server sent the whole file for a range from its start.
            self._whole(u, data)
        elif u.size is None:
            u.first = data  # the size comes next
        else:
            self._start(u, data)

    def sizes(self) -> None:
        self._send([_Request(u, -1) for u in self.urls if u.error is None and u.table is None
                    and u.rounds is None], self._size_came)

    def _size_came(self, r: _Request, got: Any) -> None:
        u = r.url
        if isinstance(got, Exception) or got is None:
            self._fail(u, u.retry_size or (got if isinstance(got, Exception) else
                                           OSError(errno.EIO, "the server gives no size for it", u.name)))
            return
        u.size = int(got)
        if u.retry_size is not None:
            if u.size == 0:
                self._whole(u, b"")
            else:
                self._fail(u, u.retry_size)
            return
        assert u.first is not None
        if u.size <= len(u.first):
            self._whole(u, u.first[:u.size])
        else:
            self._start(u, u.first)
        u.first = None

    def headers(self) -> None:
        """The layout of every larger file, a round at a time for those whose records lie beyond what came."""
        waiting = [u for u in self.urls if u.rounds is not None and u.error is None]
        while waiting:
            wanted: list[_Request] = []
            for u in waiting:
                assert u.rounds is not None and u.size is not None
                # A fresh reader each time: it asks again for what it asked
                # last, and the rounds now hold it.
                reader = RangedReader(u.rounds, [(0, u.rounds.blocks[0][1])])
                try:
                    u.layout = _layout.find(reader, u.size, u.name)
                    u.table = _layout.fit(u.layout.table, u.size, False, u.name)[0]
                except _Missing as missing:
                    wanted.extend(_Request(u, start, end) for start, end in missing.ranges)
                except FormatError as error:
                    self._fail(u, error)
                else:
                    if not self._needs_values(u):
                        u.rounds = None
                        self._arrived(u)
            self._send(wanted, self._header_came)
            waiting = list({id(r.url): r.url for r in wanted if r.url.error is None}.values())

    def _header_came(self, r: _Request, got: Any) -> None:
        if isinstance(got, Exception):
            self._fail(r.url, got)
        else:
            assert r.url.rounds is not None and r.end is not None
            r.url.rounds.add(r.start, bytes(got), r.end)

    def values(self) -> Any:
        """The spectra of the larger files, straight into their rows; the
        matrix of every URL's rows where they share a point count."""
        ok = [u for u in self.urls if u.error is None]
        placed = not self.opening and self._placed(ok)
        matrix = None if self.opening or placed else self._destinations(ok)
        requests = []
        for u in ok:
            table = u.table
            if u.rounds is None or table is None or not self._needs_values(u):
                continue
            u.rounds = None
            if u.values is None and not self.opening:
                u.values = numpy.empty((table.n, table.points), _arrays.native_dtype(table.item))
            if table.head and u.heads is None:
                u.heads = numpy.empty(table.n * table.head, numpy.uint8)
            if _exchanges(u.fs) and _streams.streams(u.fs):
                requests.append(_Request(u, table.offset, rows=table.n, stream=True))
                u.parts += 1
                continue
            step = max(1, LOAD_PART // table.stride)
            for first in range(0, table.n, step):
                rows = min(step, table.n - first)
                start = table.offset + first * table.stride
                requests.append(_Request(u, start, start + rows * table.stride, first, rows))
                u.parts += 1
        self._send(requests, self._part_came)
        return self._close_up(ok) if placed else matrix

    def _needs_values(self, u: _Url) -> bool:
        table = u.table
        assert table is not None
        if not table.n or not table.stride:
            return False
        return not self.opening or table.mini is not None  # an opened file: only the mini headers

    def _placed(self, ok: list[_Url]) -> bool:
        """Whether every file's rows are in its place, or will be: those of
        the files still to come are given theirs."""
        places = self.places
        if places is None:
            return False
        coming = []
        for u in ok:
            table = u.table
            if table is None or places.holds(u.values):
                continue
            if u.values is not None:
                return False
            rows = places.rows(u.j, table.n, table.points, _arrays.native_dtype(table.item))
            if rows is None:
                return False
            coming.append((u, rows))
        for u, rows in coming:
            u.values = rows
        return True

    def _close_up(self, ok: list[_Url]) -> Any:
        """The matrix of every file's rows, closed up from their places; none
        where a file failed (each file's rows stay in its place)."""
        assert self.places is not None
        if any(u.error is not None for u in self.urls):
            return None
        files = [(u, u.table.n) for u in ok if u.table is not None and u.values is not None]
        matrix, starts = self.places.close_up([(u.j, n) for u, n in files])
        for (u, n), start in zip(files, starts):
            u.values = matrix[start:start + n]
        return matrix

    def _destinations(self, ok: list[_Url]) -> Any:
        """Where the spectra of the files go: one matrix, in order, where
        they share a point count; the rows of single spectra read already
        are moved there, and that matrix is theirs where all are such."""
        points = {u.table.points for u in ok if u.table is not None}
        if len(points) != 1:
            for u in ok:
                if u.values is None and u.table is not None:
                    u.values = numpy.empty((u.table.n, u.table.points), _arrays.native_dtype(u.table.item))
            return None
        singles = self.singles
        if singles is not None and all(u.values is not None and u.values.base is singles for u in ok):
            return singles  # every file a single spectrum, read as it came
        tables = [u.table for u in ok if u.table is not None]
        dtype = numpy.float32 if all(t.item == 4 for t in tables) else numpy.float64
        matrix = numpy.empty((sum(t.n for t in tables), points.pop()), dtype)
        row = 0
        for u in ok:
            assert u.table is not None
            rows = matrix[row:row + u.table.n]
            if u.values is not None:
                rows[...] = u.values
            u.values = rows
            row += u.table.n
        self.singles = None
        return matrix

    def _part_came(self, r: _Request, got: Any) -> None:
        """A part of a file's spectra; or a block of a stream, then the
        count of all it brought."""
        u = r.url
        if isinstance(got, Exception):
            self._fail(u, got)
            return
        if isinstance(got, _streams.Block):
            self._read_rows(u, got.data, got.first_row, got.rows)
            return
        table = u.table
        assert table is not None
        if r.stream:
            held = got
        else:
            held = self._read_rows(u, memoryview(bytes(got) if not isinstance(got, bytes) else got), r.first_row,
                                   r.rows)
        if held < r.rows:
            # Cut short since it was listed: load_many gives such a file its own way out.
            self._fail(u, with_way_out(f"{u.name}: {table.shortfall(r.first_row + held, None)}",
                                       "partial=True reads its complete spectra",
                                       "--partial reads its complete spectra"))
            return
        u.parts -= 1
        if not u.parts:
            self._arrived(u)

    def _read_rows(self, u: _Url, data: memoryview, first_row: int, rows: int) -> int:
        """Reads the records in `data` into u's rows from `first_row`; gives
        how many it held whole."""
        table = u.table
        assert table is not None
        native = _arrays.native_dtype(table.item)
        if self.opening:
            values = numpy.empty((rows, table.points), native)
        else:
            values = u.values[first_row:first_row + rows]
        into = values if values.dtype == native else numpy.empty(values.shape, native)
        heads = None if u.heads is None else u.heads[first_row * table.head:(first_row + rows) * table.head]
        with _core._Reader(data) as reader:
            held = int(reader.read_rows(0, rows, table.head, table.row, table.item, into, heads))
        if into is not values:
            values[:held] = into[:held]
        return held

    # Files.

    def _start(self, u: _Url, first: bytes) -> None:
        """A file larger than WHOLE: its layout comes from its first bytes and the next rounds."""
        assert u.size is not None
        u.rounds = _Rounds(u.size, first, len(first))

    def _whole(self, u: _Url, data: bytes) -> None:
        """A file that came whole, read as load_many reads bytes."""
        u.size = len(data)
        try:
            with _core._Reader(memoryview(data)) as reader:
                u.layout = _layout.find(reader, u.size, u.name)
                table = u.table = _layout.fit(u.layout.table, u.size, False, u.name)[0]
                if self.opening:
                    if table.mini is not None:
                        u.heads = _arrays.read(reader, table, True)[1]
                elif (place := self._place(table, u.j)) is not None:
                    heads = numpy.empty(table.n * table.head, numpy.uint8) if table.head else None
                    reader.read_rows(table.offset, table.n, table.head, table.row, table.item, place, heads)
                    u.values, u.heads = place, heads
                elif self._single(table):
                    row = self.singles[u.j:u.j + 1]
                    reader.read_rows(table.offset, 1, 0, table.row, 4, row, None)
                    u.values = row
                else:
                    u.values, u.heads, _ = _arrays.read(reader, table, True)
        except FormatError as error:
            view = memoryview(data)
            self._fail(u, not_spectral(u.name, bytes(data[:SHOWN])) if _layout.looks_stray(view) else error)
            return
        self._arrived(u)

    def _place(self, table: _layout.Table, j: int) -> Any:
        """The place of the rows of file j, where every file's size was listed."""
        if not self.sized or not table.n or not table.points:
            return None
        dtype = _arrays.native_dtype(table.item)
        if self.places is None:
            self.places = _places.Places([u.size or 0 for u in self.urls], table.points, dtype)
        return self.places.rows(j, table.n, table.points, dtype)

    def _single(self, table: _layout.Table) -> bool:
        """Whether a single spectrum's values go to the row of its file: so
        where they have the point count of the first such file."""
        if table.n != 1 or table.item != 4 or table.head or not table.points:
            return False
        if self.singles is None:
            self.singles = numpy.empty((len(self.urls), table.points), numpy.float32)
        return bool(self.singles.shape[1] == table.points)

    def _fail(self, u: _Url, error: BaseException) -> None:
        if u.error is None:
            u.error = _named(error, u.name)
            u.rounds = u.first = u.values = u.heads = None
            self._arrived(u)

    def _arrived(self, u: _Url) -> None:
        if self.bar is not None:
            self.bar.update(1)

    # Sending.

    def _send(self, requests: list[_Request], came: Callable[[_Request, Any], None]) -> None:
        """Sends the requests of a round, each filesystem's together; `came`
        takes each answer (the bytes, the size, or the exception) as it comes."""
        groups: dict[int, list[_Request]] = {}
        for r in requests:
            groups.setdefault(id(r.url.fs), []).append(r)
        for group in groups.values():
            fs = group[0].url.fs
            if _exchanges(fs):
                limit = self.limit or fs.batch_size or _batch_size()
                _exchange(fs, group, came, len(group) if limit < 0 else limit)
            else:  # a filesystem without concurrent requests: one at a time, as its own cat_ranges goes
                for r in group:
                    if r.url.error is None:
                        came(r, _ask(fs, r))


def _exchanges(fs: Any) -> bool:
    """Whether the requests to `fs` go out together, on fsspec's I/O loop."""
    return bool(getattr(fs, "async_impl", False) and not getattr(fs, "asynchronous", False))


def _batch_size() -> int:
    from fsspec.asyn import _get_batch_size  # type: ignore[import-untyped, unused-ignore]
    return int(_get_batch_size(nofiles=True))


def _ask(fs: Any, r: _Request) -> Any:
    try:
        if r.start < 0:
            return fs.size(r.url.path)
        return fs.cat_file(r.url.path, start=r.start, end=r.end)
    except Exception as error:  # the file's own failure, whatever the filesystem calls it
        return error


def _exchange(fs: Any, requests: list[_Request], came: Callable[[_Request, Any], None], limit: int) -> None:
    """Sends the requests on fsspec's I/O loop, at most `limit` in flight,
    and hands each answer to `came` here, in the calling thread, as it
    comes: the loop goes on receiving meanwhile.  A request goes out only
    once an earlier answer has been taken in, so no more than `limit`
    answers are held at once.  Whatever ends the wait early (Ctrl-C, an
    error in `came`) cancels what is left, and the wait lasts until it has
    stopped: nothing of it runs once this returns."""
    import asyncio  # here: reading local files needs none of it

    loop = fs.loop
    try:
        running = asyncio.get_running_loop()
    except RuntimeError:
        running = None
    if running is loop:
        raise RuntimeError("load_many and open_many of URLs cannot run on fsspec's own I/O loop")
    answers: queue.SimpleQueue[tuple[_Request, Any] | None] = queue.SimpleQueue()  # None: the end
    done = threading.Event()
    task: list[asyncio.Future[None]] = []
    slots: list[asyncio.Semaphore] = []

    def hand(r: _Request) -> Callable[[memoryview, int, int], asyncio.Future[None]]:
        """What hands the blocks of r's stream to this thread, to be read
        into their rows here: the loop only receives."""

        def block(data: memoryview, first_row: int, rows: int) -> asyncio.Future[None]:
            taken: asyncio.Future[None] = loop.create_future()
            answers.put((r, _streams.Block(data, first_row, rows, taken)))
            return taken

        return block

    async def exchange() -> None:
        slots.append(asyncio.Semaphore(limit))
        pending = iter(requests)

        async def send() -> None:
            for r in pending:
                if r.url.error is not None:
                    continue  # a file that failed meanwhile
                await slots[0].acquire()
                try:
                    if r.start < 0:
                        got = await fs._size(r.url.path)
                    elif r.stream:
                        assert r.url.table is not None
                        got = await _streams.read(fs, r.url.path, r.url.size, r.start, r.url.table.stride, r.rows,
                                                  hand(r))
                    else:
                        got = await fs._cat_file(r.url.path, start=r.start, end=r.end)
                except Exception as error:  # the file's own failure, whatever the filesystem calls it
                    got = error
                answers.put((r, got))

        senders = [asyncio.ensure_future(send()) for _ in range(min(limit, len(requests)))]
        try:
            await asyncio.gather(*senders)
        finally:
            for sender in senders:
                sender.cancel()
            await asyncio.gather(*senders, return_exceptions=True)

    def finished(_: Any) -> None:
        done.set()
        answers.put(None)

    def start() -> None:
        task.append(asyncio.ensure_future(exchange()))
        task[0].add_done_callback(finished)

    loop.call_soon_threadsafe(start)
    try:
        while True:
            try:
                # In steps: a wait without a timeout cannot be interrupted on Windows.
                answer = answers.get(timeout=0.5)
            except queue.Empty:
                continue
            if answer is None:
                break
            r, got = answer
            block = got if isinstance(got, _streams.Block) else None
            try:
                if r.url.error is None:  # what was in flight for a file that failed is dropped
                    came(r, got)
            finally:
                if block is not None:  # the stream's buffer is free again, whatever came of it
                    loop.call_soon_threadsafe(_taken, block.taken)
            del answer, got
            if block is None:  # the next request goes out once an answer has been taken in
                loop.call_soon_threadsafe(slots[0].release)
    except BaseException:
        loop.call_soon_threadsafe(lambda: task[0].cancel())
        done.wait()
        raise
    error = task[0].exception()
    if error is not None:
        raise error


def _taken(future: Any) -> None:
    if not future.done():  # a stream cancelled meanwhile
        future.set_result(None)


def _named(error: BaseException, url: str) -> BaseException:
    """The error, naming the URL: an OSError that does not is made again,
    of its own type, with the URL as its file name."""
    url = str(url)
    if url in str(error):
        return error
    if isinstance(error, OSError):
        code = error.errno or {FileNotFoundError: errno.ENOENT, PermissionError: errno.EACCES}.get(type(error))
        try:
            named = type(error)(code or errno.EIO, error.strerror or str(error) or type(error).__name__, url)
        except Exception:  # a subclass of its own making
            named = None
        if named is not None and url in str(named):
            named.__cause__ = error
            return named
    error.add_note(f"while reading {url}")
    return error
