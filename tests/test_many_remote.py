"""load_many and open_many over URLs, from servers on 127.0.0.1 that wait
before every answer: the requests each file costs, counted by the servers,
and the result against the local road over the same files."""
import collections
import gc
import pickle
import threading
import time
import warnings
from pathlib import Path
from types import SimpleNamespace

import numpy
import pytest

import spawriter as sw
from quorinreader import spectra
from quorinreader._many import files as _many, progress as _progress, streams as _streams, urls as _many_remote
from quorinreader._read import remote as _remote
from remote_servers import HttpServer, S3Server, aws_environment, dead_endpoint
from spectra_files import spectrum as spectrum_file

fsspec = pytest.importorskip("fsspec")

LATENCY = 0.01
BUCKET = "many-spectra"  # moto keeps its buckets for the process: not the one of test_remote
POINTS = 64
WHOLE = _many_remote.WHOLE


@pytest.fixture(scope="module", autouse=True)
def no_connection_left():
    yield
    for cls in fsspec.registry.values():
        cls.clear_instance_cache()
    gc.collect()


@pytest.fixture(scope="module")
def local(tmp_path_factory):
    """The files of the folder: single spectra, a small series, a series
    larger than a whole read, and one whose headers lie beyond the first
    read (behind two decoy blobs of 107 KiB), all on one X axis."""
    folder = tmp_path_factory.mktemp("run")
    files = {}
    for k in range(1, 7):
        path, _ = spectrum_file(folder, values=[k * 100.0 + i for i in range(POINTS)], name=f"s{k}.spa",
                                first_x=400.0, last_x=4000.0)
        files[f"s{k}.spa"] = path
    rows = numpy.arange(300 * POINTS, dtype=numpy.float32).reshape(300, POINTS) / 8
    files["t7.spa"] = sw.series_file(str(folder / "t7.spa"), list(rows), mini_header_type=3).path
    files["t8.spa"] = sw.series_file(str(folder / "t8.spa"), list(rows[:20] + 1), mini_header_type=3).path
    files["u9.spa"] = sw.series_file(str(folder / "u9.spa"), list(rows + 2), mini_header_type=3,
                                     section_number=2).path
    data = {name: Path(path).read_bytes() for name, path in files.items()}
    assert len(data["t7.spa"]) > WHOLE and len(data["t8.spa"]) <= WHOLE and len(data["s1.spa"]) <= WHOLE
    return SimpleNamespace(paths=files, data=data, names=list(files))


@pytest.fixture(scope="module")
def http_server(local):
    pytest.importorskip("aiohttp")
    server = HttpServer(latency=LATENCY)
    for name, data in local.data.items():
        server.put(f"run/{name}", data)
    server.put("run/notes.txt", b"not a spectrum")
    yield server
    server.stop()


@pytest.fixture(scope="module")
def s3_server(local):
    pytest.importorskip("s3fs")
    pytest.importorskip("moto.moto_server.werkzeug_app")
    import s3fs

    with pytest.MonkeyPatch.context() as env:
        for name, value in aws_environment(dead_endpoint()).items():
            env.setenv(name, value)
        server = S3Server()
        # An instance of its own, which the reads below do not use: theirs
        # is dropped after each test, with its connections.
        fs = s3fs.S3FileSystem(endpoint_url=server.endpoint, skip_instance_cache=True)
        fs.mkdir(BUCKET)
        for name, data in local.data.items():
            fs.pipe(f"{BUCKET}/run/{name}", data)
        fs.pipe(f"{BUCKET}/run/notes.txt", b"not a spectrum")
        server.latency = LATENCY
        server.fs = fs
        yield server
        server.stop()


