"""The arguments every runtime entry point checks the same way: the store and the requested
output ids.

Output ids convert as ``vantrel_core`` converts node ids, so that a request means the same to
the runtime as to the store's own methods (which the runtime calls when it reduces): any
sequence except a ``str``, each id through ``__index__`` (a NumPy integer or a ``bool`` is an
id, a ``float`` is not). One error class per fault: ``TypeError`` for a value of the wrong
type, ``OverflowError`` for an id below 0 or beyond 64 bits, ``ValueError`` for an id that
names no node of the store.
"""

from __future__ import annotations

import operator
from collections.abc import Iterable, Sequence
from typing import SupportsIndex, cast

from vantrel_core import GraphStore

__all__ = ["OutputIds", "check_store", "output_ids"]

OutputIds = Sequence[SupportsIndex]
"""What ``outputs=`` takes: a sequence of node ids (ints, or objects with ``__index__``)."""

_U64_LIMIT = 1 << 64


def check_store(store: object) -> GraphStore:
    """``store`` when it is a ``GraphStore``; a ``TypeError`` naming the argument otherwise."""
    if not isinstance(store, GraphStore):
        raise TypeError(f"argument 'store': expected a vantrel_core.GraphStore, not {type(store).__name__}")
    return store


def output_ids(outputs: object, node_count: int) -> list[int]:
    """The ids of ``outputs`` as ints, each checked to name a node of a store of
    ``node_count`` nodes."""
    kind = type(outputs)
    if issubclass(kind, str):
        raise TypeError("argument 'outputs': a sequence of node ids, not a str")
    if issubclass(kind, dict) or not hasattr(kind, "__getitem__"):
        raise TypeError(f"argument 'outputs': '{kind.__name__}' object cannot be converted to 'Sequence'")
    ids: list[int] = []
    for x in cast("Iterable[object]", outputs):  # every id converts before any is looked up, as in the store's methods
        try:
            i = operator.index(cast(SupportsIndex, x))  # refuses what has no __index__
        except TypeError as exc:
            raise TypeError(f"argument 'outputs': {exc}") from None
        if i < 0:
            raise OverflowError("can't convert negative int to unsigned")
        if i >= _U64_LIMIT:
            raise OverflowError("int too big to convert")
        ids.append(i)
    for i in ids:
        if i >= node_count:
            raise ValueError(f"no node with id {i}")
    return ids
