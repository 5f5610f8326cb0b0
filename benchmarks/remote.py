"""Remote and lazy reads: requests, bytes and times, with servers on 127.0.0.1.

Writes a 20,000 x 1,800 float32 series (with 96-byte mini headers) into a
temporary directory, serves it from an HTTP server that serves byte ranges
and from moto's S3 server (both in this process, on loopback, counting the
requests they answer and the body bytes they send), and prints:

- one spectrum over S3 and over HTTP: open_dataset(url, engine="quorinreader",
  storage_options=...), then one spectrum's values: requests and bytes
  (targets: at most 3 requests, at most 64 KiB plus the spectrum);
- a whole-file spectra.load over S3 against fetching the object with a plain
  fs.cat in the same run (target: within 1.5x), alternated, medians;
- local engine reads against the mapped reads the engine made before: the
  same Dataset whose `spectra` is read through a memory map (a copy of the
  selection, as numpy.array(view[key])), kept for all reads as in the
  process that opened the file, or made for each read as in a pickled copy
  on a Dask worker; one spectrum (target within 1.2x) and a block of 1,000
  adjacent spectra (target: at least as fast), alternated, medians,
  page-cached;
- truncation: a file cut short under the engine, under spectra.load and under
  a Dask chunk on a LocalCluster of worker processes: the error in each case,
  and the cluster's workers afterwards;
- many files (--latency MS, 20 by default: both servers wait that long
  before every answer): what one request costs by its size (the threshold
  below which a file comes whole); then a folder of 2,000 single spectra
  and one of 50 series of 1,000 x 1,800 points, on each server:
  load_many(folder URL) against fsspec's own read of the same files (the
  folder listed with fs.ls, then fs.cat of its URLs: the whole bytes,
  concurrently), in turn, the order reversed every other round, medians of
  --rounds-many rounds, the listings forgotten before each; the servers
  run in a process of their own; a plain loop of spectra.load(url) over the first
  --loop-files files (scaled to the folder); the requests and bytes of each
  road; and over the 2,000 singles, open_many(folder).values.sum().compute()
  on a LocalCluster of 2 worker processes against load_many.  Targets: the
  singles within 1.5x of fs.cat with at most one request per file beyond
  the listing, the series within 1.5x with at most 3 requests per file plus
  one per part of values, open_many on the cluster within 2x of load_many.

While it runs, AWS credentials are dummies, every AWS endpoint points at a
loopback port where nothing listens, and the instance-metadata lookup is off,
here and in every worker; the S3 reads name the test server's endpoint in
storage_options.

Run after `pip install ".[test]"`:
    python benchmarks/remote.py [--quick] [--rounds N] [--only single|many] [--latency MS]
                                [--singles 2000] [--series 50] [--rounds-many 5] [--loop-files 200]
                                [--folders singles,series] [--no-cluster]
"""

import argparse
import gc
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

from remote_servers import HttpServer, S3Server, aws_environment, dead_endpoint  # noqa: E402

os.environ.update(aws_environment(dead_endpoint()))  # before anything reads the environment
# botocore's own retries, as a user has them: a connect that a loaded
# machine left waiting past s3fs's 5 s is tried again (the tests try once).
os.environ["AWS_MAX_ATTEMPTS"] = "3"
os.environ["DASK_LOGGING__DISTRIBUTED"] = "critical"  # the expected errors, not logged by every worker

import xarray  # noqa: E402
from xarray.core import indexing  # noqa: E402

import quorinreader  # noqa: E402
from quorinreader import spectra  # noqa: E402
from many import template  # noqa: E402
from stream import write_series  # noqa: E402

KiB = 1024


class MappedArray(xarray.backends.BackendArray):
    """The engine's read before it read by positioned reads: a copy of the selection out of a map."""

    def __init__(self, values):
        self.values = values
        self.shape, self.dtype = values.shape, values.dtype.newbyteorder("=")

    def __getitem__(self, key):
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.OUTER_1VECTOR,
                                                  self._read)

    def _read(self, key):
        return numpy.array(self.values[key], dtype=self.dtype)