@pytest.fixture(params=["http", "s3"])
def store(request):
    """Where the folder lies: its URL, the storage options, the server."""
    if request.param == "http":
        server = request.getfixturevalue("http_server")
        store = SimpleNamespace(kind="http", base=f"{server.url}/run/", options={}, server=server,
                                listed=False, prefix="/run/")
    else:
        server = request.getfixturevalue("s3_server")
        store = SimpleNamespace(kind="s3", base=f"s3://{BUCKET}/run/", options={"endpoint_url": server.endpoint},
                                server=server, listed=True, prefix=f"/{BUCKET}/run/")
    store.counter = server.counter
    yield store
    server.faults.clear()
    _forget_filesystems()


def _forget_filesystems():
    """Drops the filesystems fsspec keeps, their listings and their connections."""
    for cls in fsspec.registry.values():
        cls.clear_instance_cache()
    gc.collect()


def per_file(counter, prefix):
    """The requests the counter logged, by file name; those of no file (listings) under None."""
    counts = collections.Counter()
    for what, _ in counter.log:
        path = what.split()[1]
        name = path[len(prefix):] if path.startswith(prefix) else ""
        counts[name if name.endswith(".spa") else None] += 1
    return counts


def costs(local, names, listed, opening=False):
    """What each file costs: one request for a file of at most WHOLE bytes,
    and for any file where a listing gave every size and the files are
    loaded; else the first read, the size where no listing gave it, one
    more where the headers lie beyond the first read, and the spectra (one
    part here)."""
    out = {}
    for name in names:
        size = len(local.data[name])
        whole = size <= WHOLE or (listed and not opening)
        out[name] = 1 if whole else 2 + (not listed) + (name == "u9.spa")
    return out


def expected(local, names):
    return spectra.load_many([local.paths[name] for name in names])


def same_rows(got, want):
    assert len(got) == len(want)
    assert got.values.dtype == want.values.dtype and got.values.tobytes() == want.values.tobytes()
    assert got.headers.tobytes() == want.headers.tobytes()
    assert got.titles == want.titles
    assert [f.rsplit("/", 1)[1] for f in got.files] == [f.replace("\\", "/").rsplit("/", 1)[1] for f in want.files]


@pytest.mark.parametrize("how", ["folder", "glob", "list"])
def test_a_folder_a_glob_and_a_list_cost_a_request_or_a_few_per_file(store, local, how):
    names = local.names
    if how == "list":  # plain URLs, one of them missing
        names = names[:4] + ["missing.spa"] + names[4:]
        where = [store.base + name for name in names]
    else:
        where = store.base if how == "folder" else store.base + "*.spa"
    listed = store.listed and how != "list"
    present = [name for name in names if name != "missing.spa"]

    listing = 0
    if how != "list":
        store.counter.reset()
        listed_urls = _many.expand(where, store.options)
        listing = store.counter.take()[0]
        assert [_remote.listed_size(url) for url in listed_urls] == \
            [len(local.data[name]) if listed else None for name in present]
        _forget_filesystems()

    store.counter.reset()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the skipped file's warning
        got = spectra.load_many(where, storage_options=store.options, on_error="skip")
    counts = per_file(store.counter, store.prefix)
    want = costs(local, present, listed)
    if how == "list":
        want["missing.spa"] = 1
    assert {name: counts[name] for name in want} == want
    assert counts[None] == listing
    same_rows(got, expected(local, present))
    assert [source for source, _ in got.skipped] == ([where[4]] if how == "list" else [])
    if how == "list":
        message = got.skipped[0][1]
        assert where[4] in message
        _forget_filesystems()
        with pytest.raises(FileNotFoundError) as raised:
            spectra.load_many(where, storage_options=store.options)
        assert where[4] in str(raised.value)


