"""Writer of synthetic SPA files, shared by the tests, benchmarks and examples.

Field tables
    Every on-disk record is described once, as data: a list of ``(name, code)``
    pairs in layout order, where ``code`` is a little-endian struct code
    ("H", "I", "Q", "i", "f", "s" or "<n>s").  Names starting with "_" are
    bytes the reader skips.  Each table's size is checked against the record
    size at import.  Tables: FILE_HEADER (304), INDEX_ENTRY (16),
    INDEX_ENTRY_EXTENDED (22), MAIN_SPECTRAL_HEADER (140), BENCH_INFO (56),
    DIMENSION (332: 32 numeric bytes, then two 150-byte labels),
    SERIES_HEADER (262), LINK_TO_DATA (552), SERIES_SPECHEADER (96),
    SERIES_SPECHEADER_VER3 (100), DISK_RESIDENT_ARRAY_HEAD (12; the link,
    the u32 count and the dimensions follow).

Packing
    ``pack(table, **values)`` returns a record's bytes.  A field left out is
    zero, or all zero bytes for a char field.  Char fields take bytes or ASCII
    text up to their width and are zero-padded, so any byte (0x00, 0x80..0xFF)
    can be put anywhere.  Every other field takes a number, or ``bytes`` of
    exactly its width written as they are (``f32(x)`` or b"\\xff" * 4), for
    NaN, infinities and exact bit patterns.  Too long a value raises
    ValueError; an integer out of range raises struct.error.

    One packer per record: file_header, index_entry, main_spectral_header,
    bench_info, dimension, series_header, link_to_data, series_specheader,
    disk_resident_array.  sample_values(table) gives distinct, exactly
    representable values for every field of a table.

Files
    SpaBuilder lays out a whole file: header at 0, directory at 304, sections
    after the directory (or at chosen offsets), gaps zero-filled.
    series_blob() lays out a series data blob; series_file() writes a
    complete type-11 series file and returns what it wrote.
"""

import re
import struct
from functools import partial
from pathlib import Path
from types import SimpleNamespace

FT_IRDATA, FT_GROUP, FT_SERIES = 1, 10, 11
MINI_HDR, SPECTRAL_HDR, BENCH_HDR = 0x01, 0x02, 0x04
# Bits 0..6 of the data blob format, in bit order.
BLOB_FLAGS = ["mini_hdr", "spectral_hdr", "bench_hdr", "interleaved",
              "line_data", "area_data", "depth_data"]


def _table(names, fmt):
    """Pairs whitespace-separated field names with the codes of a struct format."""
    names, codes = names.split(), re.findall(r"\d*\D", fmt)
    assert len(names) == len(codes), (names, codes)
    return list(zip(names, codes))


FILE_HEADER = _table("sti_id_string file_id hard_eof _pad file_type version _reserved "
                     "num_sections time ex_time", "30s256sssHHHHII")
INDEX_ENTRY = _table("section_type section_offset section_length index_unsigned "
                     "index_long", "HIIHI")
INDEX_ENTRY_EXTENDED = _table("section_type section_offset section_length index_unsigned "
                              "index_long", "HQIII")
MAIN_SPECTRAL_HEADER = _table("""
    data_type num_points x_units y_units first_x last_x noise num_scan_points
    final_peak_pos num_scans interp_peak num_transform_pts num_post_peak_pts
    BK_num_scans BK_gain apod_ID apod_value duration burst_peak_height
    phase_corr_ID laser_freq SSP aperture_ref aperture raman_freq stage_x
    stage_y stage_z flags old_y_units old_type bad_scans BK_bad_scans
    collect_error_map BK_collect_error_map""", "IIIIfffIIIfIIIfIfIfIfffffIIIIIIIIII")
BENCH_INFO = _table("""
    bench_ID detector_ID beam_split_ID source_ID AD_bits HPF LPF switch_gain_hi
    switch_gain_lo switch_gain_p1 switch_gain_p2 gain velocity accessory_ID""",
                    "IIIIIffIIIIffI")
