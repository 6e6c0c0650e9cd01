"""Reduction for running: the reduced store together with, for every requested output, the
node of the reduced store that computes it (a reduced store merges equal outputs and keeps
one mark per node, so its marks alone do not answer the request)."""
from __future__ import annotations

from vantrel_core import GraphStore

from ..types import ReductionReport
from .ids import OutputIds, check_store, output_ids

__all__ = ["for_run", "reduce_outputs"]


def reduce_outputs(store: GraphStore, outputs: OutputIds | None = None, *,
                   maximal_fusion: bool = False) -> tuple[GraphStore, ReductionReport, list[int]]:
    """Reduce ``store`` for ``outputs`` (default: its marks). Returns ``(reduced_store,
    report, output_ids)``, in the order of `vantrel_core.GraphStore.reduce_mapped`:
    ``output_ids[i]`` is the node of ``reduced_store`` that answers ``outputs[i]``, so running
    ``reduced_store`` for ``output_ids`` gives what running ``store`` for ``outputs`` gives."""
    store, wanted = requested(store, outputs)
    reduced, report, ids = store.reduce_mapped(outputs=wanted, maximal_fusion=maximal_fusion)
    return reduced, report, list(ids)


def requested(store: object, outputs: OutputIds | None) -> tuple[GraphStore, list[int]]:
    """The checked store and output ids of a request (default: the store's marks)."""
    checked = check_store(store)
    return checked, output_ids(checked.outputs() if outputs is None else outputs, checked.node_count())


def for_run(store: GraphStore, outputs: OutputIds | None, reduce: bool,
            maximal_fusion: bool) -> tuple[GraphStore, list[int]]:
    """The store and output ids to run: the given ones, or the reduced store and the ids that
    answer the given outputs when ``reduce`` is true."""
    if not reduce:
        return requested(store, outputs)
    reduced, _, ids = reduce_outputs(store, outputs, maximal_fusion=maximal_fusion)
    return reduced, ids