def test_open_many_and_its_chunks_use_the_listed_sizes(store, local):
    store.counter.reset()
    lazy = spectra.open_many(store.base, storage_options=store.options, files_per_chunk=4)
    # The mini headers of a series lie among its spectra: they come too.
    want = costs(local, local.names, store.listed, opening=True)
    counts = per_file(store.counter, store.prefix)
    assert {name: counts[name] for name in local.names} == want
    assert lazy.lazy and len(lazy) == len(expected(local, local.names))
    assert lazy.titles == expected(local, local.names).titles
    assert all(_remote.listed_size(f) == (len(local.data[f.rsplit("/", 1)[1]]) if store.listed else None)
               for f in lazy.files)
    graph = pickle.dumps(dict(lazy.values.__dask_graph__()))
    assert (b"Listed" in graph) == store.listed
    _forget_filesystems()  # as on a worker: no listing kept, only the sizes the graph holds
    store.counter.reset()
    values = lazy.values.compute(scheduler="synchronous")
    assert values.tobytes() == expected(local, local.names).values.tobytes()
    # Each chunk reads its files as a load of the listed URLs does: no size asked again.
    counts = per_file(store.counter, store.prefix)
    assert {name: counts[name] for name in local.names} == costs(local, local.names, store.listed)
    assert any(what.startswith("HEAD") for what, _ in store.counter.log) == (not store.listed)


@pytest.mark.parametrize("kind", ["small", "large"])
def test_a_file_cut_short_is_named_as_load_names_it(store, local, kind):
    data = local.data["t8.spa" if kind == "small" else "t7.spa"]
    cut = data[:len(data) - 500]
    name = f"cut-{kind}.spa"
    url = _put(store, name, cut)
    try:
        with pytest.raises(spectra.FormatError) as alone:
            spectra.load(url, storage_options=store.options)
        assert str(alone.value).startswith(url + ": spectrum ")
        for where in ([url, store.base + "s1.spa"], [_remote.Listed(url, len(cut)), store.base + "s1.spa"]):
            with pytest.raises(spectra.FormatError) as raised:
                spectra.load_many(where, storage_options=store.options)
            _same_reason(raised.value, alone.value)
    finally:
        _delete(store, name)


def test_a_file_shorter_than_its_listing_said(store, local):
    """A file rewritten shorter after its folder was listed: its spectra come short."""
    data = local.data["t7.spa"]
    url = _put(store, "shrunk.spa", data[:len(data) - 500])
    try:
        stale = _remote.Listed(url, len(data))
        with pytest.raises(spectra.FormatError) as alone:
            spectra.load(stale, storage_options=store.options)
        with pytest.raises(spectra.FormatError) as raised:
            spectra.load_many([stale], storage_options=store.options)
        assert str(alone.value).startswith(url + ": spectrum ") and "the file ends" in str(alone.value)
        # The same spectrum; read whole, the file shows where it ends.
        many, reason = str(raised.value), str(alone.value)
        reason = reason[:reason.index("the file ends")]
        assert many.startswith(reason + f"the file ends at {len(data) - 500:,}; ")
        assert 'on_error="skip" leaves it out' in many
    finally:
        _delete(store, "shrunk.spa")


def test_listed_files_of_two_item_sizes_come_in_one_request_each(store, local, tmp_path):
    """Files whose sizes were listed come whole, one request each, however
    their rows fit together: a series of doubles among series and single
    spectra of floats gives the local road's matrix of doubles."""
    doubles = sw.series_file(str(tmp_path / "d.spa"), [numpy.arange(POINTS, dtype=float) + k for k in range(5)],
                             element_size=8).path
    data = Path(doubles).read_bytes()
    url = _put(store, "doubles.spa", data)
    try:
        names = ["t7.spa", "s1.spa", "u9.spa"]
        listed = [_remote.Listed(store.base + name, len(local.data[name])) for name in names]
        listed.insert(1, _remote.Listed(url, len(data)))
        store.counter.reset()
        got = spectra.load_many(listed, storage_options=store.options)
        want = spectra.load_many([local.paths["t7.spa"], doubles, local.paths["s1.spa"], local.paths["u9.spa"]])
        assert want.values.dtype == numpy.float64
        assert got.values.dtype == want.values.dtype and got.values.tobytes() == want.values.tobytes()
        assert got.headers.tobytes() == want.headers.tobytes()
        counts = per_file(store.counter, store.prefix)
        assert {name: counts[name] for name in names + ["doubles.spa"]} == dict.fromkeys(names + ["doubles.spa"], 1)
    finally:
        _delete(store, "doubles.spa")


