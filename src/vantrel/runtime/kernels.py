"""What runs inside one task: the calls of user functions for every node kind, with the node
named on any exception they raise.

Each task object below holds what one node's tasks need (callables, parameters, the node's
identity) and nothing else, so that shipping it to a worker is cheap. The objects are plain
class instances on purpose: Dask looks inside tuples, lists and dicts of a task for keys and
nested tasks, never inside other objects.
"""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, cast

from ..registry import Descriptor, ExchangeSpec, ReductionSpec
from ..types import NodeKind

NOTE_PREFIX = "vantrel: raised in "


class NodeInfo:
    """The identity of a node, as named in error notes: id, kind and name."""

    __slots__ = ("id", "kind", "name")
    id: int
    kind: NodeKind
    name: str

    def __init__(self, node_id: int, kind: NodeKind, name: str) -> None:
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


def as_parts(value: object, producer: Callable[[], str], what: str) -> list[Any]:
    """The list of the parts or partitions that a user function returned: any iterable but a
    str, bytes or a mapping (which would silently give characters, bytes or keys); anything
    else is a ``TypeError`` naming the node (``producer()``, called only then)."""
    kind = type(value)
    if not issubclass(kind, (str, bytes, bytearray, Mapping)):
        try:
            items = iter(cast("Iterable[Any]", value))
        except TypeError:
            pass
        else:
            return list(items)
    raise TypeError(f"{producer()} returned a {kind.__name__}, not a sequence of {what}")


class Step:
    """One kind of task of one node, as Dask runs it: ``fn(task, *args)``. Its ``__name__`` is
    what the task runs (an op's name, a reduction's name and step, ...), which is how Dask's
    profiler and pictures label a task's function."""

    __slots__ = ("fn", "task", "__name__")

    def __init__(self, fn: Callable[..., Any], task: Any, name: str) -> None:
        self.fn, self.task, self.__name__ = fn, task, name

    def __call__(self, *args: Any) -> Any:
        return self.fn(self.task, *args)

    def __reduce__(self) -> tuple[Any, ...]:
        return Step, (self.fn, self.task, self.__name__)

    def __repr__(self) -> str:
        return f"<vantrel step {self.__name__}>"


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

    def __init__(
        self,
        info: NodeInfo,
        load: Callable[[Descriptor], Callable[..., Any]],
        descriptor: Descriptor,
        cache_token: str,
        params: dict[str, Any],
    ) -> None:
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
                raise TypeError(
                    f"the loader of {task.info.describe()} returned a {type(loaded).__name__}, not a callable"
                )
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


def reduction_finish(task: ReductionTask, *partials: Any) -> Any:
    """The last level of the combine tree (one group: all of ``partials``) and finalize, in
    one call; one partial is finalized as it is."""
    partial = partials[0] if len(partials) == 1 else reduction_combine(task, *partials)
    return reduction_finalize(task, partial)


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
        partials = [
            partials[group[0]] if len(group) == 1 else reduction_combine(task, *(partials[k] for k in group))
            for group in groups
        ]
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
    parts = as_parts(
        call(task.info, " split", task.spec.split, (part, task.n), task.params),
        lambda: f"the split of {task.info.describe()}",
        "parts",
    )
    if len(parts) != task.n:
        raise ValueError(f"the split of {task.info.describe()} returned {len(parts)} parts, expected {task.n}")
    return parts


def exchange_merge(task: ExchangeTask, *parts: Any) -> Any:
    return call(task.info, " merge", task.spec.merge, (list(parts),), task.params)


def item(seq: Sequence[Any], index: int) -> Any:
    return seq[index]


# --- stages --------------------------------------------------------------------------------


def member_place(node_id: int, index: int, is_reduction: bool, name: str) -> str:
    """How error notes name member ``index`` of stage node ``node_id``."""
    kind = "reduction" if is_reduction else "op"
    return f"member {index} ({kind} {name!r}) of node {node_id} (stage)"


