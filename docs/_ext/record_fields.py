"""The ``record-fields`` directive: a flat record's fields as a table, taken
from the built module's own layout tables, so that the page cannot drift
from what the reader decodes.

    ```{record-fields} MainSpectralHeader
    ```

Offsets and types come from ``quorinreader._record_layout``; what each
field is comes from NOTES below.  A field without a note, or a note for a
field the record does not have, fails the build."""

from __future__ import annotations

import re

from docutils import nodes
from sphinx.util.docutils import SphinxDirective

import quorinreader

TYPES = {"H": ("u16", "integer"), "I": ("u32", "integer"), "Q": ("u64", "integer"), "i": ("i32", "integer"),
         "f": ("f32", "float")}

# What each field is, as far as its name says: the format defines the names
# and the layout, not the meaning of codes, and nothing here interprets a
# code.  "Read" says where the reader itself uses a field.
NOTES = {
    "IndexEntry": {
        "section_type": "the section's type code: 2 a main spectral header, 325 a series header, "
                        "300 a disk-resident array (the codes of `TYPE_CLASS`); others are stored only",
        "section_offset": "where the section starts, in bytes from the start of the file",
        "section_length": "the section's length in bytes; never limits a read",
        "index_unsigned": "stored only",
        "index_long": "stored only",
    },
    "MainSpectralHeader": {
        "data_type": "a code for the kind of data; not defined, stored only",
        "num_points": "points per spectrum. Read: how many values each spectrum has",
        "x_units": "a code for the units of X; not defined, stored only",
        "y_units": "a code for the units of the values; not defined, stored only",
        "first_x": "the first X value. Read: the start of `x`",
        "last_x": "the last X value. Read: the end of `x`",
        "noise": "a noise level",
        "num_scan_points": "points per scan",
        "final_peak_pos": "the final peak position",
        "num_scans": "the number of scans",
        "interp_peak": "the interpolated peak",
        "num_transform_pts": "points of the transform",
        "num_post_peak_pts": "points after the peak",
        "BK_num_scans": "scans of the background",
        "BK_gain": "gain of the background",
        "apod_ID": "a code for the apodization; not defined, stored only",
        "apod_value": "the apodization's value",
        "duration": "the duration (an integer)",
        "burst_peak_height": "the burst peak's height",
        "phase_corr_ID": "a code for the phase correction; not defined, stored only",
        "laser_freq": "the laser frequency",
        "SSP": "the sample spacing",
        "aperture_ref": "the reference aperture",
        "aperture": "the aperture",
        "raman_freq": "the Raman frequency",
        "stage_x": "the stage's x (an integer)",
        "stage_y": "the stage's y (an integer)",
        "stage_z": "the stage's z (an integer)",
        "flags": "flags; not defined, stored only",
        "old_y_units": "a former code for the units of the values; stored only",
        "old_type": "a former type code; stored only",
        "bad_scans": "scans left out",
        "BK_bad_scans": "background scans left out",
        "collect_error_map": "the collection's error map",
        "BK_collect_error_map": "the background collection's error map",
    },
    "BenchInfo": {
        "bench_ID": "identifies the bench",
        "detector_ID": "identifies the detector",
        "beam_split_ID": "identifies the beam splitter",
        "source_ID": "identifies the source",
        "AD_bits": "bits of the analog-to-digital converter",
        "HPF": "the high-pass filter",
        "LPF": "the low-pass filter",
        "switch_gain_hi": "a switch gain (an integer)",
        "switch_gain_lo": "a switch gain (an integer)",
        "switch_gain_p1": "a switch gain (an integer)",
        "switch_gain_p2": "a switch gain (an integer)",
        "gain": "the gain",
        "velocity": "the velocity",
        "accessory_ID": "identifies the accessory",
    },
    "Dimension": {
        "dimension_type": "a code for the kind of dimension; not defined, stored only",
        "first_dim": "the first position. Read: times `scale_dim`, a series axis' first value",
        "last_dim": "the last position. Read: times `scale_dim`, a series axis' last value",
        "scale_dim": "the scale of the positions",
        "num_elements": "the dimension's length. Read: a dimension as long as the series is its axis",
        "unit_ID": "a code for the units; not defined, stored only",
        "short_label": "a short label, such as `t`. Read: names the series axis in xarray",
        "long_label": "a long label, such as `time (s)`. Read: the axis' `long_name` and plot labels",
    },
    "SeriesHeader": {
        "series_type": "a code for the kind of series; not defined, stored only",
        "series_ID": "the series' identifier",
        "min_range": "the range's minimum",
        "max_range": "the range's maximum",
        "step_size": "the range's step",
        "min_range_2": "the second range's minimum",
        "max_range_2": "the second range's maximum",
        "step_size_2": "the second range's step",
        "max_spectra": "the number of spectra. Read: how many spectra the series holds",
        "converted": "a code; stored only",
        "num_converted": "a count of converted spectra",
        "flow_cell_temp": "the flow cell's temperature",
        "transfer_line_temp": "the transfer line's temperature",
        "gs_offset": "an offset (u16)",
        "gs_ifg_pts": "interferogram points (u16)",
        "num_phase_data_pts": "phase data points",
        "num_phase_transform_pts": "phase transform points",
        "num_dimensions": "a count of dimensions; stored only (the array's own count is read)",
        "z_units": "a code for the units of Z; not defined, stored only",
        "z_short_label": "Z's short label",
        "z_long_label": "Z's long label",
        "z_units_2": "a code for the units of the second Z; not defined, stored only",
        "z_short_label_2": "the second Z's short label",
        "z_long_label_2": "the second Z's long label",
        "spectra_min": "the smallest value of the spectra",
        "spectra_max": "the largest value of the spectra",
    },
    "SeriesSpecheader": {
        "num_scans": "scans of this spectrum",
        "start_time": "when it was taken (an integer; no epoch is defined)",
        "temp": "the temperature",
        "pressure": "the pressure",
        "spec_title": "the spectrum's title. Read: `titles`",
        "x_position": "the stage's x. Read: a map's grid",
        "y_position": "the stage's y. Read: a map's grid",
        "detector_ID": "identifies the detector",
        "pk_height": "the peak height",
    },
}
NOTES["IndexEntryExtended"] = NOTES["IndexEntry"]
NOTES["SeriesSpecheaderVer3"] = {**NOTES["SeriesSpecheader"], "direction": "a direction code; stored only"}


