"""Every example program runs to completion (an example that writes files writes them to the
folder given as its first argument)."""

import pathlib
import subprocess
import sys

import pytest

EXAMPLES = sorted((pathlib.Path(__file__).resolve().parents[2] / "examples").glob("*.py"))
# Examples that need optional dependencies run where those are installed.
NEEDS = {"dask_pipeline": ("numpy", "dask", "distributed")}


@pytest.mark.parametrize("example", EXAMPLES, ids=[e.stem for e in EXAMPLES])
def test_example_runs(example, tmp_path):
    for module in NEEDS.get(example.stem, ()):
        pytest.importorskip(module)
    done = subprocess.run(
        [sys.executable, str(example), str(tmp_path)], cwd=tmp_path, capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
