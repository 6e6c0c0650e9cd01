"""The optional Dask dependency, imported only by the entry points that need it."""

from __future__ import annotations

MESSAGE = (
    "vantrel's Dask runtime needs dask and distributed, the optional extra 'dask': pip install 'vantrel_core[dask]'"
)


def require_dask() -> None:
    """Raise one ImportError naming the extra when dask or distributed is missing."""
    try:
        import dask  # noqa: F401  # pyright: ignore[reportUnusedImport]
        import distributed  # noqa: F401  # pyright: ignore[reportUnusedImport]
    except ImportError as exc:
        raise ImportError(MESSAGE, name=exc.name) from exc
