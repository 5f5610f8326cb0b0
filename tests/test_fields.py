import array
import io
import struct
import subprocess
import sys

import pytest

import quorinreader as qr
import spawriter as sw

LOAD_ORDER = [
    "struct", "array",
    "ST_ID_LENGTH", "FILE_ID_LENGTH", "MAX_PATH", "FT_IRDATA", "FT_GROUP", "FT_SERIES",
    "decode_string", "read_string",
    "FileHeader", "IndexEntry", "IndexEntryExtended", "MainSpectralHeader", "BenchInfo",
    "SeriesHeader", "Dimension", "DataBlobFormat", "LinkToData", "SeriesSpecheader",
    "SeriesSpecheaderVer3", "DiskResidentArray",
    "TYPE_CLASS", "CLASS_TYPE",
    "SPAFile", "Series", "open_file",
]


def public(cls):
    return [k for k in vars(cls) if k == "__init__" or not k.startswith("_")]


def test_public_names_in_load_order():
    # A submodule imported since (quorinreader.spectra) is bound on the
    # package by the import system, not by the module's own load.
    submodules = {k for k in vars(qr) if f"quorinreader.{k}" in sys.modules}
    assert [k for k in vars(qr) if not k.startswith("_") and k not in submodules] == LOAD_ORDER
    assert qr.struct is struct and qr.array is array.array


def test_a_fresh_import_binds_the_load_order_alone():
    code = "import quorinreader as qr; print(*[k for k in vars(qr) if not k.startswith('_')])"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == LOAD_ORDER


@pytest.mark.parametrize("name, value", [
    ("ST_ID_LENGTH", 30), ("FILE_ID_LENGTH", 256), ("MAX_PATH", 260),
    ("FT_IRDATA", 1), ("FT_GROUP", 10), ("FT_SERIES", 11),
])
def test_constants(name, value):
    got = getattr(qr, name)
    assert type(got) is int and got == value


@pytest.mark.parametrize("raw, text", [
    (b"", ""),
    (b"abc", "abc"),
    (b"\x00abc", ""),
    (b"A\x00B", "A"),
    (b"\x80\xe9\xff", ""),
    (b"Ex\xe9te", "Exte"),
    (b" \tpad\x01\x7f  \x00\xff", " \tpad\x01\x7f  "),
    (bytes(range(1, 256)), bytes(range(1, 128)).decode()),
])
def test_decode_string(raw, text):
    got = qr.decode_string(raw)
    assert type(got) is str and got == text


def test_decode_string_argument():
    assert qr.decode_string(s=b"ab\x00c") == "ab"
    with pytest.raises(TypeError):
        qr.decode_string("abc")


@pytest.mark.parametrize("field, text", [
    (b"", ""),
    (bytes(256), ""),
    (b"x" * 256, "x" * 256),
    (b"a\x00" + b"\xff" * 254, "a"),
    (b"signature text \xe9 no zero byte", "signature text  no zero byte"),
])
def test_read_string_consumes_the_whole_field(field, text):
    f = io.BytesIO(field + b"TAIL")
    got = qr.read_string(f, len(field))
    assert type(got) is str and got == text
    assert f.read() == b"TAIL"


def test_read_string_calls(recorder):
    r = recorder(b"abc\x00defg")
    assert qr.read_string(max_len=5, f=r) == "abc"
    assert qr.read_string(r, 0) == ""
    assert r.sizes == [5, 0]


def test_read_string_short_field_raises_at_end_of_file():
    f = io.BytesIO(b"0123456789")
    with pytest.raises(struct.error):
        qr.read_string(f, 30)
    assert f.tell() == 10


def test_read_string_text_mode_file():
    with pytest.raises(TypeError):
        qr.read_string(io.StringIO("x" * 30), 30)


def test_file_header_reads_through_read_only(recorder):
    b = sw.SpaBuilder(extended=True)
    b.add(2, b"", offset=1000)
    b.add(300, b"", offset=2000)
    r = recorder(b.build() + b"tail")
    hdr = qr.FileHeader(r)
    assert r.sizes == [30, 256, 2, 16, 22, 22]
    assert r.buffer.read() == b"tail"
    assert [e.section_offset for e in hdr.sections] == [1000, 2000]


def doc(*paragraphs):
    return "".join(f"\n    {p}\n" for p in paragraphs) + "    "


