"""What runs inside one task: the calls of user functions for every node kind, with the node
named on any exception they raise.

Each task object below holds what one node's tasks need (callables, parameters, the node's
identity) and nothing else, so that shipping it to a worker is cheap. The objects are plain
class instances on purpose: Dask looks inside tuples, lists and dicts of a task for keys and
nested tasks, never inside other objects.
"""
from __future__ import annotations

import threading
from typing import Any, Callable, Sequence

from ..registry import Descriptor, ExchangeSpec, ReductionSpec

NOTE_PREFIX = "vantrel: raised in "


class NodeInfo:
    """The identity of a node, as named in error notes: id, kind and name."""

    __slots__ = ("id", "kind", "name")

    def __init__(self, node_id: int, kind: str, name: str) -> None:
        self.id, self.kind, self.name = node_id, kind, name

    def describe(self) -> str:
        return f"node {self.id} ({self.kind} {self.name!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        return NodeInfo, (self.id, self.kind, self.name)


class Where:
    """A place named in error notes that is not a whole node (a member of a stage)."""

    __slots__ = ("text",)

    def __init__(self, text: str) -> None:
        self.text = text

    def describe(self) -> str:
        return self.text

    def __reduce__(self) -> tuple[Any, ...]:
        return Where, (self.text,)


def add_note(exc: BaseException, text: str) -> None:
    """Attach ``text`` to ``exc`` once (``BaseException.add_note`` where the interpreter has it)."""
    notes = getattr(exc, "__notes__", None)
    if notes is not None and text in notes:
        return
    if hasattr(exc, "add_note"):
        exc.add_note(text)
    else:  # Python 3.10: the same attribute, which tracebacks there do not print
        exc.__notes__ = [*(notes or []), text]


def call(place: Any, step: str, fn: Callable[..., Any], args: Sequence[Any], kwargs: dict[str, Any]) -> Any:
    """``fn(*args, **kwargs)``; an exception it raises gets a note naming ``place`` (an object
    with ``describe()``, called only then) and ``step``. The arguments come as a sequence and
    a dict so that no parameter name of the user's can collide with ours."""
    try:
        return fn(*args, **kwargs)
    except Exception as exc:
        add_note(exc, NOTE_PREFIX + place.describe() + step)
        raise


# --- sources -------------------------------------------------------------------------------

class SourceTask:
    """Reads one partition of a source: ``read(index, **params)``."""

    __slots__ = ("info", "read", "params")

    def __init__(self, info: NodeInfo, read: Callable[..., Any], params: dict[str, Any]) -> None:
        self.info, self.read, self.params = info, read, params

    def __reduce__(self) -> tuple[Any, ...]:
        return SourceTask, (self.info, self.read, self.params)


def source_read(task: SourceTask, index: int) -> Any:
    return call(task.info, "", task.read, (index,), task.params)


class Literal:
    """A partition that was produced while the graph was built, kept opaque to Dask."""

    __slots__ = ("value",)

    def __init__(self, value: Any) -> None:
        self.value = value

    def __reduce__(self) -> tuple[Any, ...]:
        return Literal, (self.value,)


def literal(holder: Literal) -> Any:
    return holder.value


# --- ops and externals ---------------------------------------------------------------------

class OpTask:
    """Applies ``fn(*partitions, **params)`` to the matching partitions of the inputs."""

    __slots__ = ("info", "fn", "params")

    def __init__(self, info: NodeInfo, fn: Callable[..., Any], params: dict[str, Any]) -> None:
        self.info, self.fn, self.params = info, fn, params

    def __reduce__(self) -> tuple[Any, ...]:
        return OpTask, (self.info, self.fn, self.params)


def op_apply(task: OpTask, *parts: Any) -> Any:
    return call(task.info, "", task.fn, parts, task.params)


_payloads: dict[tuple[str, Descriptor], Callable[..., Any]] = {}
_payload_locks: dict[tuple[str, Descriptor], threading.Lock] = {}
_payloads_guard = threading.Lock()


