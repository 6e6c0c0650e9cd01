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


def pytest_configure(config):
    config.addinivalue_line("markers", "cluster: starts a local Dask cluster of worker processes (slow)")
