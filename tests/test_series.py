"""open_file and Series.open_series."""
import inspect
import itertools
from pathlib import Path
from types import SimpleNamespace

import pytest

import quorinreader as qr
import spawriter as sw

SPECTRA = [[1.5, -2.0, 8.25], [0.5, 4.0, -16.0], [3.0, 2.5, 1.0]]


def write(tmp_path, spectra=SPECTRA, **knobs):
    return sw.series_file(str(tmp_path / "series.spa"), spectra, **knobs)


def values(items):
    return [data.tolist() for _, data in items]


@pytest.mark.parametrize("file_type", [sw.FT_IRDATA, sw.FT_GROUP, sw.FT_SERIES])
def test_open_file(tmp_path, monkeypatch, file_type):
    info = write(tmp_path, file_type=file_type)
    # Only the header and the directory may be read: the sections are cut off.
    Path(info.path).write_bytes(info.data[:304 + 3 * 16])
    opened = [qr.open_file(info.path), qr.open_file(filename=info.path)]
    monkeypatch.setattr(qr, "FT_SERIES", sw.FT_IRDATA if file_type == 11 else file_type)
    opened.append(qr.open_file(info.path))
    if file_type != sw.FT_SERIES:
        assert opened == [None] * 3
        return
    for series in opened:
        assert type(series) is qr.Series and list(vars(series)) == ["quorin_file"]
        assert type(series.quorin_file) is qr.SPAFile
        assert (series.quorin_file.filename, series.quorin_file.info.file_type) == (info.path, 11)


DIMS = [dict(first_dim=0, last_dim=99, scale_dim=0.5, num_elements=3),
        dict(first_dim=1, last_dim=2, scale_dim=4.0, num_elements=4),
        dict(first_dim=3, last_dim=7, scale_dim=0.25, num_elements=3)]


@pytest.mark.parametrize("extended, element_size, mini_hdr", [(False, 4, True), (True, 8, False)])
def test_items(tmp_path, extended, element_size, mini_hdr):
    info = write(tmp_path, extended=extended, element_size=element_size, mini_hdr=mini_hdr,
                 mini_header_type=3, bench_hdr=True, first_x=399.5, last_x=-12.25,
                 dimensions=DIMS)
    items = list(qr.open_file(info.path).open_series())
    assert len(items) == 1 + 3
    assert type(items[0]) is tuple and len(items[0]) == 2
    spectral_info, valid_dims = items[0]
    assert list(spectral_info.items()) == [("first", 399.5), ("last", -12.25), ("n", 3)]
    assert type(valid_dims) is list
    assert [list(d.items()) for d in valid_dims] == [
        [("first", 0.0), ("last", 49.5), ("n", 3)], [("first", 0.75), ("last", 1.75), ("n", 3)]]
    assert {type(d[k]) for d in valid_dims for k in ("first", "last")} == {float}
    for item, title in zip(items[1:], info.titles):
        assert type(item) is tuple and len(item) == 2
        assert item[0] == {"title": title if mini_hdr else None}
        assert item[1].typecode == {4: "f", 8: "d"}[element_size]
    assert values(items[1:]) == SPECTRA


@pytest.mark.parametrize("max_spectra", [0, 2])
def test_max_spectra_bounds_the_sequence(tmp_path, max_spectra):
    info = write(tmp_path, max_spectra=max_spectra)  # three spectra in the blob
    items = list(qr.open_file(info.path).open_series())
    last = max(max_spectra - 1, 0) * 0.5
    assert items[0][1] == [{"first": 0.0, "last": last, "n": max_spectra}]
    assert [(m["title"], d.tolist()) for m, d in items[1:]] == list(
        zip(info.titles, SPECTRA))[:max_spectra]


def retype(index):
    """Gives directory entry `index` a section type that nothing looks for."""
    at = 304 + 16 * index
    return lambda info: Path(info.path).write_bytes(info.data[:at] + b"\7\0" + info.data[at + 2:])


# The blob: spectral header 140 bytes, then per spectrum a 96-byte mini header and 3 values.
FAILURES = {
    "no series header": ({}, retype(0), 0, TypeError, None),
    "no disk-resident array": ({}, retype(1), 0, TypeError, None),
    "no spectral header": (dict(spectral_hdr=False), None, 0, KeyError, (qr.MainSpectralHeader,)),
    "external link": (dict(link_type=1), None, 0, RuntimeError,
                      ("Can not read linked external files.",)),
    "blob ends in a spectrum": ({}, lambda info: Path(info.path).write_bytes(
        info.data[:info.blob_offset + 140 + 2 * 108 + 100]), 3, EOFError, None),
}


@pytest.mark.parametrize("knobs, change, delivered, error, args", FAILURES.values(), ids=FAILURES)
def test_failures(tmp_path, fd_count, knobs, change, delivered, error, args, take_until_failure):
    info = write(tmp_path, **knobs)
    if change:
        change(info)
    series = qr.open_file(info.path)
    before = fd_count()
    items = take_until_failure(series.open_series(), delivered, error, args)
    assert fd_count() == before
    assert values(items[1:]) == SPECTRA[:max(delivered - 1, 0)]


def test_a_lazy_generator():
    stand_in = object()
    series = qr.Series(quorin_file=stand_in)
    assert series.quorin_file is stand_in
    g = series.open_series()
    assert inspect.isgenerator(g)
    assert (g.__name__, g.__qualname__) == ("open_series", "Series.open_series")
    with pytest.raises(AttributeError):
        next(g)
    with pytest.raises(StopIteration):
        next(g)


