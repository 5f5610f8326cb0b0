"""HyperSpy signals of spectra, maps and collections, and .hspy files read
back with hyperspy.api.load."""
import sys

import numpy
import pytest

from cli_files import DEMO_SERIES, DEMO_SPECTRUM
from export_files import holey_map
from quorinreader import spectra
from quorinreader._read import dask_rows as _dask_rows
from quorinreader._export import formats as _export

hs = pytest.importorskip("hyperspy.api", reason="HyperSpy is not installed (the hyperspy extra)")
EXAMPLES = DEMO_SERIES.parent


def axes_of(signal):
    return [(a.name, a.size, a.offset, a.scale, a.units, a.navigate) for a in signal.axes_manager._axes]


@pytest.mark.parametrize("read", [spectra.load, spectra.open], ids=["loaded", "opened (lazy)"])
def test_a_series_is_spectrum_by_x_with_calibrated_axes(monkeypatch, read):
    monkeypatch.setattr(_dask_rows, "CHUNK", 7 * 400 * 4)  # chunks of 7 spectra
    with read(str(DEMO_SERIES)) as s:
        signal = s.to_hyperspy()
        assert type(signal).__name__ == ("LazySignal1D" if read is spectra.open else "Signal1D")
        if read is spectra.open:
            assert signal.data.chunks == ((7,) * 17 + (1,), (400,))
        assert signal.axes_manager.navigation_shape == (120,) and signal.axes_manager.signal_shape == (400,)
        assert axes_of(signal) == [("time", 120, 0.0, 10.0, "s", True),
                                   ("Raman shift", 400, 200.0, pytest.approx(3000 / 399), "cm-1", False)]
        assert numpy.allclose(signal.axes_manager.signal_axes[0].axis, s.x, rtol=0, atol=1e-9)
        assert numpy.array_equal(numpy.asarray(signal.data[7:9]), s.values[7:9])
        assert numpy.asarray(signal.data).tobytes() == s.values.tobytes()
        assert signal.metadata.General.title == "demo_series"
        records = signal.original_metadata
        assert records.spectral_header.num_points == 400 and records.series_header.max_spectra == 120
        assert records.dimensions.dimension_0.long_label == "time (s)"
        assert records.file_header.sections.section_0.section_type == 325
        assert list(records.titles) == s.titles
        assert numpy.array_equal(records.mini_headers.num_scans, s.mini_headers["num_scans"])


