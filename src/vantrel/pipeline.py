"""Pipelines written by hand: a `Pipeline` hands out `Node` handles that carry their store and
id, so a graph is written as expressions instead of ``add_op`` calls with integer ids.

The builder is a thin layer over `vantrel_core.GraphStore`: every handle is one node of
``pipeline.store``, an ordinary store built with the ordinary methods, and ``node.id`` is that
node's id. Operators build the ops that the reduction rules know, so commutativity and the
identities apply to what people naturally write:

- ``a + b`` is the op ``add`` with the inputs ``[a, b]``; ``a + 2.0`` is ``add`` of ``[a]`` with
  the parameters ``{"scalar": 2.0, "side": "r"}``; ``2.0 + a`` is the same with ``"side": "l"``;
- the other operators follow the names of Python's `operator` module (`OPERATOR_OPS`):
  ``-`` ``sub``, ``*`` ``mul``, ``/`` ``truediv``, ``//`` ``floordiv``, ``%`` ``mod``, ``**``
  ``pow``, ``&`` ``and``, ``|`` ``or``, ``^`` ``xor``, ``==`` ``eq``, ``!=`` ``ne``, ``<`` ``lt``,
  ``<=`` ``le``, ``>`` ``gt``, ``>=`` ``ge``, and the one-input ``-a`` ``neg``, ``+a`` ``pos``,
  ``~a`` ``invert``, ``abs(a)`` ``abs``.

Parameters are Python values (``int``, ``float``, ``bool``, ``str``). NumPy scalars are turned
into the Python values they stand for before they reach the store, so ``np.True_`` stays a
``bool`` and ``np.float64(2.0)`` is the ``float`` 2.0 (the store itself would read a NumPy bool
as the float 1.0).

Because ``==`` builds a node, a handle has no truth value: compare ``a.id == b.id`` to ask
whether two handles are one node. A pipeline hands out one handle per node, so handles work as
dict keys and set members (by identity).
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal

from vantrel_core import GraphStore, PayloadDescriptor

from . import _nodes
from ._nodes import Node
from .registry import Registry
from .types import DescriptorDict, Extraction, Limits, RuleData

if TYPE_CHECKING:
    from . import render as _render
    from .runtime.dask_graph import DaskRun

__all__ = ["OPERATOR_OPS", "Node", "Pipeline", "Scalar", "plain_value"]

Scalar = int | float | bool | str
"""A constant operand of an operator: it becomes the ``scalar`` parameter of the op."""

#: The op name that each Python operator builds.
OPERATOR_OPS: Mapping[str, str] = {
    "+": "add",
    "-": "sub",
    "*": "mul",
    "/": "truediv",
    "//": "floordiv",
    "%": "mod",
    "**": "pow",
    "&": "and",
    "|": "or",
    "^": "xor",
    "==": "eq",
    "!=": "ne",
    "<": "lt",
    "<=": "le",
    ">": "gt",
    ">=": "ge",
    "-x": "neg",
    "+x": "pos",
    "~x": "invert",
    "abs(x)": "abs",
}

_PLAIN = (bool, int, float, str)


def plain_value(value: Any) -> Any:
    """``value`` as the Python value it stands for: a NumPy scalar becomes ``bool``, ``int``,
    ``float`` or ``str`` (its ``item()``); anything else is returned as it is."""
    if type(value) in _PLAIN:
        return value
    if type(value).__module__ == "numpy" and hasattr(value, "item"):
        return value.item()
    return value


_PLAIN_TYPES = frozenset(_PLAIN)


def _plain_params(params: dict[str, Any]) -> dict[str, Any]:
    # The usual dict of a few plain values is passed on as it is; a loop reads a small dict
    # faster than a set operation over a map object.
    for value in params.values():
        if type(value) not in _PLAIN_TYPES:
            return {key: plain_value(value) for key, value in params.items()}
    return params


class Pipeline(_nodes.PipelineBase):
    """A graph written with node handles, with named outputs.

    ``store`` is the `vantrel_core.GraphStore` the nodes live in (a new one, or the one given;
    nodes already in it are reached with `node`). ``registry`` is the default for `run`,
    `compute` and `to_dask`.

    >>> import vantrel
    >>> p = vantrel.Pipeline()
    >>> x = p.source("x")
    >>> y = x * 2.0 + x
    >>> p.output("y", y)
    <vantrel.Node 2>
    >>> p.store.nodes()[1]["params"]
    {'scalar': 2.0, 'side': 'r'}
    """

    # The store and the table of handles are kept by `vantrel._nodes.PipelineBase`. The outputs
    # are kept as ids: the handles of this class are not tracked by the cycle collector, so it
    # must not hold one (a handle holds its pipeline); a subclass's handles are tracked.
    __slots__ = ("__weakref__", "_outputs", "registry")
    _outputs: dict[str, int]

    def __init__(self, registry: Registry | None = None, *, store: GraphStore | None = None) -> None:
        if store is not None and not isinstance(store, GraphStore):  # pyright: ignore[reportUnnecessaryIsInstance]
            raise TypeError(f"store must be a vantrel_core.GraphStore, not {type(store).__name__}")
        if registry is not None and not isinstance(registry, Registry):  # pyright: ignore[reportUnnecessaryIsInstance]
            raise TypeError(f"registry must be a vantrel.Registry, not {type(registry).__name__}")
        self._bind(GraphStore() if store is None else store, plain_value)
        self.registry = registry
        self._outputs = {}

    def __repr__(self) -> str:
        return f"<vantrel.Pipeline of {self.store.node_count()} nodes, outputs {list(self._outputs)}>"

    def __reduce__(self) -> tuple[Callable[..., Pipeline], tuple[Any, ...], dict[str, Any] | None]:
        # The store, registry and outputs, and the attributes of a subclass (its __dict__).
        return _rebuilt, (type(self), self.store, self.registry, dict(self._outputs)), getattr(self, "__dict__", None)

    # -- handles -------------------------------------------------------------------------

    def handle_of(self, node_id: int) -> Node:
        """The handle of ``node_id``, a node of ``store`` (unchecked: see `node`)."""
        return self._handle(node_id)

    def ids_of(self, nodes: Iterable[Node]) -> list[int]:
        """The ids of handles of this pipeline (``TypeError`` for anything else,
        ``ValueError`` for a handle of another pipeline)."""
        ids: list[int] = []
        for node in nodes:
            if not isinstance(node, Node):  # pyright: ignore[reportUnnecessaryIsInstance]
                raise TypeError(f"inputs must be vantrel.Node handles, not {type(node).__name__}")
            if node.pipeline is not self:
                raise ValueError(f"node {node.id} belongs to another pipeline")
            ids.append(node.id)
        return ids

    def node(self, node_id: int) -> Node:
        """The handle of the node ``node_id`` of ``store`` (built with the builder or not)."""
        if isinstance(node_id, bool) or not isinstance(node_id, int):  # pyright: ignore[reportUnnecessaryIsInstance]
            raise TypeError(f"node_id must be an int, not {type(node_id).__name__}")
        if not 0 <= node_id < self.store.node_count():
            raise ValueError(f"no node with id {node_id}")
        return self._handle(node_id)

    # -- building ------------------------------------------------------------------------

    def source(self, name: str, /, **params: Any) -> Node:
        """The source ``name``, with the keyword arguments as its parameters."""
        return self._handle(self.store.add_source(name, _plain_params(params)))

    def op(self, name: str, /, *inputs: Node, **params: Any) -> Node:
        """The op ``name`` of ``inputs`` (any number, none included)."""
        return self._handle(self.store.add_op(name, self.ids_of(inputs), _plain_params(params)))

    def reduction(self, name: str, /, *inputs: Node, **params: Any) -> Node:
        """The reduction ``name`` of ``inputs``."""
        return self._handle(self.store.add_reduction(name, self.ids_of(inputs), _plain_params(params)))

    def exchange(self, scheme: str, /, *inputs: Node, **params: Any) -> Node:
        """The exchange ``scheme`` of ``inputs`` (usually one)."""
        return self._handle(self.store.add_exchange(self.ids_of(inputs), {"scheme": scheme, **_plain_params(params)}))

    def external(self, descriptor: PayloadDescriptor | DescriptorDict, /, *inputs: Node, **params: Any) -> Node:
        """The external payload ``descriptor`` applied to ``inputs``."""
        return self._handle(self.store.add_external(descriptor, self.ids_of(inputs), _plain_params(params)))

    # -- outputs -------------------------------------------------------------------------

    def output(self, name: str, node: Node) -> Node:
        """Name ``node`` as the output ``name`` and return it. A name stands for one node;
        several names may stand for the same node."""
        if not isinstance(name, str):  # pyright: ignore[reportUnnecessaryIsInstance]
            raise TypeError(f"output name must be a str, not {type(name).__name__}")
        (node_id,) = self.ids_of([node])
        known = self._outputs.get(name)
        if known is not None and known != node_id:
            raise ValueError(f"output {name!r} is already node {known}")
        self._outputs[name] = node_id
        return node

    @property
    def outputs(self) -> dict[str, Node]:
        """The named outputs, in the order they were named (a copy)."""
        return {name: self._handle(node_id) for name, node_id in self._outputs.items()}

    def output_ids(self) -> list[int]:
        """The ids of the named outputs, in the order they were named."""
        return list(self._outputs.values())

    # -- running -------------------------------------------------------------------------

    def _request(self, names: Sequence[str] | None, registry: Registry | None) -> tuple[list[str], Registry]:
        reg = self.registry if registry is None else registry
        if reg is None:
            raise TypeError("no registry: give one to Pipeline(registry) or to this call")
        if not isinstance(reg, Registry):  # pyright: ignore[reportUnnecessaryIsInstance]
            raise TypeError(f"registry must be a vantrel.Registry, not {type(reg).__name__}")
        if names is None:
            chosen = list(self._outputs)
        elif isinstance(names, str):
            chosen = [names]
        else:
            chosen = list(names)
        unknown = [n for n in chosen if n not in self._outputs]
        if unknown:
            raise KeyError(f"no output named {unknown[0]!r}; the outputs are {list(self._outputs)}")
        if not chosen:
            raise ValueError("the pipeline has no named outputs: name them with output(name, node)")
        return chosen, reg

    def _joined(self, names: list[str], results: list[list[Any]], registry: Registry) -> dict[str, Any]:
        kinds = self._kinds([self._outputs[n] for n in names])
        return {name: registry.joined(kind, parts) for name, kind, parts in zip(names, kinds, results)}

    def _kinds(self, ids: list[int]) -> list[str]:
        views = self.store.nodes()
        return [views[i]["kind"] for i in ids]

    def run(
        self,
        names: Sequence[str] | str | None = None,
        *,
        registry: Registry | None = None,
        reduce: bool = False,
        maximal_fusion: bool = False,
        rules: Iterable[RuleData] | None = None,
        limits: Limits | None = None,
        extract: Extraction | None = None,
    ) -> dict[str, Any]:
        """Compute the named outputs (default: all of them) in the calling thread with
        `vantrel.evaluate`; ``reduce=True`` runs the reduced graph instead (reduced as
        `vantrel.evaluate` reduces, with ``rules``, ``limits`` and ``extract``). Returns a dict of
        output name to value: the partitions of each result joined by ``registry.joined``
        (arrays and frames concatenated, a reduction's lone partition as it is)."""
        from .runtime import evaluate

        chosen, reg = self._request(names, registry)
        ids = [self._outputs[n] for n in chosen]
        results = evaluate(
            self.store,
            reg,
            ids,
            reduce=reduce,
            maximal_fusion=maximal_fusion,
            rules=rules,
            limits=limits,
            extract=extract,
        )
        return self._joined(chosen, results, reg)

    def to_dask(
        self,
        names: Sequence[str] | str | None = None,
        *,
        registry: Registry | None = None,
        reduce: bool = False,
        maximal_fusion: bool = False,
        rules: Iterable[RuleData] | None = None,
        limits: Limits | None = None,
        extract: Extraction | None = None,
    ) -> DaskRun:
        """The Dask collection of the named outputs (see `vantrel.to_dask`); its results come
        in the order of ``names`` (default: every output, in the order they were named), as
        lists of partitions. Needs the extra 'dask'."""
        from .runtime import to_dask

        chosen, reg = self._request(names, registry)
        ids = [self._outputs[n] for n in chosen]
        return to_dask(
            self.store,
            reg,
            ids,
            reduce=reduce,
            maximal_fusion=maximal_fusion,
            rules=rules,
            limits=limits,
            extract=extract,
        )

    def compute(
        self,
        names: Sequence[str] | str | None = None,
        *,
        registry: Registry | None = None,
        reduce: bool = False,
        maximal_fusion: bool = False,
        rules: Iterable[RuleData] | None = None,
        limits: Limits | None = None,
        extract: Extraction | None = None,
        scheduler: Any = None,
    ) -> dict[str, Any]:
        """`run` on a Dask scheduler ("sync", "threads", "processes", a
        ``distributed.Client``, or None for Dask's default). Needs the extra 'dask'."""
        from .runtime import compute

        chosen, reg = self._request(names, registry)
        ids = [self._outputs[n] for n in chosen]
        results = compute(
            self.store,
            reg,
            ids,
            reduce=reduce,
            maximal_fusion=maximal_fusion,
            rules=rules,
            limits=limits,
            extract=extract,
            scheduler=scheduler,
        )
        return self._joined(chosen, results, reg)

    def render(
        self,
        *,
        format: Literal["svg", "png"] | None = None,
        filename: str | os.PathLike[str] | None = None,
        full: bool = False,
        limit: int | None = None,
    ) -> _render.Picture:
        """The picture of what feeds the named outputs (every node when none is named); see
        `vantrel.render.render` for the arguments."""
        from . import render

        outputs = self.output_ids() if self._outputs else None
        if filename is None:
            return render.render(self.store, outputs=outputs, format=format, full=full, limit=limit)
        return render.render(self.store, outputs=outputs, format=format, filename=filename, full=full, limit=limit)


def _rebuilt(cls: type[Pipeline], store: GraphStore, registry: Registry | None, outputs: dict[str, int]) -> Pipeline:
    """A pickled or copied pipeline: its store, registry and named outputs."""
    p = cls.__new__(cls)
    Pipeline.__init__(p, registry, store=store)
    p._outputs = outputs  # pyright: ignore[reportPrivateUsage]
    return p