class MappedPerReadArray(MappedArray):
    """The same in a pickled copy, as on a Dask worker: the file mapped for each read, unmapped after it."""

    def __init__(self, path, table):
        self.path, self.table = path, table
        self.shape, self.dtype = (table.n, table.points), numpy.dtype(numpy.float32)

    def _read(self, key):
        with quorinreader._Reader(self.path) as reader:
            mapping = reader.map()
        try:
            raw = numpy.frombuffer(mapping, numpy.uint8)
            t = self.table
            view = numpy.ndarray((t.n, t.points), "<f4", buffer=raw, offset=t.offset + t.head, strides=(t.stride, 4))
            out = numpy.array(view[key], dtype=self.dtype)
            del view, raw
        finally:
            mapping.close()
        return out


def mapped_datasets(path, ds):
    """`ds` with its spectra read through a map of `path` as the engine did:
    in the process that opened the file (one mapping, kept), and in a copy."""
    opened = spectra.open(path)
    kept, per_read = ds.copy(), ds.copy()
    kept["spectra"] = xarray.Variable(("spectrum", "x"), indexing.LazilyIndexedArray(MappedArray(opened.values)))
    per_read["spectra"] = xarray.Variable(("spectrum", "x"),
                                          indexing.LazilyIndexedArray(MappedPerReadArray(path, opened._table)))
    return opened, kept, per_read


def timed(fn, repeat):
    best = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        best.append(time.perf_counter() - t)
    return statistics.median(best)


def one_spectrum(name, url, options, counter, k, stride):
    counter.reset()
    with xarray.open_dataset(url, engine="quorinreader", storage_options=options) as ds:
        opened = counter.take()
        row = ds.spectra[k].values
        read = counter.take()
    requests, served = opened[0] + read[0], opened[1] + read[1]
    print(f"  {name}: open {opened[0]} requests {opened[1]:,} B, spectrum {k}: {read[0]} request "
          f"{read[1]:,} B; total {requests} requests (target <= 3), {served:,} B "
          f"(target <= 64 KiB + {stride:,} = {64 * KiB + stride:,} B) -> "
          f"{'met' if requests <= 3 and served <= 64 * KiB + stride else 'MISSED'}")
    return row


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="2,000 spectra instead of 20,000")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--only", choices=["single", "many"])
    parser.add_argument("--latency", type=float, default=20.0, help="ms each server waits before an answer (many files)")
    parser.add_argument("--singles", type=int, default=2000)
    parser.add_argument("--series", type=int, default=50)
    parser.add_argument("--rounds-many", type=int, default=5)
    parser.add_argument("--loop-files", type=int, default=200)
    parser.add_argument("--no-cluster", action="store_true")
    parser.add_argument("--folders", default="singles,series", help="the folders of the many-files case")
    args = parser.parse_args()
    print(f"{os.cpu_count()} CPUs; load average {' '.join(f'{x:.1f}' for x in os.getloadavg())}; "
          "machine shared with other work: times are noisy")
    if args.only != "many":
        single_file(args)
    if args.only != "single":
        many_files(args)
    print(f"quorinreader {quorinreader.__file__}; NumPy {numpy.__version__}, xarray {xarray.__version__}")


