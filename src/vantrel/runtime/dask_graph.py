"""The Dask graph of a plan, as a Dask collection that any Dask scheduler computes.

Task keys are named by what they run, so that Dask's dashboard, pictures and profiler group
and label tasks by op: a node's partitions have the keys ``(f"{label}-{token}", node id,
partition)``, where the label is the node's name (an op's, a source's or a reduction's name,
an exchange's scheme, an external's descriptor kind; a stage's member names joined by "+"),
and its intermediate tasks add what they do to the label ("sum-chunk", "sum-combine",
"hash-split", "hash-pick", "tanh+neg-whole"). The token (`vantrel.runtime.token`) is the same
for the same store, request and registry, so a graph run again reuses what a client holds.

Tasks per node (n its partition count): a source, an op, an external and an op-only stage
have one task per partition (a stage runs all its members in that one task: what fusion buys
at run time); a reduction has one chunk task per partition of its inputs, the combine tree
and one finalize task; an exchange with m input partitions has m split tasks, m * n pick tasks
and n merge tasks; a stage with a reduction member runs whole in one task, plus one pick task
per partition.
"""
from __future__ import annotations

import uuid
from typing import Any, Callable, Mapping, Sequence, cast

import dask.base
import dask.threaded
from vantrel_core import GraphStore

from ..registry import Registry
from .ids import OutputIds
from .interpreter import Interpreter
from .kernels import (Literal, Step, combine_groups, exchange_merge, exchange_split, external_apply, item, literal,
                      op_apply, reduction_chunk, reduction_combine, reduction_finalize, source_read,
                      stage_partition, stage_whole)
from .output_map import requested
from .plan import Plan, PlanNode, build_plan, no_gc
from .token import run_token

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
    def token(self) -> str:
        """The token every key of this run carries (see `vantrel.runtime.token`)."""
        return self.name.rpartition("-")[2]

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
    def _rebuild(graph: dict[Key, Any], output_keys: list[list[Key]], name: str,
                 rename: Mapping[str, str] | None = None) -> DaskRun:
        if rename:  # key names that Dask renamed (e.g. when it clones a collection)
            output_keys = [[(rename.get(k[0], k[0]), *k[1:]) for k in keys] for keys in output_keys]
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
    store, wanted = requested(store, outputs)
    plan = build_plan(store, registry, wanted)
    return build_dask(plan, run_token(store, plan.outputs, registry))


def build_dask(plan: Plan, token: str | None = None) -> DaskRun:
    """The Dask collection of a checked plan, its keys carrying ``token`` (default: a new
    random one, as a plan alone does not know what it was planned from)."""
    token = token if token is not None else uuid.uuid4().hex
    builder = DaskBuilder(token)
    with no_gc():
        output_keys = builder.run(plan)
    return DaskRun(builder.graph, output_keys, "vantrel-" + token)


