import inspect
import io
import os
import struct
from pathlib import Path
from types import SimpleNamespace

import pytest

import quorinreader as qr
import spawriter as sw
from host_open import FOLDER_ERROR

HEADER_NAMES = ["sti_id_string", "file_id", "hard_eof", "file_type", "version",
                "num_sections", "time", "ex_time", "sections"]
ENTRY_NAMES = ["section_type", "section_offset", "section_length", "index_unsigned",
               "index_long"]
U16, U32, U64 = 2**16 - 1, 2**32 - 1, 2**64 - 1


def entry_class(extended):
    return qr.IndexEntryExtended if extended else qr.IndexEntry


@pytest.fixture
def spa(tmp_path):
    """A single-spectrum file whose directory types are 3, 2, 300, 7, 300, 2."""
    first = sw.sample_values(sw.MAIN_SPECTRAL_HEADER)
    last = sw.sample_values(sw.MAIN_SPECTRAL_HEADER, seed=50)
    b = sw.SpaBuilder(file_type=sw.FT_IRDATA)
    b.add(3, b"\x01" * 8)
    # The stored length is never a limit on what a record reads.
    b.add(2, sw.main_spectral_header(**first), section_length=1)
    b.add(300, b"")
    b.add(7, sw.bench_info(bench_ID=77))
    b.add(300, b"")
    b.add(2, sw.main_spectral_header(**last))
    path = tmp_path / "single.spa"
    offsets = b.write(path)
    return SimpleNamespace(path=str(path), offsets=offsets, data=path.read_bytes(),
                           first=first, last=last)


@pytest.mark.parametrize("n", [0, 3])
@pytest.mark.parametrize("extended", [False, True])
def test_file_header_and_directory(tmp_path, extended, n):
    b = sw.SpaBuilder(extended=extended, file_id=b"file id \x01\xc3", hard_eof=b"\x00",
                      file_type=10, version=3, time=123456789, ex_time=987654321,
                      _pad=b"\xff", _reserved=0xFFFF)
    entries = [dict(section_type=t, section_offset=1000 * (i + 1), section_length=10 + i,
                    index_unsigned=20 + i, index_long=30 + i)
               for i, t in enumerate([2, 325, 300][:n])]
    for e in entries:
        b.add(e["section_type"], b"", offset=e["section_offset"],
              **{k: e[k] for k in ENTRY_NAMES[2:]})
    path = tmp_path / "h.spa"
    b.write(path)
    with open(path, "rb") as f:
        hdr = qr.FileHeader(f=f)
        assert f.tell() == 304 + (22 if extended else 16) * n
    assert list(vars(hdr)) == HEADER_NAMES
    signature = "Extended SPA file" if extended else "Spectral Data File"
    assert [getattr(hdr, k) for k in HEADER_NAMES[:-1]] == [
        signature, "file id \x01", b"\x00", 10, 3, n, 123456789, 987654321]
    assert type(hdr.sections) is list
    assert [type(e) for e in hdr.sections] == [entry_class(extended)] * n
    assert [list(vars(e).items()) for e in hdr.sections] == [list(e.items()) for e in entries]


@pytest.mark.parametrize("signature, extended", [
    (b"Extended", True),
    (b"Ex\xe9tended", True),
    (b"SPA Exte", True),
    (b"\x80" * 26 + b"Exte", True),
    (b"extended", False),
    (b"EXTENDED", False),
    (b"Spectral\x00Extended", False),
    (b"Ext\x00e", False),
    (b"", False),
])
def test_entry_layout_follows_signature_text(signature, extended):
    b = sw.SpaBuilder(signature=signature, extended=extended)
    b.add(300, b"", offset=2**40 + 5 if extended else 77)
    b.add(2, b"", offset=1234)
    # Trailing bytes so that a wrong layout misreads instead of running short.
    hdr = qr.FileHeader(io.BytesIO(b.build() + b"\x05" * 64))
    assert [type(e) for e in hdr.sections] == [entry_class(extended)] * 2
    assert [(e.section_type, e.section_offset) for e in hdr.sections] == [
        (300, 2**40 + 5 if extended else 77), (2, 1234)]


@pytest.mark.parametrize("extended", [False, True])
def test_unsigned_extremes(extended):
    b = sw.SpaBuilder(extended=extended, file_type=U16, version=U16, time=U32, ex_time=U32,
                      hard_eof=b"\xff")
    wide = U32 if extended else U16
    b.add(U16, b"", offset=U64 if extended else U32, section_length=U32,
          index_unsigned=wide, index_long=U32)
    hdr = qr.FileHeader(io.BytesIO(b.build()))
    assert [hdr.hard_eof, hdr.file_type, hdr.version, hdr.time, hdr.ex_time] == [
        b"\xff", U16, U16, U32, U32]
    assert vars(hdr.sections[0]) == dict(section_type=U16, section_offset=U64 if extended else U32,
                                         section_length=U32, index_unsigned=wide, index_long=U32)


