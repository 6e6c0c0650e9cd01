"""Checks that only mean something on a free-threaded interpreter: the module keeps the GIL
off, and the shared-store workload holds its invariants with threads really running at once.
Skipped on builds with a GIL."""
import sys
import sysconfig

import pytest

import vantrel_core  # noqa: F401  (importing is what could turn the GIL back on)
from thread_stress import run_stress

pytestmark = pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                                reason="needs a free-threaded interpreter")


def test_stress_runs_without_the_gil():
    seen = []
    run_stress(threads=8, seconds=3.0, during=lambda: seen.append(sys._is_gil_enabled()))
    assert seen == [False]
    assert not sys._is_gil_enabled()
