"""A checked execution plan: the nodes that the requested outputs need, each with its
callables resolved from the registry and its partition count known, built before anything
runs.

Partition counts follow these rules. A source has the count its registration gives. An op, an
external and every stage member apply partition by partition, so their inputs must agree on
a count, except that a one-partition input is broadcast to every partition of the others;
the result has the agreed count (one when every input has one). A reduction gives one
partition. An exchange gives its ``partitions`` parameter, else its registration's default,
else its input's count. A stage gives its last member's count.
"""
from __future__ import annotations

import contextlib
import gc
from dataclasses import dataclass
from typing import Any, Callable, Generator, Mapping, cast

from vantrel_core import GraphStore

from ..registry import Descriptor, Registry
from ..types import NodeKind
from .ids import OutputIds, check_store, output_ids
from .kernels import (ExchangeTask, ExternalTask, NodeInfo, OpTask, ReductionTask, SourceTask, StageTask, Where,
                      as_parts, call, member_place, not_an_op)

__all__ = ["PartitionCountError", "Plan", "PlanError", "PlanNode", "UnregisteredNameError", "build_plan"]


class PlanError(ValueError):
    """A graph that cannot run with the given registry; raised before any task runs."""


class UnregisteredNameError(PlanError):
    """Names used by the graph that the registry does not know. ``missing`` lists them as
    ``(table, name)`` pairs, table being "source", "op", "reduction", "exchange" or
    "external"."""

    def __init__(self, missing: list[tuple[str, str]]) -> None:
        self.missing = missing
        listed = ", ".join(f"{table} {name!r}" for table, name in missing)
        super().__init__(f"the registry has no entry for {len(missing)} name(s) the graph uses: {listed}")


class PartitionCountError(PlanError):
    """Inputs of one node whose partition counts disagree (and are not one)."""


@dataclass
class PlanNode:
    """One node of a plan: its id, kind and inputs, its partition count, and the task object
    its tasks run (``parts`` holds the partitions of a source produced while planning)."""

    info: NodeInfo
    inputs: list[int]
    count: int
    task: Any = None
    parts: list[Any] | None = None

    @property
    def id(self) -> int:
        return self.info.id

    @property
    def kind(self) -> NodeKind:
        return self.info.kind


@dataclass
class Plan:
    """The live nodes in id order and the requested outputs (repeats kept)."""

    nodes: dict[int, PlanNode]
    outputs: list[int]

    def last_uses(self) -> dict[int, int]:
        """For every live node, the id of the last node (in id order) that reads it."""
        last: dict[int, int] = {}
        for node in self.nodes.values():
            for x in node.inputs:
                last[x] = node.id
        return last


def build_plan(store: GraphStore, registry: Registry, outputs: OutputIds | None = None) -> Plan:
    """Check ``store`` against ``registry`` for ``outputs`` (default: the store's marks) and
    resolve every callable and partition count. Raises `UnregisteredNameError` listing every
    missing name, `PartitionCountError` naming the node whose inputs disagree, `PlanError`
    for other graphs that cannot run, and for a bad output id what the store's own methods
    raise (see `vantrel.runtime.ids`). Sources registered with the list form are produced
    here."""
    store = check_store(store)
    if not isinstance(registry, Registry):  # pyright: ignore[reportUnnecessaryIsInstance]
        raise TypeError(f"registry must be a vantrel.Registry, not {type(registry).__name__}")
    with no_gc():
        # Read as plain dicts: the planner looks up each kind's keys after checking the kind.
        views: list[dict[str, Any]] = cast(Any, store.nodes())
        wanted = output_ids(store.outputs() if outputs is None else outputs, len(views))
        live = _live(views, wanted)
        _check_names([views[i] for i in live], registry)
        nodes: dict[int, PlanNode] = {}
        for i in live:
            nodes[i] = _plan_node(views[i], nodes, registry)
        # Freed before the collector resumes, which would otherwise first scan every view.
        del views
    return Plan(nodes, wanted)