class StageTask:
    """A fused stage, run as one sequence of calls over slots: the stage's inputs fill the
    first ``n_inputs`` slots and member ``j``'s result goes to slot ``n_inputs + j``.

    The members are held as the store's node table gives them (`GraphStore.node_table`):
    ``ops`` lists the distinct member operations as ``(fn, params, name)``, and three bytes
    objects of unsigned 32-bit ints give per member its position in ``ops`` (``members``) and
    its argument count (``arg_counts``), and per argument the slot it reads (``args``). So
    planning a stage of thousands of members and shipping it to a worker handle a few
    objects, not a few per member. ``reductions`` maps the index of a reduction member to its
    task (its ``fn`` is unused); ``member_counts`` holds each member's partition count, or is
    None when every member has the stage's ``count``.

    `steps` unpacks the members into per-member ``(fn, params, args, drops)`` the first time
    a process runs the stage: ``args`` are the slots a member reads, ``drops`` the member
    slots whose last reader it is (cleared once it has run, so that a long stage keeps only
    live partitions)."""

    __slots__ = (
        "info",
        "n_inputs",
        "ops",
        "members",
        "arg_counts",
        "args",
        "reductions",
        "count",
        "member_counts",
        "per_partition",
        "_steps",
    )

    def __init__(
        self,
        info: NodeInfo,
        n_inputs: int,
        ops: list[tuple[Callable[..., Any], dict[str, Any], str]],
        members: bytes,
        arg_counts: bytes,
        args: bytes,
        reductions: dict[int, ReductionTask],
        count: int,
        member_counts: list[int] | None = None,
    ) -> None:
        self.info, self.n_inputs, self.ops = info, n_inputs, ops
        self.members, self.arg_counts, self.args = members, arg_counts, args
        self.reductions, self.count, self.member_counts = reductions, count, member_counts
        # A reduction member needs every partition at once, so such a stage runs whole.
        self.per_partition = not reductions
        self._steps: list[tuple[Callable[..., Any], dict[str, Any], tuple[int, ...], tuple[int, ...]]] | None = None

    @property
    def size(self) -> int:
        """The number of members."""
        return len(self.members) // 4

    @property
    def names(self) -> list[str]:
        """Every member's name, in member order."""
        ops = self.ops
        return [ops[k][2] for k in memoryview(self.members).cast("I")]

    @property
    def counts(self) -> list[int]:
        """Every member's partition count, in member order."""
        return list(self.member_counts) if self.member_counts is not None else [self.count] * self.size

    @property
    def steps(self) -> list[tuple[Callable[..., Any], dict[str, Any], tuple[int, ...], tuple[int, ...]]]:
        steps = self._steps
        if steps is None:  # two threads may both unpack; either result is the same
            steps = self._steps = unpack_steps(self.n_inputs, self.ops, self.members, self.arg_counts, self.args)
        return steps

    def label_names(self) -> list[str]:
        """The distinct member names, in the order of first use."""
        return list(dict.fromkeys([op[2] for op in self.ops]))

    def describe_member(self, index: int) -> str:
        return member_place(self.info.id, index, index in self.reductions, self.names[index])

    def __reduce__(self) -> tuple[Any, ...]:
        return StageTask, (
            self.info,
            self.n_inputs,
            self.ops,
            self.members,
            self.arg_counts,
            self.args,
            self.reductions,
            self.count,
            self.member_counts,
        )


def member_args(arg_counts: bytes, args: bytes) -> list[tuple[int, ...]]:
    """The slots every member reads, in member order."""
    flat = memoryview(args).cast("I")
    out: list[tuple[int, ...]] = []
    at = 0
    for n in memoryview(arg_counts).cast("I"):
        out.append(tuple(flat[at : at + n]))
        at += n
    return out


def unpack_steps(
    n_inputs: int,
    ops: Sequence[tuple[Callable[..., Any], dict[str, Any], str]],
    members: bytes,
    arg_counts: bytes,
    args: bytes,
) -> list[tuple[Callable[..., Any], dict[str, Any], tuple[int, ...], tuple[int, ...]]]:
    """Per member ``(fn, params, args, drops)``; see `StageTask`."""
    args_list = member_args(arg_counts, args)
    last_reader: dict[int, int] = {}
    for j, slots in enumerate(args_list):
        for k in slots:
            if k >= n_inputs:
                last_reader[k] = j
    drops: list[list[int]] = [[] for _ in args_list]
    for k, j in last_reader.items():
        drops[j].append(k)
    return [(ops[p][0], ops[p][1], a, tuple(d)) for p, a, d in zip(memoryview(members).cast("I"), args_list, drops)]


def not_an_op(*args: Any, **kwargs: Any) -> Any:
    """The ``fn`` of a reduction member, which runs through its reduction task instead."""
    raise AssertionError("a reduction member runs whole, never partition by partition")


def stage_partition(task: StageTask, *inputs: Any) -> Any:
    """Runs every member of an op-only stage on one partition (inputs already broadcast)."""
    steps = task.steps
    slots = [*inputs, *([None] * len(steps))]
    base, value = len(inputs), None
    for j, (fn, params, args, drops) in enumerate(steps):
        try:
            value = fn(*[slots[a] for a in args], **params)
        except Exception as exc:
            add_note(exc, NOTE_PREFIX + task.describe_member(j))
            raise
        slots[base + j] = value
        for d in drops:
            slots[d] = None
    return value


def stage_whole(task: StageTask, *input_lists: Sequence[Any]) -> list[Any]:
    """Runs a stage over all partitions of its inputs at once; returns its partitions."""
    steps, counts = task.steps, task.counts
    slots: list[Sequence[Any]] = [*input_lists, *([()] * len(steps))]
    base, value = len(input_lists), []
    for j, (fn, params, args, drops) in enumerate(steps):
        arg_lists = [slots[a] for a in args]
        reduction = task.reductions.get(j)
        if reduction is not None:
            count = max((len(a) for a in arg_lists), default=1)
            value = [reduce_partitions(reduction, arg_lists, count)]
        else:
            value = [call(_MemberPlace(task, j), "", fn, pick_all(arg_lists, i), params) for i in range(counts[j])]
        slots[base + j] = value
        for d in drops:
            slots[d] = ()
    return value


class _MemberPlace:
    """Names a stage member in an error note, built only when one is added."""

    __slots__ = ("task", "index")

    def __init__(self, task: StageTask, index: int) -> None:
        self.task, self.index = task, index

    def describe(self) -> str:
        return self.task.describe_member(self.index)


def pick_all(arg_lists: Sequence[Sequence[Any]], index: int) -> list[Any]:
    """Partition ``index`` of every argument, a one-partition argument broadcast."""
    return [a[0] if len(a) == 1 else a[index] for a in arg_lists]
