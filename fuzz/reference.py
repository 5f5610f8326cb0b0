"""What the records and text functions must give for given bytes, worked out
in plain Python from the writer's field tables (tests/spawriter.py).

Results are compared as shapes: a record is (class name, [(attribute,
shape), ...]) in attribute order, a list is a list of shapes, and any other
value is (type name, value), with a float held by its bits (NaN as "nan") so
that -0.0, a rounding slip or an int in place of a bool all show.
"""

import functools
import math
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import spawriter as sw  # noqa: E402


class Short(Exception):
    """The bytes end inside the record: the reader must raise struct.error."""


class Cursor:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, n):
        if len(self.data) - self.pos < n:
            raise Short
        self.pos += n
        return self.data[self.pos - n:self.pos]


def decode_string(s):
    """The text of a field: the bytes before the first zero, ASCII kept."""
    return s.split(b"\0")[0].decode("ascii", errors="ignore")


def read_string(f, max_len):
    """The text field of max_len bytes at f's position, read as the module does."""
    s = f.read(max_len)
    fmt = max_len if isinstance(max_len, str) else str(max_len)
    return decode_string(struct.unpack(fmt + "s", s)[0])


def scalar(v):
    if isinstance(v, float):
        return ("float", "nan" if math.isnan(v) else struct.pack("<d", v))
    return (type(v).__name__, v)


def shape(obj):
    """The shape of what the module built."""
    if isinstance(obj, list):
        return [shape(x) for x in obj]
    if type(obj).__module__ == "quorinreader":
        return (type(obj).__name__, [(k, shape(v)) for k, v in vars(obj).items()])
    return scalar(obj)


def difference(got, want, where):
    """Where two shapes first differ, as one line; None when they are equal."""
    if got == want:
        return None
    if type(got) is list and type(want) is list and len(got) == len(want):
        return next(filter(None, (difference(g, w, f"{where}[{i}]") for i, (g, w) in
                                  enumerate(zip(got, want)))))
    records = all(type(x) is tuple and type(x[1]) is list for x in (got, want))
    if records and got[0] == want[0] and [k for k, _ in got[1]] == [k for k, _ in want[1]]:
        return next(filter(None, (difference(g, w, f"{where}.{k}") for (k, g), (_, w) in
                                  zip(got[1], want[1]))))
    return f"{where}: {got!r}, not {want!r}"


@functools.cache
def layout(table):
    """The unpacker of a table (a tuple of pairs) and, per value, its name
    (None for skipped bytes) and whether it is a text field."""
    unpacker = struct.Struct("<" + "".join(code for _, code in table))
    return unpacker, [(None if name.startswith("_") else name, code.endswith("s") and code != "s")
                      for name, code in table]


def fields(table, cur):
    """The public fields of one table, text fields decoded."""
    unpacker, names = layout(tuple(table))
    values = unpacker.unpack(cur.take(unpacker.size))
    return [(name, scalar(decode_string(v) if text else v))
            for (name, text), v in zip(names, values) if name]


def flat(name, table):
    return lambda cur: (name, fields(table, cur))


def data_blob_format(cur):
    (bits,) = struct.unpack("<i", cur.take(4))
    flags = [(flag, scalar(bool(bits >> k & 1))) for k, flag in enumerate(sw.BLOB_FLAGS)]
    return ("DataBlobFormat", flags)


def link_to_data(cur):
    out = []
    for name, code in sw.LINK_TO_DATA:
        if name == "data_blob_format":
            out.append((name, data_blob_format(cur)))
        else:
            out.extend(fields([(name, code)], cur))
    return ("LinkToData", out)


def file_header(cur):
    out = fields(sw.FILE_HEADER, cur)
    head = dict(out)
    extended = "Exte" in head["sti_id_string"][1]
    entry = RECORDS["IndexEntryExtended" if extended else "IndexEntry"]
    out.append(("sections", [entry(cur) for _ in range(head["num_sections"][1])]))
    return ("FileHeader", out)


def disk_resident_array(cur):
    out = fields(sw.DISK_RESIDENT_ARRAY_HEAD, cur)
    out.append(("link", link_to_data(cur)))
    out.extend(fields([("num_dimensions", "I")], cur))
    count = out[-1][1][1]
    out.append(("dimensions", [RECORDS["Dimension"](cur) for _ in range(count)]))
    return ("DiskResidentArray", out)


# Every record class, in the module's load order.
RECORDS = {
    "FileHeader": file_header,
    "IndexEntry": flat("IndexEntry", sw.INDEX_ENTRY),
    "IndexEntryExtended": flat("IndexEntryExtended", sw.INDEX_ENTRY_EXTENDED),
    "MainSpectralHeader": flat("MainSpectralHeader", sw.MAIN_SPECTRAL_HEADER),
    "BenchInfo": flat("BenchInfo", sw.BENCH_INFO),
    "SeriesHeader": flat("SeriesHeader", sw.SERIES_HEADER),
    "Dimension": flat("Dimension", sw.DIMENSION),
    "DataBlobFormat": data_blob_format,
    "LinkToData": link_to_data,
    "SeriesSpecheader": flat("SeriesSpecheader", sw.SERIES_SPECHEADER),
    "SeriesSpecheaderVer3": flat("SeriesSpecheaderVer3", sw.SERIES_SPECHEADER_VER3),
    "DiskResidentArray": disk_resident_array,
}


def record(name, data):
    """(shape, bytes consumed) of record `name` at the start of data; Short
    when data ends inside it."""
    cur = Cursor(data)
    return RECORDS[name](cur), cur.pos
