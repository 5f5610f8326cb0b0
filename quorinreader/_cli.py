"""The quorinreader command: describe, convert and draw spectrum and series files.

    quorinreader info FILE... [--json] [--titles N]
    quorinreader export FILE... --to {csv,npz,netcdf,jcamp,hspy,nexus} [-o OUT]
                        [--combine [--x-grid START STOP N]]
                        [--jcamp-form {affn,difdup}] [--data-type TYPE] [--split]
    quorinreader plot FILE... [-o OUT.png] [--dpi DPI] [--offset [D]] [--x-grid START STOP N]
                      [--at X | --band A B] [--how M]

each with [--partial] [--on-error {raise,skip}] [--encoding CODEC].  A FILE
may be a folder (its files ending in .spa) or a glob, as on a shell that
does not expand them.  Also `python -m quorinreader`.  Every error is one
line on stderr, naming the file and the reason, and the option that gets
past it where there is one.  Exit status: 0 done; 1 an export that failed,
files left out by --on-error skip, or an optional library that is missing;
2 bad input (a file that cannot be read as a spectrum or series) or a bad
command line.
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import errno
import glob
import json
import math
import os
import sys
import warnings
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from types import TracebackType
from typing import Any, NoReturn, Self

import numpy
import numpy.typing as npt

from . import __version__, spectra
from ._many import files as _many_files
from ._read import axes as _axes
from ._read.errors import command_line_text
from ._export.formats import FORMATS
from ._export.output import MissingExtra, Unwritable
from .spectra import Spectra

__all__ = ["main", "run"]

PROG = "quorinreader"
DONE, FAILED, BAD_INPUT = 0, 1, 2
TITLES_SHOWN = 5
# Spectra of one CSV export above which a progress bar counts them.
ROWS_COUNTED = 1000
# The largest image plot draws: a bigger one could take all the memory there is.
MAX_PIXELS = 100_000_000


class Failure(Exception):
    """What ends a command or one file of it: one line for stderr, and an exit status."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `argv` (sys.argv[1:] by default) and returns its exit status."""
    args = _parser().parse_args(argv)
    try:
        status: int = args.command(args)
    except Failure as failure:
        _error(str(failure))
        return failure.status
    return status


def run() -> NoReturn:
    """The console entry point: main() as a process, quiet on a closed pipe or ^C."""
    for stream in (sys.stdout, sys.stderr):  # a file name that is not valid UTF-8 still prints
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")
    try:
        status = main()
        sys.stdout.flush()
    except KeyboardInterrupt:
        status = 130
    except OSError as error:
        # `quorinreader info *.spa | head`: the reader has gone; say nothing more.
        if not _reader_gone(error):
            raise
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = FAILED
    sys.exit(status)


def _reader_gone(error: OSError) -> bool:
    """Whether a write failed because the pipe's reader has gone.  Windows'
    C runtime reports that (ERROR_NO_DATA) as EINVAL, not EPIPE."""
    if isinstance(error, BrokenPipeError):
        return True
    return sys.platform == "win32" and error.errno == errno.EINVAL


# The commands, one function each.

def info(args: argparse.Namespace) -> int:
    """Per file: kind, counts, X range, dtype, matching dimensions, first titles."""
    status = DONE
    described: list[dict[str, Any]] = []
    for path in _inputs(args.files, BAD_INPUT):
        try:
            with _read(path, spectra.open, BAD_INPUT, args.partial, encoding=args.encoding) as s:
                summary = _summary(s, path, args.titles)
        except Failure as failure:
            status = max(status, _not_read(failure, args.on_error))
            continue
        if not args.json:
            print(("\n" if described else "") + _summary_text(summary), end="")
        described.append(summary)
    if args.json:
        print(json.dumps(_json_safe(described), indent=2))
    return status


