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
from collections.abc import Callable, Generator, Mapping
from dataclasses import dataclass
from typing import Any

from vantrel_core import GraphStore

from ..registry import Descriptor, Registry
from ..types import DescriptorView, MemberOp, NodeKind, StageColumns
from .ids import OutputIds, check_store, output_ids
from .kernels import (
    ExchangeTask,
    ExternalTask,
    NodeInfo,
    OpTask,
    ReductionTask,
    SourceTask,
    StageTask,
    Where,
    as_parts,
    call,
    member_args,
    member_place,
    not_an_op,
)

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
        # The node table in columns: a stage's members come as a few bytes objects, so no
        # step here builds an object per member.
        table = _Table(*store.node_table())
        wanted = output_ids(table.marks if outputs is None else outputs, len(table.kinds))
        live = _live(table.inputs, wanted)
        _check_names(table, live, registry)
        member_ops = _resolve_member_ops(table, registry)
        red_ops = {t for t, op in enumerate(table.member_ops) if op[0] == "red"}
        nodes: dict[int, PlanNode] = {}
        kinds, stages, names, inputs, table_ops = table.kinds, table.stages, table.names, table.inputs, table.member_ops
        for i in live:
            if kinds[i] == _STAGE:  # most nodes of a fused graph: planned without the general dispatch
                ins = inputs[i]
                info = NodeInfo(i, "stage", names[i])
                nodes[i] = _plan_stage(
                    info, registry, stages[i], table_ops, member_ops, red_ops, ins, [nodes[x].count for x in ins]
                )
            else:
                nodes[i] = _plan_node(i, table, nodes, registry)
        # Freed before the collector resumes, which would otherwise first scan the table.
        del table, member_ops, kinds, stages, names, inputs, table_ops
    return Plan(nodes, wanted)


class _Table:
    """The columns of `GraphStore.node_table`."""

    __slots__ = ("kinds", "names", "params", "inputs", "marks", "externals", "stages", "member_ops")

    def __init__(
        self,
        kinds: bytes,
        names: list[str],
        params: list[dict[str, Any]],
        inputs: list[list[int]],
        marks: list[int],
        externals: dict[int, DescriptorView],
        stages: dict[int, StageColumns],
        member_ops: list[MemberOp],
    ) -> None:
        self.kinds, self.names, self.params, self.inputs = kinds, names, params, inputs
        self.marks, self.externals, self.stages, self.member_ops = marks, externals, stages, member_ops


#: Kind names by the kind codes of `GraphStore.node_table`.
KINDS: tuple[NodeKind, ...] = ("source", "op", "reduction", "external", "stage", "exchange")
_STAGE = KINDS.index("stage")


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


def _live(inputs: list[list[int]], outputs: list[int]) -> list[int]:
    live: set[int] = set()
    stack = list(outputs)
    while stack:
        i = stack.pop()
        if i not in live:
            live.add(i)
            stack.extend(inputs[i])
    return sorted(live)


_MEMBER_TABLES = {"op": "op", "red": "reduction"}  # member kind -> registry table


def _check_names(table: _Table, live: list[int], registry: Registry) -> None:
    """Raises `UnregisteredNameError` for the names that live nodes use and the registry
    lacks. Each distinct name is looked up once; only a graph with a missing name is walked
    node by node, for the order of the list."""
    tables: dict[str, Mapping[str, object]] = {
        "source": registry.sources,
        "op": registry.ops,
        "reduction": registry.reductions,
        "exchange": registry.exchanges,
        "external": registry.externals,
    }
    if not _names_known(table, live, tables):
        missing = _missing_names(table, live, tables)
        if missing:
            raise UnregisteredNameError(missing)


def _named_nodes(table: _Table, live: list[int], kind: str) -> list[int]:
    """The live nodes of one kind, found in the kind column."""
    code, kinds = bytes([KINDS.index(kind)]), table.kinds
    found: list[int] = []
    i = kinds.find(code)
    while i >= 0:
        found.append(i)
        i = kinds.find(code, i + 1)
    return found if len(live) == len(kinds) else sorted(set(found).intersection(live))


