"""What the arrays layer raises and warns about, and the wording they share."""

from __future__ import annotations

__all__ = ["FormatError", "TruncatedWarning", "command_line_text", "not_spectral", "past_end", "with_way_out"]

# Bytes of a file that is not a spectral file that its message shows.
SHOWN = 17


class FormatError(ValueError):
    """A file the reader opens that holds no readable spectrum or series.

    The message names the source and the byte offset, and says what was
    expected there and what was found, and where there is a way past it,
    which option takes it."""


class TruncatedWarning(UserWarning):
    """A series cut short, read as far as its complete spectra go."""


# Both belong to the public module, quorinreader.spectra: that is where
# tracebacks and pickles should find them.
FormatError.__module__ = TruncatedWarning.__module__ = "quorinreader.spectra"


def with_way_out(reason: str, python: str, command_line: str) -> FormatError:
    """A FormatError of `reason` that ends with the way past it: the message
    says it in Python's terms (`python`, such as "pass partial=True ..."),
    and the command line tells its users `command_line` instead.  Both
    travel in the error's dictionary, so a pickled error keeps them."""
    error = FormatError(f"{reason}; {python}")
    error._reason = reason  # type: ignore[attr-defined]
    error._command_line = f"{reason}; {command_line}"  # type: ignore[attr-defined]
    return error


def command_line_text(error: BaseException) -> str:
    """The message of `error` with its way out in the command line's terms."""
    return getattr(error, "_command_line", None) or str(error)


def not_spectral(name: str, start: bytes) -> FormatError:
    """A file that is no spectral file at all: too short for its own header
    and directory, or listing no section of a spectrum or series.  Its first
    bytes say more than any offset would: what kind of file it is instead."""
    if not start:
        return FormatError(f"{name}: not a spectral file: it is empty")
    return FormatError(f"{name}: not a spectral file: it starts with {start[:SHOWN]!r}")


def past_end(what: str, offset: int, needed: int | None, size: int | None) -> str:
    """Says that `what` (`needed` bytes at `offset`, when known) does not fit in a file of `size` bytes."""
    if needed is None:
        return f"{what} at offset {offset:,} runs past the end of the file" + (
            "" if size is None else f" at {size:,}")
    end = "the file ends before that" if size is None else f"the file ends at {size:,}"
    return f"{what} needs {needed:,} bytes at offset {offset:,}, {end}"