@pytest.mark.parametrize("cls, spans", [
    ("IndexEntry", [(0, 2), (2, 6), (6, 10), (10, 12), (12, 16)]),
    ("IndexEntryExtended", [(0, 2), (2, 10), (10, 14), (14, 18), (18, 22)]),
])
def test_entry_field_offsets(cls, spans):
    raw = bytes(range(1, 23)) + b"tail"
    f = io.BytesIO(raw)
    entry = getattr(qr, cls)(f)
    assert f.tell() == spans[-1][1]
    assert isinstance(entry, qr.IndexEntry)
    assert list(vars(entry).items()) == [
        (name, int.from_bytes(raw[a:b], "little")) for name, (a, b) in zip(ENTRY_NAMES, spans)]


@pytest.mark.parametrize("extended", [False, True])
@pytest.mark.parametrize("keep", ["nothing", "303 bytes", "two of three entries",
                                  "all but one byte"])
def test_short_header_or_directory(tmp_path, fd_count, extended, keep):
    b = sw.SpaBuilder(extended=extended)
    for t in (2, 325, 300):
        b.add(t, b"", offset=5000)
    width = 22 if extended else 16
    size = {"nothing": 0, "303 bytes": 303, "two of three entries": 304 + 2 * width,
            "all but one byte": 304 + 3 * width - 1}[keep]
    data = b.build()[:size]
    with pytest.raises(struct.error):
        qr.FileHeader(io.BytesIO(data))
    path = tmp_path / "short.spa"
    path.write_bytes(data)
    before = fd_count()
    with pytest.raises(struct.error):
        qr.SPAFile(path)
    assert fd_count() == before


@pytest.mark.parametrize("kind", ["str", "bytes", "path"])
def test_spafile_keeps_filename(spa, kind):
    name = {"str": spa.path, "bytes": os.fsencode(spa.path), "path": Path(spa.path)}[kind]
    sp = qr.SPAFile(filename=name)
    assert sp.filename is name
    assert list(vars(sp)) == ["filename", "info"]
    assert type(sp.info) is qr.FileHeader and list(vars(sp.info)) == HEADER_NAMES
    assert sp.info.num_sections == 6
    assert sp.type is None
    assert vars(sp.read(1)) == spa.first


@pytest.mark.parametrize("t, first, every", [
    (300, 2, [2, 4]),
    (300.0, 2, [2, 4]),
    (2, 1, [1, 5]),
    (3, 0, [0]),
    (999, None, []),
])
def test_find_indextype(spa, t, first, every):
    sp = qr.SPAFile(spa.path)
    found = sp.find_indextype(t=t)
    assert found == first and type(found) is type(first)
    gen = sp.find_indextypes(t)
    assert inspect.isgenerator(gen)
    assert list(gen) == every


def test_find_indextypes_reads_sections_when_iterated(spa):
    sp = qr.SPAFile(spa.path)
    info, sp.info = sp.info, None
    broken = sp.find_indextypes(300)
    late = sp.find_indextypes(t=300)
    with pytest.raises(AttributeError):
        next(broken)
    sp.info = info
    assert list(late) == [2, 4]


def test_read_offset_record(spa, fd_count):
    sp = qr.SPAFile(spa.path)
    before = fd_count()
    a = sp.read_offset(qr.MainSpectralHeader, spa.offsets[5])
    b = sp.read_offset(rclass=qr.MainSpectralHeader, offset=spa.offsets[5])
    assert fd_count() == before
    assert type(a) is qr.MainSpectralHeader and a is not b
    assert vars(a) == vars(b) == spa.last


def test_read_offset_hands_over_an_open_binary_file(spa):
    sp = qr.SPAFile(spa.path)
    seen, result = {}, object()

    def rclass(f):
        seen.update(file=f, pos=f.tell(), head=f.read(8))
        return result

    assert sp.read_offset(rclass, spa.offsets[1]) is result
    f = seen["file"]
    assert isinstance(f, io.BufferedReader) and f.mode == "rb"
    assert (seen["pos"], seen["head"]) == (spa.offsets[1], spa.data[spa.offsets[1]:][:8])
    assert f.closed


def test_unopenable_paths(tmp_path):
    missing = str(tmp_path / "missing.spa")
    with pytest.raises(FileNotFoundError) as info:
        qr.SPAFile(missing)
    assert info.value.filename == missing
    with pytest.raises(FOLDER_ERROR) as info:
        qr.SPAFile(str(tmp_path))
    assert info.value.filename == str(tmp_path)


@pytest.mark.parametrize("read", [
    # A record class of the caller's, or a rebound read_string, never sees the handle.
    lambda sp, mp: sp.read_offset(qr.MainSpectralHeader, 0),
    lambda sp, mp: mp.setattr(qr, "read_string", lambda f, n: pytest.fail("called")) or qr.SPAFile(sp.filename),
    # An offset the host would refuse only after its open() refused the directory.
    lambda sp, mp: sp.read_offset(qr.MainSpectralHeader, -1),
    lambda sp, mp: sp.read_offset(qr.MainSpectralHeader, 1.5),
])
def test_a_directory_is_refused_before_anything_else(spa, tmp_path, monkeypatch, read):
    sp = qr.SPAFile(spa.path)
    sp.filename = str(tmp_path)
    with pytest.raises(FOLDER_ERROR) as info:
        read(sp, monkeypatch)
    assert info.value.filename == str(tmp_path)


