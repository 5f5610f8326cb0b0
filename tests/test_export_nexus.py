"""NeXus files of spectra, read back with nexusformat's nxload."""
import sys

import numpy
import pytest

from cli_files import DEMO_SERIES, DEMO_SPECTRUM
from export_files import holey_map
from quorinreader import spectra
from quorinreader._export import formats as _export, nexus as _export_nexus

nexus = pytest.importorskip("nexusformat.nexus", reason="nexusformat is not installed (the test extra)")
pytest.importorskip("h5py", reason="h5py is not installed (the nexus extra)")
EXAMPLES = DEMO_SERIES.parent
# nexusformat 2.1 sets the shape of the arrays it reads, which NumPy 2.5 deprecates.
pytestmark = pytest.mark.filterwarnings("ignore:Setting the shape on a NumPy array:DeprecationWarning")


def labels(field):
    return field.attrs["long_name"], field.attrs["units"]


@pytest.mark.parametrize("read", [spectra.load, spectra.open], ids=["loaded", "opened"])
def test_a_series_is_an_nxdata_of_spectra_on_spectrum_and_x(tmp_path, monkeypatch, read):
    monkeypatch.setattr(_export_nexus, "STEP", 7 * 400 * 4)  # several blocks of 7 spectra
    with read(str(DEMO_SERIES)) as s:
        s.to_nexus(tmp_path / "s.nxs")
        with nexus.nxload(tmp_path / "s.nxs") as root:
            assert root.attrs["default"] == "entry" and root.entry.attrs["default"] == "data"
            assert root.entry.nxclass == "NXentry" and root.entry.title.nxvalue == "demo_series.spa"
            data = root.entry.data
            assert data.nxclass == "NXdata" and data.nxsignal.nxname == "spectra"
            assert [axis.nxname for axis in data.nxaxes] == ["spectrum", "x"]
            values = data.nxsignal.nxdata
            assert values.dtype == numpy.float32 and values.tobytes() == s.values.tobytes()
            assert numpy.array_equal(data.x.nxdata, s.x) and labels(data.x) == ("Raman shift (cm-1)", "cm-1")
            assert numpy.array_equal(data.spectrum.nxdata, numpy.arange(120)) and labels(data.spectrum) == (
                "spectrum index", "")
            assert numpy.array_equal(data.t.nxdata, s.axis[1]) and labels(data.t) == ("time (s)", "s")
            assert data.attrs["t_indices"] == 0
            assert list(data.title.nxdata.astype(str)) == s.titles
            for name in s.mini_headers.dtype.names:
                assert numpy.array_equal(data[name].nxdata, s.mini_headers[name]), name
            assert data.nxsignal.attrs["units"] == "a.u."
            records = root.entry.records
            assert records.spectral_header.num_points.nxvalue == 400
            assert records.dimension_0.long_label.nxvalue == "time (s)"
            assert records.section_0.section_type.nxvalue == 325


def test_one_spectrum_without_labels_says_arbitrary_units(tmp_path):
    s = spectra.load(str(DEMO_SPECTRUM))
    s.to_nexus(tmp_path / "one.nxs")
    with nexus.nxload(tmp_path / "one.nxs") as root:
        assert root.entry.title.nxvalue == "demo ester, FT-IR absorbance"
        data = root.entry.data
        assert data.nxsignal.shape == (1, 1800) and labels(data.x) == ("x", "a.u.")
        assert numpy.array_equal(data.x.nxdata, s.x)  # falling, as stored
        assert "t" not in data


@pytest.mark.parametrize("read", [spectra.load, spectra.open], ids=["loaded", "opened"])
def test_a_map_is_on_stage_y_stage_x_and_x(tmp_path, cli, read):
    path = holey_map(tmp_path)
    with read(path) as s:
        m = s.to_map()
        s.to_nexus(tmp_path / "m.nxs", map=True)
        assert cli("export", path, "--to", "nexus", "-o", tmp_path / "cli.nxs")[0] == 0  # a map goes on its grid
        for out in ("m.nxs", "cli.nxs"):
            with nexus.nxload(tmp_path / out) as root:
                data = root.entry.data
                assert [axis.nxname for axis in data.nxaxes] == ["stage_y", "stage_x", "x"]
                assert numpy.array_equal(data.nxsignal.nxdata, m.cube, equal_nan=True)
                assert numpy.isnan(data.nxsignal.nxdata[1, 0]).all()
                assert numpy.array_equal(data.stage_x.nxdata, m.stage_x) and labels(data.stage_x) == ("stage x", "a.u.")
                assert numpy.array_equal(data.spectrum.nxdata, m.index)
                assert data.title.nxdata.astype(str)[1, 0] == "" and data.title.nxdata.astype(str)[0, 0] == s.titles[0]
                assert numpy.isnan(data.x_position.nxdata[1, 0]) and data.x_position.nxdata[0, 2] == 20.0
    with pytest.raises(ValueError, match="the map given is of"):
        spectra.load(str(EXAMPLES / "demo_map.spa")).to_nexus(tmp_path / "x.nxs", map=m)


def test_many_files_go_to_one_file_with_their_names(tmp_path, cli):
    out = tmp_path / "all.nxs"
    assert cli("export", DEMO_SPECTRUM, DEMO_SPECTRUM, "--to", "nexus", "--combine", "-o", out) == (
        0, f"wrote {out}\n", "")
    with nexus.nxload(out) as root:
        data = root.entry.data
        assert data.nxsignal.shape == (2, 1800) and [a.nxname for a in data.nxaxes] == ["spectrum", "x"]
        assert list(data.file.nxdata.astype(str)) == [str(DEMO_SPECTRUM)] * 2
        assert list(data.num_points.nxdata) == [1800, 1800]


def test_a_missing_h5py_names_the_extra(tmp_path, cli, monkeypatch):
    monkeypatch.setitem(sys.modules, "h5py", None)
    with pytest.raises(_export.MissingExtra, match=r"pip install 'quorinreader\[nexus\]'"):
        spectra.load(str(DEMO_SPECTRUM)).to_nexus(tmp_path / "x.nxs")
    find_spec = _export.importlib.util.find_spec
    monkeypatch.setattr(_export.importlib.util, "find_spec",
                        lambda name, *args: None if name == "h5py" else find_spec(name, *args))
    assert cli("export", DEMO_SPECTRUM, "--to", "nexus", "-o", tmp_path / "x.nxs") == (
        1, "", "quorinreader: export --to nexus needs h5py: pip install 'quorinreader[nexus]'\n")
    assert list(tmp_path.iterdir()) == []