def test_sequences_are_independent(tmp_path):
    series = qr.open_file(write(tmp_path).path)
    a, b = series.open_series(), series.open_series()
    first = next(a)
    next(a)
    assert next(b) == first
    assert values([next(b), next(a)]) == SPECTRA[:2]
    assert len(list(a)) == 1 and len(list(b)) == 2


@pytest.mark.parametrize("how", ["exhaust", "close", "drop"])
def test_handle_released(tmp_path, fd_count, how):
    series = qr.open_file(write(tmp_path).path)
    before = fd_count()
    g = series.open_series()
    items = [next(g), next(g)]
    assert fd_count() == before + 1  # the blob's handle, held between items
    if how == "exhaust":
        items += list(g)
    elif how == "close":
        g.close()
    else:
        del g
    assert fd_count() == before
    assert values(items[1:]) == SPECTRA[:len(items) - 1]


@pytest.mark.parametrize("element_size, dtype", [(4, "float32"), (8, "float64")])
def test_numpy_shares_the_array_buffer(tmp_path, element_size, dtype):
    np = pytest.importorskip("numpy")
    info = write(tmp_path, element_size=element_size)
    _, (_, data) = itertools.islice(qr.open_file(info.path).open_series(), 2)
    view = np.frombuffer(data, dtype=dtype)
    assert view.tolist() == SPECTRA[0]
    data[0] = 7.5
    view[1] = -3.0
    assert (view[0], data[1]) == (7.5, -3.0)


def test_stand_in_quorin_file(tmp_path):
    info = write(tmp_path, section_number=1)
    real = qr.SPAFile(info.path)
    calls = []

    def logged(name):
        def call(arg):
            calls.append((name, arg))
            return getattr(real, name)(arg)
        return call

    stand_in = SimpleNamespace(
        find_indextype=logged("find_indextype"), read=logged("read"),
        find_indextypes=logged("find_indextypes"), info=real.info, filename=real.filename)
    items = list(qr.Series(stand_in).open_series())
    assert calls == [("find_indextype", 325), ("read", 0), ("find_indextype", 300),
                     ("read", 1), ("find_indextypes", 192)]
    assert [m["title"] for m, _ in items[1:]] == info.titles and values(items[1:]) == SPECTRA


class WalkCounted(list):
    walks = 0

    def __iter__(self):
        self.walks += 1
        return super().__iter__()


def test_a_pass_walks_the_directory_once(tmp_path):
    info = write(tmp_path, section_number=1, dimensions=DIMS)
    spa = qr.SPAFile(info.path)
    expected = list(qr.Series(spa).open_series())
    spa.info.sections = sections = WalkCounted(spa.info.sections)
    g = qr.Series(spa).open_series()
    assert next(g) == expected[0] and sections.walks == 1
    assert [(m, v.tolist()) for m, v in g] == [(m, v.tolist()) for m, v in expected[1:]]
    assert sections.walks == 1


class Header:
    spec_title = "caller's"


def unpacked_by_python(item):
    """The error this interpreter raises unpacking `item` as a header and its
    values and asking the header for its title (the wording differs between
    versions)."""
    try:
        header, _ = item
        header.spec_title
    except Exception as error:  # noqa: BLE001 - the error is the expected result
        return error
    raise AssertionError(f"{item!r} unpacks")


@pytest.mark.parametrize("items, expected", [
    # A header of None stands for a blob without mini headers; any other is asked for its title.
    ([(None, [1.0]), [Header(), [2.0]]], [({"title": None}, [1.0]), ({"title": "caller's"}, [2.0])]),
    ([(None, [1.0]), 5], unpacked_by_python(5)),
    ([(None, [1.0], 3)], unpacked_by_python((None, [1.0], 3))),
    ([(None,)], unpacked_by_python((None,))),
    ([(object(), [1.0])], unpacked_by_python((object(), [1.0]))),
])
def test_a_callers_blob_is_unpacked_as_python_unpacks_it(tmp_path, monkeypatch, items, expected):
    def read_linked_data(self, file, n_spectra):
        yield {qr.MainSpectralHeader: header}
        yield from items

    info = write(tmp_path)
    spa = qr.SPAFile(info.path)
    header = spa.read(spa.find_indextype(300)).read_linked_data(spa, 3).__next__()[qr.MainSpectralHeader]
    monkeypatch.setattr(qr.DiskResidentArray, "read_linked_data", read_linked_data)
    g = qr.open_file(info.path).open_series()
    assert next(g)[0] == {"first": header.first_x, "last": header.last_x, "n": header.num_points}
    if isinstance(expected, list):
        assert list(g) == expected
        return
    for _ in range(len(items) - 1):
        next(g)
    with pytest.raises(type(expected)) as raised:
        next(g)
    assert str(raised.value) == str(expected)
    assert list(g) == []  # the sequence ends with its error


def test_matching_dimensions_is_the_rule_the_series_reports(tmp_path):
    info = write(tmp_path, dimensions=DIMS)
    spa = qr.SPAFile(info.path)
    dims = spa.read(spa.find_indextype(300)).dimensions
    _, valid_dims = next(qr.Series(spa).open_series())
    pairs = qr._matching_dimensions(iter(dims), 3.0)  # equality, as the host compares
    assert [d for d, _ in pairs] == [dims[0], dims[2]]
    assert [extent for _, extent in pairs] == valid_dims
    stand_ins = [SimpleNamespace(**d) for d in DIMS]
    assert [d for d, _ in qr._matching_dimensions(stand_ins, 4)] == [stand_ins[1]]
    assert qr._matching_dimensions([], 3) == []
    with pytest.raises(AttributeError):
        qr._matching_dimensions([object()], 3)