DIMENSION = _table("dimension_type first_dim last_dim scale_dim num_elements unit_ID "
                   "short_label long_label", "IQQfII150s150s")
SERIES_HEADER = _table("""
    series_type series_ID min_range max_range step_size min_range_2 max_range_2
    step_size_2 max_spectra converted num_converted flow_cell_temp
    transfer_line_temp gs_offset gs_ifg_pts num_phase_data_pts
    num_phase_transform_pts num_dimensions z_units z_short_label z_long_label
    z_units_2 z_short_label_2 z_long_label_2 spectra_min spectra_max""",
                       "H64sffffffIHIffHHIIHH32s32sH32s32sff")
LINK_TO_DATA = _table("""
    link_type section_type section_number mini_header_type data_blob_format
    offset_spectral_header offset_bench_header offset_mini_header
    offset_data_array filename title""", "IIIIiIIII260s256s")
SERIES_SPECHEADER = _table("num_scans start_time temp pressure spec_title x_position "
                           "y_position detector_ID pk_height", "IIff64sffIf")
SERIES_SPECHEADER_VER3 = SERIES_SPECHEADER + [("direction", "I")]
DISK_RESIDENT_ARRAY_HEAD = _table("structure_size version array_element_size", "III")

SIZES = {"FILE_HEADER": 304, "INDEX_ENTRY": 16, "INDEX_ENTRY_EXTENDED": 22,
         "MAIN_SPECTRAL_HEADER": 140, "BENCH_INFO": 56, "DIMENSION": 332,
         "SERIES_HEADER": 262, "LINK_TO_DATA": 552, "SERIES_SPECHEADER": 96,
         "SERIES_SPECHEADER_VER3": 100, "DISK_RESIDENT_ARRAY_HEAD": 12}


def size(table):
    return struct.calcsize("<" + "".join(code for _, code in table))


def width(code):
    return struct.calcsize("<" + code)


for _name, _size in SIZES.items():
    assert size(globals()[_name]) == _size, (_name, size(globals()[_name]), _size)
assert len(MAIN_SPECTRAL_HEADER) == 35 and len(BENCH_INFO) == 14 and len(SERIES_HEADER) == 26


def f32(x):
    """The 4 little-endian bytes of x rounded to binary32."""
    return struct.pack("<f", x)


def _field(name, code, value):
    text = code.endswith("s")
    if value is None:
        value = b"" if text else 0
    if isinstance(value, str):
        value = value.encode("ascii")
    n = width(code)
    if isinstance(value, (bytes, bytearray)):
        if len(value) > n or (not text and len(value) != n):
            raise ValueError(f"{name}: {len(value)} bytes for a field of {n}")
        return bytes(value).ljust(n, b"\0")
    return struct.pack("<" + code, value)


def pack(table, **values):
    unknown = values.keys() - {name for name, _ in table}
    if unknown:
        raise TypeError(f"unknown fields {sorted(unknown)}")
    return b"".join(_field(name, code, values.get(name)) for name, code in table)


def sample_values(table, seed=0):
    """Distinct values for every public field, exact in their width and kind.

    Integers have four different bytes (a byte-order or offset slip shows),
    floats are exact in binary32 with alternating signs, char fields hold
    ASCII text (bytes) shorter than the field."""
    values = {}
    for i, (name, code) in enumerate(table):
        k = i + seed
        if name.startswith("_"):
            continue
        if code.endswith("s"):
            values[name] = f"{name}#{k}".encode()[:width(code) - 1] if width(code) > 1 else b"!"
        elif code == "f":
            values[name] = (k + 1.25) * (-1) ** k
        elif code == "i":
            values[name] = -(k + 2)
        else:
            values[name] = int.from_bytes(bytes(range(k + 1, k + 1 + width(code))), "little")
    return values


file_header = partial(pack, FILE_HEADER)
main_spectral_header = partial(pack, MAIN_SPECTRAL_HEADER)
bench_info = partial(pack, BENCH_INFO)
dimension = partial(pack, DIMENSION)
series_header = partial(pack, SERIES_HEADER)
link_to_data = partial(pack, LINK_TO_DATA)  # data_blob_format: the int of the flag bits


