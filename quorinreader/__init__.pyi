# Type stub of the extension module quorinreader, proven against the built
# module by `python -m mypy.stubtest quorinreader` (see .ci/typecheck).
#
# The module's names follow below in the order the module binds them.  Field
# kinds: u16, u32 and u64 fields are int, f32 fields float, text fields str,
# flag bits bool.
import struct as struct
import sys
from _typeshed import ReadableBuffer, StrOrBytesPath, StrPath, WriteableBuffer
from array import array as array
from collections.abc import Callable, Generator, Iterable
from io import BufferedReader
from os import PathLike
from typing import ClassVar, Final, Protocol, TypeAlias, TypedDict, TypeVar, final, type_check_only

# Names for type checkers only: the module does not hold them.  Import them
# under `if typing.TYPE_CHECKING:`.

@type_check_only
class ByteSource(Protocol):
    """What a record is read from: an open binary file, or anything whose
    read(n) returns the next n bytes."""

    def read(self, n: int, /) -> bytes: ...

@final
@type_check_only
class Extent(TypedDict):
    """A series' first and last X value and point count, or one dimension's
    first and last value (scaled) and element count."""

    first: float
    last: float
    n: int

@final
@type_check_only
class SpectrumTitle(TypedDict):
    """The title of one spectrum of a series; None for a blob without mini headers."""

    title: str | None

_T = TypeVar("_T")
_C = TypeVar("_C", bound=type)
_D = TypeVar("_D")

# From 3.12 each class below holds its instance dictionary and weak
# references in slots of its own, which makes it a solid base: no class can
# derive from two of them at once.
if sys.version_info >= (3, 12):
    from typing_extensions import disjoint_base as _solid_base
else:
    def _solid_base(cls: _C) -> _C: ...
_SectionRecord: TypeAlias = MainSpectralHeader | SeriesHeader | DiskResidentArray
# Items of Series.open_series(): first the summary, then one per spectrum.
# The second element tells them apart: isinstance(item[1], list) narrows an
# item to the summary, isinstance(item[1], array) to a spectrum.
_SeriesSummary: TypeAlias = tuple[Extent, list[Extent]]
_SeriesSpectrum: TypeAlias = tuple[SpectrumTitle, array[float]]
# Items of DiskResidentArray.read_linked_data(): first the blob's header
# records keyed by their classes, then one per spectrum.
_BlobHeaders: TypeAlias = dict[type[MainSpectralHeader | BenchInfo], MainSpectralHeader | BenchInfo]
_BlobSpectrum: TypeAlias = tuple[SeriesSpecheader | None, array[float]]

# The package's version, as its metadata (pyproject.toml) states it.
__version__: Final[str]
# The public names and the module's own dunders.
def __dir__() -> list[str]: ...

ST_ID_LENGTH: Final = 30
FILE_ID_LENGTH: Final = 256
MAX_PATH: Final = 260
FT_IRDATA: Final = 1
FT_GROUP: Final = 10
FT_SERIES: Final = 11

def decode_string(s: bytes) -> str: ...
def read_string(f: ByteSource, max_len: int) -> str: ...

# Record classes, from the layout tables in src/: written by tools/record_stubs.py.

@_solid_base
class FileHeader:
    sti_id_string: str
    file_id: str
    hard_eof: bytes
    file_type: int
    version: int
    num_sections: int
    time: int
    ex_time: int
    sections: list[IndexEntry]
    def __init__(self, f: ByteSource) -> None: ...

@_solid_base
class IndexEntry:
    section_type: int
    section_offset: int
    section_length: int
    index_unsigned: int
    index_long: int
    def __init__(self, f: ByteSource) -> None: ...

class IndexEntryExtended(IndexEntry):
    def __init__(self, f: ByteSource) -> None: ...

