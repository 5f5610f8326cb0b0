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
  and the cluster's workers afterwards.

While it runs, AWS credentials are dummies, every AWS endpoint points at a
loopback port where nothing listens, and the instance-metadata lookup is off,
here and in every worker; the S3 reads name the test server's endpoint in
storage_options.

Run after `pip install ".[test]"`:  python benchmarks/remote.py [--quick] [--rounds N]
"""

import argparse
import os
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
os.environ["DASK_LOGGING__DISTRIBUTED"] = "critical"  # the expected errors, not logged by every worker

import xarray  # noqa: E402
from xarray.core import indexing  # noqa: E402

import quorinreader  # noqa: E402
from quorinreader import spectra  # noqa: E402
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
    args = parser.parse_args()
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
    print(f"quorinreader {quorinreader.__file__}; NumPy {numpy.__version__}, xarray {xarray.__version__}")


if __name__ == "__main__":
    main()