def single_file(args):
    count, points = (2_000 if args.quick else 20_000), 1_800
    folder = Path(tempfile.mkdtemp(prefix="quorin-remote-"))
    path = str(folder / "series.spa")
    write_series(path, count, points, 4)
    data = Path(path).read_bytes()
    with spectra.load(path) as local:
        expected, table = local.values, local._table
    stride = table.stride
    print(f"{count:,} x {points:,} float32, {len(data):,} bytes; spectra every {stride:,} bytes; "
          f"machine shared with other work: times are noisy")

    http, s3 = HttpServer(), S3Server()
    try:
        import s3fs

        options = {"endpoint_url": s3.endpoint}
        fs = s3fs.S3FileSystem(**options)
        fs.mkdir("bench")
        fs.pipe("bench/series.spa", data)
        s3_url = "s3://bench/series.spa"
        http_url = http.put("series.spa", data)

        print("One spectrum by ranged requests:")
        k = count // 2
        for name, url, opts, counter in (("S3", s3_url, options, s3.counter), ("HTTP", http_url, {}, http.counter)):
            row = one_spectrum(name, url, opts, counter, k, stride)
            assert row.tobytes() == expected[k].tobytes()

        print("Whole-file load over S3 against fs.cat (medians):")
        loads, cats = [], []
        for _ in range(max(3, args.rounds // 2)):
            t = time.perf_counter()
            got = spectra.load(s3_url, storage_options=options)
            loads.append(time.perf_counter() - t)
            assert got.values.tobytes() == expected.tobytes()
            del got
            fs.invalidate_cache()
            t = time.perf_counter()
            whole = fs.cat(s3_url)
            cats.append(time.perf_counter() - t)
            assert len(whole) == len(data)
            del whole
        load_t, cat_t = statistics.median(loads), statistics.median(cats)
        s3.counter.reset()
        spectra.load(s3_url, storage_options=options).close()
        requests, served = s3.counter.take()
        print(f"  load {load_t * 1e3:.0f} ms ({requests} requests, {served:,} B), fs.cat {cat_t * 1e3:.0f} ms: "
              f"{load_t / cat_t:.2f}x (target <= 1.5x) -> {'met' if load_t <= 1.5 * cat_t else 'MISSED'}")
    finally:
        http.stop()
        s3.stop()

    print("Local engine reads, positioned against mapped (medians, page-cached):")
    ds = xarray.open_dataset(path, engine="quorinreader")
    opened, kept, per_read = mapped_datasets(path, ds)
    rng = numpy.random.default_rng(1)
    ks = rng.integers(0, count, 64).tolist()
    block = slice(count // 3, count // 3 + 1000)
    for other in (kept, per_read):
        assert ds.spectra[ks[0]].values.tobytes() == other.spectra[ks[0]].values.tobytes() == expected[ks[0]].tobytes()
        assert ds.spectra[block].values.tobytes() == other.spectra[block].values.tobytes()
    for what, read, target in (("one spectrum", lambda d: [d.spectra[k].values for k in ks], 1.2),
                               ("1,000 adjacent spectra", lambda d: d.spectra[block].values, 1.0)):
        times = {"positioned": [], "kept map": [], "map per read": []}
        for _ in range(args.rounds):
            for name, d in (("positioned", ds), ("kept map", kept), ("map per read", per_read)):
                times[name].append(timed(lambda: read(d), 3))
        per = len(ks) if what == "one spectrum" else 1
        m = {name: statistics.median(t) / per for name, t in times.items()}
        n = m["positioned"]
        print(f"  {what}: positioned {n * 1e6:,.1f} us; mapped as in the opening process (one map, kept) "
              f"{m['kept map'] * 1e6:,.1f} us: {n / m['kept map']:.2f}x; mapped as in a pickled copy (a map per "
              f"read) {m['map per read'] * 1e6:,.1f} us: {n / m['map per read']:.2f}x (target <= {target}x)")
    ds.close()
    opened.close()

    print("Truncation:")
    cut = str(folder / "cut.spa")
    Path(cut).write_bytes(data)
    ds = xarray.open_dataset(cut, engine="quorinreader", chunks={"spectrum": count // 10})
    os.truncate(cut, len(data) // 2)
    for what, read in (("engine", lambda: xarray.open_dataset(cut, engine="quorinreader").spectra[-1].values),
                       ("engine, opened before the cut", lambda: ds.spectra[-1].values),
                       ("spectra.load", lambda: spectra.load(cut))):
        try:
            read()
            print(f"  {what}: no error -> MISSED")
        except spectra.FormatError as error:
            print(f"  {what}: FormatError: {error}")
    from dask import distributed

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0") as cluster, distributed.Client(cluster) as client:
        before = set(client.scheduler_info()["workers"])
        try:
            client.compute(ds.spectra).result()
            print("  Dask chunk on a LocalCluster: no error -> MISSED")
        except spectra.FormatError as error:
            print(f"  Dask chunk on a LocalCluster: FormatError: {error}")
        after = set(client.scheduler_info()["workers"])
        print(f"  workers before {len(before)}, after {len(after)}, the same: {before == after}")
    ds.close()


class Servers:
    """Both servers in a process of their own, as a store is: the reads
    measured here share no interpreter (and no GIL) with them."""

    def __init__(self):
        import multiprocessing

        context = multiprocessing.get_context("spawn")
        self.conn, theirs = context.Pipe()
        self.process = context.Process(target=serve, args=(theirs,), daemon=True)
        self.process.start()
        self.http_url, self.s3_endpoint = self.conn.recv()

    def call(self, *what):
        self.conn.send(what)
        got = self.conn.recv()
        if isinstance(got, BaseException):
            raise got
        return got

    def stop(self):
        self.call("stop")
        self.process.join()


def serve(conn):
    """The servers' process: answers the calls of Servers until "stop"."""
    http, s3 = HttpServer(), S3Server()
    servers = {"HTTP": http, "S3": s3}
    conn.send((http.url, s3.endpoint))
    while True:
        what, *args = conn.recv()
        try:
            if what == "stop":
                http.stop()
                s3.stop()
                conn.send(None)
                return
            if what == "put":
                got = [http.put(name, data) for name, data in args[0].items()]
            elif what == "latency":
                http.latency = s3.latency = args[0]
                got = None
            elif what == "take":
                got = servers[args[0]].counter.take()
            else:
                raise ValueError(what)
        except Exception as error:
            got = error
        conn.send(got)


class Counter:
    """The counter of one server of Servers."""

    def __init__(self, servers, name):
        self.servers, self.name = servers, name

    def reset(self):
        self.servers.call("take", self.name)

    def take(self):
        return self.servers.call("take", self.name)


class Store:
    """One server with its folders, read as a user of fsspec reads them."""

    def __init__(self, name, counter, fs, base, options):
        self.name, self.counter, self.fs, self.base, self.options = name, counter, fs, base, options

    def forget(self):
        """Drops the listings fsspec keeps: each round lists its folder afresh."""
        self.fs.invalidate_cache()


def many_stores(servers, folder_data):
    """The stores of the HTTP and S3 servers, each holding every folder of
    `folder_data` ({folder: {name: bytes}})."""
    import fsspec
    import s3fs

    options = {"endpoint_url": servers.s3_endpoint}
    fs = s3fs.S3FileSystem(**options)
    fs.mkdir("bench")
    for folder, files in folder_data.items():
        names = sorted(files)
        for start in range(0, len(names), 200):  # what one call carries, and moto takes at once
            part = {f"{folder}/{name}": files[name] for name in names[start:start + 200]}
            servers.call("put", part)
            fs.pipe({f"bench/{key}": data for key, data in part.items()})
    return [Store("HTTP", Counter(servers, "HTTP"), fsspec.filesystem("http"), f"{servers.http_url}/", {}),
            Store("S3", Counter(servers, "S3"), fs, "s3://bench/", options)]


def request_costs(servers, stores, latency):
    """The time of one request by the size it brings, one after another, medians."""
    sizes = [1, 8, 32, 64, 128, 256, 1024]
    data = bytes(range(256)) * (1024 * 4)
    servers.call("put", {f"sizes/{kib}.bin": data[:kib * 1024] for kib in sizes})
    for store in stores:
        if store.name == "S3":
            store.fs.pipe({f"bench/sizes/{kib}.bin": data[:kib * 1024] for kib in sizes})
        times = {}
        for kib in sizes:
            url = f"{store.base}sizes/{kib}.bin"
            times[kib] = timed(lambda: store.fs.cat_file(url, start=0, end=kib * 1024), 15)
        base = times[1]
        print(f"  {store.name}, one ranged GET at {latency:g} ms: " + ", ".join(
            f"{kib} KiB {t * 1e3:.1f} ms (+{(t - base) / base:.0%})" for kib, t in times.items()))


def many_files(args):
    from dask import distributed

    from quorinreader._many import urls as _many_remote

    latency = args.latency / 1000
    head, at = template(1800)
    singles = {f"s{k:05d}.spa": head[:at] + (numpy.arange(1800, dtype="<f4") + k).tobytes()
               for k in range(args.singles)}
    folder = Path(tempfile.mkdtemp(prefix="quorin-remote-many-"))
    series_path = str(folder / "series.spa")
    write_series(series_path, 1000, 1800, 4)
    one = Path(series_path).read_bytes()
    series = {f"r{k:03d}.spa": one for k in range(args.series)}
    local = folder / "singles"
    local.mkdir()
    for name, data in singles.items():
        (local / name).write_bytes(data)
    print(f"Many files ({latency * 1e3:g} ms before every answer; servers in a process of their own; files of "
          f"{len(head[:at]) + 7200:,} and {len(one):,} bytes; a file of at most {_many_remote.WHOLE // 1024} KiB "
          "comes whole):")
    servers = Servers()
    try:
        stores = many_stores(servers, {"singles": singles, "series": series})
        servers.call("latency", latency)
        request_costs(servers, stores, args.latency)
        expected = {"singles": spectra.load_many(str(local)).values}
        with spectra.load(series_path) as s:
            expected["series"] = numpy.concatenate([s.values] * args.series)
        for what, files in (("singles", singles), ("series", series)):
            if what not in args.folders.split(","):
                continue
            for store in stores:
                many_case(store, what, files, expected[what], args)
        del expected["series"]
        gc.collect()
        if not args.no_cluster and "singles" in args.folders.split(","):
            with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                          dashboard_address="127.0.0.1:0") as cluster, distributed.Client(cluster):
                for store in stores:
                    cluster_case(store, expected["singles"], args)
    finally:
        servers.stop()
        shutil.rmtree(folder, ignore_errors=True)


def many_case(store, what, files, expected, args):
    where = f"{store.base}{what}/"
    urls = [f"{where}{name}" for name in sorted(files)]
    n = len(files)

    # Each road gives back what it read; it is checked after its time is
    # taken, so that neither road's time holds the check (a compare of the
    # whole matrix costs as much as a fair part of the read).
    def ours():
        store.forget()
        return spectra.load_many(where, storage_options=store.options).values

    def theirs():
        store.forget()
        listed = store.fs.ls(where, detail=False)
        return store.fs.cat([store.fs.unstrip_protocol(u) for u in listed if u.endswith(".spa")])

    def check(name, got):
        if name == "load_many":
            assert numpy.array_equal(got, expected)
        else:
            assert sum(map(len, got.values())) == sum(map(len, files.values()))

    costs = {}
    for name, road in (("load_many", ours), ("fs.cat", theirs)):
        store.counter.reset()
        check(name, road())
        costs[name] = store.counter.take()
    times = {"load_many": [], "fs.cat": []}
    for name, road in abba((("load_many", ours), ("fs.cat", theirs)), args.rounds_many):
        gc.collect()
        t = time.perf_counter()
        got = road()
        times[name].append(time.perf_counter() - t)
        check(name, got)
        del got
    floor = ""
    if what == "series":
        floor = f"; the same rows assembled from the bytes in memory (a fresh matrix): {assembly(files):.2f} s"
    loop = min(n, args.loop_files)
    store.counter.reset()
    t = time.perf_counter()
    for url in urls[:loop]:
        spectra.load(url, storage_options=store.options).close()
    loop_time = (time.perf_counter() - t) * n / loop
    loop_cost = store.counter.take()
    ours_t, theirs_t = statistics.median(times["load_many"]), statistics.median(times["fs.cat"])
    listing = costs["fs.cat"][0] - n
    per_file = (costs["load_many"][0] - listing) / n
    target = 1.0 if what == "singles" else 3.0
    print(f"  {store.name}, {n:,} {what}: load_many {ours_t:.2f} s ({costs['load_many'][0]:,} requests, "
          f"{costs['load_many'][1] / 1e6:,.1f} MB), fs.ls + fs.cat {theirs_t:.2f} s ({costs['fs.cat'][0]:,} requests, "
          f"{costs['fs.cat'][1] / 1e6:,.1f} MB): {ours_t / theirs_t:.2f}x (target <= 1.5x) -> "
          f"{'met' if ours_t <= 1.5 * theirs_t else 'MISSED'}; rounds {fmt(times['load_many'])} against "
          f"{fmt(times['fs.cat'])}")
    print(f"    requests per file beyond the listing ({listing}): {per_file:.2f} (target <= {target:g}"
          f"{' + one per part of values' if what == 'series' else ''}); a loop of spectra.load(url): "
          f"{loop_time:.1f} s ({loop_cost[0] / loop:.1f} requests per file, over the first {loop:,} files, scaled)"
          f"{floor}")


def assembly(files):
    """What building the matrix costs with every file's bytes in memory:
    the rows of each read into one fresh matrix, as load_many reads its parts."""
    with spectra.load(next(iter(files.values()))) as first:
        table = first._table
    times = []
    for _ in range(3):
        gc.collect()
        t = time.perf_counter()
        matrix = numpy.empty((table.n * len(files), table.points), numpy.float32)
        heads = numpy.empty(table.n * table.head * len(files), numpy.uint8)
        for k, data in enumerate(files.values()):
            with quorinreader._Reader(memoryview(data)) as reader:
                rows, at = slice(k * table.n, (k + 1) * table.n), k * table.n * table.head
                reader.read_rows(table.offset, table.n, table.head, table.row, 4, matrix[rows],
                                 heads[at:at + table.n * table.head])
        times.append(time.perf_counter() - t)
        del matrix, heads
    return statistics.median(times)


def cluster_case(store, expected, args):
    where = f"{store.base}singles/"

    def lazy():
        store.forget()
        total = spectra.open_many(where, storage_options=store.options).values.sum().compute()
        assert total == expected.sum(dtype=expected.dtype)

    def eager():
        store.forget()
        spectra.load_many(where, storage_options=store.options).values.sum()

    lazy()  # the workers import and connect once
    times = {"open_many": [], "load_many": []}
    for name, road in abba((("open_many", lazy), ("load_many", eager)), args.rounds_many):
        t = time.perf_counter()
        road()
        times[name].append(time.perf_counter() - t)
    a, b = statistics.median(times["open_many"]), statistics.median(times["load_many"])
    print(f"  {store.name}, open_many(...).values.sum().compute() on a LocalCluster of 2 processes over "
          f"{len(expected):,} files: {a:.2f} s, load_many {b:.2f} s: {a / b:.2f}x (target <= 2x) -> "
          f"{'met' if a <= 2 * b else 'MISSED'}; rounds {fmt(times['open_many'])} against {fmt(times['load_many'])}")


def abba(roads, rounds):
    """The roads in turn, the order reversed every other round: what the
    road before freed shapes what the next one's memory costs (after
    fs.cat's many buffers, a fresh matrix waits for the kernel to gather
    huge pages), so neither road always follows the other."""
    for k in range(rounds):
        yield from (roads if k % 2 == 0 else roads[::-1])


def fmt(times):
    return "[" + " ".join(f"{t:.2f}" for t in times) + "]"


if __name__ == "__main__":
    main()