def export(args: argparse.Namespace) -> int:
    """Each file to CSV, NPZ, netCDF, JCAMP-DX, HSPY or NeXus; one line on stderr per file that failed."""
    form = FORMATS[args.to]
    options = _jcamp_options(args)
    try:
        form.check()
    except MissingExtra as missing:
        raise Failure(str(missing), FAILED) from None
    args.files = _inputs(args.files, FAILED)
    if args.combine:
        return _export_combined(args, form.suffix)
    if args.x_grid is not None:
        raise Failure("--x-grid interpolates the spectra of --combine; add --combine", BAD_INPUT)
    if len(args.files) > 1 and args.output is not None and args.output.suffix.lower() in _SUFFIXES \
            and not args.output.is_dir():
        raise Failure(f"{args.output}: several inputs go to a folder, not a {args.output.suffix} file; "
                      "add --combine to write them as one", BAD_INPUT)
    outputs = _outputs(args.files, form.suffix, args.output)
    failed = 0
    written: list[Path] = []
    with _Progress(len(args.files)) as progress:
        for path, out in zip(args.files, outputs):
            try:
                if out is None:
                    raise Failure(f"{path}: names no file", FAILED)
                if _same_file(path, out):
                    raise Failure(f"{path}: the output {out} would replace the input", FAILED)
                try:
                    s = _read(path, spectra.load, FAILED, args.partial, progress.say, args.encoding)
                except Failure as failure:
                    if args.on_error == "skip":
                        progress.say(f"{PROG}: skipped {failure}")
                        failed += 1
                        continue
                    raise
                try:
                    with progress.rows(len(s), out.name if form.suffix == ".csv" else None) as step:
                        paths = form.write(s, out, step, **options)
                except OSError as error:
                    raise Failure(f"{out}: {_os_reason(error)}", FAILED) from None
                except Unwritable as error:
                    raise Failure(str(error), FAILED) from None
                written += paths
            except Failure as failure:
                progress.say(f"{PROG}: {failure}")
                failed += 1
            finally:
                progress.step()
    if len(written) == 1:
        print(f"wrote {written[0]}")
    elif written and len(args.files) == 1:  # one file per spectrum
        print(f"wrote {len(written):,} files, {written[0]} to {written[-1]}")
    elif written:
        folder = args.output if args.output is not None and len(args.files) > 1 else None
        print(f"wrote {len(written):,} files" + (f" to {os.path.join(folder, '')}" if folder is not None else ""))
    return FAILED if failed else DONE


_SUFFIXES = {form.suffix for form in FORMATS.values()}


def _jcamp_options(args: argparse.Namespace) -> dict[str, Any]:
    """What --jcamp-form, --data-type and --split ask of the JCAMP-DX writer; refused for another format."""
    given = {"--jcamp-form": args.jcamp_form, "--data-type": args.data_type, "--split": args.split or None}
    if args.to != "jcamp":
        for option, value in given.items():
            if value is not None:
                raise Failure(f"{option} is for JCAMP-DX files: add --to jcamp", BAD_INPUT)
        return {}
    if args.combine:
        raise Failure("--combine writes every input as one file, which a JCAMP-DX file is not made to hold; "
                      "export each file on its own (a series as one compound file)", BAD_INPUT)
    return {"form": args.jcamp_form or "affn", "data_type": args.data_type or "INFRARED SPECTRUM",
            "split": args.split}


def _inputs(names: list[str], status: int) -> list[str]:
    """The files named: a folder stands for its files ending in .spa, a glob
    (as a shell that expands none hands it over) for its matches, both in
    natural order; a name that exists is taken as it is, whatever it holds."""
    from ._many.files import expand

    files: list[str] = []
    for name in names:
        if os.path.isdir(name) or (glob.has_magic(name) and not os.path.lexists(name)):
            try:
                files += [str(path) for path in expand(name)]
            except OSError as error:
                raise Failure(f"{name}: {_os_reason(error)}" if error.errno else str(error), status) from None
        else:
            files.append(name)
    return files