def _names_known(table: _Table, live: list[int], tables: dict[str, Mapping[str, object]]) -> bool:
    kinds, names = table.kinds, table.names
    pairs = set(zip(kinds, names)) if len(live) == len(kinds) else {(kinds[i], names[i]) for i in live}
    for code, name in pairs:
        kind = KINDS[code] if code < len(KINDS) else None
        if kind in ("source", "op", "reduction") and name not in tables[kind]:
            return False
    for i in _named_nodes(table, live, "exchange"):
        scheme = table.params[i].get("scheme")
        if isinstance(scheme, str) and scheme not in tables["exchange"]:
            return False
    for i in _named_nodes(table, live, "external"):
        if table.externals[i]["kind"] not in tables["external"]:
            return False
    stages = table.stages
    live_stages = list(stages) if len(live) == len(kinds) else [i for i in live if i in stages]
    used = (
        range(len(table.member_ops))
        if len(live_stages) == len(stages)
        else {t for i in live_stages for t in stages[i][0]}
    )
    member_ops = table.member_ops
    return all(member_ops[t][1] in tables[_MEMBER_TABLES.get(member_ops[t][0], "op")] for t in used)


def _missing_names(table: _Table, live: list[int], tables: dict[str, Mapping[str, object]]) -> list[tuple[str, str]]:
    """Every missing name as ``(table, name)``, in the order of the nodes that use them (a
    stage's in the order of its members)."""
    missing: list[tuple[str, str]] = []

    def need(table: str, name: Any) -> None:
        if isinstance(name, str) and name not in tables[table] and (table, name) not in missing:
            missing.append((table, name))

    kinds, names, member_ops = table.kinds, table.names, table.member_ops
    for i in live:
        kind = KINDS[kinds[i]] if kinds[i] < len(KINDS) else None
        if kind in ("source", "op", "reduction"):
            need(kind, names[i])
        elif kind == "exchange":
            need("exchange", table.params[i].get("scheme"))
        elif kind == "external":
            need("external", table.externals[i]["kind"])
        elif kind == "stage":
            for t in table.stages[i][0]:  # the stage's member operations in the order of first use
                member_kind, name, _ = member_ops[t]
                need(_MEMBER_TABLES.get(member_kind, "op"), name)
    return missing


def _resolve_member_ops(
    table: _Table, registry: Registry
) -> list[tuple[Callable[..., Any], dict[str, Any], str] | None]:
    """Per member operation of the table, ``(fn, params, name)`` (``fn`` unused for a
    reduction member), or None for one whose name the registry lacks (no live stage uses it:
    those were refused by `_check_names`)."""
    ops = registry.ops
    out: list[tuple[Callable[..., Any], dict[str, Any], str] | None] = []
    for kind, name, params in table.member_ops:
        if kind == "red":
            out.append((not_an_op, params, name))
        else:
            entry = ops.get(name)
            out.append((entry.fn, params, name) if entry is not None else None)
    return out


def _plan_node(i: int, table: _Table, nodes: dict[int, PlanNode], registry: Registry) -> PlanNode:
    code = table.kinds[i]
    if code >= len(KINDS):
        raise PlanError(f"node {i} has the kind code {code}, which the runtime does not know")
    kind = KINDS[code]
    name, params, inputs = table.names[i], table.params[i], table.inputs[i]
    info = NodeInfo(i, kind, name)
    counts = [nodes[x].count for x in inputs]
    if kind == "op":
        return PlanNode(info, inputs, _agree(info, counts), OpTask(info, registry.ops[name].fn, params))
    if kind == "source":
        return _plan_source(info, registry, params)
    if kind == "reduction":
        _agree(info, counts)
        return PlanNode(info, inputs, 1, ReductionTask(info, registry.reductions[name], params))
    if kind == "external":
        desc = Descriptor(**table.externals[i])
        spec = registry.externals[desc.kind]
        info.name = desc.kind
        task = ExternalTask(info, spec.load, desc, registry.cache_token, params)
        return PlanNode(info, inputs, _agree(info, counts), task)
    return _plan_exchange(info, registry, params, inputs, counts)


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