class ExternalTask:
    """Applies the payload that ``load(descriptor)`` returns, loaded once per process."""

    __slots__ = ("info", "load", "descriptor", "cache_token", "params")

    def __init__(self, info: NodeInfo, load: Callable[[Descriptor], Callable[..., Any]], descriptor: Descriptor,
                 cache_token: str, params: dict[str, Any]) -> None:
        self.info, self.load, self.descriptor = info, load, descriptor
        self.cache_token, self.params = cache_token, params

    def __reduce__(self) -> tuple[Any, ...]:
        return ExternalTask, (self.info, self.load, self.descriptor, self.cache_token, self.params)


def payload(task: ExternalTask) -> Callable[..., Any]:
    """The loaded payload of ``task``'s descriptor: loaded by the first task of this process
    that needs it (the others wait for it) and kept for the life of the process."""
    key = (task.cache_token, task.descriptor)
    found = _payloads.get(key)
    if found is not None:
        return found
    with _payloads_guard:
        lock = _payload_locks.setdefault(key, threading.Lock())
    with lock:
        found = _payloads.get(key)
        if found is None:
            loaded: object = call(task.info, " while loading its payload", task.load, (task.descriptor,), {})
            if not callable(loaded):
                raise TypeError(f"the loader of {task.info.describe()} returned a "
                                f"{type(loaded).__name__}, not a callable")
            found = _payloads[key] = loaded
    return found


def clear_payload_cache() -> None:
    """Forget every payload loaded in this process (they are loaded again when next needed)."""
    with _payloads_guard:
        _payloads.clear()
        _payload_locks.clear()


def external_apply(task: ExternalTask, *parts: Any) -> Any:
    return call(task.info, "", payload(task), parts, task.params)


# --- reductions ----------------------------------------------------------------------------

class ReductionTask:
    """A reduction's chunk, combine and finalize steps, with the node's parameters."""

    __slots__ = ("info", "spec", "params")

    def __init__(self, info: NodeInfo | Where, spec: ReductionSpec, params: dict[str, Any]) -> None:
        self.info, self.spec, self.params = info, spec, params

    def __reduce__(self) -> tuple[Any, ...]:
        return ReductionTask, (self.info, self.spec, self.params)


def reduction_chunk(task: ReductionTask, *parts: Any) -> Any:
    return call(task.info, " chunk", task.spec.chunk, parts, task.params)


def reduction_combine(task: ReductionTask, *partials: Any) -> Any:
    return call(task.info, " combine", task.spec.combine, (list(partials),), task.params)


def reduction_finalize(task: ReductionTask, partial: Any) -> Any:
    if task.spec.finalize is None:
        return partial
    return call(task.info, " finalize", task.spec.finalize, (partial,), task.params)


def combine_groups(count: int, fan_in: int) -> list[list[range]]:
    """The levels of the combine tree over ``count`` partials: at each level, the ranges of
    the previous level's results that one combine call receives (a range of one is passed
    on without a call). Empty for one partial."""
    levels: list[list[range]] = []
    while count > 1:
        groups = [range(k, min(k + fan_in, count)) for k in range(0, count, fan_in)]
        levels.append(groups)
        count = len(groups)
    return levels


def reduce_partitions(task: ReductionTask, arg_lists: Sequence[Sequence[Any]], count: int) -> Any:
    """Runs a whole reduction in one process: chunks, the combine tree, finalize."""
    partials = [reduction_chunk(task, *pick_all(arg_lists, i)) for i in range(count)]
    for groups in combine_groups(len(partials), task.spec.fan_in):
        partials = [partials[group[0]] if len(group) == 1 else
                    reduction_combine(task, *(partials[k] for k in group)) for group in groups]
    return reduction_finalize(task, partials[0])


# --- exchanges -----------------------------------------------------------------------------

class ExchangeTask:
    """An exchange's split into ``n`` parts and its merge, with the node's other parameters."""

    __slots__ = ("info", "spec", "n", "params")

    def __init__(self, info: NodeInfo, spec: ExchangeSpec, n: int, params: dict[str, Any]) -> None:
        self.info, self.spec, self.n, self.params = info, spec, n, params

    def __reduce__(self) -> tuple[Any, ...]:
        return ExchangeTask, (self.info, self.spec, self.n, self.params)