def _not_read(failure: Failure, on_error: str) -> int:
    """Says why a file was not read, and gives the status that leaves: its
    own, or FAILED for a file --on-error skip leaves out."""
    if on_error == "skip":
        _error(f"skipped {failure}")
        return FAILED
    _error(str(failure))
    return failure.status


def _x_grid(numbers: list[float]) -> npt.NDArray[numpy.float64]:
    start, stop, count = numbers
    if not count.is_integer() or count < 1:
        raise Failure(f"--x-grid: N must be a whole number of points, not {count:g}", BAD_INPUT)
    return numpy.linspace(start, stop, int(count))


def _export_combined(args: argparse.Namespace, suffix: str) -> int:
    """Every input's spectra as one table or file, the X axis checked or interpolated."""
    from ._export import combine as _combine

    if args.partial:
        # Whole files make one matrix: a series cut short would leave its rows out unseen.
        raise Failure("--combine reads whole files and cannot take --partial", BAD_INPUT)
    if args.output is None:
        raise Failure("--combine writes one file: name it with -o", BAD_INPUT)
    out: Path = args.output
    if out.is_dir():
        raise Failure(f"{out}: a folder; --combine writes one file", BAD_INPUT)
    for path in args.files:
        if _same_file(path, out):
            raise Failure(f"{path}: the output {out} would replace the input", FAILED)
    grid = None
    if args.x_grid is not None:
        grid = _x_grid(args.x_grid)
    c = _load_many(args.files, args, "exact" if grid is None else grid)
    try:
        _combine.write(args.to, c, out)
    except OSError as error:
        raise Failure(f"{out}: {_os_reason(error)}", FAILED) from None
    print(f"wrote {out}")
    return FAILED if c.skipped else DONE


def _load_many(files: list[str], args: argparse.Namespace, x: Any) -> spectra.Collection:
    """load_many of the files, with one line on stderr per file --on-error skip left out."""
    try:
        with warnings.catch_warnings():
            # The lines below say what the warning would.
            warnings.filterwarnings("ignore", "skipped .* files that could not be read", UserWarning)
            c = spectra.load_many(files, x=x, on_error=args.on_error, encoding=args.encoding)
    except spectra.FormatError as error:
        raise Failure(command_line_text(error), BAD_INPUT) from None
    except OSError as error:
        raise Failure(f"{error.filename}: {_os_reason(error)}", BAD_INPUT) from None
    for _, message in c.skipped:
        _error(f"skipped {message}")
    return c


def plot(args: argparse.Namespace) -> int:
    """A heat map and a few spectra of a series, the line of a single
    spectrum, or several files' spectra together."""
    try:
        from ._show import plot as _plot
    except ImportError as error:
        if (error.name or "").partition(".")[0] != "matplotlib":
            raise
        raise Failure("plot needs matplotlib: pip install 'quorinreader[plot]'", FAILED) from None
    files = _inputs(args.files, BAD_INPUT)
    if len(files) > 1:
        return _plot_several(args, files)
    if args.offset is not None or args.x_grid is not None:
        raise Failure(f"--{'offset' if args.offset is not None else 'x-grid'} draws the spectra of several files; "
                      "give more than one FILE, or a folder", BAD_INPUT)
    path = files[0]
    out = args.output if args.output is not None else _beside(path, ".png")
    if out is None:
        raise Failure(f"{path}: names no file", BAD_INPUT)
    with _read(path, spectra.open, BAD_INPUT, args.partial, encoding=args.encoding) as s:
        try:
            fig = _plot.figure(s, path, at=args.at, band=None if args.band is None else tuple(args.band),
                               how=args.how)
        except _plot.NothingToPlot as error:
            raise Failure(str(error), BAD_INPUT) from None
        _save(fig, out, args.dpi)
    return DONE