@contextlib.contextmanager
def no_gc() -> Generator[None, None, None]:
    """Planning and graph building allocate a few objects per node or task and free none,
    which sets off the cycle collector again and again over a growing heap (half of the
    build time at 10^5 tasks); they create no cycles, so it waits until they are done."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def _live(views: list[dict[str, Any]], outputs: list[int]) -> list[int]:
    live: set[int] = set()
    stack = list(outputs)
    while stack:
        i = stack.pop()
        if i not in live:
            live.add(i)
            stack.extend(views[i]["inputs"])
    return sorted(live)


_MEMBER_TABLES = {"op": "op", "red": "reduction"}  # member kind -> registry table


def _check_names(views: list[dict[str, Any]], registry: Registry) -> None:
    tables: dict[str, Mapping[str, object]] = {"source": registry.sources, "op": registry.ops, "reduction": registry.reductions,
              "exchange": registry.exchanges, "external": registry.externals}
    missing: list[tuple[str, str]] = []

    def need(table: str, name: Any) -> None:
        if isinstance(name, str) and name not in tables[table] and (table, name) not in missing:
            missing.append((table, name))

    for view in views:
        kind: NodeKind = view["kind"]
        if kind in ("source", "op", "reduction"):
            need(kind, view["name"])
        elif kind == "exchange":
            need("exchange", view["params"].get("scheme"))
        elif kind == "external":
            need("external", view["descriptor"]["kind"])
        elif kind == "stage":
            # Thousands of members repeat a few names: each distinct one is looked up once.
            for member_kind, name in dict.fromkeys([(m["kind"], m["name"]) for m in view["members"]]):
                need(_MEMBER_TABLES.get(member_kind, "op"), name)
    if missing:
        raise UnregisteredNameError(missing)


def _plan_node(view: dict[str, Any], nodes: dict[int, PlanNode], registry: Registry) -> PlanNode:
    kind: NodeKind = view["kind"]
    name, params, inputs = view["name"], view["params"], list(view["inputs"])
    info = NodeInfo(view["id"], kind, name)
    counts = [nodes[x].count for x in inputs]
    if kind == "source":
        return _plan_source(info, registry, params)
    if kind == "op":
        return PlanNode(info, inputs, _agree(info, counts), OpTask(info, registry.ops[name].fn, params))
    if kind == "reduction":
        _agree(info, counts)
        return PlanNode(info, inputs, 1, ReductionTask(info, registry.reductions[name], params))
    if kind == "external":
        desc = Descriptor(**view["descriptor"])
        spec = registry.externals[desc.kind]
        info.name = desc.kind
        task = ExternalTask(info, spec.load, desc, registry.cache_token, params)
        return PlanNode(info, inputs, _agree(info, counts), task)
    if kind == "exchange":
        return _plan_exchange(info, registry, params, inputs, counts)
    if kind == "stage":
        return _plan_stage(info, registry, view["members"], inputs, counts)
    raise PlanError(f"node {info.id} has the kind {kind!r}, which the runtime does not know")


def _plan_source(info: NodeInfo, registry: Registry, params: dict[str, Any]) -> PlanNode:
    spec = registry.sources[info.name]
    if spec.partitions is not None:
        parts = as_parts(call(info, "", spec.partitions, (), params), info.describe, "partitions")
        if not parts:
            raise PlanError(f"{info.describe()} produced no partitions")
        return PlanNode(info, [], len(parts), parts=parts)
    count = spec.count
    if callable(count):
        count = call(info, " count", count, (), params)
    if not isinstance(count, int) or isinstance(count, bool) or count < 1:
        raise PlanError(f"{info.describe()} has the partition count {count!r}; it must be a positive int")
    assert spec.read is not None
    return PlanNode(info, [], count, SourceTask(info, spec.read, params))


def _plan_exchange(info: NodeInfo, registry: Registry, params: dict[str, Any], inputs: list[int],
                   counts: list[int]) -> PlanNode:
    scheme = params.get("scheme")
    if not isinstance(scheme, str):
        raise PlanError(f"node {info.id} (exchange) needs a str 'scheme' parameter")
    info.name = scheme
    if len(inputs) != 1:
        raise PlanError(f"{info.describe()} has {len(inputs)} inputs; an exchange takes exactly one")
    spec = registry.exchanges[scheme]
    n = params.get("partitions", spec.partitions if spec.partitions is not None else counts[0])
    if not isinstance(n, int) or isinstance(n, bool) or n < 1:
        raise PlanError(f"{info.describe()} has partitions={n!r}; it must be a positive int")
    rest = {k: v for k, v in params.items() if k not in ("scheme", "partitions")}
    return PlanNode(info, inputs, n, ExchangeTask(info, spec, n, rest))


def _plan_stage(info: NodeInfo, registry: Registry, views: list[dict[str, Any]], inputs: list[int],
                counts: list[int]) -> PlanNode:
    # The hot loop of planning a fused graph (a stage per few nodes, thousands of members):
    # members are read into flat lists (see `StageTask`), one pass for their arguments and
    # C-level comprehensions for the rest.
    if not views:
        raise PlanError(f"node {info.id} (stage) has no members")
    node_id, base = info.id, len(inputs)
    args_list: list[tuple[int, ...]] = []
    last_reader: dict[int, int] = {}
    for j, view in enumerate(views):
        args: list[int] = []
        for ref, index in view["inputs"]:
            k: int = index
            if ref == "member":
                if not 0 <= k < j:
                    raise PlanError(f"{_member(node_id, j, view)} refers to member {k}, which does not exist")
                k += base
                last_reader[k] = j
            elif not 0 <= k < base:
                raise PlanError(f"{_member(node_id, j, view)} refers to {ref} {k}, which does not exist")
            args.append(k)
        args_list.append(tuple(args))
    names: list[str] = [view["name"] for view in views]
    params_list: list[dict[str, Any]] = [view["params"] for view in views]
    reductions = {j: ReductionTask(Where(_member(node_id, j, view)), registry.reductions[view["name"]],
                                   view["params"]) for j, view in enumerate(views) if view["kind"] == "red"}
    ops = registry.ops
    fns: list[Callable[..., Any]] = [not_an_op if j in reductions else ops[name].fn for j, name in enumerate(names)]
    if not reductions and len(set(counts)) == 1 and all(args_list):
        # Every member reads some input or member of this one count, so it has that count.
        member_counts = [counts[0]] * len(views)
    else:
        member_counts = _member_counts(node_id, views, args_list, counts, reductions)
    drops: list[list[int]] = [[] for _ in views]
    for k, j in last_reader.items():
        drops[j].append(k)
    steps = list(zip(fns, params_list, args_list, map(tuple, drops)))
    task = StageTask(info, base, steps, names, reductions, member_counts)
    return PlanNode(info, inputs, member_counts[-1], task)


def _member_counts(node_id: int, views: list[dict[str, Any]], args_list: list[tuple[int, ...]], counts: list[int],
                   reductions: dict[int, ReductionTask]) -> list[int]:
    """The partition count of every member, each checked like an op's: its arguments agree
    (a one-partition argument is broadcast); a reduction member gives one partition."""
    slot_counts = list(counts)
    for j, args in enumerate(args_list):
        distinct = {slot_counts[a] for a in args}
        count = distinct.pop() if len(distinct) == 1 else _agree_counts(_Member(node_id, j, views[j]), list(distinct))
        slot_counts.append(1 if j in reductions else count)
    return slot_counts[len(counts):]


def _member(node_id: int, index: int, view: dict[str, Any]) -> str:
    return member_place(node_id, index, view["kind"] == "red", view["name"])


class _Member:
    """A stage member named in a plan error, described only when one is raised."""

    def __init__(self, node_id: int, index: int, view: dict[str, Any]) -> None:
        self.node_id, self.index, self.view = node_id, index, view

    def describe(self) -> str:
        return _member(self.node_id, self.index, self.view)


def _agree(info: NodeInfo, counts: list[int]) -> int:
    return _agree_counts(info, counts)


def _agree_counts(place: Any, counts: list[int]) -> int:
    if len(counts) == 1:
        return counts[0]
    distinct = set(counts)
    distinct.discard(1)
    if len(distinct) > 1:
        raise PartitionCountError(f"the inputs of {place.describe()} have {', '.join(map(str, sorted(distinct)))} "
                                  f"partitions; they must agree (or have one partition, which is broadcast)")
    return distinct.pop() if distinct else 1

