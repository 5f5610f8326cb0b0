"""What every writer of an export shares: an output replaced only by a
whole one, the errors of a missing library or of spectra a format cannot
hold, and the step by which a writer tells of its progress."""

from __future__ import annotations

import contextlib
import importlib.util
import os
from collections.abc import Callable, Iterator
from pathlib import Path

__all__ = ["MissingExtra", "Step", "Unwritable", "needs", "replacing"]


class MissingExtra(ImportError):
    """An optional library that a format needs is not installed."""


class Unwritable(ValueError):
    """Spectra that a format cannot hold, such as a NaN in JCAMP-DX."""


# What a writer tells of its progress: how many more spectra it has written.
Step = Callable[[int], None]


def needs(module: str, what: str, extra: str) -> Callable[[], None]:
    """A check that `module` can be imported: else MissingExtra naming `extra`."""
    def check() -> None:
        if importlib.util.find_spec(module) is None:
            raise MissingExtra(f"{what} needs {module}: pip install 'quorinreader[{extra}]'")
    return check


@contextlib.contextmanager
def replacing(out: Path) -> Iterator[Path]:
    """A temporary path beside `out`, renamed to `out` once the block succeeds."""
    temporary = out.with_name(f".{out.name}.{os.getpid()}.partial")
    try:
        yield temporary
        os.replace(temporary, out)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise

