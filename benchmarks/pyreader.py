"""A plain pure-Python reader of series files: the baseline for the benchmarks.

This is what a user would write without quorinreader: struct for the records,
one open file, array.fromfile for each spectrum's values.  It yields the same
items as ``quorinreader.open_file(path).open_series()``:

    (spectral_info, valid_dims), then ({"title": title}, values) per spectrum.

Only what the stream needs is decoded; every other field is skipped.
"""

import struct
import sys
from array import array

FILE_HEADER = struct.Struct("<30s256s2sHHHHII")        # 304 bytes
INDEX_ENTRY = struct.Struct("<HIIHI")                   # 16 bytes
INDEX_ENTRY_EXTENDED = struct.Struct("<HQIII")          # 22 bytes
SERIES_HEADER_SIZE = 262
MAX_SPECTRA = struct.Struct("<I")                       # at offset 90 of the series header
ARRAY_HEAD = struct.Struct("<III")                      # structure_size, version, element size
LINK_HEAD = struct.Struct("<IIIIi")                     # first 20 of the link's 552 bytes
LINK_SIZE = 552
COUNT = struct.Struct("<I")
DIMENSION = struct.Struct("<IQQfII")                    # then two 150-byte labels
DIMENSION_SIZE = 332
SPECTRAL_HEADER = struct.Struct("<4xI8xff116x")         # num_points, first_x, last_x; 140 bytes
BENCH_INFO_SIZE = 56
TITLE_START, TITLE_END = 16, 80                         # spec_title inside a mini header

SERIES_HEADER_TYPE, DISK_ARRAY_TYPE = 325, 300
MINI_HDR, SPECTRAL_HDR, BENCH_HDR = 0x01, 0x02, 0x04
TYPECODES = {4: "f", 8: "d"}


def _text(raw):
    return raw.split(b"\0", 1)[0].decode("ascii", "ignore")


def _read(f, n):
    data = f.read(n)
    if len(data) != n:
        raise EOFError(f"file ends {n - len(data)} bytes early")
    return data


def read_directory(f):
    """Returns the list of (section_type, section_offset), in file order."""
    (signature, _, _, file_type, _, _, num_sections, _, _) = FILE_HEADER.unpack(_read(f, 304))
    if file_type != 11:
        raise ValueError(f"not a series file (type {file_type})")
    entry = INDEX_ENTRY_EXTENDED if "Exte" in _text(signature) else INDEX_ENTRY
    raw = _read(f, entry.size * num_sections)
    return [(t, offset) for t, offset, _, _, _ in entry.iter_unpack(raw)]


def read_disk_array(f):
    """Returns (element size, link fields, dimensions as (first, last, scale, n))."""
    _, _, element_size = ARRAY_HEAD.unpack(_read(f, ARRAY_HEAD.size))
    link = _read(f, LINK_SIZE)
    link_type, section_type, section_number, mini_type, blob_format = LINK_HEAD.unpack_from(link)
    (num_dimensions,) = COUNT.unpack(_read(f, COUNT.size))
    dimensions = []
    for _ in range(num_dimensions):
        _, first, last, scale, n, _ = DIMENSION.unpack_from(_read(f, DIMENSION_SIZE))
        dimensions.append((first, last, scale, n))
    return element_size, (link_type, section_type, section_number, mini_type, blob_format), dimensions


def read_series(path):
    """Streams a series file: the series summary first, then one item per spectrum."""
    with open(path, "rb") as f:
        sections = read_directory(f)
        offsets = {}
        for section_type, offset in sections:
            offsets.setdefault(section_type, offset)

        f.seek(offsets[SERIES_HEADER_TYPE])
        (max_spectra,) = MAX_SPECTRA.unpack_from(_read(f, SERIES_HEADER_SIZE), 90)

        f.seek(offsets[DISK_ARRAY_TYPE])
        element_size, link, dimensions = read_disk_array(f)
        link_type, section_type, section_number, mini_type, blob_format = link
        if link_type:
            raise RuntimeError("Can not read linked external files.")
        blob_offset = [o for t, o in sections if t == section_type][section_number]
        typecode = TYPECODES[element_size]

        f.seek(blob_offset)
        if not blob_format & SPECTRAL_HDR:
            raise ValueError("the data blob has no spectral header")
        num_points, first_x, last_x = SPECTRAL_HEADER.unpack(_read(f, SPECTRAL_HEADER.size))
        if blob_format & BENCH_HDR:
            f.seek(BENCH_INFO_SIZE, 1)

        spectral_info = {"first": first_x, "last": last_x, "n": num_points}
        valid_dims = [{"first": first * scale, "last": last * scale, "n": n}
                      for first, last, scale, n in dimensions if n == max_spectra]
        yield spectral_info, valid_dims

        mini_size = (100 if mini_type else 96) if blob_format & MINI_HDR else 0
        swap = sys.byteorder == "big"
        for _ in range(max_spectra):
            title = None
            if mini_size:
                title = _text(_read(f, mini_size)[TITLE_START:TITLE_END])
            values = array(typecode)
            values.fromfile(f, num_points)
            if swap:
                values.byteswap()
            yield {"title": title}, values


if __name__ == "__main__":
    for item in read_series(sys.argv[1]):
        print(item)