def _plan_exchange(
    info: NodeInfo, registry: Registry, params: dict[str, Any], inputs: list[int], counts: list[int]
) -> PlanNode:
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


def _plan_stage(
    info: NodeInfo,
    registry: Registry,
    columns: StageColumns,
    table_ops: list[MemberOp],
    member_ops: list[Any],
    red_ops: set[int],
    inputs: list[int],
    counts: list[int],
) -> PlanNode:
    # The hot loop of planning a fused graph (a stage per few nodes, thousands of members):
    # everything here is per stage or per distinct member operation; the members stay in
    # the table's bytes (see `StageTask`).
    ops, members, arg_counts, args = columns
    if not members:
        raise PlanError(f"node {info.id} (stage) has no members")
    reductions: dict[int, ReductionTask] = {}
    if red_ops and not red_ops.isdisjoint(ops):
        reductions = _reduction_members(info.id, columns, table_ops, registry)
    # A stage whose inputs agree on one count, with no reduction member and no member
    # without arguments, has that count in every member. A run of four zero bytes in
    # ``arg_counts`` may span two counts; it only sends a stage down the exact path.
    member_counts: list[int] | None = None
    if reductions or len(counts) == 0 or counts.count(counts[0]) != len(counts) or _ZERO_U32 in arg_counts:
        member_counts = _member_counts(
            info.id, [table_ops[t] for t in ops], members, arg_counts, args, counts, reductions
        )
        count = member_counts[-1]
    else:
        count = counts[0]
    task = StageTask(
        info, len(inputs), [member_ops[t] for t in ops], members, arg_counts, args, reductions, count, member_counts
    )
    return PlanNode(info, inputs, count, task)


_ZERO_U32 = bytes(4)


def _reduction_members(
    node_id: int, columns: StageColumns, table_ops: list[MemberOp], registry: Registry
) -> dict[int, ReductionTask]:
    ops, members = columns[0], columns[1]
    reductions: dict[int, ReductionTask] = {}
    for j, p in enumerate(memoryview(members).cast("I")):
        op = table_ops[ops[p]]
        if op[0] == "red":
            reductions[j] = ReductionTask(Where(_member(node_id, j, op)), registry.reductions[op[1]], op[2])
    return reductions


def _member_counts(
    node_id: int,
    ops: list[MemberOp],
    members: bytes,
    arg_counts: bytes,
    args: bytes,
    counts: list[int],
    reductions: dict[int, ReductionTask],
) -> list[int]:
    """The partition count of every member, each checked like an op's: its arguments agree
    (a one-partition argument is broadcast); a reduction member gives one partition."""
    slot_counts = list(counts)
    positions = memoryview(members).cast("I")
    for j, slots in enumerate(member_args(arg_counts, args)):
        distinct = {slot_counts[a] for a in slots}
        count = (
            distinct.pop()
            if len(distinct) == 1
            else _agree_counts(_Member(node_id, j, ops[positions[j]]), list(distinct))
        )
        slot_counts.append(1 if j in reductions else count)
    return slot_counts[len(counts) :]


def _member(node_id: int, index: int, op: tuple[str, str, Any]) -> str:
    return member_place(node_id, index, op[0] == "red", op[1])


class _Member:
    """A stage member named in a plan error, described only when one is raised."""

    def __init__(self, node_id: int, index: int, op: tuple[str, str, Any]) -> None:
        self.node_id, self.index, self.op = node_id, index, op

    def describe(self) -> str:
        return _member(self.node_id, self.index, self.op)


def _agree(info: NodeInfo, counts: list[int]) -> int:
    return _agree_counts(info, counts)


def _agree_counts(place: Any, counts: list[int]) -> int:
    if len(counts) == 1:
        return counts[0]
    distinct = set(counts)
    distinct.discard(1)
    if len(distinct) > 1:
        raise PartitionCountError(
            f"the inputs of {place.describe()} have {', '.join(map(str, sorted(distinct)))} "
            f"partitions; they must agree (or have one partition, which is broadcast)"
        )
    return distinct.pop() if distinct else 1
