"""The command line on what users have: files, folders and globs, many of
each; --on-error skip; errors that name the option past them."""
import json
import os
import sys

import numpy
import pytest

import spectra_files as sf
from cli_files import DEMO_SERIES, DEMO_SPECTRUM
from quorinreader import spectra


def singles(folder, count, names="s{}.spa", points=6, **knobs):
    folder.mkdir(exist_ok=True)
    return [sf.spectrum(folder, values=(numpy.arange(points) * (k + 1.0)).tolist(), name=names.format(k), **knobs)[0]
            for k in range(count)]


def stray(folder, name="figure.spa"):
    path = folder / name
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + bytes(400))
    return path


STRAY_REASON = "not a spectral file: it starts with b'\\x89PNG\\r\\n\\x1a\\n\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00'"


@pytest.mark.parametrize("given", ["folder", "glob", "files", "folder and a file"])
def test_info_takes_folders_globs_and_files(tmp_path, cli, given):
    paths = singles(tmp_path / "singles", 3, names="s{}.spa")
    (tmp_path / "singles" / "notes.txt").write_text("not a spectrum")
    args = {"folder": [tmp_path / "singles"], "glob": [os.path.join(tmp_path, "singles", "s*.spa")],
            "files": paths, "folder and a file": [tmp_path / "singles", DEMO_SPECTRUM]}[given]
    status, out, err = cli("info", "--json", *args)
    assert (status, err) == (0, "")
    expected = paths + ([str(DEMO_SPECTRUM)] if given == "folder and a file" else [])
    assert [d["file"] for d in json.loads(out)] == [str(p) for p in expected]


def test_a_name_that_exists_is_taken_as_it_is(tmp_path, cli):
    literal = tmp_path / "run[1].spa"  # a glob's brackets in a real file name
    literal.write_bytes(DEMO_SPECTRUM.read_bytes())
    status, out, _ = cli("info", "--json", literal)
    assert status == 0 and json.loads(out)[0]["file"] == str(literal)
    status, _, err = cli("info", tmp_path / "none*.spa")
    assert status == 2 and err == f"quorinreader: {tmp_path / 'none*.spa'}: the pattern matches no file\n"


@pytest.mark.parametrize("command", ["info", "export", "combine"])
def test_on_error_skip_leaves_out_what_cannot_be_read(tmp_path, cli, command):
    folder = tmp_path / "lab"
    paths = singles(folder, 3)
    bad = stray(folder, "s1b.spa")
    args = {"info": ["info", "--json"], "export": ["export", "--to", "npz", "-o", tmp_path / "out"],
            "combine": ["export", "--to", "npz", "--combine", "-o", tmp_path / "all.npz"]}[command]
    status, out, err = cli(*args, folder)
    assert status == 2 if command in ("info", "combine") else status == 1
    assert err == f"quorinreader: {bad}: {STRAY_REASON}\n"
    if command == "combine":
        assert not (tmp_path / "all.npz").exists()  # by default one bad file writes nothing

    status, out, err = cli(*args, folder, "--on-error", "skip")
    assert status == 1 and err == f"quorinreader: skipped {bad}: {STRAY_REASON}\n"
    if command == "info":
        assert [d["file"] for d in json.loads(out)] == [str(p) for p in paths]
    elif command == "export":
        assert sorted(os.listdir(tmp_path / "out")) == ["s0.npz", "s1.npz", "s2.npz"]
    else:
        with numpy.load(tmp_path / "all.npz") as npz:
            assert npz["files"].tolist() == [str(p) for p in paths]


def test_combine_skips_files_whose_axis_differs_or_follows_the_grid_it_names(tmp_path, cli):
    folder = tmp_path / "lab"
    singles(folder, 3, first_x=400.0, last_x=4000.0)
    odd = singles(folder, 1, names="t{}.spa", points=4)[0]
    out = tmp_path / "all.csv"
    status, _, err = cli("export", folder, "--to", "csv", "--combine", "-o", out)
    assert status == 2 and not out.exists()
    assert err.startswith(f"quorinreader: {odd}: 4 points from 4000 to 400; the first file has 6 points from 400 "
                          "to 4000 (1 of 4 files differ: t0.spa); --x-grid 400 4000 6 interpolates every file onto "
                          "the first file's axis (other numbers onto another), --on-error skip leaves the files "
                          "that differ out\n")
    # The grid the line names, as it names it, puts every file on the first one's axis.
    assert cli("export", folder, "--to", "csv", "--combine", "-o", out, "--x-grid", "400", "4000", "6")[0] == 0
    status, _, err = cli("export", folder, "--to", "npz", "--combine", "-o", tmp_path / "all.npz",
                         "--on-error", "skip")
    assert status == 1 and err == (f"quorinreader: skipped {odd}: 4 points from 4000 to 400; the first file has "
                                   "6 points from 400 to 4000\n")