def index_entry(section_type, section_offset, section_length=0, index_unsigned=0,
                index_long=0, extended=False):
    return pack(INDEX_ENTRY_EXTENDED if extended else INDEX_ENTRY,
                section_type=section_type, section_offset=section_offset,
                section_length=section_length, index_unsigned=index_unsigned,
                index_long=index_long)


def series_specheader(ver3=False, **fields):
    return pack(SERIES_SPECHEADER_VER3 if ver3 else SERIES_SPECHEADER, **fields)


def disk_resident_array(structure_size=0, version=0, array_element_size=4, link=None,
                        dimensions=(), num_dimensions=None):
    """dimensions: packed Dimension records; num_dimensions defaults to their count."""
    head = pack(DISK_RESIDENT_ARRAY_HEAD, structure_size=structure_size,
                version=version, array_element_size=array_element_size)
    if link is None:
        link = link_to_data()
    if num_dimensions is None:
        num_dimensions = len(dimensions)
    return head + link + struct.pack("<I", num_dimensions) + b"".join(dimensions)


class SpaBuilder:
    """Lays out a complete SPA file.

    ``signature`` is the raw 30-byte signature field; by default it holds
    "Exte" exactly when ``extended`` is true.  ``header`` takes any other
    FILE_HEADER field; num_sections defaults to the number of sections added.
    """

    def __init__(self, signature=None, extended=False, **header):
        if signature is None:
            signature = b"Extended SPA file" if extended else b"Spectral Data File"
        self.signature, self.extended, self.header = signature, extended, header
        self.sections = []

    def add(self, section_type, payload=b"", offset=None, **entry):
        """Adds a section and returns its directory index.  The entry's
        section_length defaults to the payload length; ``offset`` places the
        payload at that absolute position instead of after the previous one."""
        self.sections.append((section_type, bytes(payload), offset, entry))
        return len(self.sections) - 1

    def layout(self):
        """Returns (file bytes, absolute offset of each section)."""
        pos = 304 + (22 if self.extended else 16) * len(self.sections)
        offsets, directory = [], []
        for section_type, payload, offset, entry in self.sections:
            offset = pos if offset is None else offset
            pos = max(pos, offset + len(payload))
            offsets.append(offset)
            entry = {"section_length": len(payload), **entry}
            directory.append(index_entry(section_type, offset, extended=self.extended, **entry))
        header = {"file_type": FT_IRDATA, "num_sections": len(self.sections), **self.header}
        buf = bytearray(file_header(sti_id_string=self.signature, **header))
        buf += b"".join(directory)
        for (_, payload, _, _), offset in zip(self.sections, offsets):
            if payload:  # an empty payload may point anywhere, even past 4 GiB
                buf.extend(bytes(max(0, offset + len(payload) - len(buf))))
                buf[offset:offset + len(payload)] = payload
        return bytes(buf), offsets

    def build(self):
        return self.layout()[0]

    def write(self, path):
        """Writes the file and returns the section offsets."""
        data, offsets = self.layout()
        Path(path).write_bytes(data)
        return offsets


def series_blob(spectra, num_points=None, element_size=4, mini_header_type=0,
                spectral_hdr=True, bench_hdr=False, mini_hdr=True, titles=None,
                first_x=400.0, last_x=4000.0, bench=None, mini=None):
    """A data blob: optional main spectral header, optional bench info, then
    per spectrum an optional mini header (num_scans = its index + 1, and
    direction = its index for the 100-byte version; ``mini``, one dict per
    spectrum, sets other fields such as x_position) and the values as
    little-endian float32 (element_size 4) or float64 (8)."""
    if num_points is None:
        num_points = len(spectra[0]) if spectra else 0
    if titles is None:
        titles = [f"spectrum {i}" for i in range(len(spectra))]
    code = {4: "f", 8: "d"}[element_size]
    parts = []
    if spectral_hdr:
        parts.append(main_spectral_header(num_points=num_points, first_x=first_x, last_x=last_x))
    if bench_hdr:
        parts.append(bench_info(**(bench or {})))
    for i, values in enumerate(spectra):
        if mini_hdr:
            extra = {"direction": i} if mini_header_type else {}
            if mini is not None:
                extra.update(mini[i])
            parts.append(series_specheader(ver3=bool(mini_header_type), num_scans=i + 1,
                                           spec_title=titles[i], **extra))
        parts.append(struct.pack(f"<{len(values)}{code}", *values))
    return b"".join(parts)


