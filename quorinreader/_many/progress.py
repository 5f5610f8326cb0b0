"""What a caller sets of a read of many files: its progress bar, and how
many requests for URLs may be in flight at once."""

from __future__ import annotations

from typing import Any


def bar(progress: bool, total: int, what: str) -> Any:
    """A tqdm bar of `total` files, labelled `what`; None unless `progress`."""
    if not progress:
        return None
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError as error:
        raise ImportError("progress=True needs tqdm: pip install 'quorinreader[all]'") from error
    return tqdm(total=total, unit="file", desc=what)


def concurrency(value: int | None) -> int | None:
    """`max_concurrency` checked: a positive int, or None for fsspec's own batch size."""
    if value is not None and (not isinstance(value, int) or isinstance(value, bool) or value < 1):
        raise ValueError(f"max_concurrency must be a positive int or None, not {value!r}")
    return value
