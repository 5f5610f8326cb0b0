"""The module reads natively where it can; what a caller sees must not change."""
import io
import os
import struct
import sys

import pytest

import quorinreader as qr
import spawriter as sw

SPECTRA = [[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]]


@pytest.fixture
def series_path(tmp_path):
    return sw.series_file(str(tmp_path / "series.spa"), SPECTRA).path


def stream(path):
    return list(qr.open_file(path).open_series())[1:]


def test_a_rebound_read_string_is_called_for_every_title(monkeypatch, series_path):
    titles = []

    def read_string(f, max_len):
        text = "<" + f.read(max_len).split(b"\0")[0].decode() + ">"
        if max_len == 64:
            titles.append((f.tell(), text))
        return text

    monkeypatch.setattr(qr, "read_string", read_string)
    items = stream(series_path)
    assert [(t["title"], v.tolist()) for t, v in items] == [
        (f"<spectrum {i}>", s) for i, s in enumerate(SPECTRA)]
    assert [text for _, text in titles] == [t["title"] for t, _ in items]
    assert len({position for position, _ in titles}) == 3


def test_a_rebound_decode_string_is_called_for_every_title(monkeypatch, series_path):
    monkeypatch.setattr(qr, "decode_string", lambda s: s[:3].decode())
    assert [t["title"] for t, _ in stream(series_path)] == ["spe"] * 3


def test_a_replaced_init_is_honoured(monkeypatch, series_path):
    def init(self, f):
        self.spec_title = f.read(96)[16:20].decode()

    monkeypatch.setattr(qr.SeriesSpecheader, "__init__", init)
    assert [t["title"] for t, _ in stream(series_path)] == ["spec"] * 3


@pytest.mark.parametrize("offset", [-1, 2**63, 1.5, None])
def test_bad_offsets_fail_as_with_a_file_object(series_path, offset):
    spa = qr.SPAFile(series_path)
    with pytest.raises(Exception) as python_file:
        spa.read_offset(lambda f: f.read(1), offset)
    with pytest.raises(type(python_file.value)) as native:
        spa.read_offset(qr.MainSpectralHeader, offset)
    assert str(native.value) == str(python_file.value)


def test_an_integer_is_not_taken_for_a_file_descriptor(fd_count):
    before = fd_count()
    with pytest.raises(TypeError):
        qr.SPAFile(0)
    assert fd_count() == before


def test_a_huge_point_count_is_refused_before_allocating(tmp_path):
    info = sw.series_file(str(tmp_path / "series.spa"), SPECTRA)
    data = bytearray(info.data)
    struct.pack_into("<I", data, info.blob_offset + 4, 2**32 - 1)  # num_points
    (tmp_path / "series.spa").write_bytes(data)
    g = qr.open_file(info.path).open_series()
    assert next(g)[0]["n"] == 2**32 - 1
    with pytest.raises(EOFError):
        next(g)


def test_stop_iteration_inside_a_sequence_becomes_runtime_error():
    class StandIn:
        def find_indextype(self, t):
            raise StopIteration

    g = qr.Series(StandIn()).open_series()
    with pytest.raises(RuntimeError, match="StopIteration"):
        next(g)


def test_a_running_sequence_cannot_be_reentered(monkeypatch, series_path):
    g = qr.open_file(series_path).open_series()
    next(g)
    native = g.gi_frame.f_locals["native"]
    errors = []

    def read_string(f, max_len):
        for step in (lambda: next(native), native.close):
            try:
                step()
            except ValueError as e:
                errors.append(str(e))
        return f.read(max_len).decode("ascii", "ignore")

    monkeypatch.setattr(qr, "read_string", read_string)
    assert next(g)[1].tolist() == SPECTRA[0]
    assert errors == ["generator already executing"] * 2


def test_native_file_handed_to_a_callable_reads_like_a_file(monkeypatch, series_path):
    seen = {}

    def read_string(f, max_len):
        start = f.tell()
        text = f.read(max_len)
        f.seek(start)
        seen["again"] = f.read(max_len) == text
        f.seek(0, io.SEEK_END)
        seen["size"] = f.tell()
        f.seek(start + max_len)
        return "x"

    monkeypatch.setattr(qr, "read_string", read_string)
    items = stream(series_path)
    assert [v.tolist() for _, v in items] == SPECTRA
    assert seen == {"again": True, "size": os.path.getsize(series_path)}