def _plot_several(args: argparse.Namespace, files: list[str]) -> int:
    """The spectra of several files in one figure: overlaid (or offset) and
    labelled where there are few, else a heat map of them all."""
    from ._show import plot as _plot, plot_many as _plot_many

    if args.at is not None or args.band is not None or args.how is not None:
        raise Failure("--at, --band and --how draw one file (a map, or a series' band): give one FILE", BAD_INPUT)
    out = args.output
    if out is None:
        [given] = args.files if len(args.files) == 1 and os.path.isdir(args.files[0]) else [None]
        out = None if given is None else _beside(os.path.normpath(given), ".png")
        if out is None:
            raise Failure(f"{len(files):,} files make one figure: name its image with -o", BAD_INPUT)
    status = DONE
    if len(files) <= _plot_many.OVERLAID_MAX:
        opened: list[tuple[str, Spectra]] = []
        try:
            for path in files:
                try:
                    opened.append((path, _read(path, spectra.open, BAD_INPUT, args.partial,
                                               encoding=args.encoding)))
                except Failure as failure:
                    if args.on_error != "skip":
                        raise
                    status = _not_read(failure, args.on_error)
            if not opened:
                raise Failure(_many_files.none_read(len(files)), BAD_INPUT)
            if sum(len(s) for _, s in opened) <= _plot_many.OVERLAID_MAX:
                try:
                    fig = _plot_many.overlaid(opened, offset=args.offset)
                except _plot.NothingToPlot as error:
                    raise Failure(str(error), BAD_INPUT) from None
                _save(fig, out, args.dpi)
                return status
            files = [path for path, _ in opened]  # the heat map reads those that could be read
        finally:
            for _, s in opened:
                s.close()
    if args.partial:
        raise Failure(f"--partial draws {_plot_many.OVERLAID_MAX} spectra or fewer; the heat map of more reads "
                      "whole files (--on-error skip leaves a file cut short out)", BAD_INPUT)
    c = _load_many(files, args, "exact" if args.x_grid is None else _x_grid(args.x_grid))
    try:
        fig = _plot_many.heat_map(c)
    except _plot.NothingToPlot as error:
        raise Failure(str(error), BAD_INPUT) from None
    _save(fig, out, args.dpi)
    return FAILED if c.skipped or status != DONE else DONE


def _save(fig: Any, out: Path, dpi: float) -> None:
    """Writes the figure, refusing an image too large to hold before anything is drawn."""
    from ._show import plot as _plot

    width, height = (round(inches * dpi) for inches in fig.get_size_inches())
    if width * height > MAX_PIXELS:
        raise Failure(f"{out}: an image of {width:,} x {height:,} pixels at --dpi {dpi:g} is more "
                      f"than {MAX_PIXELS // 1_000_000} megapixels; use a smaller --dpi", BAD_INPUT)
    try:
        _plot.save(fig, out, dpi)
    except _plot.UnknownImageType as error:
        raise Failure(str(error), BAD_INPUT) from None
    except OSError as error:
        raise Failure(f"{out}: {_os_reason(error)}", FAILED) from None
    print(f"wrote {out}")


# The command line.

