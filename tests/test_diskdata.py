"""DiskResidentArray.read_linked_data: streaming the data blob of a series file."""
import array
import inspect
import itertools
import os
import struct
from pathlib import Path
from types import SimpleNamespace

import pytest

import quorinreader as qr
import spawriter as sw

F32 = [[0.5, -2.25, 1024.125], [3.0, 2.0**-20, -7.75]]
# None of these survives a round trip through binary32.
F64 = [[0.1, 1e300, -1 / 3], [2.0**-1070, 3.141592653589793, 1 + 2.0**-40]]


def series(tmp_path, spectra=F32, **knobs):
    """Writes a series file; returns its description, its SPAFile and its disk-resident array."""
    info = sw.series_file(str(tmp_path / "series.spa"), spectra, **knobs)
    sp = qr.SPAFile(info.path)
    return info, sp, sp.read(sp.find_indextype(300))


def values(items):
    return [data.tolist() for _, data in items]


@pytest.mark.parametrize("element_size, mini_header_type, mini_hdr", [
    (4, 0, True), (8, 3, True), (8, 0, False)])
def test_items(tmp_path, element_size, mini_header_type, mini_hdr):
    spectra = F64 if element_size == 8 else F32
    info, sp, da = series(tmp_path, spectra, element_size=element_size, mini_hdr=mini_hdr,
                          mini_header_type=mini_header_type, first_x=399.5, last_x=-12.25)
    items = list(da.read_linked_data(sp, len(spectra)))
    assert len(items) == 1 + len(spectra)
    headers = items[0]
    assert type(headers) is dict and list(headers) == [qr.MainSpectralHeader]
    msh = headers[qr.MainSpectralHeader]
    assert (msh.num_points, msh.first_x, msh.last_x) == (3, 399.5, -12.25)
    mini_class = qr.SeriesSpecheaderVer3 if mini_header_type else qr.SeriesSpecheader
    for i, item in enumerate(items[1:]):
        assert type(item) is tuple and len(item) == 2
        hdr, data = item
        assert type(data) is array.array and data.typecode == {4: "f", 8: "d"}[element_size]
        if mini_hdr:
            assert type(hdr) is mini_class
            assert (hdr.num_scans, hdr.spec_title) == (i + 1, info.titles[i])
            assert getattr(hdr, "direction", "absent") == (i if mini_header_type else "absent")
        else:
            assert hdr is None
    assert values(items[1:]) == spectra


@pytest.mark.parametrize("spectral_hdr, bench_hdr", [(False, False), (False, True), (True, True)])
def test_headers_dict_holds_the_flagged_records(tmp_path, spectral_hdr, bench_hdr):
    bench = sw.sample_values(sw.BENCH_INFO)
    info, sp, da = series(tmp_path, spectral_hdr=spectral_hdr, bench_hdr=bench_hdr, bench=bench)
    items = list(da.read_linked_data(sp, 2 if spectral_hdr else 0))
    keys = [qr.MainSpectralHeader] * spectral_hdr + [qr.BenchInfo] * bench_hdr
    assert list(items[0]) == keys
    if bench_hdr:  # at the blob's first byte, or right after the spectral header
        assert vars(items[0][qr.BenchInfo]) == bench
    # The spectra start right after the bench record.
    assert values(items[1:]) == (F32 if spectral_hdr else [])


def cut_blob(n):
    return lambda info, da: Path(info.path).write_bytes(info.data[:info.blob_offset + n])


# Blob layout of these files: spectral header 0..140, bench 140..196, spectrum 0 at
# 196 (mini header 96 bytes, 3 values of 4 bytes), spectrum 1 at 304, its values at 400.
FAILURES = {
    "external link": (dict(link_type=1), None, 0, RuntimeError,
                      ("Can not read linked external files.",)),
    "too few blob sections": ({}, lambda info, da: setattr(da.link, "section_number", 1), 0,
                              IndexError, None),
    "element size 2": (dict(array_element_size=2), None, 0, KeyError, (2,)),
    "ends in spectral header": ({}, cut_blob(70), 0, struct.error, None),
    "ends in bench info": ({}, cut_blob(160), 0, struct.error, None),
    "ends in mini header": ({}, cut_blob(350), 2, struct.error, None),
    "ends before the values": ({}, cut_blob(400), 2, EOFError, None),
    "ends on a value boundary": ({}, cut_blob(404), 2, EOFError, None),
    "ends inside a value": ({}, cut_blob(406), 2, EOFError, None),
    "no spectral header": (dict(spectral_hdr=False), None, 1, RuntimeError,
                           ("Can not read spectra without a spectral header.",)),
}


