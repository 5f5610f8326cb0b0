"""Reads by ranged requests from servers on 127.0.0.1 (HTTP with byte
ranges, and moto's S3), counting the requests and bytes they serve, against
spectra.load of the same file on disk."""
import gc
import io
import os
import pickle
import sys
import threading
from types import SimpleNamespace

import numpy
import pytest

import spawriter as sw
from quorinreader import spectra
from remote_servers import HttpServer, S3Server, aws_environment, dead_endpoint
from spectra_files import same, spectrum as spectrum_file
from wine import DASK_CLUSTER

fsspec = pytest.importorskip("fsspec")
xarray = pytest.importorskip("xarray")

N, POINTS = 300, 64
FIRST_READ = 32 * 1024
BUCKET = "spectra"


@pytest.fixture(scope="module", autouse=True)
def no_connection_left():
    """Ends, with this module, the filesystems fsspec keeps and their
    connections, so that no socket of theirs closes later under another test."""
    yield
    for cls in fsspec.registry.values():
        cls.clear_instance_cache()
    gc.collect()


@pytest.fixture(scope="module")
def http_server():
    pytest.importorskip("aiohttp")
    server = HttpServer()
    yield server
    server.stop()


@pytest.fixture(scope="module")
def s3_server():
    pytest.importorskip("s3fs")
    pytest.importorskip("moto.moto_server.werkzeug_app")
    import s3fs

    with pytest.MonkeyPatch.context() as env:
        for name, value in aws_environment(dead_endpoint()).items():
            env.setenv(name, value)
        server = S3Server()
        options = {"endpoint_url": server.endpoint}
        fs = s3fs.S3FileSystem(**options)
        fs.mkdir(BUCKET)
        server.options, server.fs = options, fs
        yield server
        server.stop()


@pytest.fixture(params=["http", "s3"])
def store(request):
    """put(name, data) -> URL, the storage options, and the server's counter."""
    if request.param == "http":
        server = request.getfixturevalue("http_server")
        return SimpleNamespace(put=server.put, options={}, counter=server.counter)
    server = request.getfixturevalue("s3_server")

    def put(name, data):
        server.fs.pipe(f"{BUCKET}/{name}", bytes(data))
        return f"s3://{BUCKET}/{name}"

    return SimpleNamespace(put=put, options=server.options, counter=server.counter)


@pytest.fixture(scope="module")
def local(tmp_path_factory):
    rows = numpy.arange(N * POINTS, dtype=numpy.float32).reshape(N, POINTS) / 4
    info = sw.series_file(str(tmp_path_factory.mktemp("remote") / "series.spa"), list(rows), mini_header_type=3)
    with spectra.load(info.path) as s:
        info.stride = s._table.stride
        info.first = s._table.offset
    return info


def test_one_spectrum_is_one_ranged_request(store, local):
    url = store.put("one.spa", local.data)
    store.counter.reset()
    with xarray.open_dataset(url, engine="quorinreader", storage_options=store.options) as ds:
        # The size, then the header and the directory: two requests.
        requests, served = store.counter.take()
        assert requests == 2 and served <= FIRST_READ
        k = N - 10  # beyond the first read
        assert local.first + k * local.stride > FIRST_READ
        assert ds.spectra[k].values.tolist() == local.spectra[k].tolist()
        assert store.counter.take() == (1, local.stride)
        assert ds.isel(spectrum=[k, 3]).title.values.tolist() == [f"spectrum {k}", "spectrum 3"]


def test_adjacent_spectra_come_in_one_range(store, local):
    url = store.put("runs.spa", local.data)
    with spectra.load(local.path) as s, \
            xarray.open_dataset(url, engine="quorinreader", storage_options=store.options) as ds:
        store.counter.reset()
        assert ds.spectra[100:200].values.tobytes() == s.values[100:200].tobytes()
        assert store.counter.take() == (1, 100 * local.stride)
        # Out of order and repeated, near each other: still one range.
        picked = [250, 5, 130, 131, 5]
        assert ds.spectra[picked].values.tobytes() == s.values[picked].tobytes()
        assert ds.num_scans[picked].values.tolist() == s.mini_headers["num_scans"][picked].tolist()
        requests, served = store.counter.take()
        assert requests == 2 and served <= 2 * (250 - 5 + 1) * local.stride