def series_file(path, spectra, *, num_points=None, element_size=4, mini_header_type=0,
                spectral_hdr=True, bench_hdr=False, mini_hdr=True, titles=None,
                first_x=400.0, last_x=4000.0, link_type=0, blob_type=192,
                section_number=0, array_element_size=None, max_spectra=None,
                dimensions=None, extended=False, file_type=FT_SERIES, bench=None, mini=None):
    """Writes a series file and returns a namespace describing it.

    Directory: 0 series header (325), 1 disk-resident array (300), then
    ``section_number`` decoy blobs of ``blob_type`` (the same layout, values
    negated, titles "decoy ..."), then the real blob.  ``array_element_size``
    overrides the value stored in the array record (the blob is written with
    ``element_size``).  ``dimensions`` is a list of DIMENSION field dicts; by
    default one dimension of max_spectra elements.  ``max_spectra`` defaults
    to the number of spectra.  ``bench`` holds BENCH_INFO fields; ``mini``
    one dict of mini header fields per spectrum (positions, say)."""
    if titles is None:
        titles = [f"spectrum {i}" for i in range(len(spectra))]
    if num_points is None:
        num_points = len(spectra[0]) if spectra else 0
    if max_spectra is None:
        max_spectra = len(spectra)
    if dimensions is None:
        dimensions = [dict(dimension_type=1, first_dim=0, last_dim=max(max_spectra - 1, 0),
                           scale_dim=0.5, num_elements=max_spectra, unit_ID=2,
                           short_label=b"t", long_label=b"time")]
    blob_args = dict(num_points=num_points, element_size=element_size,
                     mini_header_type=mini_header_type, spectral_hdr=spectral_hdr,
                     bench_hdr=bench_hdr, mini_hdr=mini_hdr, first_x=first_x, last_x=last_x,
                     bench=bench)
    blob = series_blob(spectra, titles=titles, mini=mini, **blob_args)
    flags = MINI_HDR * mini_hdr | SPECTRAL_HDR * spectral_hdr | BENCH_HDR * bench_hdr
    link = link_to_data(link_type=link_type, section_type=blob_type,
                        section_number=section_number, mini_header_type=mini_header_type,
                        data_blob_format=flags, filename=b"series.spa", title=b"linked data")
    if array_element_size is None:
        array_element_size = element_size
    builder = SpaBuilder(extended=extended, file_type=file_type)
    builder.add(325, series_header(series_ID=b"synthetic series", max_spectra=max_spectra,
                                   num_dimensions=len(dimensions)))
    builder.add(300, disk_resident_array(array_element_size=array_element_size, link=link,
                                         dimensions=[dimension(**d) for d in dimensions]))
    for k in range(section_number):
        decoy = series_blob([[-v for v in s] for s in spectra],
                            titles=[f"decoy {k}.{i}" for i in range(len(spectra))], **blob_args)
        builder.add(blob_type, decoy)
    blob_index = builder.add(blob_type, blob)
    data, offsets = builder.layout()
    Path(path).write_bytes(data)
    return SimpleNamespace(path=path, data=data, offsets=offsets, blob=blob,
                           blob_offset=offsets[blob_index], blob_index=blob_index,
                           spectra=spectra, titles=titles, num_points=num_points,
                           first_x=first_x, last_x=last_x, max_spectra=max_spectra,
                           dimensions=dimensions, element_size=element_size)
