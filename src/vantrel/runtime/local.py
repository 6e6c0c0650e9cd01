"""The local evaluator: runs a graph in the calling thread, with no Dask, node by node in id
order. Made for tests and small data; it computes exactly what the Dask runtime computes
(same partitioning, same combine tree, same exchange order)."""
from __future__ import annotations

from typing import Any, Sequence

from ..registry import Registry
from .kernels import (exchange_merge, exchange_split, external_apply, op_apply, pick_all, reduce_partitions,
                      source_read, stage_partition, stage_whole)
from .output_map import for_run
from .plan import Plan, PlanNode, build_plan

__all__ = ["evaluate", "evaluate_plan"]


def evaluate(store: Any, registry: Registry, outputs: Sequence[int] | None = None, *, reduce: bool = False,
             maximal_fusion: bool = False) -> list[list[Any]]:
    """Compute ``outputs`` (default: the store's marks) of ``store`` with ``registry``; with
    ``reduce=True``, run the reduced graph instead (``maximal_fusion`` picks the fusion rule).

    Returns one entry per requested output, in order and with repeats: the list of that
    node's partitions (a reduction's result is a list of one partition). Everything is
    checked before any user function runs (see `vantrel.runtime.build_plan`)."""
    store, outputs = for_run(store, outputs, reduce, maximal_fusion)
    return evaluate_plan(build_plan(store, registry, outputs))


def evaluate_plan(plan: Plan) -> list[list[Any]]:
    """Compute a checked plan; see `evaluate`. Results are dropped after their last use."""
    keep = set(plan.outputs)
    last = plan.last_uses()
    values: dict[int, list[Any]] = {}
    for node in plan.nodes.values():
        values[node.id] = _run(node, [values[x] for x in node.inputs])
        for x in set(node.inputs):
            if last[x] == node.id and x not in keep:
                del values[x]
    return [list(values[o]) for o in plan.outputs]


def _run(node: PlanNode, args: list[list[Any]]) -> list[Any]:
    kind, task, n = node.kind, node.task, node.count
    if kind == "source":
        if node.parts is not None:
            return list(node.parts)
        return [source_read(task, i) for i in range(n)]
    if kind == "op":
        return [op_apply(task, *pick_all(args, i)) for i in range(n)]
    if kind == "external":
        return [external_apply(task, *pick_all(args, i)) for i in range(n)]
    if kind == "reduction":
        count = max((len(a) for a in args), default=1)
        return [reduce_partitions(task, args, count)]
    if kind == "exchange":
        splits = [exchange_split(task, part) for part in args[0]]
        return [exchange_merge(task, *(s[j] for s in splits)) for j in range(n)]
    if kind == "stage":
        if task.per_partition:
            return [stage_partition(task, *pick_all(args, i)) for i in range(n)]
        return stage_whole(task, *args)
    raise AssertionError(f"unplanned kind {kind!r}")
