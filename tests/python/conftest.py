"""Shared pytest setup for the Python tests."""

import pytest
from hypothesis import settings

# The test machine is shared and noisy: no per-example deadline.
settings.register_profile("default", deadline=None)
settings.load_profile("default")


@pytest.fixture
def store():
    """A new, empty GraphStore."""
    from vantrel_core import GraphStore

    return GraphStore()


def pytest_addoption(parser):
    parser.addoption(
        "--cluster",
        action="store_true",
        help="also run the tests that start local Dask clusters of worker processes (slow; "
        "tools/test_python.sh runs them)",
    )


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "cluster: starts a local Dask cluster of worker processes (slow; run with --cluster)"
    )


def pytest_collection_modifyitems(config, items):
    if config.getoption("--cluster"):
        return
    skip = pytest.mark.skip(reason="starts local Dask clusters of worker processes (slow): run with --cluster")
    for item in items:
        if "cluster" in item.keywords:
            item.add_marker(skip)