@pytest.mark.parametrize("knobs, change, delivered, error, args", FAILURES.values(), ids=FAILURES)
def test_failures(tmp_path, fd_count, knobs, change, delivered, error, args, take_until_failure):
    info, sp, da = series(tmp_path, bench_hdr=True, **knobs)
    if change:
        change(info, da)
    before = fd_count()
    items = take_until_failure(da.read_linked_data(sp, len(F32)), delivered, error, args)
    assert fd_count() == before
    assert values(items[1:]) == F32[:max(delivered - 1, 0)]


@pytest.mark.parametrize("element_size, error", [(2, KeyError), (4, FileNotFoundError)])
def test_element_size_is_checked_before_opening(tmp_path, fd_count, element_size, error):
    info, sp, da = series(tmp_path, array_element_size=element_size)
    elsewhere = SimpleNamespace(find_indextypes=sp.find_indextypes, info=sp.info,
                                filename=str(tmp_path / "missing.spa"))
    before = fd_count()
    with pytest.raises(error):
        next(da.read_linked_data(elsewhere, 1))
    assert fd_count() == before


def test_stand_in_file(tmp_path):
    info, sp, da = series(tmp_path, section_number=1)
    asked = []

    def find_indextypes(t):
        asked.append(t)
        yield from sp.find_indextypes(t)

    sections = [SimpleNamespace(section_offset=e.section_offset) for e in sp.info.sections]
    stand_in = SimpleNamespace(find_indextypes=find_indextypes,
                               info=SimpleNamespace(sections=sections), filename=Path(info.path))

    def spectra():
        return [(h.spec_title, d.tolist()) for h, d in list(da.read_linked_data(stand_in, 2))[1:]]

    # section_number 1: the second blob section in directory order, after a decoy.
    assert spectra() == list(zip(info.titles, F32)) and asked == [192]
    da.link.section_number = 0
    assert spectra() == [(f"decoy 0.{i}", [-v for v in s]) for i, s in enumerate(F32)]


@pytest.mark.parametrize("n_spectra", [0, -1])
def test_no_spectra_asked(tmp_path, fd_count, n_spectra):
    info, sp, da = series(tmp_path)
    cut_blob(140)(info, da)  # nothing but the spectral header is left to read
    before = fd_count()
    items = list(da.read_linked_data(sp, n_spectra))
    assert len(items) == 1 and list(items[0]) == [qr.MainSpectralHeader]
    assert fd_count() == before
    os.remove(info.path)  # the file is opened all the same
    with pytest.raises(FileNotFoundError):
        next(da.read_linked_data(sp, n_spectra))


def test_reading_goes_on_past_the_blob(tmp_path):
    info, sp, da = series(tmp_path)
    after = sw.series_specheader(spec_title="after the blob") + struct.pack("<3f", 9, 8, 7)
    Path(info.path).write_bytes(info.data + after)
    items = list(da.read_linked_data(sp, 3))
    assert items[3][0].spec_title == "after the blob" and values(items[1:]) == F32 + [[9, 8, 7]]
    g = da.read_linked_data(sp, 4)
    assert len(list(itertools.islice(g, 4))) == 4
    with pytest.raises(struct.error):
        next(g)


def test_a_lazy_generator(tmp_path):
    info, sp, da = series(tmp_path)

    class Untouchable:
        def __getattr__(self, name):
            raise AssertionError(f"touched {name}")

    g = da.read_linked_data(file=Untouchable(), n_spectra=2)
    assert inspect.isgenerator(g)
    assert (g.__name__, g.__qualname__) == ("read_linked_data",
                                            "DiskResidentArray.read_linked_data")
    with pytest.raises(AssertionError, match="touched"):
        next(g)
    with pytest.raises(StopIteration):
        next(g)


def test_sequences_are_independent(tmp_path, fd_count):
    info, sp, da = series(tmp_path)
    before = fd_count()
    a, b = da.read_linked_data(sp, 2), da.read_linked_data(sp, 2)
    assert fd_count() == before
    next(a), next(a)
    assert list(next(b)) == [qr.MainSpectralHeader]
    assert fd_count() == before + 2  # one handle each, held between items
    assert values([next(b), next(a)]) == F32
    a.close()
    del b
    assert fd_count() == before


@pytest.mark.parametrize("how, taken", [
    ("exhaust", 3), ("close", 1), ("close", 2), ("drop", 1), ("drop", 2)])
def test_handle_released(tmp_path, fd_count, how, taken):
    info, sp, da = series(tmp_path)
    before = fd_count()
    g = da.read_linked_data(sp, 2)
    items = list(itertools.islice(g, taken))
    if how == "drop":
        del g
    else:
        if how == "close":
            g.close()
        with pytest.raises(StopIteration):
            next(g)
    assert fd_count() == before
    assert values(items[1:]) == F32[:taken - 1]  # delivered items stay valid
