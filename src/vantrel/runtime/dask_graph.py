"""The Dask graph of a plan, as a Dask collection that any Dask scheduler computes.

Tasks per node (n its partition count): a source, an op, an external and an op-only stage
have one task per partition (a stage runs all its members in that one task: what fusion buys
at run time); a reduction has one chunk task per partition of its inputs, the combine tree
and one finalize task; an exchange with m input partitions has m split tasks, m * n pick tasks
and n merge tasks; a stage with a reduction member runs whole in one task, plus one pick task
per partition.
"""
from __future__ import annotations

import uuid
from typing import Any, Callable, Sequence, cast

import dask.base
import dask.threaded
from vantrel_core import GraphStore

from ..registry import Registry
from .ids import OutputIds
from .interpreter import Interpreter
from .kernels import (Literal, combine_groups, exchange_merge, exchange_split, external_apply, item, literal,
                      op_apply, reduction_chunk, reduction_combine, reduction_finalize, source_read,
                      stage_partition, stage_whole)
from .plan import Plan, PlanNode, build_plan, no_gc

__all__ = ["DaskBuilder", "DaskRun", "build_dask", "to_dask"]

Key = tuple[Any, ...]
Keys = list[Key]

# Dask's own functions, seen through plain callable types (Dask's annotations are partial).
_dask_compute: Callable[..., tuple[Any, ...]] = getattr(dask.base, "compute")
_threaded_get: Callable[..., Any] = getattr(dask.threaded, "get")


class DaskRun:
    """A planned graph as a Dask collection. ``dask.compute(run, scheduler=...)`` (or
    `compute`) gives one list of partitions per requested output, in order, repeats
    included; ``client.compute(run)`` works with a ``distributed.Client``.

    ``graph`` is the task dict, ``output_keys`` the keys of every requested output's
    partitions, ``task_count`` the number of tasks."""

    def __init__(self, graph: dict[Key, Any], output_keys: list[list[Key]], name: str) -> None:
        self.graph, self.output_keys, self.name = graph, output_keys, name

    @property
    def task_count(self) -> int:
        return len(self.graph)

    def compute(self, scheduler: Any = None, **kwargs: Any) -> list[list[Any]]:
        """Compute with ``scheduler`` ("sync", "threads", "processes", a ``Client``, or None
        for Dask's default: the active ``distributed.Client`` if any, else threads)."""
        (result,) = _dask_compute(self, scheduler=scheduler, **kwargs)
        return cast("list[list[Any]]", result)

    def __dask_graph__(self) -> dict[Key, Any]:
        return self.graph

    def __dask_keys__(self) -> list[list[Key]]:
        return [list(keys) for keys in self.output_keys]

    def __dask_layers__(self) -> tuple[str, ...]:
        return (self.name,)

    def __dask_tokenize__(self) -> str:
        return self.name

    def __dask_postcompute__(self) -> tuple[Any, tuple[Any, ...]]:
        return _as_lists, ()

    def __dask_postpersist__(self) -> tuple[Any, tuple[Any, ...]]:
        return DaskRun._rebuild, (self.output_keys, self.name)

    @staticmethod
    def _rebuild(graph: dict[Key, Any], output_keys: list[list[Key]], name: str, rename: Any = None) -> DaskRun:
        return DaskRun(dict(graph), output_keys, name)

    __dask_scheduler__ = staticmethod(_threaded_get)

    @staticmethod
    def __dask_optimize__(graph: Any, keys: Any, **kwargs: Any) -> Any:
        return graph

    def __repr__(self) -> str:
        return f"<vantrel.DaskRun {self.name}: {self.task_count} tasks, {len(self.output_keys)} outputs>"


def _as_lists(results: Sequence[Sequence[Any]]) -> list[list[Any]]:
    return [list(parts) for parts in results]


def to_dask(store: GraphStore, registry: Registry, outputs: OutputIds | None = None) -> DaskRun:
    """The Dask collection that computes ``outputs`` (default: the store's marks) of
    ``store`` with ``registry``. Checks the graph first (see `build_plan`)."""
    return build_dask(build_plan(store, registry, outputs))