def test_read_basic_info_rereads(spa):
    sp = qr.SPAFile(spa.path)
    old = sp.info
    b = sw.SpaBuilder(file_type=sw.FT_SERIES)
    b.add(325, b"")
    b.write(spa.path)
    assert sp.info is old and old.num_sections == 6
    assert sp.read_basic_info() is None
    assert sp.info is not old
    assert (sp.info.file_type, [e.section_type for e in sp.info.sections]) == (11, [325])


def test_read_by_index(spa, fd_count):
    sp = qr.SPAFile(spa.path)
    before = fd_count()
    a, b, last = sp.read(1), sp.read(index=1), sp.read(-1)
    assert fd_count() == before
    assert type(a) is qr.MainSpectralHeader and a is not b
    assert vars(a) == vars(b) == spa.first
    assert vars(last) == spa.last


def test_read_registry_errors(spa):
    sp = qr.SPAFile(spa.path)
    with pytest.raises(IndexError):
        sp.read(6)
    with pytest.raises(TypeError):
        sp.read(None)
    sp.filename = spa.path + ".gone"  # opening it would raise FileNotFoundError
    for index, code in [(0, 3), (3, 7)]:
        with pytest.raises(KeyError) as info:
            sp.read(index)
        assert info.value.args == (code,)


def test_read_uses_current_registry(spa, monkeypatch):
    monkeypatch.setitem(qr.TYPE_CLASS, 7, qr.BenchInfo)
    record = qr.SPAFile(spa.path).read(3)
    assert type(record) is qr.BenchInfo and record.bench_ID == 77
    assert qr.BenchInfo not in qr.CLASS_TYPE


def test_plain_methods_look_names_up_when_called(spa, monkeypatch):
    calls = []
    monkeypatch.setattr(qr, "TYPE_CLASS", {7: "seventh"})
    monkeypatch.setattr(qr.SPAFile, "read_offset", lambda self, rclass, offset: calls.append((rclass, offset)))
    monkeypatch.setattr(qr.SPAFile, "read_basic_info", lambda self: calls.append(self.filename))
    sp = qr.SPAFile(spa.path)
    sp.info = SimpleNamespace(sections=[SimpleNamespace(section_type=7, section_offset=99)])
    assert sp.read(0) is None and sp.find_indextype(7) == 0
    assert calls == [spa.path, ("seventh", 99)]
    for method in ("__init__", "find_indextype", "find_indextypes", "read"):
        assert getattr(qr.SPAFile, method).__qualname__ == f"SPAFile.{method}"
    assert qr.Series.__init__.__qualname__ == "Series.__init__"


def test_read_series_sections(tmp_path):
    info = sw.series_file(tmp_path / "series.spa", [[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]],
                          element_size=8, extended=True)
    sp = qr.SPAFile(info.path)
    header = sp.read(sp.find_indextype(325))
    array = sp.read(sp.find_indextype(300))
    assert type(header) is qr.SeriesHeader and type(array) is qr.DiskResidentArray
    assert (header.series_ID, header.max_spectra) == ("synthetic series", 3)
    assert (array.array_element_size, array.link.section_type, array.num_dimensions) == (8, 192, 1)


def test_registry():
    assert list(qr.TYPE_CLASS.items()) == [
        (2, qr.MainSpectralHeader), (325, qr.SeriesHeader), (300, qr.DiskResidentArray)]
    assert list(qr.CLASS_TYPE.items()) == [
        (qr.MainSpectralHeader, 2), (qr.SeriesHeader, 325), (qr.DiskResidentArray, 300)]
    assert type(qr.TYPE_CLASS) is dict and type(qr.CLASS_TYPE) is dict


@pytest.mark.parametrize("operation, error", [
    (lambda sp: qr.SPAFile(sp.filename), None),
    (lambda sp: sp.read_basic_info(), None),
    (lambda sp: sp.read(5), None),
    (lambda sp: sp.read_offset(qr.MainSpectralHeader, 0), None),
    (lambda sp: sp.read_offset(qr.MainSpectralHeader, 10**6), struct.error),
    (lambda sp: sp.read_offset(qr.MainSpectralHeader, sp.info.sections[5].section_offset + 100),
     struct.error),
    (lambda sp: sp.read_offset(lambda f: 1 / 0, 100), ZeroDivisionError),
    (lambda sp: qr.SPAFile(sp.filename + ".missing"), FileNotFoundError),
    (lambda sp: qr.SPAFile(os.path.dirname(sp.filename)), FOLDER_ERROR),
    (lambda sp: sp.read(0), KeyError),
])
def test_no_descriptor_stays_open(spa, fd_count, operation, error):
    sp = qr.SPAFile(spa.path)
    before = fd_count()
    if error is None:
        operation(sp)
    else:
        with pytest.raises(error):
            operation(sp)
    assert fd_count() == before