def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Read SPA spectrum and series files: describe them, export their "
                               "spectra, plot them.",
        epilog="Exit status: 0 done, 1 an export failed or an optional library is missing, "
               "2 bad input or usage.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)

    p = commands.add_parser("info", help="describe each file", description=(
        "Per file: the kind (series or spectrum), the number of spectra and points, the X range, "
        "the data type, the dimensions that match the spectra, and the first titles."))
    _files_argument(p)
    p.add_argument("--json", action="store_true", help="print a JSON array, one object per file")
    p.add_argument("--titles", type=_count, default=TITLES_SHOWN, metavar="N",
                   help=f"show the first N titles (default {TITLES_SHOWN})")
    _reading_options(p, "describe")
    p.set_defaults(command=info)

    p = commands.add_parser("export", help="write each file's spectra as CSV, NPZ, netCDF, JCAMP-DX, HSPY "
                                          "or NeXus", description=(
        "Write each file's spectra in another format, by default beside the file with the format's "
        "suffix (.csv, .npz, .nc, .jdx, .hspy, .nxs). CSV: a header row of X values, then one row per spectrum, "
        "led by its title. NPZ: x, values, titles and mini_headers (where the file has them). netCDF: the "
        "xarray Dataset of the spectra. JCAMP-DX 5.01: a spectrum, or a series as one compound file. HSPY: "
        "HyperSpy's signal. NeXus: an NXentry with an NXdata. A map goes to HSPY and NeXus on its grid."))
    _files_argument(p)
    p.add_argument("--to", required=True, choices=sorted(FORMATS), help="the output format")
    p.add_argument("-o", "--output", type=Path, metavar="OUT",
                   help="the output file for one FILE or with --combine, or the folder for several")
    p.add_argument("--combine", action="store_true",
                   help="write every spectrum of every FILE as one table or file, with its file and title; "
                        "the files must share their X axis")
    p.add_argument("--x-grid", type=float, nargs=3, metavar=("START", "STOP", "N"),
                   help="with --combine: interpolate every spectrum onto N points from START to STOP")
    p.add_argument("--jcamp-form", choices=["affn", "difdup"],
                   help="JCAMP-DX: affn (the default) writes every value exactly; difdup compresses to 7 "
                        "significant digits of each spectrum's largest value")
    p.add_argument("--data-type", type=_data_type, metavar="TYPE",
                   help="JCAMP-DX: 'INFRARED SPECTRUM' (the default) or 'RAMAN SPECTRUM' (also infrared, "
                        "raman); the file does not say which")
    p.add_argument("--split", action="store_true", help="JCAMP-DX: one file per spectrum of a series, numbered")
    _reading_options(p, "export")
    p.set_defaults(command=export)

    p = commands.add_parser("plot", help="draw a file's spectra to an image", description=(
        "A series: a heat map of its spectra against X and the matching dimension (or the spectrum "
        "index), over a few of its spectra drawn as lines. A map (a series whose stage positions lie on a "
        "grid): the image of a band in stage x and y, beside the spectra of a few marked pixels. With --at or "
        "--band, another series: the trace of that band against its axis. A single spectrum: a line. Several "
        "files, or a folder: their spectra overlaid (or offset), each labelled by its title, else its file "
        "name; above 20 spectra, a heat map of them all."))
    _files_argument(p)
    p.add_argument("-o", "--output", type=Path, metavar="OUT",
                   help="the image (PNG, or SVG, PDF... by its suffix); by default FILE with .png")
    p.add_argument("--dpi", type=_positive, default=100,
                   help=f"pixels per inch (default 100; the image may have at most {MAX_PIXELS // 1_000_000} "
                        "megapixels)")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--at", type=_finite, metavar="X",
                       help="the values at the point nearest X: a map's image, or another series' trace")
    where.add_argument("--band", type=_finite, nargs=2, metavar=("A", "B"),
                       help="the band from A to B: a map's image, or another series' trace (by default a map "
                            "shows the band of the largest mean intensity)")
    p.add_argument("--how", choices=["area", "max", "mean"],
                   help="how the band is measured in each pixel or spectrum (default mean)")
    p.add_argument("--offset", type=_finite, nargs="?", const=math.nan, metavar="D",
                   help="several files: draw each spectrum D above the one before (by default, the largest "
                        "range of values among them)")
    p.add_argument("--x-grid", type=float, nargs=3, metavar=("START", "STOP", "N"),
                   help="the heat map of several files: interpolate every spectrum onto N points from START to STOP")
    _reading_options(p, "draw")
    p.set_defaults(command=plot)
    return parser


def _files_argument(p: argparse.ArgumentParser) -> None:
    p.add_argument("files", nargs="+", metavar="FILE",
                   help="a file, a folder (its files ending in .spa) or a glob such as 'run*/*.spa'")


