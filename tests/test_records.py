import io
import math
import struct
import sys

import pytest

import quorinreader as qr
import spawriter as sw

# Records laid out by one field table each, with the reads each one makes.
TABLES = {
    "IndexEntry": (sw.INDEX_ENTRY, [16]),
    "IndexEntryExtended": (sw.INDEX_ENTRY_EXTENDED, [22]),
    "MainSpectralHeader": (sw.MAIN_SPECTRAL_HEADER, [140]),
    "BenchInfo": (sw.BENCH_INFO, [56]),
    "Dimension": (sw.DIMENSION, [32, 150, 150]),
    "SeriesHeader": (sw.SERIES_HEADER, [262]),
    "LinkToData": (sw.LINK_TO_DATA, [16, 4, 16, 260, 256]),
    "SeriesSpecheader": (sw.SERIES_SPECHEADER, [16, 64, 16]),
    "SeriesSpecheaderVer3": (sw.SERIES_SPECHEADER_VER3, [16, 64, 16, 4]),
}
WITH_FLOATS = [k for k, (t, _) in TABLES.items() if any(c == "f" for _, c in t)]
WITH_TEXT = [k for k, (t, _) in TABLES.items() if any(c[:-1] for _, c in t if c[-1] == "s")]
INT_KINDS = "HIQ"


def expected(table, values):
    """What the reader should show for sample values (zero where none is given)."""
    out = {}
    for name, code in table:
        v = values.get(name)
        if code.endswith("s"):
            out[name] = (v or b"").decode("ascii")  # sample text: plain ASCII, no zero byte
        else:
            out[name] = v if v is not None else 0.0 if code == "f" else 0
    return out


def check(obj, table, want):
    """obj holds the table's fields, in layout order, with the wanted values and kinds."""
    assert list(vars(obj)) == [name for name, _ in table]
    for name, code in table:
        got = getattr(obj, name)
        if name == "data_blob_format":
            assert type(got) is qr.DataBlobFormat
            assert [(k, type(v), v) for k, v in vars(got).items()] == [
                (flag, bool, bool(want[name] >> bit & 1)) for bit, flag in enumerate(sw.BLOB_FLAGS)]
        elif code == "f":
            assert type(got) is float, name
            assert (math.isnan(got) and math.isnan(want[name])
                    or struct.pack("<d", got) == struct.pack("<d", want[name])), name
        else:
            kind = int if code in INT_KINDS else str
            assert (type(got), got) == (kind, want[name]), name


@pytest.mark.parametrize("name", TABLES)
def test_fields_in_layout_order(name, recorder):
    """A zero record and a record of distinct values, back to back."""
    table, reads = TABLES[name]
    values = sw.sample_values(table)
    r = recorder(sw.pack(table) + sw.pack(table, **values) + b"tail")
    cls = getattr(qr, name)
    zero, sample = cls(r), cls(f=r)
    check(zero, table, expected(table, {}))
    check(sample, table, expected(table, values))
    assert r.sizes == reads * 2
    assert r.buffer.read() == b"tail"


@pytest.mark.parametrize("name", TABLES)
def test_unsigned_extremes(name):
    table, _ = TABLES[name]
    ones = {n: b"\xff" * sw.width(c) for n, c in table if c in INT_KINDS + "i"}
    want = expected(table, {n: 2 ** (8 * sw.width(c)) - 1 if c in INT_KINDS else -1
                            for n, c in table if n in ones})
    check(getattr(qr, name)(io.BytesIO(sw.pack(table, **ones))), table, want)


FLOAT_PATTERNS = [
    (b"\xcd\xcc\xcc\x3d", 0.10000000149011612),
    (b"\x00\x00\xc0\x7f", math.nan),
    (b"\x00\x00\x80\x7f", math.inf),
    (b"\x00\x00\x80\xff", -math.inf),
    (b"\x01\x00\x00\x00", 1.401298464324817e-45),
    (b"\xff\xff\x7f\x7f", 3.4028234663852886e38),
    (b"\x00\x00\x00\x80", -0.0),
]


@pytest.mark.parametrize("name", WITH_FLOATS)
def test_float_bit_patterns(name):
    table, _ = TABLES[name]
    floats = [n for n, c in table if c == "f"]
    raw = {n: FLOAT_PATTERNS[i % len(FLOAT_PATTERNS)][0] for i, n in enumerate(floats)}
    want = {n: FLOAT_PATTERNS[i % len(FLOAT_PATTERNS)][1] for i, n in enumerate(floats)}
    obj = getattr(qr, name)(io.BytesIO(sw.pack(table, **raw)))
    check(obj, table, expected(table, want))
    assert repr(getattr(obj, floats[0])) == "0.10000000149011612"


