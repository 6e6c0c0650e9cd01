"""Reduction for running: the reduced store together with, for every requested output, the
node of the reduced store that computes it (a reduced store merges equal outputs and keeps
one mark per node, so its marks alone do not answer the request)."""
from __future__ import annotations

from typing import Any, Sequence

__all__ = ["for_run", "reduce_outputs"]


def reduce_outputs(store: Any, outputs: Sequence[int] | None = None, *,
                   maximal_fusion: bool = False) -> tuple[Any, list[int], dict[str, int]]:
    """Reduce ``store`` for ``outputs`` (default: its marks). Returns ``(reduced_store,
    output_ids, report)``: ``output_ids[i]`` is the node of ``reduced_store`` that answers
    ``outputs[i]``, so running ``reduced_store`` for ``output_ids`` gives what running
    ``store`` for ``outputs`` gives."""
    wanted = list(store.outputs()) if outputs is None else list(outputs)
    reduced, report, ids = store.reduce_mapped(outputs=wanted, maximal_fusion=maximal_fusion)
    return reduced, list(ids), report


def for_run(store: Any, outputs: Sequence[int] | None, reduce: bool,
            maximal_fusion: bool) -> tuple[Any, Sequence[int] | None]:
    """The store and output ids to run: the given ones, or the reduced store and the ids that
    answer the given outputs when ``reduce`` is true."""
    if not reduce:
        return store, outputs
    reduced, ids, _ = reduce_outputs(store, outputs, maximal_fusion=maximal_fusion)
    return reduced, ids
