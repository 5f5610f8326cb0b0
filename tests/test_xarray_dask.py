"""Many files stacked with open_mfdataset on a dask.distributed cluster of
worker processes, against spectra.load of each file."""
import pickle

import numpy
import pytest

from open_files import HAVE_PROC, held
from quorinreader import spectra
from spectra_files import series
from wine import DASK_CLUSTER

xarray = pytest.importorskip("xarray")
distributed = pytest.importorskip("dask.distributed")

FILES, POINTS = 30, 16


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """Series of 1 to 5 spectra each, every value and title its own."""
    folder = tmp_path_factory.mktemp("series")
    for f in range(FILES):
        rows = [[f * 1000 + k * 100 + i + 0.5 for i in range(POINTS)] for k in range(1 + f % 5)]
        series(folder, rows, name=f"run{f:02}.spa", titles=[f"run {f}, spectrum {k}" for k in range(len(rows))],
               mini_header_type=3, first_x=4000.0, last_x=400.0)
    return folder


@pytest.fixture(scope="module")
def paths(folder):
    return sorted(str(p) for p in folder.glob("*.spa"))


@pytest.fixture(scope="module")
def client():
    # The dashboard on a free port: another cluster on the machine may hold
    # the default one, and the warning about it would fail the test.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address="127.0.0.1:0") as cluster, distributed.Client(cluster) as client:
        yield client


def open_all(paths):
    return xarray.open_mfdataset(paths, engine="quorinreader", combine="nested", concat_dim="spectrum",
                                 parallel=True)


@DASK_CLUSTER
def test_many_files_on_a_cluster(client, folder, paths):
    here = str(folder)
    with open_all(paths) as ds:
        # Opened on the workers: what came back holds paths, nothing open or mapped here.
        assert not HAVE_PROC or held(here) == []
        assert ds.spectra.chunks == (tuple(1 + f % 5 for f in range(FILES)), (POINTS,))
        assert ds.spectra.dtype == numpy.float32
        computed = client.compute(ds).result()  # read by the workers
        assert not HAVE_PROC or held(here) == []
    start = 0
    for path in paths:
        s = spectra.load(path)
        if start == 0:
            assert computed.attrs == vars(s.spectral_header)
        with s:
            part = computed.isel(spectrum=slice(start, start + len(s)))
            start += len(s)
            assert part.spectra.values.tobytes() == s.values.tobytes()
            assert part.title.values.tolist() == s.titles
            assert numpy.array_equal(part.x.values, s.x)
            for name in s.mini_headers.dtype.names:
                assert part[name].dtype == s.mini_headers.dtype[name], name
                assert part[name].values.tolist() == s.mini_headers[name].tolist(), name
    assert start == computed.sizes["spectrum"] == sum(1 + f % 5 for f in range(FILES))
    if HAVE_PROC:  # nor is anything left open or mapped on the workers
        assert client.run(held, here) == {worker: [] for worker in client.scheduler_info()["workers"]}


@DASK_CLUSTER
def test_the_graph_pickles_without_the_data(client, folder, paths):
    with open_all(paths) as ds:
        graph = dict(ds.__dask_graph__())
        # Plain pickle, as it goes to the workers: every object of the graph
        # holds a path and a layout, never a file, a mapping or the values.
        data = pickle.dumps(graph)
        assert all(path.encode() in data for path in paths)
        with spectra.load(paths[-1]) as last:
            assert not any(row.tobytes() in data for row in last.values)
        copy = pickle.loads(pickle.dumps(ds))
        assert not HAVE_PROC or held(str(folder)) == []
        with copy:  # read here, in this process: the file opened for each read, closed with it
            xarray.testing.assert_identical(copy.compute(scheduler="sync"), ds.compute(scheduler="sync"))
            assert not HAVE_PROC or held(str(folder)) == []
