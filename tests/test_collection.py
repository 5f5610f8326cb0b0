"""A Collection's rows: indexed, sliced, masked and selected by file; and
load_many's error where no file at all could be read."""
import os

import numpy
import pytest

import spectra_files as sf
from quorinreader import spectra


@pytest.fixture
def collection(tmp_path):
    """Two series of 3 spectra around two single spectra: 8 rows."""
    paths = [sf.series(tmp_path, name="r0.spa").path,
             sf.spectrum(tmp_path, values=[1.0, 2.0, 3.0, 4.0], name="s1.spa")[0],
             sf.spectrum(tmp_path, values=[5.0, 6.0, 7.0, 8.0], name="s2.spa")[0],
             sf.series(tmp_path, name="r3.spa", spectra=(numpy.asarray(sf.SPECTRA) + 10).tolist()).path]
    return spectra.load_many(paths, x="first")


def rows(c):
    return (numpy.asarray(c.values).tolist(), c.files, c.titles, c.headers["num_points"].tolist())


@pytest.mark.parametrize("key, picked", [
    (0, [0]), (-1, [7]), (numpy.int64(4), [4]),
    (slice(2, 6), [2, 3, 4, 5]), (slice(None, None, -3), [7, 4, 1]), (slice(9, 12), []),
    ([3, 0, 3], [3, 0, 3]), (numpy.array([-1, 1]), [7, 1]), ([], []), (numpy.array([], dtype=int), []),
    ([True, False] * 4, [0, 2, 4, 6]), (numpy.arange(8) > 5, [6, 7]),
])
def test_rows_are_picked_as_numpy_picks_them(collection, key, picked):
    part = collection[key]
    assert isinstance(part, spectra.Collection) and len(part) == len(picked)
    every = rows(collection)
    assert rows(part) == tuple([column[k] for k in picked] for column in every)
    assert numpy.array_equal(part.x, collection.x) and part.skipped == collection.skipped
    if len(picked) == 1:
        assert repr(part).startswith("<Collection: 1 spectrum of 4 points from 1 file, float32, ")
    assert part.mini_headers is None  # the files' layouts differ: none to pick from
    if isinstance(key, slice):  # a slice of a loaded matrix is a view, as NumPy's is
        assert part.values.base is collection.values or part.values.size == 0


@pytest.mark.parametrize("key, error, says", [
    (8, IndexError, "row 8 is out of range for a Collection of 8 rows"),
    ([0, -9], IndexError, "row -9 is out of range"),
    ([True, False], IndexError, "a boolean mask of shape (2,) does not fit a Collection of 8 rows"),
    (True, TypeError, "not a bool"),
    ([0.5], TypeError, "not an array of float64"),
    ("s1.spa", TypeError, "not an array of <U6"),
])
def test_a_bad_key_says_what_a_collection_takes(collection, key, error, says):
    with pytest.raises(error) as raised:
        collection[key]
    assert says in str(raised.value)


def test_sel_gives_a_files_rows(collection, tmp_path, monkeypatch):
    r0, s1, s2, r3 = dict.fromkeys(collection.files)
    assert rows(collection.sel(file=s2)) == rows(collection[[4]])
    assert rows(collection.sel(file=[r3, s1])) == rows(collection[[3, 5, 6, 7]])  # in the rows' order
    monkeypatch.chdir(tmp_path)
    assert rows(collection.sel(file=os.path.join(".", "r0.spa"))) == rows(collection[:3])  # the same file
    with pytest.raises(KeyError, match=r"nothing.spa: no row of the Collection is of that file; it holds 4 files: "):
        collection.sel(file="nothing.spa")


def test_a_lazy_collection_stays_lazy(tmp_path):
    pytest.importorskip("dask")
    paths = [sf.spectrum(tmp_path, values=[k, 2.0 * k], name=f"s{k}.spa")[0] for k in range(6)]
    c = spectra.open_many(paths, files_per_chunk=2)
    part = c[1:5][[True, False, True, True]]
    assert part.lazy and part.files == [paths[1], paths[3], paths[4]]
    assert part.values.compute().tolist() == [[1, 2], [3, 6], [4, 8]]
    assert part.sel(file=paths[3]).values.compute().tolist() == [[3, 6]]


def test_load_many_raises_where_no_file_could_be_read(tmp_path):
    stray = tmp_path / "figure.spa"
    stray.write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(400))
    missing = tmp_path / "gone.spa"
    sources = [str(stray), str(missing)] * 2
    with pytest.raises(spectra.FormatError) as raised:
        spectra.load_many(sources, on_error="skip")
    assert str(raised.value) == (
        f"none of the 4 files could be read: {stray}: not a spectral file: it starts with "
        f"b'\\x89PNG\\r\\n\\x1a\\n\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00'; [Errno 2] No such file or "
        f"directory: {str(missing)!r}; {stray}: not a spectral file: it starts with "
        f"b'\\x89PNG\\r\\n\\x1a\\n\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00'; and 1 more")
    assert len(spectra.load_many([], on_error="skip")) == 0  # nothing asked for is no error
    with pytest.raises(spectra.FormatError, match=r"^the one file could not be read: .*not a spectral file"):
        spectra.load_many([str(stray)], on_error="skip")
