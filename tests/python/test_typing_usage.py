"""The typed usage file's accepted calls run: the stubs promise nothing the module refuses."""

import importlib.metadata
import pathlib
import runpy

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_typed_usage_runs():
    runpy.run_path(str(ROOT / "tests" / "typing" / "usage.py"), run_name="usage")["accepted"]()


def test_stubs_and_typed_package_ship_with_the_module():
    files = {str(f) for f in importlib.metadata.files("vantrel_core") or []}
    assert "vantrel_core-stubs/__init__.pyi" in files
    assert "vantrel/py.typed" in files


def test_typed_pipeline_usage_runs():
    runpy.run_path(str(ROOT / "tests" / "typing" / "pipeline_usage.py"), run_name="usage")["accepted"]()