def build_dask(plan: Plan) -> DaskRun:
    """The Dask collection of a checked plan."""
    name = "vantrel-" + uuid.uuid4().hex[:16]
    builder = DaskBuilder(name)
    with no_gc():
        output_keys = builder.run(plan)
    return DaskRun(builder.graph, output_keys, name)


class DaskBuilder(Interpreter[Keys]):
    """Each node's result is the list of the keys of its partitions; visiting a node adds
    its tasks to ``graph``."""

    def __init__(self, name: str) -> None:
        super().__init__()
        self.name = name
        self.graph: dict[Key, Any] = {}
        self.part = name            # final partitions: (name, node id, index)
        self.step = name + "-step"  # intermediates: (name-step, node id, what, ...)

    def _out(self, node: PlanNode) -> Keys:
        return [(self.part, node.id, k) for k in range(node.count)]

    def source(self, node: PlanNode, args: list[Keys]) -> Keys:
        out = self._out(node)
        g = self.graph
        if node.parts is not None:
            for key, part in zip(out, node.parts):
                g[key] = (literal, Literal(part))
        else:
            for k, key in enumerate(out):
                g[key] = (source_read, node.task, k)
        return out

    def op(self, node: PlanNode, args: list[Keys]) -> Keys:
        return self._per_partition(node, args, op_apply)

    def external(self, node: PlanNode, args: list[Keys]) -> Keys:
        return self._per_partition(node, args, external_apply)

    def _per_partition(self, node: PlanNode, args: list[Keys], fn: Callable[..., Any]) -> Keys:
        """One task per partition: ``fn(task, *partition k of every input)``."""
        out, task, n = self._out(node), node.task, node.count
        columns = [a * n if len(a) == 1 else a for a in args]  # broadcast one-partition inputs
        tasks: list[tuple[Any, ...]]
        if len(columns) == 1:  # the common shapes get tuples built without unpacking
            tasks = [(fn, task, a) for a in columns[0]]
        elif len(columns) == 2:
            tasks = [(fn, task, a, b) for a, b in zip(*columns)]
        else:
            tasks = [(fn, task, *ins) for ins in zip(*columns)] if columns else [(fn, task)] * n
        self.graph.update(zip(out, tasks))
        return out

    def reduction(self, node: PlanNode, args: list[Keys]) -> Keys:
        g, i, task = self.graph, node.id, node.task
        (out,) = self._out(node)
        count = max((len(a) for a in args), default=1)
        level: Keys = []
        for k in range(count):
            key: Key = (self.step, i, "chunk", k)
            g[key] = (reduction_chunk, task, *_pick(args, k))
            level.append(key)
        for depth, groups in enumerate(combine_groups(count, task.spec.fan_in)):
            nxt: Keys = []
            for k, group in enumerate(groups):
                if len(group) == 1:
                    nxt.append(level[group[0]])
                    continue
                key = (self.step, i, "combine", depth, k)
                g[key] = (reduction_combine, task, *(level[m] for m in group))
                nxt.append(key)
            level = nxt
        g[out] = (reduction_finalize, task, level[0])
        return [out]

    def exchange(self, node: PlanNode, args: list[Keys]) -> Keys:
        g, i, task = self.graph, node.id, node.task
        out = self._out(node)
        splits: Keys = []
        for k, src in enumerate(args[0]):
            key: Key = (self.step, i, "split", k)
            g[key] = (exchange_split, task, src)
            splits.append(key)
        for j, key in enumerate(out):
            picks: Keys = []
            for k, split in enumerate(splits):
                pick: Key = (self.step, i, "pick", k, j)
                g[pick] = (item, split, j)
                picks.append(pick)
            g[key] = (exchange_merge, task, *picks)
        return out

    def stage(self, node: PlanNode, args: list[Keys]) -> Keys:
        if node.task.per_partition:
            return self._per_partition(node, args, stage_partition)
        out = self._out(node)
        whole = (self.step, node.id, "whole")
        self.graph[whole] = (stage_whole, node.task, *(list(a) for a in args))
        for k, key in enumerate(out):
            self.graph[key] = (item, whole, k)
        return out


def _pick(args: list[Keys], k: int) -> Keys:
    """Partition ``k`` of every argument, a one-partition argument broadcast."""
    return [a[0] if len(a) == 1 else a[k] for a in args]
