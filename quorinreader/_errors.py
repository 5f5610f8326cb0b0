"""What the arrays layer raises and warns about, and the wording they share."""

from __future__ import annotations

__all__ = ["FormatError", "TruncatedWarning", "past_end"]


class FormatError(ValueError):
    """A file the reader opens that holds no readable spectrum or series.

    The message names the source and the byte offset, and says what was
    expected there and what was found."""


class TruncatedWarning(UserWarning):
    """A series cut short, read as far as its complete spectra go."""


# Both belong to the public module, quorinreader.spectra: that is where
# tracebacks and pickles should find them.
FormatError.__module__ = TruncatedWarning.__module__ = "quorinreader.spectra"


def past_end(what: str, offset: int, needed: int | None, size: int | None) -> str:
    """Says that `what` (`needed` bytes at `offset`, when known) does not fit in a file of `size` bytes."""
    if needed is None:
        return f"{what} at offset {offset:,} runs past the end of the file" + (
            "" if size is None else f" at {size:,}")
    end = "the file ends before that" if size is None else f"the file ends at {size:,}"
    return f"{what} needs {needed:,} bytes at offset {offset:,}, {end}"
