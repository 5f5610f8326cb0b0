"""quorinreader plot --at and --band on a series that is no map: the trace
of the band against the series axis; an X outside the file's refused alike
on a series and on a map."""

import numpy
import pytest

from cli_files import DEMO_SERIES, DEMO_SPECTRUM, EXAMPLES
from quorinreader import spectra

pytest.importorskip("matplotlib")
from quorinreader._show import plot as _plot  # noqa: E402  (needs matplotlib)

DEMO_MAP = EXAMPLES / "demo_map.spa"


@pytest.mark.parametrize("options, measure", [
    (("--at", "1600"), "value at 1598.5 cm⁻¹"),
    (("--band", "1650", "1550", "--how", "area"), "area over 1550–1650 cm⁻¹"),
    (("--how", "max"), "max over 1575.9–1621.1 cm⁻¹"),  # the band of the largest mean intensity
], ids=["at", "band", "how"])
def test_plot_draws_a_series_trace_against_its_axis(tmp_path, cli, options, measure):
    out = tmp_path / "trace.png"
    assert cli("plot", DEMO_SERIES, "-o", out, *options) == (0, f"wrote {out}\n", "")
    s = spectra.load(str(DEMO_SERIES))
    at = float(options[1]) if options[0] == "--at" else None
    band = tuple(map(float, options[1:3])) if options[0] == "--band" else None
    how = options[options.index("--how") + 1] if "--how" in options else None
    fig = _plot.figure(s, str(DEMO_SERIES), at=at, band=band, how=how)
    trace_ax = fig.axes[0]
    [line] = trace_ax.get_lines()
    assert numpy.array_equal(line.get_xdata(), s.axis[1])
    if at is not None:
        assert numpy.array_equal(line.get_ydata(), s.trace(at=at))
    elif band is not None:
        assert numpy.array_equal(line.get_ydata(), s.trace(band=band, how=how))
    assert trace_ax.get_xlabel() == "time (s)" and trace_ax.get_ylabel() == measure
    assert fig._suptitle.get_text() == f"demo_series.spa: {measure}, 120 spectra"
    assert [t.get_text() for t in fig.axes[1].get_legend().get_texts()] == ["t = 0 s", "t = 1190 s"]


@pytest.mark.parametrize("path, x", [(DEMO_SERIES, "200 to 3200"), (DEMO_MAP, "200 to 1800")], ids=["series", "map"])
@pytest.mark.parametrize("options, message", [
    (("--at", "99999"), "X = 99999 lies outside the spectra's X, which runs from {x}"),
    (("--band", "5000", "6000"), "no X lies in the band 5000 to 6000; X runs from {x}"),
], ids=["at", "band"])
def test_plot_refuses_an_x_outside_alike(tmp_path, cli, path, x, options, message):
    out = tmp_path / "no.png"
    assert cli("plot", path, "-o", out, *options) == (2, "", f"quorinreader: {path}: {message.format(x=x)}\n")
    assert not out.exists()


def test_a_single_spectrum_has_no_trace(tmp_path, cli):
    assert cli("plot", DEMO_SPECTRUM, "-o", tmp_path / "no.png", "--at", "1700") == (
        2, "", f"quorinreader: {DEMO_SPECTRUM}: a single spectrum has no trace of a band; --at, --band and --how "
               "draw a series' trace, or a map's image\n")