@_solid_base
class MainSpectralHeader:
    data_type: int
    num_points: int
    x_units: int
    y_units: int
    first_x: float
    last_x: float
    noise: float
    num_scan_points: int
    final_peak_pos: int
    num_scans: int
    interp_peak: float
    num_transform_pts: int
    num_post_peak_pts: int
    BK_num_scans: int
    BK_gain: float
    apod_ID: int
    apod_value: float
    duration: int
    burst_peak_height: float
    phase_corr_ID: int
    laser_freq: float
    SSP: float
    aperture_ref: float
    aperture: float
    raman_freq: float
    stage_x: int
    stage_y: int
    stage_z: int
    flags: int
    old_y_units: int
    old_type: int
    bad_scans: int
    BK_bad_scans: int
    collect_error_map: int
    BK_collect_error_map: int
    def __init__(self, f: ByteSource) -> None: ...

@_solid_base
class BenchInfo:
    bench_ID: int
    detector_ID: int
    beam_split_ID: int
    source_ID: int
    AD_bits: int
    HPF: float
    LPF: float
    switch_gain_hi: int
    switch_gain_lo: int
    switch_gain_p1: int
    switch_gain_p2: int
    gain: float
    velocity: float
    accessory_ID: int
    def __init__(self, f: ByteSource) -> None: ...

@_solid_base
class SeriesHeader:
    series_type: int
    series_ID: str
    min_range: float
    max_range: float
    step_size: float
    min_range_2: float
    max_range_2: float
    step_size_2: float
    max_spectra: int
    converted: int
    num_converted: int
    flow_cell_temp: float
    transfer_line_temp: float
    gs_offset: int
    gs_ifg_pts: int
    num_phase_data_pts: int
    num_phase_transform_pts: int
    num_dimensions: int
    z_units: int
    z_short_label: str
    z_long_label: str
    z_units_2: int
    z_short_label_2: str
    z_long_label_2: str
    spectra_min: float
    spectra_max: float
    def __init__(self, f: ByteSource) -> None: ...

@_solid_base
class Dimension:
    dimension_type: int
    first_dim: int
    last_dim: int
    scale_dim: float
    num_elements: int
    unit_ID: int
    short_label: str
    long_label: str
    def __init__(self, f: ByteSource) -> None: ...

@_solid_base
class DataBlobFormat:
    mini_hdr: bool
    spectral_hdr: bool
    bench_hdr: bool
    interleaved: bool
    line_data: bool
    area_data: bool
    depth_data: bool
    def __init__(self, f: ByteSource) -> None: ...

@_solid_base
class LinkToData:
    link_type: int
    section_type: int
    section_number: int
    mini_header_type: int
    data_blob_format: DataBlobFormat
    offset_spectral_header: int
    offset_bench_header: int
    offset_mini_header: int
    offset_data_array: int
    filename: str
    title: str
    def __init__(self, f: ByteSource) -> None: ...

@_solid_base
class SeriesSpecheader:
    num_scans: int
    start_time: int
    temp: float
    pressure: float
    spec_title: str
    x_position: float
    y_position: float
    detector_ID: int
    pk_height: float
    def __init__(self, f: ByteSource) -> None: ...

class SeriesSpecheaderVer3(SeriesSpecheader):
    direction: int
    def __init__(self, f: ByteSource) -> None: ...

@_solid_base
class DiskResidentArray:
    structure_size: int
    version: int
    array_element_size: int
    link: LinkToData
    num_dimensions: int
    dimensions: list[Dimension]
    def __init__(self, f: ByteSource) -> None: ...
    def read_linked_data(
        self, file: SPAFile, n_spectra: int
    ) -> Generator[_BlobHeaders | _BlobSpectrum, None, None]: ...

# End of the record classes.

TYPE_CLASS: dict[int, type[_SectionRecord]]
CLASS_TYPE: dict[type[_SectionRecord], int]