def _same_reason(many, alone):
    """One of many files fails for the reason it fails alone, and the way out
    is the many files' own: leave it out, or read it alone with partial=True."""
    reason = str(alone).split("; partial=True")[0]
    assert reason != str(alone)
    assert str(many).startswith(reason + "; ") and 'on_error="skip" leaves it out' in str(many)


def _put(store, name, data):
    if store.kind == "http":
        return store.server.put(f"run/{name}", data)
    store.server.fs.pipe(f"{BUCKET}/run/{name}", data)
    return f"s3://{BUCKET}/run/{name}"


def _delete(store, name):
    if store.kind == "http":
        del store.server.files[f"/run/{name}"]
    else:
        store.server.fs.rm(f"{BUCKET}/run/{name}")


def test_a_refused_request_and_a_transient_failure(store, local):
    names = ["s1.spa", "s2.spa", "t7.spa", "s3.spa"]
    urls = [store.base + name for name in names]
    faults = store.server.faults
    faults.refused.add(store.prefix + "s2.spa")
    with pytest.raises(Exception) as raised:
        spectra.load_many(urls, storage_options=store.options)
    # As the filesystem raises it: s3fs's PermissionError, aiohttp's error of the status.
    assert isinstance(raised.value, PermissionError) if store.kind == "s3" else raised.value.status == 403
    assert urls[1] in str(raised.value)
    with pytest.warns(UserWarning, match="skipped 1 of 4 files"):
        got = spectra.load_many(urls, storage_options=store.options, on_error="skip")
    same_rows(got, expected(local, ["s1.spa", "t7.spa", "s3.spa"]))
    assert got.skipped == [(urls[1], str(raised.value))]

    # One failure that might pass: s3fs asks again, as it does for SlowDown;
    # fsspec's HTTP filesystem does not, and neither does load_many.
    faults.refused.clear()
    faults.failing[store.prefix + "t7.spa"] = 1
    store.counter.reset()
    if store.kind == "s3":
        same_rows(spectra.load_many(urls, storage_options=store.options), expected(local, names))
        assert per_file(store.counter, store.prefix)["t7.spa"] == 4  # the first read twice, the size, the values
    else:
        with pytest.warns(UserWarning, match="skipped 1 of 4"):
            got = spectra.load_many(urls, storage_options=store.options, on_error="skip")
        assert got.skipped[0][0] == urls[2] and "503" in got.skipped[0][1] and urls[2] in got.skipped[0][1]
        assert per_file(store.counter, store.prefix)["t7.spa"] == 1


def test_concurrency_is_bounded(store, local):
    urls = [store.base + name for name in local.names]
    store.counter.reset()
    spectra.load_many(urls, storage_options=store.options, max_concurrency=2)
    assert store.counter.most_busy <= 2
    # Answers slow enough that requests sent together are answered together,
    # even where the loop sends each slowly: asyncio's debug mode (-X dev)
    # under Wine spends about 30 ms on each, in os.stat calls of 1 ms.
    store.server.latency = 0.3
    store.counter.reset()
    try:
        spectra.load_many(urls, storage_options=store.options)
    finally:
        store.server.latency = LATENCY
    assert store.counter.most_busy > 2
    store.counter.reset()
    for bad in (0, -1, 1.5, True):
        for how in (spectra.load_many, spectra.open_many):
            with pytest.raises(ValueError, match="max_concurrency must be a positive int"):
                how(store.base, storage_options=store.options, max_concurrency=bad)
    assert store.counter.take() == (0, 0)  # refused before the folder is listed


