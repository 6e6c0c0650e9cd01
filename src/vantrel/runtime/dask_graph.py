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
at run time); a reduction has one chunk task per partition of its inputs, a combine task per
group of every level of its combine tree but the last, and one task that runs the last
level's combine and finalize; an exchange with m input partitions has m split tasks, m * n
pick tasks (a pick moves one part, so a merge on another worker fetches only its parts) and
n merge tasks; a stage with a reduction member runs whole in one task, plus one pick task per
partition. A node read by one node only, which takes its partitions one by one, runs inside
that reader's tasks when it or its reader is a stage or it is an exchange's merge (see
`inline_nodes`): a stage swallows the reads only it reads and the stages before it, a chunk
or a split swallows the stage before it. Such a task is named by all it runs, inlined
nodes first ("column+mul", "log1p+maximum+...+hash-split", "hash+model").
"""

from __future__ import annotations

import uuid
from collections.abc import Callable, Mapping, Sequence
from itertools import repeat
from typing import Any, cast

import dask.base
import dask.threaded
from vantrel_core import GraphStore

from ..registry import Registry
from .ids import OutputIds
from .interpreter import Interpreter
from .kernels import (
    Literal,
    Step,
    combine_groups,
    exchange_merge,
    exchange_split,
    external_apply,
    item,
    literal,
    op_apply,
    reduction_chunk,
    reduction_combine,
    reduction_finish,
    source_read,
    stage_partition,
    stage_whole,
)
from .output_map import requested
from .plan import Plan, PlanNode, build_plan, no_gc
from .token import run_token

__all__ = ["DaskBuilder", "DaskRun", "build_dask", "to_dask"]

Key = tuple[Any, ...]
Keys = list[Key]

# Dask's own functions, seen through plain callable types (Dask's annotations are partial):
# read by getattr, so that the type checkers take the declared types instead of Dask's.
_dask_compute: Callable[..., tuple[Any, ...]] = getattr(dask.base, "compute")  # noqa: B009
_threaded_get: Callable[..., Any] = getattr(dask.threaded, "get")  # noqa: B009


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
    def _rebuild(
        graph: dict[Key, Any], output_keys: list[list[Key]], name: str, rename: Mapping[str, str] | None = None
    ) -> DaskRun:
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


#: The most nodes whose calls nest inside one task: Dask runs a nested task by recursion, so
#: a long chain of stages gets a key every so many stages instead of one deep task.
MAX_INLINE_DEPTH = 16


def inline_nodes(plan: Plan) -> set[int]:
    """The nodes whose partitions run inside the tasks of their one reader: not requested,
    read by exactly one node, once, which takes partition ``k`` into its own task ``k``
    (an op, an external, an op-only stage, an exchange's split, a reduction's chunk), not
    broadcast; themselves one task per partition that reads partition ``k`` of their inputs
    (a source, an op, an external, an op-only stage, an exchange's merge); and a stage, read
    by a stage, or an exchange. So a stage swallows the reads that only it reads, a
    reduction's chunk or an exchange's split swallows the stage that only it reads, and a
    merge runs in its reader's task, with the same calls in the same order; ops of a graph
    that was not reduced keep a task each, as fusing them is the reduction's choice. A
    chain nests at most `MAX_INLINE_DEPTH` nodes in one task."""
    return set(_inlined(plan))


def _inlined(plan: Plan) -> dict[int, int]:
    """`inline_nodes` with, for each, the number of nodes its nested task holds."""
    nodes = plan.nodes
    reader_of: dict[int, int] = {}  # the one reader of a node, or -1 for more than one read
    for node in nodes.values():
        r = node.info.id
        for x in node.inputs:
            reader_of[x] = -1 if x in reader_of else r
    wanted = set(plan.outputs)
    found: dict[int, int] = {}  # an inlined node: how many nodes its nested task holds
    widest_input: dict[int, int] = {}  # a reader: the partition count of its widest input
    for node in nodes.values():
        i = node.info.id
        r = reader_of.get(i, -1)
        if r < 0 or i in wanted or not _one_task_per_partition(node):
            continue
        reader = nodes[r]
        kind, reader_kind = node.info.kind, reader.info.kind
        if kind != "stage" and reader_kind != "stage" and kind != "exchange":
            continue  # the graph as written keeps a task per op: the reduced graph decides fusion
        held = 1
        for x in node.inputs:
            d = found.get(x)
            if d is not None and d >= held:
                held = d + 1
        if held > MAX_INLINE_DEPTH:
            continue
        if reader_kind == "reduction" or reader_kind == "exchange" or _one_task_per_partition(reader):
            widest = widest_input.get(r)
            if widest is None:
                widest = widest_input[r] = max(nodes[x].count for x in reader.inputs)
            if node.count == widest:  # else it is broadcast
                found[i] = held
    return found


def _one_task_per_partition(node: PlanNode) -> bool:
    kind = node.info.kind
    return kind in _PER_PARTITION_KINDS or (kind == "stage" and node.task.per_partition)


_PER_PARTITION_KINDS = frozenset(("source", "op", "external", "exchange"))


class DaskBuilder(Interpreter[Keys]):
    """Each node's result is the list of the keys of its partitions; visiting a node adds
    its tasks to ``graph``. A node whose one reader runs it inside its own tasks (see
    `inline_nodes`) adds no task: its result is the list of its task tuples, which its
    reader's tasks hold in place of keys, and the reader's tasks are named by what they
    run, the inlined nodes' names first."""

    releases_results = False  # every key stays in the graph

    def __init__(self, token: str) -> None:
        super().__init__()
        self.token = token
        self.graph: dict[Key, Any] = {}
        self.inline: set[int] = set()
        self._names: dict[int, list[str]] = {}  # an inlined node: the names of what it runs
        self._hosts: set[int] = set()  # the nodes that inline some of their inputs

    def run(self, plan: Plan) -> list[Keys]:
        inline = self.inline = inline_nodes(plan)
        self._hosts = {node.info.id for node in plan.nodes.values() if not inline.isdisjoint(node.inputs)}
        return super().run(plan)

    def _name(self, label: str) -> str:
        return f"{label}-{self.token}"

    def _label(self, node: PlanNode, names: list[str] | None = None) -> str:
        """The label of a node's tasks: what they run, inlined inputs first. A node that is
        itself inlined keeps its names for its reader."""
        inlined, i = self.inline, node.info.id
        if names is None:
            names = own_names(node)
        if i in self._hosts:
            got = self._names
            names = [n for x in dict.fromkeys(node.inputs) if x in inlined for n in got[x]] + names
        if i in inlined:
            self._names[i] = _label_names(names)
        return short_label(names) or node.info.kind

    def _out(self, node: PlanNode, label: str) -> Keys:
        name, i = f"{label}-{self.token}", node.info.id
        return [(name, i, k) for k in range(node.count)]

    def _emit(self, node: PlanNode, label: str, tasks: list[tuple[Any, ...]]) -> Keys:
        """Adds one task per partition, or hands them to the one reader that inlines them."""
        if node.info.id in self.inline:
            return tasks  # Dask runs a task tuple found among a task's arguments in that task
        out = self._out(node, label)
        self.graph.update(zip(out, tasks))
        return out

    def source(self, node: PlanNode, args: list[Keys]) -> Keys:
        label = self._label(node)
        if node.parts is not None:
            tasks: list[tuple[Any, ...]] = [(literal, Literal(part)) for part in node.parts]
        else:
            read = Step(source_read, node.task, label)
            tasks = [(read, k) for k in range(node.count)]
        return self._emit(node, label, tasks)

    def op(self, node: PlanNode, args: list[Keys]) -> Keys:
        return self._per_partition(node, args, op_apply)

    def external(self, node: PlanNode, args: list[Keys]) -> Keys:
        return self._per_partition(node, args, external_apply)

    def _per_partition(self, node: PlanNode, args: list[Keys], fn: Callable[..., Any]) -> Keys:
        """One task per partition: ``fn(task, *partition k of every input)``."""
        label = self._label(node)
        step, n = Step(fn, node.task, label), node.count
        columns = [a * n if len(a) == 1 else a for a in args]  # broadcast one-partition inputs
        # zip builds the task tuples in C, one per partition.
        tasks: list[tuple[Any, ...]] = list(zip(repeat(step, n), *columns)) if columns else [(step,)] * n
        return self._emit(node, label, tasks)

    def reduction(self, node: PlanNode, args: list[Keys]) -> Keys:
        """Chunk tasks (inlining what only they read), combine tasks for every level of the
        tree but the last, and the last level's one combine with finalize in one task."""
        g, i, task, label = self.graph, node.id, node.task, node.info.name or node.kind
        (out,) = self._out(node, label)
        chunk_label = self._label(node, [label]) + "-chunk"
        chunk, chunk_name = Step(reduction_chunk, task, chunk_label), self._name(chunk_label)
        combine, combine_name = Step(reduction_combine, task, label + "-combine"), self._name(label + "-combine")
        count = max((len(a) for a in args), default=1)
        level: Keys = []
        for k in range(count):
            key: Key = (chunk_name, i, k)
            g[key] = (chunk, *_pick(args, k))
            level.append(key)
        levels = combine_groups(count, task.spec.fan_in)
        for depth, groups in enumerate(levels[:-1]):
            nxt: Keys = []
            for k, group in enumerate(groups):
                if len(group) == 1:
                    nxt.append(level[group[0]])
                    continue
                key = (combine_name, i, depth, k)
                g[key] = (combine, *(level[m] for m in group))
                nxt.append(key)
            level = nxt
        g[out] = (Step(reduction_finish, task, label), *level)
        return [out]

    def exchange(self, node: PlanNode, args: list[Keys]) -> Keys:
        """Split tasks (inlining what only they read), one pick per split and output
        partition (so that a merge moves only its parts between workers), and merges."""
        i, task, scheme = node.id, node.task, node.info.name or node.kind
        split_label = self._label(node, [scheme]) + "-split"
        split, split_name = Step(exchange_split, task, split_label), self._name(split_label)
        pick_name, merge = self._name(scheme + "-pick"), Step(exchange_merge, task, scheme)
        g = self.graph
        splits: Keys = []
        for k, src in enumerate(args[0]):
            key: Key = (split_name, i, k)
            g[key] = (split, src)
            splits.append(key)
        if node.id in self.inline:
            self._names[node.id] = [scheme]
        tasks: list[tuple[Any, ...]] = []
        for j in range(node.count):
            picks: Keys = []
            for k, split_key in enumerate(splits):
                pick: Key = (pick_name, i, k, j)
                g[pick] = (item, split_key, j)
                picks.append(pick)
            tasks.append((merge, *picks))
        return self._emit(node, scheme, tasks)

    def stage(self, node: PlanNode, args: list[Keys]) -> Keys:
        if node.task.per_partition:
            return self._per_partition(node, args, stage_partition)
        label = self._label(node)
        out = self._out(node, label)
        whole: Key = (self._name(label + "-whole"), node.id)
        self.graph[whole] = (Step(stage_whole, node.task, label + "-whole"), *(list(a) for a in args))
        for k, key in enumerate(out):
            self.graph[key] = (item, whole, k)
        return out


def own_names(node: PlanNode) -> list[str]:
    """The names of what a node runs: a stage's member names, else its own name."""
    if node.kind == "stage":
        names: list[str] = node.task.label_names()
        return names
    return [node.info.name or node.kind]


def _label_names(names: list[str]) -> list[str]:
    """``names`` cut to what `short_label` shows of them and of any list they begin, so that
    a chain of inlined stages passes on a few names, not all of their members'."""
    names = list(dict.fromkeys(names))
    return names if len(names) <= 3 else [names[0], names[1], "...", names[-1]]


def short_label(names: list[str]) -> str:
    """Distinct names in order, joined by "+" (at most three, then "..." and the last)."""
    names = list(dict.fromkeys(names))
    return "+".join(names) if len(names) <= 3 else "+".join([*names[:2], "...", names[-1]])


def node_label(node: PlanNode) -> str:
    """What a node's tasks are named by when they run nothing else: its name, or for a stage
    its distinct member names in order, joined by "+" (at most three, then "..." and the
    last)."""
    return short_label(own_names(node)) or node.kind


def _pick(args: list[Keys], k: int) -> Keys:
    """Partition ``k`` of every argument, a one-partition argument broadcast."""
    return [a[0] if len(a) == 1 else a[k] for a in args]