# Audit hooks cannot be removed: one hook for the module, switched on by `opened`.
_opening = []


def _audit(event, args):
    if event == "open" and _opening and args[0] == _opening[0]:
        _opening.append(args[0])


sys.addaudithook(_audit)


def opened(path, action):
    """How many times `action` opens `path`."""
    _opening[:] = [path]
    try:
        action()
        return len(_opening) - 1
    finally:
        _opening.clear()


def first_spectrum(path):
    items = qr.open_file(path).open_series()
    next(items)
    return next(items)


def test_a_series_is_reached_through_one_open_after_its_header(series_path):
    # One open reads the header and directory, one the whole pass.
    assert opened(series_path, lambda: first_spectrum(series_path)) == 2


def calls_of(monkeypatch, name):
    calls = []
    original = getattr(qr.SPAFile, name)

    def replaced(self, *args):
        calls.append(name)
        return original(self, *args)

    monkeypatch.setattr(qr.SPAFile, name, replaced)
    return calls


@pytest.mark.parametrize("name", ["__init__", "read_basic_info"])
def test_open_file_constructs_the_spa_file_through_its_methods(monkeypatch, series_path, name):
    calls = calls_of(monkeypatch, name)
    series = qr.open_file(series_path)
    assert calls == [name] and series.quorin_file.info.num_sections == 3


def test_a_method_swapped_for_another_name_fails_where_it_is_called(monkeypatch, series_path):
    monkeypatch.delattr(qr.SPAFile, "read_basic_info")
    monkeypatch.setattr(qr.SPAFile, "other", None, raising=False)  # the class keeps its size
    with pytest.raises(AttributeError, match="read_basic_info"):
        qr.open_file(series_path)


def test_a_path_object_is_asked_for_its_path_once_per_open(series_path):
    class Path:
        calls = 0

        def __fspath__(self):
            Path.calls += 1
            return series_path

    first_spectrum(Path())
    assert Path.calls == opened(series_path, lambda: first_spectrum(series_path)) == 2


@pytest.mark.parametrize("rebind, opens", [
    # Every read of the caller's own read() opens the file again, as read_offset does.
    (lambda mp: mp.setattr(qr.SPAFile, "read", lambda self, i: qr.SPAFile.read_offset(
        self, qr.TYPE_CLASS[self.info.sections[i].section_type], self.info.sections[i].section_offset)), 4),
    # A class of the caller's gets a file of its own; the sections after it share one handle.
    (lambda mp: mp.setitem(qr.TYPE_CLASS, 325, type("Header", (qr.SeriesHeader,), {})), 3),
])
def test_what_the_caller_rebound_opens_as_it_would(monkeypatch, series_path, rebind, opens):
    rebind(monkeypatch)
    header, values = first_spectrum(series_path)
    assert (header, values.tolist()) == ({"title": "spectrum 0"}, SPECTRA[0])
    assert opened(series_path, lambda: first_spectrum(series_path)) == opens


def count_calls(monkeypatch):
    calls = []
    original = qr.DiskResidentArray.read_linked_data

    def read_linked_data(self, file, n_spectra):
        calls.append(n_spectra)
        return original(self, file, n_spectra)

    monkeypatch.setattr(qr.DiskResidentArray, "read_linked_data", read_linked_data)
    return calls


class NoElements(qr.Dimension):
    num_elements = property(lambda self: 0, lambda self, value: None)


@pytest.mark.parametrize("rebind, valid_dims, calls", [
    (lambda mp: None, 1, None),
    # A method replaced in the class body is what the pass calls.
    (count_calls, 1, [3]),
    # A dimension class of the caller's is what valid_dims reads.
    (lambda mp: mp.setattr(qr, "Dimension", NoElements), 0, None),
])
def test_the_disk_resident_array_is_read_as_the_caller_bound_it(monkeypatch, series_path, rebind, valid_dims,
                                                                 calls):
    called = rebind(monkeypatch)
    items = list(qr.open_file(series_path).open_series())
    assert len(items[0][1]) == valid_dims
    assert [(t, v.tolist()) for t, v in items[1:]] == [({"title": f"spectrum {i}"}, s) for i, s in enumerate(SPECTRA)]
    assert called == calls