def _reading_options(p: argparse.ArgumentParser, verb: str) -> None:
    p.add_argument("--partial", action="store_true",
                   help=f"{verb} the complete spectra of a series cut short, with a warning, instead of "
                        "failing")
    p.add_argument("--on-error", choices=["raise", "skip"], default="raise",
                   help="skip: leave out a file that cannot be read, with one line that says why, and end with "
                        "status 1 (default raise: such a file is an error)")
    p.add_argument("--encoding", type=_codec, metavar="CODEC",
                   help="the code page of the titles (default: UTF-8 where they are valid UTF-8, else "
                        "Windows-1252)")


def _codec(text: str) -> str:
    try:
        return codecs.lookup(text).name
    except LookupError:
        raise argparse.ArgumentTypeError(f"no codec is called {text!r}; such as utf-8, cp1252, latin-1, "
                                         "shift_jis") from None


def _data_type(text: str) -> str:
    from ._export.jcamp import data_type_of

    try:
        return data_type_of(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected 'INFRARED SPECTRUM' or 'RAMAN SPECTRUM', not {text!r}") from None


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a count of 0 or more, not {text!r}")
    return value


def _positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"expected a positive number, not {text!r}")
    return value


def _finite(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a number, not {text!r}")
    return value


# Reading, and the lines that say why a file could not be read.

def _read(path: str, how: Callable[..., Spectra], status: int, partial: bool = False,
          say: Callable[[str], None] | None = None, encoding: str | None = None) -> Spectra:
    """The spectra of `path`; with `partial`, those of a series cut short, said once on stderr."""
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", spectra.TruncatedWarning)
            s = how(path, partial=partial, encoding=encoding)
        for warning in caught:
            if issubclass(warning.category, spectra.TruncatedWarning):
                message = str(warning.message)
                line = f"{PROG}: warning: {message if message.startswith(f'{path}: ') else f'{path}: {message}'}"
                if say is None:
                    print(line, file=sys.stderr)
                else:
                    say(line)
            else:
                warnings.warn_explicit(warning.message, warning.category, warning.filename, warning.lineno)
        return s
    except spectra.FormatError as error:
        message = command_line_text(error)
        raise Failure(message if message.startswith(f"{path}: ") else f"{path}: {message}", status) from None
    except OSError as error:
        raise Failure(f"{path}: {_os_reason(error)}", status) from None


def _os_reason(error: OSError) -> str:
    return error.strerror or str(error)


def _error(message: str) -> None:
    print(f"{PROG}: {message}", file=sys.stderr)


# info

def _summary(s: Spectra, path: str, titles: int) -> dict[str, Any]:
    header = s.spectral_header
    return {"file": path, "kind": s.kind, "spectra": len(s), "points": s.values.shape[1],
            "x": {"first": header.first_x, "last": header.last_x}, "dtype": s.values.dtype.name,
            "dimensions": [axis._asdict() for axis in _axes.matching(s)], "map": _map_summary(s),
            "titles": s.titles[:titles]}


def _map_summary(s: Spectra) -> dict[str, Any] | None:
    if s.kind != "series" or not s.is_map:
        return None
    m = s.to_map(duplicates="last")
    (ny, nx), (dy, dx) = m.shape, m.step
    return {"nx": nx, "ny": ny, "step_x": dx, "step_y": dy, "scan": m.scan, "taken": m.taken}


def _summary_text(summary: dict[str, Any]) -> str:
    x = summary["x"]
    lines = [summary["file"],
             f"  kind        {summary['kind']}",
             f"  spectra     {summary['spectra']:,}",
             f"  points      {summary['points']:,}",
             f"  x           {_axes.number(x['first'])} to {_axes.number(x['last'])}",
             f"  dtype       {summary['dtype']}"]
    for d in summary["dimensions"]:
        name = _axes.label(d["long_label"], d["short_label"]) or "(no label)"
        lines.append(f"  dimension   {name}: {_axes.number(d['first'])} to {_axes.number(d['last'])}, "
                     f"{d['n']:,} values")
    where = summary.get("map")
    if where is not None:
        lines.append(f"  map         {where['nx']:,} × {where['ny']:,} positions, step {_step(where['step_x'])} × "
                     f"{_step(where['step_y'])}, {where['scan']}, {where['taken']:,} of "
                     f"{where['nx'] * where['ny']:,} taken")
    elif not summary["dimensions"]:
        lines.append("  dimension   none matches the spectra")
    titles, n = summary["titles"], summary["spectra"]
    if n and titles and all(t is None for t in titles):
        shown = ["none (the spectra have no mini headers)"]
    else:
        shown = [t if t.isprintable() else repr(t) for t in titles]
        if n > len(titles):
            shown.append(f"... {n - len(titles):,} more" if titles else f"{n:,} not shown")
    for i, title in enumerate(shown or ["none"]):
        lines.append(f"  {'titles' if i == 0 else '':<12}{title}")
    return "\n".join(lines) + "\n"


def _step(value: float) -> str:
    return f"{value:.4g}" if math.isfinite(value) else "-"


def _json_safe(value: Any) -> Any:
    """JSON has no NaN or infinity: such a float becomes null."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: _json_safe(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_json_safe(v) for v in value]
    return value


# export

def _beside(path: str, suffix: str) -> Path | None:
    """The file beside `path` with `suffix` for its own; None where `path` names no file."""
    p = Path(path)
    if p.name in ("", ".", ".."):
        return None
    return p.with_suffix(suffix)


def _outputs(files: list[str], suffix: str, output: Path | None) -> list[Path | None]:
    """Where each file's export goes: beside it, at `output` (one file), or in the folder `output`."""
    folder = None
    if output is None:
        outputs = [_beside(path, suffix) for path in files]
    elif len(files) == 1 and not output.is_dir() and not str(output).endswith(os.sep):
        return [output]
    else:
        if output.exists() and not output.is_dir():
            raise Failure(f"{output}: not a folder; for several files -o names the folder to write them in",
                          BAD_INPUT)
        folder = output
        outputs = [None if (b := _beside(path, suffix)) is None else output / b.name for path in files]
    first: dict[str, int] = {}  # output -> the first input that writes it
    for k, out in enumerate(outputs):
        if out is None:
            continue
        j = first.setdefault(os.path.abspath(out), k)
        if j != k:
            raise Failure(f"{files[k]} is given twice" if files[j] == files[k] else
                          f"{out} would be written for both {files[j]} and {files[k]}", BAD_INPUT)
    if folder is not None:
        try:
            folder.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise Failure(f"{folder}: {_os_reason(error)}", BAD_INPUT) from None
    return outputs


def _same_file(path: str, out: Path) -> bool:
    try:
        return os.path.samefile(path, out)
    except OSError:
        return False


class _Progress:
    """A progress bar over the files on stderr, where stderr is a terminal
    and tqdm is installed, and below it one over the spectra of a long CSV
    export; elsewhere nothing but the lines said."""

    def __init__(self, total: int) -> None:
        self._bar: Any = None
        self._tqdm: Any = None
        if sys.stderr.isatty():
            try:
                from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
            except ImportError:
                return
            self._tqdm = tqdm
            if total > 1:
                self._bar = tqdm(total=total, unit="file", file=sys.stderr, leave=False, desc="export")

    @contextlib.contextmanager
    def rows(self, total: int, name: str | None) -> Iterator[Callable[[int], None] | None]:
        """What a writer tells of the spectra it has written: a bar over the
        `total` spectra of `name`, where there are many to write one by one."""
        if self._tqdm is None or name is None or total < ROWS_COUNTED:
            yield None
            return
        with self._tqdm(total=total, unit="spectrum", file=sys.stderr, leave=False,
                        desc=name) as bar:
            yield bar.update

    def say(self, line: str) -> None:
        if self._bar is None:
            print(line, file=sys.stderr)
        else:
            self._bar.write(line, file=sys.stderr)

    def step(self) -> None:
        if self._bar is not None:
            self._bar.update()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if self._bar is not None:
            self._bar.close()