def exchange_split(task: ExchangeTask, part: Any) -> list[Any]:
    parts = list(call(task.info, " split", task.spec.split, (part, task.n), task.params))
    if len(parts) != task.n:
        raise ValueError(f"the split of {task.info.describe()} returned {len(parts)} parts, "
                         f"expected {task.n}")
    return parts


def exchange_merge(task: ExchangeTask, *parts: Any) -> Any:
    return call(task.info, " merge", task.spec.merge, (list(parts),), task.params)


def item(seq: Sequence[Any], index: int) -> Any:
    return seq[index]


# --- stages --------------------------------------------------------------------------------

class Member:
    """Member ``index`` of stage node ``node_id``: an op (``fn``) or a reduction
    (``reduction``) named ``name``, its parameters, its arguments as ``(from_member, index)``
    pairs, and the partition count it produces."""

    __slots__ = ("node_id", "index", "kind", "name", "fn", "reduction", "params", "args", "count")

    def __init__(self, node_id: int, index: int, kind: str, name: str, fn: Callable[..., Any],
                 reduction: ReductionTask | None, params: dict[str, Any], args: tuple[tuple[bool, int], ...],
                 count: int) -> None:
        self.node_id, self.index, self.kind, self.name = node_id, index, kind, name
        self.fn, self.reduction, self.params, self.args, self.count = fn, reduction, params, args, count

    def describe(self) -> str:
        kind = "reduction" if self.kind == "red" else self.kind
        return f"member {self.index} ({kind} {self.name!r}) of node {self.node_id} (stage)"

    def __reduce__(self) -> tuple[Any, ...]:
        return Member, (self.node_id, self.index, self.kind, self.name, self.fn, self.reduction, self.params,
                        self.args, self.count)


def not_an_op(*args: Any, **kwargs: Any) -> Any:
    """The ``fn`` of a reduction member, which runs through its ``reduction`` instead."""
    raise AssertionError("a reduction member runs whole, never partition by partition")


class StageTask:
    """A fused stage: its members in order and, per member, which member results can be
    dropped once it has run (their last use)."""

    __slots__ = ("info", "members", "drops", "per_partition")

    def __init__(self, info: NodeInfo, members: list[Member]) -> None:
        self.info, self.members = info, members
        last_use: dict[int, int] = {}
        for j, member in enumerate(members):
            for from_member, k in member.args:
                if from_member:
                    last_use[k] = j
        drops: list[list[int]] = [[] for _ in members]
        for k, j in last_use.items():
            drops[j].append(k)
        self.drops = drops
        # A reduction member needs every partition at once, so such a stage runs whole.
        self.per_partition = all(m.kind == "op" for m in members)

    def __reduce__(self) -> tuple[Any, ...]:
        return StageTask, (self.info, self.members)


def stage_partition(task: StageTask, *inputs: Any) -> Any:
    """Runs every member of an op-only stage on one partition (inputs already broadcast)."""
    results: dict[int, Any] = {}
    value = None
    for j, member in enumerate(task.members):
        args = [results[k] if from_member else inputs[k] for from_member, k in member.args]
        value = call(member, "", member.fn, args, member.params)
        results[j] = value
        for k in task.drops[j]:
            del results[k]
        del args
    return value


def stage_whole(task: StageTask, *input_lists: Sequence[Any]) -> list[Any]:
    """Runs a stage over all partitions of its inputs at once; returns its partitions."""
    results: dict[int, list[Any]] = {}
    value: list[Any] = []
    for j, member in enumerate(task.members):
        arg_lists = [results[k] if from_member else input_lists[k] for from_member, k in member.args]
        if member.reduction is not None:
            count = max((len(a) for a in arg_lists), default=1)
            value = [reduce_partitions(member.reduction, arg_lists, count)]
        else:
            value = [call(member, "", member.fn, pick_all(arg_lists, i), member.params)
                     for i in range(member.count)]
        results[j] = value
        for k in task.drops[j]:
            del results[k]
    return value


def pick_all(arg_lists: Sequence[Sequence[Any]], index: int) -> list[Any]:
    """Partition ``index`` of every argument, a one-partition argument broadcast."""
    return [a[0] if len(a) == 1 else a[index] for a in arg_lists]