def text_patterns(n):
    """(raw field, text) pairs for a char field of n bytes."""
    return [
        (b" a\x01\xe9b \x00zz", " a\x01b "),
        (b"x" * n, "x" * n),
        (b"\x00abc", ""),
        (b"\x80\xff" * (n // 2), ""),
        (b"A\x00B", "A"),
    ]


@pytest.mark.parametrize("name", WITH_TEXT)
def test_text_fields(name):
    table, _ = TABLES[name]
    texts = [(n, c) for n, c in table if c.endswith("s")]
    raw, want = {}, {}
    for i, (n, c) in enumerate(texts):
        raw[n], want[n] = text_patterns(sw.width(c))[i % 5]
    obj = getattr(qr, name)(io.BytesIO(sw.pack(table, **raw)))
    got = {n: getattr(obj, n) for n in want}
    assert got == want and all(type(v) is str for v in got.values())


@pytest.mark.parametrize("value, true_flags", [
    (0x07, {"mini_hdr", "spectral_hdr", "bench_hdr"}),
    (0x10, {"line_data"}),
    (0x28, {"interleaved", "area_data"}),
    (-1, set(sw.BLOB_FLAGS)),
    (0x80, set()),
    (-128, set()),
    (0x7FFFFF40, {"depth_data"}),
])
def test_data_blob_format_bits(value, true_flags, recorder):
    r = recorder(struct.pack("<i", value) + b"tail")
    flags = qr.DataBlobFormat(f=r)
    assert r.sizes == [4] and r.buffer.read() == b"tail"
    assert [(k, type(v), v) for k, v in vars(flags).items()] == [
        (flag, bool, flag in true_flags) for flag in sw.BLOB_FLAGS]


def disk_array(n_dims):
    """A disk-resident array record and its expected link and dimension values."""
    link = sw.sample_values(sw.LINK_TO_DATA)
    dims = [sw.sample_values(sw.DIMENSION, seed=10 * (i + 1)) for i in range(n_dims)]
    data = sw.disk_resident_array(structure_size=2**32 - 1, version=3, array_element_size=8,
                                  link=sw.link_to_data(**link),
                                  dimensions=[sw.dimension(**d) for d in dims])
    return data, link, dims


@pytest.mark.parametrize("n_dims", [0, 2])
def test_disk_resident_array(n_dims, recorder):
    data, link, dims = disk_array(n_dims)
    assert len(data) == 568 + 332 * n_dims
    r = recorder(data + b"tail")
    obj = qr.DiskResidentArray(f=r)
    assert r.sizes == [12, 16, 4, 16, 260, 256, 4] + [32, 150, 150] * n_dims
    assert r.buffer.read() == b"tail"
    assert list(vars(obj)) == ["structure_size", "version", "array_element_size", "link",
                               "num_dimensions", "dimensions"]
    assert [obj.structure_size, obj.version, obj.array_element_size, obj.num_dimensions] == [
        2**32 - 1, 3, 8, n_dims]
    assert type(obj.link) is qr.LinkToData
    check(obj.link, sw.LINK_TO_DATA, expected(sw.LINK_TO_DATA, link))
    assert type(obj.dimensions) is list and len(obj.dimensions) == n_dims
    for d, values in zip(obj.dimensions, dims):
        assert type(d) is qr.Dimension
        check(d, sw.DIMENSION, expected(sw.DIMENSION, values))


def record_bytes(name):
    if name == "DataBlobFormat":
        return struct.pack("<i", 7)
    if name == "DiskResidentArray":
        return disk_array(2)[0]
    return sw.pack(TABLES[name][0])


ALL_RECORDS = list(TABLES) + ["DataBlobFormat", "DiskResidentArray"]


@pytest.mark.parametrize("name", ALL_RECORDS)
def test_short_record_raises_and_leaves_no_instance(name):
    data = record_bytes(name)
    classes = [getattr(qr, n) for n in ALL_RECORDS]
    getattr(qr, name)(io.BytesIO(data))  # warm up whatever the first call sets up
    before = [sys.getrefcount(c) for c in classes]
    for cut in (0, len(data) - 1):
        f = io.BytesIO(data[:cut])
        with pytest.raises(struct.error):
            getattr(qr, name)(f)
        assert f.tell() == cut
    # Every live instance holds a reference to its class: none may be left over.
    assert [sys.getrefcount(c) for c in classes] == before


@pytest.mark.parametrize("name", ALL_RECORDS + ["FileHeader"])
def test_constructor_takes_exactly_one_file(name):
    cls = getattr(qr, name)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls(io.BytesIO(bytes(2000)), 1)


@pytest.mark.parametrize("name, replaced", [
    ("SeriesHeader", ["series_ID", "z_short_label", "z_long_label", "z_short_label_2", "z_long_label_2"]),
    ("Dimension", []),  # text read by read_string is set once, as text
    ("LinkToData", []),
])
def test_assignments_a_subclass_sees(name, replaced):
    """Each field is set once, in layout order; a char field unpacked with its
    group is set to its raw bytes, then replaced by its text, in order."""
    table, _ = TABLES[name]
    values = sw.sample_values(table)
    seen = []

    class Watched(getattr(qr, name)):
        def __setattr__(self, key, value):
            seen.append((key, type(value)))
            super().__setattr__(key, value)

    check(Watched(io.BytesIO(sw.pack(table, **values))), table, expected(table, values))
    assert [key for key, _ in seen] == [n for n, _ in table] + replaced
    first = dict(seen[:len(table)])
    assert [(first[n], kind) for n, kind in seen[len(table):]] == [(bytes, str)] * len(replaced)