def test_a_lazy_signal_reads_by_positioned_reads_and_pickles(tmp_path):
    import pickle

    path = tmp_path / "s.spa"
    path.write_bytes(DEMO_SERIES.read_bytes())
    with spectra.open(str(path)) as s:
        expected = s.values.copy()
        again = pickle.loads(pickle.dumps(s.to_hyperspy().data))  # a graph of paths and layouts, not of a map
    path.write_bytes(DEMO_SERIES.read_bytes()[:len(DEMO_SERIES.read_bytes()) // 2])
    with pytest.raises(spectra.FormatError, match=r"s\.spa: spectrum .* needs"):
        numpy.asarray(again[-1])
    assert numpy.array_equal(numpy.asarray(again[0]), expected[0])


def test_one_spectrum_has_no_navigation_axis():
    s = spectra.load(str(DEMO_SPECTRUM))
    signal = s.to_hyperspy()
    assert signal.axes_manager.navigation_dimension == 0 and signal.data.shape == (1800,)
    (name, size, offset, scale, units, navigate), = axes_of(signal)
    assert (name, size, offset, navigate) == ("x", 1800, 4000.0, False) and scale == pytest.approx(-3600 / 1799)
    assert numpy.allclose(signal.axes_manager[0].axis, s.x, rtol=0, atol=1e-9)
    assert signal.metadata.General.title == "demo ester, FT-IR absorbance"
    assert signal.metadata.General.original_filename == "demo_spectrum.spa"


@pytest.mark.parametrize("read", [spectra.load, spectra.open], ids=["loaded", "opened (lazy)"])
def test_a_map_is_stage_y_by_stage_x_by_x_with_nan_where_nothing_was_taken(tmp_path, monkeypatch, read):
    monkeypatch.setattr(_dask_rows, "CHUNK", 1)  # a chunk per line of the grid
    with read(holey_map(tmp_path)) as s:
        m = s.to_map()
        signal = m.to_hyperspy()
        assert signal.data.shape == (2, 3, 3) and signal.axes_manager.navigation_shape == (3, 2)
        assert [a[:4] for a in axes_of(signal)][:2] == [("stage_y", 2, 0.0, 10.0), ("stage_x", 3, 0.0, 10.0)]
        data = numpy.asarray(signal.data)
        if read is spectra.open:
            assert signal.data.chunks[0] == (1, 1)
            assert numpy.array_equal(numpy.asarray(signal.data[1, 1:, 1:]), m.cube[1, 1:, 1:])
        assert numpy.isnan(data[1, 0]).all()
        assert numpy.array_equal(data, m.cube, equal_nan=True)
        assert numpy.array_equal(signal.original_metadata.map.index, m.index)


def test_the_demo_map_keeps_its_stage_coordinates():
    m = spectra.load(str(EXAMPLES / "demo_map.spa")).to_map()
    signal = m.to_hyperspy()
    assert numpy.allclose(signal.axes_manager["stage_x"].axis, m.stage_x, rtol=1e-6)
    assert numpy.allclose(signal.axes_manager["stage_y"].axis, m.stage_y, rtol=1e-6)
    assert signal.axes_manager.navigation_shape == (20, 15)


@pytest.mark.parametrize("name", ["demo_series", "demo_spectrum", "demo_map"])
def test_an_hspy_file_reads_back_equal(tmp_path, cli, name):
    pytest.importorskip("h5py")
    out = tmp_path / f"{name}.hspy"
    assert cli("export", EXAMPLES / f"{name}.spa", "--to", "hspy", "-o", out) == (0, f"wrote {out}\n", "")
    back = hs.load(out)
    s = spectra.load(str(EXAMPLES / f"{name}.spa"))
    signal = s.to_map().to_hyperspy() if name == "demo_map" else s.to_hyperspy()
    assert axes_of(back) == axes_of(signal)
    assert back.data.dtype == signal.data.dtype and numpy.array_equal(back.data, signal.data, equal_nan=True)
    assert back.metadata.General.title == signal.metadata.General.title
    assert back.original_metadata.spectral_header.as_dictionary() == signal.original_metadata.spectral_header.as_dictionary()
    assert list(back.original_metadata.titles) == s.titles
    assert not list(tmp_path.glob(".*.partial"))


def test_a_collection_is_one_signal_of_every_row(tmp_path, cli):
    c = spectra.load_many([str(DEMO_SPECTRUM)] * 3)
    signal = c.to_hyperspy()
    assert signal.data.shape == (3, 1800) and signal.axes_manager.navigation_shape == (3,)
    assert list(signal.original_metadata.files) == [str(DEMO_SPECTRUM)] * 3
    assert numpy.array_equal(signal.original_metadata.headers.num_points, [1800] * 3)
    out = tmp_path / "all.hspy"
    pytest.importorskip("h5py")
    assert cli("export", DEMO_SPECTRUM, DEMO_SPECTRUM, "--to", "hspy", "--combine", "-o", out)[0] == 0
    assert numpy.array_equal(hs.load(out).data, c.values[:2])


def test_open_many_gives_a_lazy_signal():
    pytest.importorskip("dask")
    c = spectra.open_many([str(DEMO_SPECTRUM)] * 4, files_per_chunk=2)
    signal = c.to_hyperspy()
    assert type(signal).__name__ == "LazySignal1D" and signal.data.chunks[0] == (2, 2)
    assert numpy.array_equal(signal.data.compute(), spectra.load_many([str(DEMO_SPECTRUM)] * 4).values)


def test_a_missing_hyperspy_names_the_extra(tmp_path, cli, monkeypatch):
    monkeypatch.setitem(sys.modules, "hyperspy.signals", None)
    with pytest.raises(_export.MissingExtra, match=r"pip install 'quorinreader\[hyperspy\]'"):
        spectra.load(str(DEMO_SPECTRUM)).to_hyperspy()
    find_spec = _export.importlib.util.find_spec
    monkeypatch.setattr(_export.importlib.util, "find_spec",
                        lambda name, *args: None if name == "hyperspy" else find_spec(name, *args))
    assert cli("export", DEMO_SPECTRUM, "--to", "hspy", "-o", tmp_path / "x.hspy") == (
        1, "", "quorinreader: export --to hspy needs hyperspy: pip install 'quorinreader[hyperspy]'\n")


@pytest.mark.parametrize("long, short, expected", [
    ("time (s)", "t", ("time", "s")), ("Raman shift", "cm-1", ("Raman shift", "cm-1")),
    ("time", "t", ("time", None)), ("temperature", "T", ("temperature", None)), ("wavelength", "nm", ("wavelength", "nm")),
    ("", "t", ("t", None)), ("", "", ("series", None)),
])
def test_axis_names_and_units_come_from_the_labels(long, short, expected):
    from quorinreader._export.hyperspy import name_and_units

    assert name_and_units(long, short, "series") == expected