@_solid_base
class SPAFile:
    type: ClassVar[None]
    filename: StrOrBytesPath
    info: FileHeader
    def read_basic_info(self) -> None: ...
    def __init__(self, filename: StrOrBytesPath) -> None: ...
    def find_indextype(self, t: int) -> int | None: ...
    def find_indextypes(self, t: int) -> Generator[int, None, None]: ...
    def read(self, index: int) -> _SectionRecord: ...
    # rclass gets the file opened in mode "rb" (the record classes take any ByteSource).
    def read_offset(self, rclass: Callable[[BufferedReader], _T], offset: int) -> _T: ...

@_solid_base
class Series:
    quorin_file: SPAFile
    def __init__(self, quorin_file: SPAFile) -> None: ...
    def open_series(self) -> Generator[_SeriesSummary | _SeriesSpectrum, None, None]: ...

def open_file(filename: StrOrBytesPath) -> Series | None: ...

# Native helpers of the arrays layer (quorinreader.spectra).  Private, but
# declared, so that spectra.py is type-checked against them and stubtest
# proves them against the module like every public name.

_AnyRecord: TypeAlias = (
    FileHeader
    | IndexEntry
    | MainSpectralHeader
    | BenchInfo
    | SeriesHeader
    | Dimension
    | DataBlobFormat
    | LinkToData
    | SeriesSpecheader
    | DiskResidentArray
)
_Record = TypeVar("_Record", bound=_AnyRecord)

@final
@type_check_only
class _Mapping:
    # A read-only memory map of a whole file; a buffer of its bytes.
    @property
    def closed(self) -> bool: ...
    def close(self) -> None: ...
    def __len__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __release_buffer__(self, buffer: memoryview, /) -> None: ...

@final
class _Reader:
    # A path (str or os.PathLike, of str or bytes), or the bytes of a file.
    def __new__(cls, source: StrPath | PathLike[bytes] | ReadableBuffer, /) -> _Reader: ...
    # The size of the source in bytes; None where it is not known.
    @property
    def size(self) -> int | None: ...
    @property
    def closed(self) -> bool: ...
    def record(self, cls: type[_Record], offset: int, /) -> _Record: ...
    # At most size bytes (size <= 4096) from offset on; fewer where the source ends.
    def read_bytes(self, offset: int, size: int, /) -> bytes: ...
    def read_rows(
        self,
        offset: int,
        count: int,
        head_size: int,
        row_size: int,
        item_size: int,
        # Writable buffers.  (NumPy arrays are buffers that type checkers
        # recognise only from 3.12 on, hence object.)
        values: object,
        heads: object,
        /,
    ) -> int: ...
    def map(self) -> _Mapping: ...
    def close(self) -> None: ...
    def __enter__(self) -> _Reader: ...
    def __exit__(self, *exc_info: object) -> None: ...

# UTF-8 where valid, else Windows-1252 (encoding None); or in the codec named.
def _decode_titles(buffer: ReadableBuffer, offset: int, stride: int, count: int, width: int,
                   encoding: str | None) -> list[str]: ...
# (field name, struct code, byte offset) of each field; the name is None for a bit set.
def _record_layout(cls: type[_AnyRecord]) -> tuple[tuple[str | None, str, int], ...]: ...
# Each dimension whose num_elements equals count, with its {"first", "last", "n"}.
def _matching_dimensions(dimensions: Iterable[_D], count: object) -> list[tuple[_D, Extent]]: ...
# The two passes of spectra.load_many: (summaries, their fields as
# (name, NumPy format, offset), bytes per summary); then int32 statuses.
def _scan_many(paths: list[StrPath] | tuple[StrPath, ...], workers: int, values: object,
               points: int) -> tuple[bytes, tuple[tuple[str, str, int], ...], int]: ...
def _read_many(paths: list[StrPath] | tuple[StrPath, ...], plan: ReadableBuffer, values: object, item: int,
               workers: int) -> bytes: ...
def _many_error(code: int, path: object) -> OSError: ...