@pytest.mark.parametrize("command", ["info", "export", "plot"])
def test_a_series_cut_short_names_partial(tmp_path, cli, command):
    if command == "plot":
        pytest.importorskip("matplotlib")
    info = sf.series(tmp_path)
    (tmp_path / "series.spa").write_bytes(info.data[:-5])
    args = {"info": ["info"], "export": ["export", "--to", "npz"], "plot": ["plot"]}[command]
    status, _, err = cli(*args, info.path)
    assert status != 0 and err.endswith("the file ends at 1,985; --partial reads its 2 complete spectra\n")


@pytest.mark.parametrize("command", ["info", "export", "plot"])
def test_a_file_that_is_no_spectral_file_is_called_so(tmp_path, cli, command):
    if command == "plot":
        pytest.importorskip("matplotlib")
    path = stray(tmp_path)
    args = {"info": ["info"], "export": ["export", "--to", "npz"], "plot": ["plot"]}[command]
    assert cli(*args, path)[2] == f"quorinreader: {path}: {STRAY_REASON}\n"


# plot

def lines_of(fig):
    [ax] = [ax for ax in fig.axes if ax.get_lines()]
    return ax


@pytest.fixture
def plot_figure(monkeypatch):
    """The figures plot draws, kept as it saves them."""
    pytest.importorskip("matplotlib")
    from quorinreader._show import plot as _plot
    drawn = []
    save = _plot.save
    monkeypatch.setattr(_plot, "save", lambda fig, out, dpi=100: (drawn.append(fig), save(fig, out, dpi)))
    return drawn


def test_plot_overlays_a_few_spectra_labelled_by_title_else_file(tmp_path, cli, plot_figure):
    folder = tmp_path / "lab"
    titled = singles(folder, 2)  # their file_id is "sample 7": the same title twice
    untitled = sf.series(folder, name="z.spa", spectra=[[1.0] * 6, [2.0] * 6], titles=[b"", b"rinse"]).path
    status, out, err = cli("plot", folder)
    assert (status, out, err) == (0, f"wrote {tmp_path / 'lab.png'}\n", "")  # beside the folder it draws
    ax = lines_of(plot_figure[-1])
    texts = [t.get_text() for t in ax.get_legend().get_texts()]
    assert texts == ["sample 7 (s0.spa)", "sample 7 (s1.spa)", "z.spa", "rinse"]
    for line, path in zip(ax.get_lines(), titled):
        assert numpy.array_equal(line.get_ydata(), spectra.load(path).values[0])
    assert ax.get_title(loc="left") == "4 spectra from 3 files"
    assert os.path.getsize(tmp_path / "lab.png") > 1000 and untitled


def test_plot_offsets_spectra_and_labels_their_ends(tmp_path, cli, plot_figure):
    paths = singles(tmp_path / "lab", 3)
    out = tmp_path / "stack.png"
    assert cli("plot", *paths, "-o", out, "--offset")[0] == 0
    ax = lines_of(plot_figure[-1])
    step = 5.0 * 3  # the largest range of any one spectrum: the third's, 0 to 15
    for k, line in enumerate(ax.get_lines()):
        assert numpy.array_equal(line.get_ydata(), spectra.load(paths[k]).values[0] + k * step)
    ends = [t for t in ax.texts]
    assert [t.get_text() for t in ends] == ["sample 7 (s0.spa)", "sample 7 (s1.spa)", "sample 7 (s2.spa)"]
    assert [t.xy[1] for t in ends] == [5.0, 10.0 + step, 15.0 + 2 * step]  # level with each line's end
    assert ax.get_legend() is None and ax.get_ylabel() == "value, each 15 above the one before"
    assert cli("plot", *paths, "-o", out, "--offset", "100")[0] == 0
    assert lines_of(plot_figure[-1]).get_lines()[2].get_ydata()[0] == 200.0


def test_plot_of_more_than_twenty_spectra_is_a_heat_map(tmp_path, cli, plot_figure):
    from quorinreader._show import plot_many as _plot_many
    folder = tmp_path / "lab"
    paths = singles(folder, _plot_many.OVERLAID_MAX + 1)
    out = tmp_path / "lab.png"
    assert cli("plot", os.path.join(folder, "*.spa"), "-o", out) == (0, f"wrote {out}\n", "")
    fig = plot_figure[-1]
    [heat] = [ax for ax in fig.axes if ax.images]
    assert numpy.array_equal(heat.images[0].get_array(), spectra.load_many(paths).values)
    assert heat.get_title(loc="left") == "21 spectra of 6 points from 21 files"
    assert [t.get_text() for t in heat.get_yticklabels()][0] == "sample 7 (s0.spa)"


