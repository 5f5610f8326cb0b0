"""The same reader in plain Python: the baseline a user would otherwise write.

It reads the same layout the same way quorinreader does, with struct and
array.fromfile: every record is decoded whole into an object, a file is
opened by its path for each operation, and the blob is streamed by a
generator holding its own handle.  ``open_file(path).open_series()`` yields
the same items as quorinreader's.
"""

import struct
from array import array


def _text(raw):
    return raw.split(b"\0")[0].decode("ascii", errors="ignore")


def _read_string(f, n):
    return _text(struct.unpack(f"{n}s", f.read(n))[0])


class _Record:
    """A record read as groups of fields; a name None is read and dropped."""
    GROUPS = ()

    def __init__(self, f):
        for fmt, names in self.GROUPS:
            if isinstance(fmt, int):
                setattr(self, names, _read_string(f, fmt))
                continue
            values = fmt.unpack(f.read(fmt.size))
            for name, value in zip(names, values):
                if name:
                    setattr(self, name, value)


def _group(fmt, names):
    return struct.Struct("<" + fmt), names.split()


class IndexEntry(_Record):
    GROUPS = (_group("HIIHI", "section_type section_offset section_length index_unsigned index_long"),)


class IndexEntryExtended(_Record):
    GROUPS = (_group("HQIII", "section_type section_offset section_length index_unsigned index_long"),)


class FileHeader(_Record):
    GROUPS = ((30, "sti_id_string"), (256, "file_id"), (struct.Struct("<ss"), ("hard_eof", None)),
              (struct.Struct("<HHHHII"), ("file_type", "version", None, "num_sections", "time", "ex_time")))

    def __init__(self, f):
        super().__init__(f)
        entry = IndexEntryExtended if "Exte" in self.sti_id_string else IndexEntry
        self.sections = [entry(f) for _ in range(self.num_sections)]


class MainSpectralHeader(_Record):
    GROUPS = (_group("IIIIfffIIIfIIIfIfIfIfffffIIIIIIIIII",
                     "data_type num_points x_units y_units first_x last_x noise num_scan_points "
                     "final_peak_pos num_scans interp_peak num_transform_pts num_post_peak_pts "
                     "BK_num_scans BK_gain apod_ID apod_value duration burst_peak_height phase_corr_ID "
                     "laser_freq SSP aperture_ref aperture raman_freq stage_x stage_y stage_z flags "
                     "old_y_units old_type bad_scans BK_bad_scans collect_error_map "
                     "BK_collect_error_map"),)


class BenchInfo(_Record):
    GROUPS = (_group("IIIIIffIIIIffI", "bench_ID detector_ID beam_split_ID source_ID AD_bits HPF LPF "
                     "switch_gain_hi switch_gain_lo switch_gain_p1 switch_gain_p2 gain velocity "
                     "accessory_ID"),)


class SeriesHeader(_Record):
    GROUPS = (_group("H64sffffffIHIffHHIIHH32s32sH32s32sff",
                     "series_type series_ID min_range max_range step_size min_range_2 max_range_2 "
                     "step_size_2 max_spectra converted num_converted flow_cell_temp "
                     "transfer_line_temp gs_offset gs_ifg_pts num_phase_data_pts "
                     "num_phase_transform_pts num_dimensions z_units z_short_label z_long_label "
                     "z_units_2 z_short_label_2 z_long_label_2 spectra_min spectra_max"),)

    def __init__(self, f):
        super().__init__(f)
        for name in ("series_ID", "z_short_label", "z_long_label", "z_short_label_2", "z_long_label_2"):
            setattr(self, name, _text(getattr(self, name)))


class Dimension(_Record):
    GROUPS = (_group("IQQfII", "dimension_type first_dim last_dim scale_dim num_elements unit_ID"),
              (150, "short_label"), (150, "long_label"))


class DataBlobFormat:
    NAMES = ("mini_hdr", "spectral_hdr", "bench_hdr", "interleaved", "line_data", "area_data", "depth_data")

    def __init__(self, f):
        (value,) = struct.unpack("<i", f.read(4))
        for bit, name in enumerate(self.NAMES):
            setattr(self, name, bool((value >> bit) % 2))


