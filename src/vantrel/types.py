"""The shapes of the plain Python values that `vantrel_core` takes and returns.

These exist at run time (import them freely) and are what the typed interface of
`vantrel_core` refers to: the node view of `GraphStore.nodes()`, stage members, the descriptor
dict, the reduction report and parameter maps.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Literal, TypedDict

ParamValue = int | float | bool | str
"""A parameter value as Python gives and gets it; ``bool`` is kept apart from ``int``, and an
``int`` and a ``float`` of equal value are different parameters."""

Params = Mapping[str, ParamValue]
"""What ``params=`` takes. At run time it must be a ``dict`` (or a subclass) or ``None``."""

NodeKind = Literal["source", "op", "reduction", "external", "stage", "exchange"]
"""The ``"kind"`` of a node view."""


class _DescriptorFields(TypedDict):
    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str


class DescriptorDict(_DescriptorFields, total=False):
    """A descriptor given to ``add_external`` as a dict. Other keys are ignored at run time."""

    preprocessing_ref: str | None


class DescriptorView(_DescriptorFields):
    """The ``"descriptor"`` entry of an external node's view: always all six keys."""

    preprocessing_ref: str | None


InputRef = tuple[Literal["input"], int]
"""A stage member's argument that is the stage's i-th input."""

MemberRef = tuple[Literal["member"], int]
"""A stage member's argument that is the result of the stage's j-th (earlier) member."""


class StageMember(TypedDict):
    """One member operation of a stage node, in member order."""

    kind: Literal["op", "red"]
    name: str
    params: dict[str, ParamValue]
    inputs: list[InputRef | MemberRef]


StageColumns = tuple[tuple[int, ...], bytes, bytes, bytes]
"""A stage in `GraphStore.node_table()`: ``(ops, members, arg_counts, args)``."""

MemberOp = tuple[Literal["op", "red"], str, "dict[str, ParamValue]"]
"""A distinct stage member in `GraphStore.node_table()`: ``(kind, name, params)``."""

NodeTable = tuple[
    bytes,
    "list[str]",
    "list[dict[str, ParamValue]]",
    "list[list[int]]",
    "list[int]",
    "dict[int, DescriptorView]",
    "dict[int, StageColumns]",
    "list[MemberOp]",
]
"""What `GraphStore.node_table()` returns: ``(kinds, names, params, inputs, outputs,
externals, stages, member_ops)``."""


class SourceNode(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["source"]
    name: str
    params: dict[str, ParamValue]


class OpNode(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["op"]
    name: str
    params: dict[str, ParamValue]


class ReductionNode(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["reduction"]
    name: str
    params: dict[str, ParamValue]


class ExchangeNode(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["exchange"]
    name: str
    params: dict[str, ParamValue]


class ExternalNode(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["external"]
    name: str
    params: dict[str, ParamValue]
    descriptor: DescriptorView


class StageNode(TypedDict):
    id: int
    output: bool
    inputs: list[int]
    kind: Literal["stage"]
    name: str
    params: dict[str, ParamValue]
    n_members: int
    members: list[StageMember]


NodeView = SourceNode | OpNode | ReductionNode | ExchangeNode | ExternalNode | StageNode
"""One entry of ``GraphStore.nodes()``; compare ``node["kind"]`` to narrow it to one kind."""


class ReductionReport(TypedDict):
    """The six counts of a reduction (``reduce``, ``reduction_report``, ``finalize``)."""

    input_nodes: int
    reachable_nodes: int
    canonical_nodes: int
    stages: int
    reduced_nodes: int
    boundary_nodes: int


PatternEntry = str | tuple[str, Params | None, Sequence[int]]
"""One entry of a flat rule pattern: a variable (``"?x"``), or an op as (name, parameters,
positions of its children among the earlier entries)."""

RuleData = tuple[str, Sequence[PatternEntry], Sequence[PatternEntry]]
"""One rule as ``rules=`` takes it: (name, left side, right side), each side a flat pattern
whose last entry is its root. `vantrel.algebra.Algebra` iterates as such rules."""


class Limits(TypedDict, total=False):
    """``limits=`` of the mapped reductions; a key left out keeps the engine's default."""

    iterations: int
    nodes: int
    time: float | None


class Explanation(TypedDict):
    """What the engine did in a reduction asked with ``explain=True``."""

    iterations: int
    stop: Literal["saturated", "iteration_limit", "node_limit", "time_limit", "other", "not_run"]
    e_nodes: int
    rules: dict[str, int]
    """Merges per rule over the run, in the order the rules first merged; rules that merged
    nothing are left out."""


Origin = int | tuple[int, int] | None
"""One entry of the list that ``provenance=True`` adds to a mapped reduction, for one node of
the original store: the id of the reduced node that computes its value, a (stage id, member
index) pair for an op that became a member of a stage, or None when no output needs the node."""

Extraction = Literal["earliest", "cost"] | Mapping[str, int]
"""``extract=`` of the mapped reductions: each class read back as its earliest member, or as its
cheapest term (``"cost"``: weighed by the ``costs`` of the rules given, such as an algebra's;
a mapping: by those op costs; an op not named costs 1)."""


__all__ = [
    "DescriptorDict",
    "DescriptorView",
    "ExchangeNode",
    "Explanation",
    "Extraction",
    "ExternalNode",
    "InputRef",
    "Limits",
    "MemberOp",
    "MemberRef",
    "NodeKind",
    "NodeTable",
    "NodeView",
    "OpNode",
    "Origin",
    "ParamValue",
    "Params",
    "PatternEntry",
    "ReductionNode",
    "ReductionReport",
    "RuleData",
    "SourceNode",
    "StageColumns",
    "StageMember",
    "StageNode",
]