RECORD_CLASSES = [
    ("FileHeader", "object", doc("ST_FILE_HEADER")),
    ("IndexEntry", "object", doc("ST_INDEX_ENTRY")),
    ("IndexEntryExtended", "IndexEntry", doc("ST_INDEX_ENTRY_EXTENDED")),
    ("MainSpectralHeader", "object", doc("MAIN_SPECTRAL_HEADER")),
    ("BenchInfo", "object", doc("BENCH_INFO")),
    ("SeriesHeader", "object", doc("SERIES_HEADER")),
    ("Dimension", "object", doc("DIMENSION")),
    ("DataBlobFormat", "object", doc("DATABLOBFORMAT")),
    ("LinkToData", "object", doc("LINK_TO_DATA")),
    ("SeriesSpecheader", "object",
     doc("A possible mini header in data blobs.", "SERIES_SPECHEADER")),
    ("SeriesSpecheaderVer3", "SeriesSpecheader",
     doc("A possible mini header in data blobs. SeriesSpecheader + direction",
         "SERIES_SPECHEADER_VER3")),
    ("DiskResidentArray", "object", doc("DISK_RESIDENT_ARRAY")),
]


@pytest.mark.parametrize("name, base, text", RECORD_CLASSES)
def test_record_class_shape(name, base, text):
    cls = getattr(qr, name)
    assert type(cls) is type
    assert cls.__bases__ == ((object,) if base == "object" else (getattr(qr, base),))
    assert (cls.__name__, cls.__module__, cls.__doc__) == (name, "quorinreader", text)
    methods = {"__init__", "read_linked_data"} if name == "DiskResidentArray" else {"__init__"}
    assert set(public(cls)) == methods


def test_reader_classes_shape():
    # The order of a class body, as the module made it: asked of a fresh
    # interpreter, since a test that deletes an entry and restores it moves
    # it to the end here.
    order = subprocess.run([sys.executable, "-c", "import quorinreader as qr; print([k for k in vars(qr.SPAFile) "
                            "if k == '__init__' or not k.startswith('_')])"],
                           capture_output=True, text=True, check=True).stdout
    names = ["type", "read_basic_info", "__init__", "find_indextype", "find_indextypes", "read", "read_offset"]
    assert order == f"{names}\n" and set(public(qr.SPAFile)) == set(names)
    assert set(public(qr.Series)) == {"__init__", "open_series"}
    for cls in (qr.SPAFile, qr.Series):
        assert type(cls) is type and cls.__bases__ == (object,)
        assert cls.__doc__ is None and cls.__module__ == "quorinreader"
    assert qr.SPAFile.type is None


@pytest.mark.parametrize("name, sizes", [
    ("ST_ID_LENGTH", [10, 256, 2, 16]),
    ("FILE_ID_LENGTH", [30, 10, 2, 16]),
])
def test_length_constants_looked_up_at_call_time(monkeypatch, recorder, name, sizes):
    monkeypatch.setattr(qr, name, 10)
    r = recorder(b"0123456789" * 2 + bytes(400))
    hdr = qr.FileHeader(r)
    assert r.sizes == sizes and hdr.sections == []


def test_read_string_looked_up_at_call_time(monkeypatch):
    seen, original = [], qr.read_string

    def spy(f, max_len):
        seen.append(max_len)
        return "<" + original(f, max_len) + ">"

    monkeypatch.setattr(qr, "read_string", spy)
    hdr = qr.FileHeader(io.BytesIO(sw.file_header(sti_id_string=b"sig", file_id=b"id")))
    assert seen == [30, 256]
    assert (hdr.sti_id_string, hdr.file_id) == ("<sig>", "<id>")


@pytest.mark.parametrize("record, texts", [
    # FileHeader reaches decode_string through read_string.
    ("FileHeader", {"sti_id_string": "<30>", "file_id": "<256>"}),
    ("SeriesHeader", {"series_ID": "<64>", "z_short_label": "<32>", "z_long_label": "<32>",
                      "z_short_label_2": "<32>", "z_long_label_2": "<32>"}),
])
def test_decode_string_looked_up_at_call_time(monkeypatch, record, texts):
    monkeypatch.setattr(qr, "decode_string", lambda s: f"<{len(s)}>")
    obj = getattr(qr, record)(io.BytesIO(bytes(400)))
    assert {k: getattr(obj, k) for k in texts} == texts
