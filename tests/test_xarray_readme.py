"""The README's "xarray and Dask" section runs as written, and prints what it says."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("xarray")
pytest.importorskip("dask.distributed")

ROOT = Path(__file__).resolve().parents[1]


def blocks():
    text = (ROOT / "README.md").read_text()
    section = re.search(r"^## xarray and Dask\n(.*?)(?=^## )", text, re.S | re.M).group(1)
    return re.findall(r"^```python\n(.*?)^```", section, re.S | re.M)


@pytest.mark.parametrize("code", blocks(), ids=["open_dataset", "open_mfdataset on a cluster"])
def test_a_block_prints_what_its_comments_say(tmp_path, code):
    script = tmp_path / "example.py"  # run as a user would: a script, from the top of the checkout
    script.write_text(code)
    expected = [line.partition("  # ")[2] for line in code.splitlines() if line.lstrip().startswith("print(")]
    run = subprocess.run([sys.executable, str(script)], cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == expected
