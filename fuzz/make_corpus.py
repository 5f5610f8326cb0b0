"""Writes the seed corpora of the fuzzers with the project's own writer.

    python fuzz/make_corpus.py DIR [files] [records] [strings]

writes DIR/files, DIR/records and DIR/strings (all three by default), one
file per seed, after emptying each.  The seeds are small on purpose: every
layout variant the reader knows, with a few spectra of a few points, so
that mutations reach every branch from a start that already reads through.
"""

import argparse
import os
import shutil
import struct
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import spawriter as sw  # noqa: E402

SPECTRA = [[1.5, -2.0, 3.25, 0.0, 8.0, -0.5], [4.0, 5.0, 6.0, 7.0, 8.0, 9.0], [0.25] * 6]


def series(**options):
    """The bytes of a series file of SPECTRA with the writer's options."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "s.spa")
        return sw.series_file(path, options.pop("spectra", SPECTRA), **options).data


def single_spectrum():
    builder = sw.SpaBuilder(file_type=sw.FT_IRDATA)
    builder.add(2, sw.main_spectral_header(num_points=4, first_x=4000.0, last_x=400.0))
    builder.add(3, struct.pack("<4f", 0.5, 1.0, 1.5, 2.0))  # a section type with no record class
    return builder.build()


def file_seeds():
    seeds = {
        "single-spectrum": single_spectrum(),
        "group-no-sections": sw.SpaBuilder(file_type=sw.FT_GROUP).build(),
        "series-mini96-f4": series(),
        "series-mini100-f4": series(mini_header_type=3),
        "series-no-mini-f4": series(mini_hdr=False),
        "series-mini96-f8": series(element_size=8),
        "series-mini100-f8-bench": series(element_size=8, mini_header_type=1, bench_hdr=True),
        "series-bench-only": series(spectral_hdr=False, bench_hdr=True),
        "series-no-spectral-header": series(spectral_hdr=False),
        "series-external-link": series(link_type=1),
        "series-extended-entries": series(extended=True),
        "series-zero-spectra": series(spectra=[], num_points=6),
        "series-decoy-blobs": series(section_number=2),
        "series-element-size-2": series(array_element_size=2),
        "series-count-past-end": series(max_spectra=5),
        "series-three-dimensions": series(dimensions=[
            dict(num_elements=3, first_dim=0, last_dim=99, scale_dim=0.5),
            dict(num_elements=7), dict(num_elements=3, short_label=b"z")]),
        "series-no-sections": sw.SpaBuilder(file_type=sw.FT_SERIES).build(),
    }
    whole = seeds["series-mini96-f4"]
    blob = len(whole) - len(sw.series_blob(SPECTRA))
    cuts = {"header": 100, "directory": 310, "blob-header": blob + 70, "mini-header": blob + 190,
            "values": blob + 140 + 96 + 10, "last-byte": len(whole) - 1}
    for where, at in cuts.items():
        seeds[f"truncated-in-{where}"] = whole[:at]
    return seeds


def record_seeds():
    """A selector byte (the class, in load order, plus 12 for a bytearray
    reader, 24 for a memoryview reader), then the record's bytes."""
    def sample(table):
        return sw.pack(table, **sw.sample_values(table))

    dims = [sample(sw.DIMENSION), sw.dimension(short_label=b"\x80x\0y")]
    link = sw.link_to_data(data_blob_format=-1, filename=b"elsewhere.spa", mini_header_type=3)
    def file_header(extended):
        builder = sw.SpaBuilder(extended=extended)
        builder.add(2, offset=400)
        builder.add(300, offset=2**33 if extended else 900)
        return builder.build()  # empty sections: the header and directory only

    records = [
        ("FileHeader", file_header(False)),
        ("IndexEntry", sample(sw.INDEX_ENTRY)),
        ("IndexEntryExtended", sw.index_entry(2, 2**40 + 3, extended=True)),
        ("MainSpectralHeader", sample(sw.MAIN_SPECTRAL_HEADER)),
        ("BenchInfo", sample(sw.BENCH_INFO)),
        ("SeriesHeader", sample(sw.SERIES_HEADER)),
        ("Dimension", dims[0]),
        ("DataBlobFormat", struct.pack("<i", 0x07)),
        ("LinkToData", link),
        ("SeriesSpecheader", sample(sw.SERIES_SPECHEADER)),
        ("SeriesSpecheaderVer3", sample(sw.SERIES_SPECHEADER_VER3)),
        ("DiskResidentArray", sw.disk_resident_array(array_element_size=8, link=link,
                                                     dimensions=dims)),
    ]
    seeds = {}
    for i, (name, raw) in enumerate(records):
        seeds[name] = bytes([i]) + raw
        seeds[f"{name}-short"] = bytes([i]) + raw[:-1]
        seeds[f"{name}-bytearray"] = bytes([i + 12]) + raw
        seeds[f"{name}-memoryview"] = bytes([i + 24]) + raw
    seeds["FileHeader-extended"] = bytes([0]) + file_header(True)
    return seeds


def string_seeds():
    """A mode byte, max_len as a signed 16-bit number, then the field."""
    def seed(mode, max_len, field):
        return bytes([mode]) + struct.pack("<h", max_len) + field

    return {
        "signature": seed(0, 30, b"Extended SPA file".ljust(30, b"\0")),
        "no-zero-byte": seed(0, 8, b"ABCDEFGH"),
        "zero-first": seed(1, 4, b"\0abc"),
        "high-bytes": seed(0, 5, b"Ex\xe9te"),
        "empty": seed(0, 0, b""),
        "short": seed(0, 30, b"only ten b"),
        "negative": seed(0, -1, b"abc"),
        "text-argument": seed(2, 3, b"abc"),
        "memoryview-argument": seed(3, 3, b"a\0c"),
        "edge-lengths": seed(4 | 3 << 3, 0, b"x" * 16),
    }


def bulk_seeds():
    """Up to three files joined by fuzz_bulk's marker: each file seed alone,
    and single spectra beside a series and beside each other."""
    marker = b"\n--next file--\n"
    seeds = file_seeds()
    single, other = seeds["single-spectrum"], single_spectrum().replace(b"\x00\x00\x00\x3f", b"\x00\x00\x80\x3f")
    seeds["three-singles"] = marker.join([single, other, single])
    seeds["single-and-series"] = marker.join([single, seeds["series-mini96-f4"]])
    seeds["series-f4-and-f8"] = marker.join([seeds["series-mini96-f4"], seeds["series-mini96-f8"]])
    seeds["single-and-stray"] = marker.join([single, b"wavenumber,absorbance\n4000,0.1\n"])
    seeds["single-and-cut"] = marker.join([single, single[:-3]])
    return seeds


SEEDS = {"files": file_seeds, "records": record_seeds, "strings": string_seeds, "bulk": bulk_seeds}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dir")
    parser.add_argument("harness", nargs="*", help=", ".join(SEEDS) + " (default: all)")
    args = parser.parse_args()
    unknown = set(args.harness) - SEEDS.keys()
    if unknown:
        parser.error(f"no seeds for {', '.join(sorted(unknown))}")
    for harness in args.harness or SEEDS:
        out = os.path.join(args.dir, harness)
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        for name, data in SEEDS[harness]().items():
            with open(os.path.join(out, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