def test_a_changed_base_class_is_honoured(tmp_path):
    class Other(qr.SeriesSpecheader):
        def __init__(self, f):
            super().__init__(f)
            self.spec_title = "other"

    path = sw.series_file(str(tmp_path / "ver3.spa"), SPECTRA, mini_header_type=1).path
    qr.SeriesSpecheaderVer3.__bases__ = (Other,)
    try:
        assert [t["title"] for t, _ in stream(path)] == ["other"] * 3
    finally:
        qr.SeriesSpecheaderVer3.__bases__ = (qr.SeriesSpecheader,)
    assert [t["title"] for t, _ in stream(path)] == [f"spectrum {i}" for i in range(3)]


def test_changes_between_spectra_are_honoured(monkeypatch, series_path):
    items = qr.open_file(series_path).open_series()
    next(items)
    assert next(items)[0] == {"title": "spectrum 0"}
    monkeypatch.setattr(qr.SeriesSpecheader, "spec_title", property(lambda self: "property", lambda self, v: None),
                        raising=False)
    assert next(items)[0] == {"title": "property"}
    monkeypatch.undo()
    monkeypatch.setattr(qr, "read_string", lambda f, n: f"read {len(f.read(n))}")
    assert next(items)[0] == {"title": "read 64"}


def test_a_changed_point_count_is_read_for_the_next_spectrum(series_path):
    spa = qr.SPAFile(series_path)
    blob = spa.read(spa.find_indextype(300)).read_linked_data(spa, 3)
    header = next(blob)[qr.MainSpectralHeader]
    assert next(blob)[1].tolist() == SPECTRA[0]
    header.num_points = 1
    assert len(next(blob)[1]) == 1
    header.__dict__ = dict(vars(header), num_points=0)
    assert len(next(blob)[1]) == 0




def test_an_entry_swapped_for_a_property_is_honoured(monkeypatch, series_path):
    # One entry out and a property in: each class keeps its size and its methods.
    monkeypatch.delattr(qr.SeriesSpecheader, "__weakref__")
    monkeypatch.setattr(qr.SeriesSpecheader, "spec_title", property(lambda self: "property", lambda self, v: None),
                        raising=False)
    names = []
    monkeypatch.delattr(qr.SPAFile, "type")
    monkeypatch.setattr(qr.SPAFile, "filename", property(lambda self: series_path, lambda self, v: names.append(v)),
                        raising=False)
    assert [t["title"] for t, _ in stream(series_path)] == ["property"] * 3
    assert names == [series_path]
    monkeypatch.undo()
    assert [t["title"] for t, _ in stream(series_path)] == [f"spectrum {i}" for i in range(3)]


def test_an_entry_replaced_in_place_reads_the_same(monkeypatch, series_path):
    monkeypatch.setattr(qr.SPAFile, "type", property(lambda self: "changed"))
    monkeypatch.setattr(qr.SeriesSpecheader, "__weakref__", None)
    series = qr.open_file(series_path)
    assert series.quorin_file.type == "changed"
    assert [(t, v.tolist()) for t, v in stream(series_path)] == [({"title": f"spectrum {i}"}, s)
                                                                for i, s in enumerate(SPECTRA)]


@pytest.mark.parametrize("code, cls, missing", [
    (325, "MainSpectralHeader", "max_spectra"),  # a record of another fixed size in place of the series header
    (300, "SeriesHeader", "read_linked_data"),  # and in place of the disk-resident array
])
def test_a_section_read_as_another_of_the_modules_classes_fails_as_it_would(monkeypatch, series_path, code, cls,
                                                                            missing):
    monkeypatch.setitem(qr.TYPE_CLASS, code, getattr(qr, cls))
    with pytest.raises(AttributeError, match=missing):
        next(qr.open_file(series_path).open_series())
