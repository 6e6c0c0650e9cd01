"""The local evaluator: runs a graph in the calling thread, with no Dask, node by node in id
order. Made for tests and small data; it computes exactly what the Dask runtime computes
(same partitioning, same combine tree, same exchange order)."""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

from vantrel_core import GraphStore

from ..registry import Registry
from ..types import Extraction, Limits, RuleData
from .ids import OutputIds
from .interpreter import Interpreter
from .kernels import (
    exchange_merge,
    exchange_split,
    external_apply,
    op_apply,
    pick_all,
    reduce_partitions,
    source_read,
    stage_partition,
    stage_whole,
)
from .output_map import Reduction, for_run
from .plan import Plan, PlanNode, build_plan

__all__ = ["LocalEvaluator", "evaluate", "evaluate_plan"]

Parts = list[Any]


def evaluate(
    store: GraphStore,
    registry: Registry,
    outputs: OutputIds | None = None,
    *,
    reduce: bool = False,
    maximal_fusion: bool = False,
    rules: Iterable[RuleData] | None = None,
    limits: Limits | None = None,
    extract: Extraction | None = None,
) -> list[list[Any]]:
    """Compute ``outputs`` (default: the store's marks) of ``store`` with ``registry``; with
    ``reduce=True``, run the reduced graph instead (``maximal_fusion`` picks the fusion rule;
    ``rules``, ``limits`` and ``extract`` are those of `vantrel_core.GraphStore.reduce_mapped`,
    and without ``rules`` a registry that declares laws or op costs reduces by its algebra).

    Returns one entry per requested output, in order and with repeats: the list of that
    node's partitions (a reduction's result is a list of one partition). Everything is
    checked before any user function runs (see `vantrel.runtime.build_plan`)."""
    reduction = Reduction(maximal_fusion, rules, limits, extract, registry)
    store, outputs = for_run(store, outputs, reduce, reduction)
    return evaluate_plan(build_plan(store, registry, outputs))


def evaluate_plan(plan: Plan) -> list[list[Any]]:
    """Compute a checked plan; see `evaluate`. Results are dropped after their last use."""
    return [list(parts) for parts in LocalEvaluator().run(plan)]


class LocalEvaluator(Interpreter[Parts]):
    """Each node's result is the list of its partitions, computed when the node is visited."""

    def source(self, node: PlanNode, args: list[Parts]) -> Parts:
        if node.parts is not None:
            return list(node.parts)
        return [source_read(node.task, k) for k in range(node.count)]

    def op(self, node: PlanNode, args: list[Parts]) -> Parts:
        return [op_apply(node.task, *pick_all(args, k)) for k in range(node.count)]

    def external(self, node: PlanNode, args: list[Parts]) -> Parts:
        return [external_apply(node.task, *pick_all(args, k)) for k in range(node.count)]

    def reduction(self, node: PlanNode, args: list[Parts]) -> Parts:
        count = max((len(a) for a in args), default=1)
        return [reduce_partitions(node.task, args, count)]

    def exchange(self, node: PlanNode, args: list[Parts]) -> Parts:
        splits = [exchange_split(node.task, part) for part in args[0]]
        return [exchange_merge(node.task, *(s[j] for s in splits)) for j in range(node.count)]

    def stage(self, node: PlanNode, args: list[Parts]) -> Parts:
        task = node.task
        if task.per_partition:
            return [stage_partition(task, *pick_all(args, k)) for k in range(node.count)]
        return stage_whole(task, *args)