def test_plot_of_several_needs_an_output_and_no_band(tmp_path, cli):
    pytest.importorskip("matplotlib")
    paths = singles(tmp_path / "lab", 2)
    status, out, err = cli("plot", *paths)
    assert (status, out) == (2, "") and err == "quorinreader: 2 files make one figure: name its image with -o\n"
    status, _, err = cli("plot", *paths, "-o", tmp_path / "x.png", "--at", "3")
    assert status == 2 and "give one FILE" in err and not (tmp_path / "x.png").exists()
    status, _, err = cli("plot", paths[0], "--offset")
    assert status == 2 and err == ("quorinreader: --offset draws the spectra of several files; give more than one "
                                   "FILE, or a folder\n")


def test_plot_skips_or_stops_at_a_bad_file(tmp_path, cli, plot_figure):
    folder = tmp_path / "lab"
    singles(folder, 2)
    bad = stray(folder, "s0b.spa")
    out = tmp_path / "lab.png"
    status, _, err = cli("plot", folder, "-o", out)
    assert status == 2 and err == f"quorinreader: {bad}: {STRAY_REASON}\n" and not out.exists()
    status, _, err = cli("plot", folder, "-o", out, "--on-error", "skip")
    assert status == 1 and err == f"quorinreader: skipped {bad}: {STRAY_REASON}\n" and out.exists()
    assert len(lines_of(plot_figure[-1]).get_lines()) == 2


class Terminal:
    """stderr as a terminal, for the progress bars."""

    def __init__(self):
        import io
        self.text = io.StringIO()

    def isatty(self):
        return True

    def write(self, text):
        return self.text.write(text)

    def flush(self):
        pass


def test_the_csv_progress_counts_spectra(tmp_path, cli, monkeypatch):
    pytest.importorskip("tqdm")
    from quorinreader import _cli
    count = _cli.ROWS_COUNTED + 24
    path = sf.series(tmp_path, spectra=[[float(k), 1.0] for k in range(count)]).path
    terminal = Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    assert cli("export", path, "--to", "csv")[0] == 0
    shown = terminal.text.getvalue()
    assert f"series.csv:   0%|          | 0/{count} [" in shown and "spectrum/s]" in shown  # not 0/1 file


@pytest.mark.parametrize("texts, shown, shared", [
    (["s1.spa", "s2.spa"], ["s1.spa", "s2.spa"], None),  # short enough: as they are
    ([f"2024-03-18_polymer-blend_sample-{k:02d}_785nm_10s_x3_baseline-corrected.spa" for k in (0, 9, 14)],
     ["…sample-00…", "…sample-09…", "…sample-14…"], "2024-03-18_polymer-blend_…_785nm_10s_x3_baseline-corrected.spa"),
    (["x" * 50, "short"], ["x" * 18 + "…" + "x" * 17, "short"], None),  # nothing shared: each cut in its middle
])
def test_long_labels_lose_what_they_share(texts, shown, shared):
    pytest.importorskip("matplotlib")
    from quorinreader._show import plot_many as _plot_many
    assert _plot_many.shortened(texts) == (shown, shared)


@pytest.mark.parametrize("count", [3, 25])
def test_long_file_names_stay_inside_the_figure(tmp_path, cli, plot_figure, count):
    names = "2024-03-18_polymer-blend_sample-{:02d}_785nm_10s_x3_baseline-corrected_final_version.spa"
    paths = singles(tmp_path / "lab", count, names=names)
    assert cli("plot", *paths, "-o", tmp_path / "long.png")[0] == 0
    fig = plot_figure[-1]
    renderer = fig.canvas.get_renderer()
    whole = fig.bbox
    for ax in fig.axes:
        title = ax.title if ax.get_title() else ax._left_title
        box = title.get_window_extent(renderer)
        assert whole.x0 <= box.x0 and box.x1 <= whole.x1 and box.y1 <= whole.y1, title.get_text()
    texts = ([t.get_text() for t in lines_of(fig).get_legend().get_texts()] if count == 3 else
             [t.get_text() for t in fig.axes[0].get_yticklabels()])
    assert len(set(texts)) == len(texts) and all("sample-" in text for text in texts)