def test_load_and_open_read_by_ranges(store, local):
    url = store.put("whole.spa", local.data)
    store.counter.reset()
    with spectra.load(url, storage_options=store.options) as loaded, spectra.load(local.path) as expected:
        # The size, the headers, then the spectra in one part.
        assert store.counter.take() == (3, FIRST_READ + N * local.stride)
        same(loaded, expected)
        assert loaded.source == url
        with spectra.open(url, storage_options=store.options) as opened:
            assert store.counter.take() == (2, FIRST_READ)
            assert "opened" in repr(opened)
            assert opened.values[7].tolist() == expected.values[7].tolist()  # all of it, at the first use
            assert store.counter.take() == (1, len(local.data))
            same(opened, expected)
            assert store.counter.take() == (0, 0)
            again = pickle.loads(pickle.dumps(opened))
            same(again, expected)


def test_a_dataset_pickles_as_its_url(store, local):
    url = store.put("pickled.spa", local.data)
    with xarray.open_dataset(url, engine="quorinreader", storage_options=store.options, chunks={"spectrum": 50}) as ds:
        data = pickle.dumps(ds)
        graph = pickle.dumps(dict(ds.__dask_graph__()))
        for what in (data, graph):
            assert url.encode() in what
            assert all(str(v).encode() in what for v in store.options.values())
            assert not any(row.tobytes() in what for row in numpy.float32(local.spectra[::50]))
        store.counter.reset()
        with pickle.loads(data) as copy:
            read = copy.compute(scheduler="sync")
            # One request per chunk of each variable read lazily (all but x
            # and the series axis t, which the headers give): the copy knows
            # the size, and has nothing cached.
            assert "t" in ds.coords
            lazy = len(ds.variables) - 2
            assert store.counter.take()[0] == lazy * (N // 50)
        xarray.testing.assert_identical(read, ds.compute(scheduler="sync"))
        # The original kept the first block of its headers: the first chunk lies in it.
        assert local.first + 50 * local.stride <= FIRST_READ
        assert store.counter.take()[0] == lazy * (N // 50 - 1)


def test_a_lost_storage_option_fails_here(s3_server, local):
    url = f"s3://{BUCKET}/lost.spa"
    s3_server.fs.pipe(url, local.data)
    s3_server.counter.reset()
    # Without the endpoint, the request goes to the AWS endpoint of the
    # environment: a loopback port where nothing listens.
    with pytest.raises(Exception, match="127.0.0.1"):
        spectra.load(url)
    assert s3_server.counter.take() == (0, 0)


class CountingFile(io.BytesIO):
    def __init__(self, data):
        super().__init__(data)
        self.reads = []

    def read(self, n=-1):
        got = super().read(n)
        self.reads.append(len(got))
        return got


def test_a_seekable_file_object_is_read_by_ranges(local):
    f = CountingFile(local.data)
    with xarray.open_dataset(f, engine="quorinreader") as ds:
        assert f.reads == [FIRST_READ]
        assert ds.spectra[N - 1].values.tolist() == local.spectra[N - 1].tolist()
        assert f.reads[1:] == [local.stride]
    f.reads.clear()
    with spectra.open(f) as s:
        assert f.reads == [FIRST_READ]
        assert s.values[3].tolist() == local.spectra[3].tolist()
        assert f.reads[1:] == [len(local.data)]
    with spectra.load(local.path) as expected, fsspec.open(f"file://{local.path}", "rb") as opened:
        same(spectra.load(opened), expected)


def test_a_file_object_that_cannot_seek_is_read_once(local):
    read, write = os.pipe()

    def feed():
        with open(write, "wb") as w:
            w.write(local.data[:60000])

    # A pipe holds 4 KiB on Windows: the bytes go in as the reader takes them.
    feeder = threading.Thread(target=feed)
    feeder.start()
    try:
        with open(read, "rb") as pipe, pytest.raises(spectra.FormatError, match="spectrum"):
            spectra.load(pipe)
    finally:
        feeder.join()


def test_a_url_without_fsspec_names_the_extra(monkeypatch, local):
    monkeypatch.setitem(sys.modules, "fsspec", None)
    for how in (spectra.load, spectra.open):
        with pytest.raises(ImportError, match=r"pip install 'quorinreader\[remote\]'"):
            how("s3://bucket/file.spa")
    with pytest.raises(ValueError, match="storage_options is for a URL"):
        spectra.load(local.path, storage_options={"anon": True})


@pytest.fixture(scope="module")
def client(s3_server):
    """Worker processes started while the test AWS environment is set: they inherit it."""
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0") as cluster, distributed.Client(cluster) as client:
        yield client


FILES = 30


@DASK_CLUSTER
def test_many_urls_on_a_cluster(client, s3_server, tmp_path):
    urls, expected = [], []
    for f in range(FILES):
        rows = [[f * 1000 + k * 100 + i + 0.5 for i in range(16)] for k in range(1 + f % 5)]
        info = sw.series_file(str(tmp_path / f"run{f:02}.spa"), rows, mini_header_type=3,
                              titles=[f"run {f}, spectrum {k}" for k in range(len(rows))])
        urls.append(f"s3://{BUCKET}/many/run{f:02}.spa")
        s3_server.fs.pipe(urls[-1], info.data)
        expected.append(spectra.load(info.path))
    env = client.run(lambda: {name: os.environ.get(name) for name in ("AWS_EC2_METADATA_DISABLED", "AWS_ENDPOINT_URL")})
    assert all(seen == {"AWS_EC2_METADATA_DISABLED": "true", "AWS_ENDPOINT_URL": os.environ["AWS_ENDPOINT_URL"]}
               for seen in env.values())
    s3_server.counter.reset()
    with xarray.open_mfdataset(urls, engine="quorinreader", storage_options=s3_server.options, parallel=True,
                               combine="nested", concat_dim="spectrum") as ds:
        # Opened on the workers: the size and one read of the headers each.
        requests, served = s3_server.counter.take()
        assert requests == 2 * FILES and served == sum(len(s3_server.fs.cat(url)) for url in urls)
        s3_server.counter.reset()
        assert "t" in ds.coords
        lazy = len(ds.variables) - 2  # all but x and the series axis t, which the headers give
        computed = client.compute(ds).result()
    assert computed.spectra.values.tobytes() == numpy.concatenate([s.values for s in expected]).tobytes()
    assert computed.title.values.tolist() == [t for s in expected for t in s.titles]
    assert computed.num_scans.values.tolist() == [n for s in expected for n in s.mini_headers["num_scans"]]
    # One request per file for each variable read lazily, on the workers.
    assert s3_server.counter.take()[0] == lazy * FILES
    for s in expected:
        s.close()


@DASK_CLUSTER
def test_a_truncated_file_on_a_cluster(client, tmp_path):
    rows = numpy.arange(40 * 16, dtype=numpy.float32).reshape(40, 16)
    info = sw.series_file(str(tmp_path / "cut.spa"), list(rows))
    workers = set(client.scheduler_info()["workers"])
    with xarray.open_dataset(info.path, engine="quorinreader", chunks={"spectrum": 10}) as ds:
        with spectra.load(info.path) as whole:
            stride = whole._table.stride
        os.truncate(info.path, len(info.data) - 12 * stride - 1)  # 27 spectra left whole
        assert client.compute(ds.spectra[:10]).result().values.tolist() == rows[:10].tolist()
        with pytest.raises(spectra.FormatError, match=r"cut\.spa: spectrum 28 of 40 needs [0-9]+ bytes at offset [0-9,]+, the file ends at"):
            client.compute(ds.spectra[20:30]).result()
    assert set(client.scheduler_info()["workers"]) == workers


def test_headers_beyond_the_first_read_take_one_more(store):
    # Two decoy blobs of 107 KiB first: the real blob's headers lie far beyond the first read.
    rows = [[float(k * POINTS + i) for i in range(POINTS)] for k in range(N)]
    info = sw.series_file("/dev/null", rows, mini_header_type=3, section_number=2)
    assert info.blob_offset > 2 * 100 * 1024
    url = store.put("far.spa", info.data)
    store.counter.reset()
    with spectra.open(url, storage_options=store.options) as s:
        requests, served = store.counter.take()
        assert requests == 3 and served <= FIRST_READ + 4096
        assert s.values[N - 1].tolist() == rows[-1]


class ShrunkFile(io.BytesIO):
    """A file object whose size says more than it holds: it shrank after the size was asked."""

    def seek(self, offset, whence=0):
        return super().seek(offset, whence) + (10_000_000 if whence == 2 else 0)


@pytest.mark.parametrize("kept, error", [
    (1600, "main spectral header of the data blob needs 140 bytes at offset 1,514, the file ends at 10,001,600"),
    (FIRST_READ + 100, "spectrum 88 of 300 needs 356 bytes at offset 32,626, the file ends")])
def test_a_source_shorter_than_its_size_is_an_error(local, kept, error):
    for how in (spectra.load, spectra.open):
        with pytest.raises(spectra.FormatError, match=error):
            how(ShrunkFile(local.data[:kept])).values


def test_load_many_mixes_urls_with_local_files(store, local, tmp_path):
    single, _ = spectrum_file(tmp_path, values=list(range(POINTS)), first_x=400.0, last_x=4000.0)
    url = store.put("many.spa", local.data)
    grid = numpy.linspace(400, 4000, 9)
    c = spectra.load_many([url, single], x=grid, storage_options=store.options)
    expected = spectra.load_many([local.path, single], x=grid)
    assert list(c.files) == [url] * N + [single] and list(c.titles) == list(expected.titles)
    assert len(c) == N + 1 and not numpy.isnan(c.values).all()
    assert c.values.tobytes() == expected.values.tobytes()
    assert c.headers.tobytes() == expected.headers.tobytes()


def test_open_many_reads_urls_where_dask_computes(store, local, tmp_path):
    single, _ = spectrum_file(tmp_path, values=list(range(POINTS)), first_x=400.0, last_x=4000.0)
    url = store.put("lazy-many.spa", local.data)
    grid = numpy.linspace(400, 4000, 9)
    store.counter.reset()
    lazy = spectra.open_many([url, single], x=grid, files_per_chunk=1, storage_options=store.options)
    assert lazy.lazy and store.counter.take()[0] > 0 and list(lazy.files) == [url] * N + [single]
    expected = spectra.load_many([local.path, single], x=grid)
    assert lazy.values.compute(scheduler="synchronous").tobytes() == expected.values.tobytes()
    assert store.counter.take()[0] > 0  # the chunk read the URL again, with the options



@pytest.mark.parametrize("where", ["s3://{bucket}/run/", "s3://{bucket}/run/s*.spa"], ids=["folder", "glob"])
def test_a_folder_or_glob_in_a_bucket(s3_server, tmp_path, where):
    names = ["s10.spa", "s2.spa", "S3.SPA"]
    local = []
    for k, name in enumerate(names):
        path, _ = spectrum_file(tmp_path, values=[float(k)] * POINTS, name=name)
        s3_server.fs.put(path, f"{BUCKET}/run/{name}")
        local.append(path)
    s3_server.fs.pipe(f"{BUCKET}/run/notes.txt", b"not a spectrum")
    s3_server.fs.pipe(f"{BUCKET}/run/deeper/s1.spa", b"not read: folders are not walked")
    c = spectra.load_many(where.format(bucket=BUCKET), storage_options=s3_server.options)
    order = [1, 2, 0] if "*" not in where else [1, 0]  # natural order; the glob's "s*" leaves out S3.SPA
    assert list(c.files) == [f"s3://{BUCKET}/run/{names[k]}" for k in order]
    assert c.values.tobytes() == spectra.load_many([local[k] for k in order]).values.tobytes()
    lazy = spectra.open_many(where.format(bucket=BUCKET), storage_options=s3_server.options)
    assert lazy.values.compute(scheduler="synchronous").tobytes() == c.values.tobytes()


@pytest.mark.parametrize("where, message", [
    ("s3://{bucket}/empty/", "the folder holds no file whose name ends in .spa"),
    ("s3://{bucket}/empty/*.spa", "the pattern matches no file")])
def test_an_empty_folder_or_glob_in_a_bucket(s3_server, where, message):
    s3_server.fs.pipe(f"{BUCKET}/empty/notes.txt", b"not a spectrum")
    with pytest.raises(FileNotFoundError, match=message):
        spectra.load_many(where.format(bucket=BUCKET), storage_options=s3_server.options)