class LinkToData(_Record):
    GROUPS = (_group("IIII", "link_type section_type section_number mini_header_type"),)

    def __init__(self, f):
        super().__init__(f)
        self.data_blob_format = DataBlobFormat(f)
        (self.offset_spectral_header, self.offset_bench_header, self.offset_mini_header,
         self.offset_data_array) = struct.unpack("<IIII", f.read(16))
        self.filename = _read_string(f, 260)
        self.title = _read_string(f, 256)


class SeriesSpecheader(_Record):
    GROUPS = (_group("IIff", "num_scans start_time temp pressure"), (64, "spec_title"),
              _group("ffIf", "x_position y_position detector_ID pk_height"))


class SeriesSpecheaderVer3(SeriesSpecheader):
    def __init__(self, f):
        super().__init__(f)
        (self.direction,) = struct.unpack("<I", f.read(4))


class DiskResidentArray(_Record):
    GROUPS = (_group("III", "structure_size version array_element_size"),)

    def __init__(self, f):
        super().__init__(f)
        self.link = LinkToData(f)
        (self.num_dimensions,) = struct.unpack("<I", f.read(4))
        self.dimensions = [Dimension(f) for _ in range(self.num_dimensions)]

    def read_linked_data(self, file, n_spectra):
        if self.link.link_type:
            raise RuntimeError("Can not read linked external files.")
        index = list(file.find_indextypes(self.link.section_type))[self.link.section_number]
        offset = file.info.sections[index].section_offset
        typecode = {4: "f", 8: "d"}[self.array_element_size]
        with open(file.filename, "rb") as f:
            f.seek(offset)
            headers = {}
            blob_format = self.link.data_blob_format
            if blob_format.spectral_hdr:
                spectral_header = headers[MainSpectralHeader] = MainSpectralHeader(f)
            if blob_format.bench_hdr:
                headers[BenchInfo] = BenchInfo(f)
            yield headers
            header_class = SeriesSpecheaderVer3 if self.link.mini_header_type else SeriesSpecheader
            for _ in range(n_spectra):
                header = header_class(f) if blob_format.mini_hdr else None
                data = array(typecode)
                data.fromfile(f, spectral_header.num_points)
                yield header, data


TYPE_CLASS = {2: MainSpectralHeader, 325: SeriesHeader, 300: DiskResidentArray}
CLASS_TYPE = {cls: code for code, cls in TYPE_CLASS.items()}


class SPAFile:
    def __init__(self, filename):
        self.filename = filename
        with open(filename, "rb") as f:
            self.info = FileHeader(f)

    def find_indextype(self, t):
        return next(self.find_indextypes(t), None)

    def find_indextypes(self, t):
        for i, section in enumerate(self.info.sections):
            if section.section_type == t:
                yield i

    def read(self, index):
        section = self.info.sections[index]
        with open(self.filename, "rb") as f:
            f.seek(section.section_offset)
            return TYPE_CLASS[section.section_type](f)


class Series:
    def __init__(self, quorin_file):
        self.quorin_file = quorin_file

    def open_series(self):
        file = self.quorin_file
        header = file.read(file.find_indextype(CLASS_TYPE[SeriesHeader]))
        diskarray = file.read(file.find_indextype(CLASS_TYPE[DiskResidentArray]))
        blob = diskarray.read_linked_data(file, header.max_spectra)
        spectral_header = next(blob)[MainSpectralHeader]
        yield ({"first": spectral_header.first_x, "last": spectral_header.last_x, "n": spectral_header.num_points},
               [{"first": d.first_dim * d.scale_dim, "last": d.last_dim * d.scale_dim, "n": d.num_elements}
                for d in diskarray.dimensions if d.num_elements == header.max_spectra])
        for mini_header, data in blob:
            yield {"title": mini_header.spec_title if mini_header else None}, data


def open_file(filename):
    f = SPAFile(filename)
    return Series(f) if f.info.file_type == 11 else None