def test_values_stream_a_block_at_a_time(store, local, monkeypatch):
    """One request brings a file's spectra, read through buffers of a few
    whole records: a BLOCK that is no multiple of a record, a BLOCK smaller
    than one (a record a block), the last block short, and the rows the
    same as the local road's."""
    with spectra.load(local.paths["t7.spa"]) as s:
        stride = s._table.stride
    seen = collections.defaultdict(list)
    read_rows = _many_remote._Run._read_rows

    def noted(self, u, data, first_row, rows):
        seen[u.name.rsplit("/", 1)[1]].append((len(data), first_row, rows))
        return read_rows(self, u, data, first_row, rows)

    monkeypatch.setattr(_many_remote._Run, "_read_rows", noted)
    names = ["t7.spa", "u9.spa"]
    for block, per in ((7 * stride + 5, 7), (stride - 1, 1)):
        monkeypatch.setattr(_streams, "BLOCK", block)
        seen.clear()
        store.counter.reset()
        got = spectra.load_many([store.base + name for name in names], storage_options=store.options)
        same_rows(got, expected(local, names))
        assert per_file(store.counter, store.prefix) == costs(local, names, listed=False)  # a list: no sizes
        for name in names:
            rows = [per] * (300 // per) + ([300 % per] if 300 % per else [])
            assert seen[name] == [(n * stride, k * per, n) for k, n in enumerate(rows)]
            if store.kind == "s3":  # a ranged GET of the spectra alone: no header read again
                assert [n for what, n in store.counter.log if what.split()[1].endswith(name)][-1] == 300 * stride


def test_values_come_in_parts_of_bounded_size(store, local, monkeypatch):
    """Where the filesystem's stream does not read as its ranged reads do,
    the spectra come in parts, each at most LOAD_PART bytes."""
    monkeypatch.setattr(_streams, "streams", lambda fs: False)
    monkeypatch.setattr(_many_remote, "LOAD_PART", 10_000)
    with spectra.load(local.paths["t7.spa"]) as s:
        stride = s._table.stride
    parts = -(-300 // (10_000 // stride))
    store.counter.reset()
    got = spectra.load_many(store.base + "t7.spa", storage_options=store.options)
    same_rows(got, expected(local, ["t7.spa"]))
    sent = [n for _, n in store.counter.log]
    assert len(sent) == 2 + parts  # the first read, the size, the parts
    assert sent[0] == WHOLE and max(sent[2:]) <= 10_000 and sum(sent[2:]) == 300 * stride


class Bar:
    """A progress bar that notes how many requests the server had answered at each update."""

    def __init__(self, counter, total):
        self.counter, self.total, self.seen = counter, total, []

    def update(self, n):
        self.seen.extend([self.counter.requests] * n)

    def close(self):
        pass


def test_progress_counts_files_as_they_arrive(store, local, monkeypatch):
    bars = {}
    monkeypatch.setattr(_progress, "bar", lambda progress, total, what: bars.setdefault(what, Bar(store.counter, total)))
    names = ["t7.spa", "s1.spa", "s2.spa", "u9.spa"]
    store.counter.reset()
    spectra.load_many([store.base + name for name in names], storage_options=store.options, progress=True)
    bar = bars["files"]
    assert bar.total == len(bar.seen) == 4
    # A file arrives when the last of its requests is answered: the singles
    # in the first round, each series after its spectra, the last of them
    # after every request (1 + 1 + 3 + 4).
    assert bar.seen[0] >= 1 and bar.seen[2] >= 7 and bar.seen[3] == 9 and bar.seen == sorted(bar.seen)


def test_no_thread_and_no_connection_is_left(store, local):
    psutil = pytest.importorskip("psutil")
    port = int((store.server.url if store.kind == "http" else store.server.endpoint).rsplit(":", 1)[1])

    def to_the_server():
        return {c.laddr for c in psutil.Process().net_connections("tcp") if c.raddr and c.raddr.port == port}

    def serving(thread):  # the servers' own threads, one per connection
        return thread.name.endswith("(process_request_thread)")

    spectra.load(store.base + "s1.spa", storage_options=store.options)  # fsspec's I/O thread, started once
    _forget_filesystems()
    before = set(threading.enumerate())
    kept = to_the_server()  # the test's own filesystem, which put the files there
    urls = [store.base + name for name in local.names] + [store.base + "missing.spa"]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the skipped file's warning
        for on_error in ("skip", "raise"):
            try:
                spectra.load_many(urls, storage_options=store.options, on_error=on_error)
            except FileNotFoundError:
                assert on_error == "raise"
    left = [t for t in set(threading.enumerate()) - before if not serving(t)]
    assert left == []
    _forget_filesystems()
    for _ in range(100):
        if to_the_server() <= kept:
            break
        time.sleep(0.05)
    assert to_the_server() - kept == set()


def test_a_listed_url_saves_load_and_open_a_request(store, local):
    by_name = {url.rsplit("/", 1)[1]: url for url in _many.expand(store.base, store.options)}
    _forget_filesystems()  # and the listing s3fs keeps, which would give the sizes too
    for name, plain, listed in (("s1.spa", 2, 1), ("t7.spa", 3, 2)):
        store.counter.reset()
        a = spectra.load(store.base + name, storage_options=store.options)
        assert store.counter.take()[0] == plain
        b = spectra.load(by_name[name], storage_options=store.options)
        assert store.counter.take()[0] == (listed if store.listed else plain)
        assert a.values.tobytes() == b.values.tobytes()
        with spectra.open(by_name[name], storage_options=store.options) as s:
            assert s.values.tobytes() == a.values.tobytes()


def test_a_filesystem_without_concurrent_requests(local):
    """memory:// answers one request at a time: the same rounds, in turn."""
    fs = fsspec.filesystem("memory")
    for name, data in local.data.items():
        fs.pipe(f"/qr-many/{name}", data)
    try:
        got = spectra.load_many("memory://qr-many/")
        same_rows(got, expected(local, local.names))
        lazy = spectra.open_many("memory://qr-many/*.spa", files_per_chunk=3)
        assert lazy.values.compute(scheduler="synchronous").tobytes() == got.values.tobytes()
        with pytest.raises(FileNotFoundError, match="memory://qr-many/nothing.spa"):
            spectra.load_many(["memory://qr-many/s1.spa", "memory://qr-many/nothing.spa"])
    finally:
        fs.rm("/qr-many", recursive=True)


class Interrupted(BaseException):
    """What Ctrl-C raises in the calling thread, while answers come."""


def test_an_interruption_stops_every_request(store, local, monkeypatch):
    urls = [store.base + name for name in local.names]
    taken = []

    def interrupt(self, r, got):
        taken.append(r)
        raise Interrupted

    monkeypatch.setattr(_many_remote._Run, "_first_came", interrupt)
    store.counter.reset()
    with pytest.raises(Interrupted):
        spectra.load_many(urls, storage_options=store.options, max_concurrency=2)
    time.sleep(5 * LATENCY)  # the server answers what was in flight, to a client that has gone
    sent = store.counter.requests
    time.sleep(20 * LATENCY)  # what was still queued would have gone out by now
    assert len(taken) == 1 and sent <= 2 and store.counter.requests == sent


def test_an_interruption_mid_stream_stops_the_stream(store, local, monkeypatch):
    """Ctrl-C while a file's spectra stream: the call ends at the first
    block, that block's buffer is let go, and the next call reads every
    file whole."""
    monkeypatch.setattr(_streams, "BLOCK", 1)  # a block a record: the stream is far from its end
    blocks = []
    part_came = _many_remote._Run._part_came

    def interrupt(self, r, got):
        if isinstance(got, _streams.Block):
            blocks.append(got)
            raise Interrupted
        return part_came(self, r, got)

    monkeypatch.setattr(_many_remote._Run, "_part_came", interrupt)
    with pytest.raises(Interrupted):
        spectra.load_many([store.base + "t7.spa", store.base + "s1.spa"], storage_options=store.options)
    assert len(blocks) == 1 and blocks[0].first_row == 0 and blocks[0].taken.done()
    monkeypatch.setattr(_many_remote._Run, "_part_came", part_came)
    same_rows(spectra.load_many([store.base + "t7.spa", store.base + "u9.spa"], storage_options=store.options),
              expected(local, ["t7.spa", "u9.spa"]))