def field_type(code: str) -> tuple[str, str]:
    """(the field's type as the tables write it, the kind of Python value it becomes)."""
    if code in TYPES:
        return TYPES[code]
    width = re.fullmatch(r"(\d*)s", code)
    if width is None:
        raise ValueError(f"no name for the struct code {code!r}")
    return f"char[{width[1] or 1}]", "text"


def rows(name: str) -> list[tuple[str, str, str, str]]:
    """(offset, type, field, what it is) for each field of a flat record, in layout order."""
    cls = getattr(quorinreader, name)
    notes = NOTES.get(name)
    if notes is None:
        raise ValueError(f"{name} has no notes in record_fields.NOTES")
    layout = quorinreader._record_layout(cls)
    names = [field for field, _, _ in layout]
    missing = [field for field in names if field not in notes]
    stale = [field for field in notes if field not in names]
    if missing or stale:
        raise ValueError(f"{name}: fields without a note: {missing}; notes of no field: {stale}")
    out = []
    for field, code, offset in layout:
        kind, _ = field_type(code)
        out.append((str(offset), kind, field, notes[field]))
    return out


class RecordFields(SphinxDirective):
    required_arguments = 1
    has_content = False

    def run(self) -> list[nodes.Node]:
        name = self.arguments[0]
        try:
            table_rows = rows(name)
        except (AttributeError, ValueError) as error:
            raise self.error(str(error)) from error
        size = quorinreader._record_layout(getattr(quorinreader, name))[-1]
        table = nodes.table(classes=["record-fields"])
        group = nodes.tgroup(cols=4)
        table += group
        for width in (8, 10, 24, 58):
            group += nodes.colspec(colwidth=width)
        head, body = nodes.thead(), nodes.tbody()
        group += head
        group += body
        head += self._row(("Offset", "Type", "Field", "What it is"), header=True)
        domain = self.env.get_domain("py")
        for row in table_rows:
            node = self._row(row)
            # Each field a target of its own: :py:attr:`quorinreader.Dimension.long_label` links here.
            target = f"quorinreader.{name}.{row[2]}"
            node["ids"].append(target)
            domain.note_object(target, "attribute", target, location=self.get_location())
            body += node
        caption = nodes.paragraph(text=f"{name}: {len(table_rows)} fields, {int(size[2]) + _width(size[1])} bytes. "
                                       "u16, u32 and u64 fields are int, f32 fields float, char fields str.")
        return [caption, table]

    def _row(self, cells: tuple[str, ...], header: bool = False) -> nodes.row:
        row = nodes.row()
        for k, text in enumerate(cells):
            entry = nodes.entry()
            if header:
                entry += nodes.paragraph(text=text)
            elif k == 2:
                entry += nodes.paragraph("", "", nodes.literal(text=text))
            else:
                para = nodes.paragraph()
                for j, part in enumerate(re.split(r"`([^`]+)`", text)):
                    para += nodes.literal(text=part) if j % 2 else nodes.Text(part)
                entry += para
            row += entry
        return row


def _width(code: str) -> int:
    kind, _ = field_type(code)
    return int(re.sub(r"\D", "", kind)) // (1 if kind.startswith("char") else 8)


def setup(app):
    app.add_directive("record-fields", RecordFields)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