class DaskBuilder(Interpreter[Keys]):
    """Each node's result is the list of the keys of its partitions; visiting a node adds
    its tasks to ``graph``."""

    releases_results = False  # every key stays in the graph

    def __init__(self, token: str) -> None:
        super().__init__()
        self.token = token
        self.graph: dict[Key, Any] = {}

    def _name(self, label: str) -> str:
        return f"{label}-{self.token}"

    def _out(self, node: PlanNode, label: str) -> Keys:
        name, i = f"{label}-{self.token}", node.info.id
        return [(name, i, k) for k in range(node.count)]

    def source(self, node: PlanNode, args: list[Keys]) -> Keys:
        label = node_label(node)
        out = self._out(node, label)
        g = self.graph
        if node.parts is not None:
            for key, part in zip(out, node.parts):
                g[key] = (literal, Literal(part))
        else:
            read = Step(source_read, node.task, label)
            for k, key in enumerate(out):
                g[key] = (read, k)
        return out

    def op(self, node: PlanNode, args: list[Keys]) -> Keys:
        return self._per_partition(node, args, op_apply)

    def external(self, node: PlanNode, args: list[Keys]) -> Keys:
        return self._per_partition(node, args, external_apply)

    def _per_partition(self, node: PlanNode, args: list[Keys], fn: Callable[..., Any]) -> Keys:
        """One task per partition: ``fn(task, *partition k of every input)``."""
        label = node_label(node)
        out, step, n = self._out(node, label), Step(fn, node.task, label), node.count
        columns = [a * n if len(a) == 1 else a for a in args]  # broadcast one-partition inputs
        tasks: list[tuple[Any, ...]]
        if len(columns) == 1:  # the common shapes get tuples built without unpacking
            tasks = [(step, a) for a in columns[0]]
        elif len(columns) == 2:
            tasks = [(step, a, b) for a, b in zip(*columns)]
        else:
            tasks = [(step, *ins) for ins in zip(*columns)] if columns else [(step,)] * n
        self.graph.update(zip(out, tasks))
        return out

    def reduction(self, node: PlanNode, args: list[Keys]) -> Keys:
        g, i, task, label = self.graph, node.id, node.task, node_label(node)
        (out,) = self._out(node, label)
        chunk, chunk_name = Step(reduction_chunk, task, label + "-chunk"), self._name(label + "-chunk")
        combine, combine_name = Step(reduction_combine, task, label + "-combine"), self._name(label + "-combine")
        count = max((len(a) for a in args), default=1)
        level: Keys = []
        for k in range(count):
            key: Key = (chunk_name, i, k)
            g[key] = (chunk, *_pick(args, k))
            level.append(key)
        for depth, groups in enumerate(combine_groups(count, task.spec.fan_in)):
            nxt: Keys = []
            for k, group in enumerate(groups):
                if len(group) == 1:
                    nxt.append(level[group[0]])
                    continue
                key = (combine_name, i, depth, k)
                g[key] = (combine, *(level[m] for m in group))
                nxt.append(key)
            level = nxt
        g[out] = (Step(reduction_finalize, task, label), level[0])
        return [out]

    def exchange(self, node: PlanNode, args: list[Keys]) -> Keys:
        g, i, task, label = self.graph, node.id, node.task, node_label(node)
        out = self._out(node, label)
        split, split_name = Step(exchange_split, task, label + "-split"), self._name(label + "-split")
        pick_name, merge = self._name(label + "-pick"), Step(exchange_merge, task, label)
        splits: Keys = []
        for k, src in enumerate(args[0]):
            key: Key = (split_name, i, k)
            g[key] = (split, src)
            splits.append(key)
        for j, key in enumerate(out):
            picks: Keys = []
            for k, split_key in enumerate(splits):
                pick: Key = (pick_name, i, k, j)
                g[pick] = (item, split_key, j)
                picks.append(pick)
            g[key] = (merge, *picks)
        return out

    def stage(self, node: PlanNode, args: list[Keys]) -> Keys:
        if node.task.per_partition:
            return self._per_partition(node, args, stage_partition)
        label = node_label(node)
        out = self._out(node, label)
        whole: Key = (self._name(label + "-whole"), node.id)
        self.graph[whole] = (Step(stage_whole, node.task, label + "-whole"), *(list(a) for a in args))
        for k, key in enumerate(out):
            self.graph[key] = (item, whole, k)
        return out


def node_label(node: PlanNode) -> str:
    """What a node's tasks are named by: its name, or for a stage its distinct member names
    in order, joined by "+" (at most three, then "..." and the last)."""
    if node.kind == "stage":
        names = list(dict.fromkeys(node.task.names))
        label = "+".join(names) if len(names) <= 3 else "+".join([*names[:2], "...", names[-1]])
    else:
        label = node.info.name
    return label or node.kind


def _pick(args: list[Keys], k: int) -> Keys:
    """Partition ``k`` of every argument, a one-partition argument broadcast."""
    return [a[0] if len(a) == 1 else a[k] for a in args]
