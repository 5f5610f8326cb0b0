"""The progress bar of many files' reads, where the caller asks for one."""

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
