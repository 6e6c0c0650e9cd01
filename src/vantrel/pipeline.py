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


def _scalar(value: object) -> Any:
    """The parameter value of a constant operand, or None when it is not one."""
    if type(value) in _PLAIN:
        return value
    value = plain_value(value)
    return value if isinstance(value, _PLAIN) else None


def _handle(pipeline: Pipeline, node_id: int) -> Node:
    """The one handle of ``node_id`` in ``pipeline``, made on first use."""
    handles = pipeline._handles  # pyright: ignore[reportPrivateUsage]
    if node_id < len(handles):
        handle = handles[node_id]
        if handle is not None:
            return handle
    # Node has no __init__: calling the class is the cheapest way to make an instance
    # (object.__new__ called from Python checks its argument first), and the slots are set
    # here rather than through a constructor's arguments.
    handle = Node()
    handle.id, handle.pipeline, handle.store = node_id, pipeline, pipeline.store
    if node_id == len(handles):
        handles.append(handle)
    else:
        _place(handles, node_id, handle)
    return handle


def _place(handles: list[Node | None], node_id: int, handle: Node) -> None:
    """Puts ``handle`` at ``node_id``, past nodes made without the builder (None there)."""
    if node_id >= len(handles):
        handles.extend([None] * (node_id + 1 - len(handles)))
    handles[node_id] = handle


def _binary(name: str, reflected: bool) -> Callable[[Node, Node | Scalar], Node]:
    """The method of one two-operand operator (one function per operator: this is the
    builder's hot path, and a further call would cost as much as the work)."""
    side = "l" if reflected else "r"

    def method(self: Node, other: Any) -> Node:
        store = self.store
        if type(other) is Node:
            if other.store is not store:
                raise ValueError(f"{name}: the two nodes belong to different pipelines")
            node_id = store.add_op(name, [other.id, self.id] if reflected else [self.id, other.id])
        else:
            scalar = other if type(other) in _PLAIN else _scalar(other)
            if scalar is None:
                return NotImplemented  # type: ignore[no-any-return]
            node_id = store.add_op(name, [self.id], {"scalar": scalar, "side": side})
        # _handle, inlined.
        pipeline = self.pipeline
        handles = pipeline._handles  # pyright: ignore[reportPrivateUsage]
        if node_id < len(handles):
            handle = handles[node_id]
            if handle is not None:
                return handle
        handle = Node()
        handle.id, handle.pipeline, handle.store = node_id, pipeline, store
        if node_id == len(handles):
            handles.append(handle)
        else:
            _place(handles, node_id, handle)
        return handle

    method.__name__ = f"__{'r' if reflected else ''}{name}__"
    return method


def _unary(name: str) -> Callable[[Node], Node]:
    def method(self: Node) -> Node:
        return _handle(self.pipeline, self.store.add_op(name, [self.id]))

    return method


class Node:
    """One node of a `Pipeline`: ``id`` is its id in ``store`` (``pipeline.store``).

    Operators on handles and constants build ops (see the module's description); ``op``,
    ``reduction``, ``exchange`` and ``external`` build the other nodes that read this one.
    Handles are made by their pipeline, one per node."""

    __slots__ = ("id", "pipeline", "store")
    # Operators of NumPy values leave a handle operand to the handle's own reflected method.
    __array_ufunc__ = None
    id: int
    pipeline: Pipeline
    store: GraphStore

    def __repr__(self) -> str:
        return f"<vantrel.Node {self.id}>"

    def __bool__(self) -> bool:
        raise TypeError(
            "a vantrel.Node has no truth value: `a == b` builds an 'eq' node; "
            "compare `a.id == b.id` to ask whether two handles are one node"
        )

    # -- building ------------------------------------------------------------------------

    def op(self, name: str, /, *others: Node, **params: Any) -> Node:
        """The op ``name`` with this node and ``others`` as its inputs, in that order, and
        the keyword arguments as its parameters."""
        pipeline, store = self.pipeline, self.store
        inputs = [self.id, *pipeline.ids_of(others)] if others else [self.id]
        for value in params.values():  # _plain_params, inlined
            if type(value) not in _PLAIN_TYPES:
                params = _plain_params(params)
                break
        node_id = store.add_op(name, inputs, params)
        # _handle, inlined: a chain of named ops is as common as a chain of operators.
        handles = pipeline._handles  # pyright: ignore[reportPrivateUsage]
        if node_id < len(handles):
            handle = handles[node_id]
            if handle is not None:
                return handle
        handle = Node()
        handle.id, handle.pipeline, handle.store = node_id, pipeline, store
        if node_id == len(handles):
            handles.append(handle)
        else:
            _place(handles, node_id, handle)
        return handle

    def reduction(self, name: str, /, *others: Node, **params: Any) -> Node:
        """The reduction ``name`` of this node (and ``others``): one partition."""
        p = self.pipeline
        inputs = [self.id, *p.ids_of(others)] if others else [self.id]
        return _handle(p, self.store.add_reduction(name, inputs, _plain_params(params) if params else None))

    def exchange(self, scheme: str, /, **params: Any) -> Node:
        """This node's rows redistributed by the exchange ``scheme`` (the ``scheme``
        parameter), with the other keyword arguments as further parameters (``partitions``
        among them)."""
        p = self.pipeline
        return _handle(p, p.store.add_exchange([self.id], {"scheme": scheme, **_plain_params(params)}))

    def external(self, descriptor: PayloadDescriptor | DescriptorDict, /, *others: Node, **params: Any) -> Node:
        """The external payload ``descriptor`` applied to this node (and ``others``)."""
        p = self.pipeline
        return _handle(p, p.store.add_external(descriptor, [self.id, *p.ids_of(others)], _plain_params(params)))

    def maximum(self, other: Node | Scalar) -> Node:
        """The element-wise ``maximum`` op (a rule commutes it)."""
        return _maximum(self, other)

    def minimum(self, other: Node | Scalar) -> Node:
        """The element-wise ``minimum`` op (a rule commutes it)."""
        return _minimum(self, other)

    # -- operators (``2.0 < a`` reaches ``a > 2.0``: Python mirrors comparisons itself) --

    __add__, __radd__ = _binary("add", False), _binary("add", True)
    __sub__, __rsub__ = _binary("sub", False), _binary("sub", True)
    __mul__, __rmul__ = _binary("mul", False), _binary("mul", True)
    __truediv__, __rtruediv__ = _binary("truediv", False), _binary("truediv", True)
    __floordiv__, __rfloordiv__ = _binary("floordiv", False), _binary("floordiv", True)
    __mod__, __rmod__ = _binary("mod", False), _binary("mod", True)
    __pow__, __rpow__ = _binary("pow", False), _binary("pow", True)
    __and__, __rand__ = _binary("and", False), _binary("and", True)
    __or__, __ror__ = _binary("or", False), _binary("or", True)
    __xor__, __rxor__ = _binary("xor", False), _binary("xor", True)

    def __eq__(self, other: object) -> Node:  # type: ignore[override]
        return _eq(self, other)  # type: ignore[arg-type]

    def __ne__(self, other: object) -> Node:  # type: ignore[override]
        return _ne(self, other)  # type: ignore[arg-type]

    __lt__, __le__ = _binary("lt", False), _binary("le", False)
    __gt__, __ge__ = _binary("gt", False), _binary("ge", False)
    __neg__, __pos__ = _unary("neg"), _unary("pos")
    __invert__, __abs__ = _unary("invert"), _unary("abs")
    __hash__ = object.__hash__


_maximum, _minimum = _binary("maximum", False), _binary("minimum", False)
_eq, _ne = _binary("eq", False), _binary("ne", False)


class Pipeline:
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

    __slots__ = ("_handles", "_outputs", "registry", "store")

    def __init__(self, registry: Registry | None = None, *, store: GraphStore | None = None) -> None:
        if store is not None and not isinstance(store, GraphStore):  # pyright: ignore[reportUnnecessaryIsInstance]
            raise TypeError(f"store must be a vantrel_core.GraphStore, not {type(store).__name__}")
        if registry is not None and not isinstance(registry, Registry):  # pyright: ignore[reportUnnecessaryIsInstance]
            raise TypeError(f"registry must be a vantrel.Registry, not {type(registry).__name__}")
        self.store = GraphStore() if store is None else store
        self.registry = registry
        # The handle of node i at index i: new nodes come at the end of the store.
        self._handles: list[Node | None] = []
        self._outputs: dict[str, Node] = {}

    def __repr__(self) -> str:
        return f"<vantrel.Pipeline of {self.store.node_count()} nodes, outputs {list(self._outputs)}>"

    # -- handles -------------------------------------------------------------------------

    def handle_of(self, node_id: int) -> Node:
        """The handle of ``node_id``, a node of ``store`` (unchecked: see `node`)."""
        return _handle(self, node_id)

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
        return _handle(self, node_id)

    # -- building ------------------------------------------------------------------------

    def source(self, name: str, /, **params: Any) -> Node:
        """The source ``name``, with the keyword arguments as its parameters."""
        return _handle(self, self.store.add_source(name, _plain_params(params)))

    def op(self, name: str, /, *inputs: Node, **params: Any) -> Node:
        """The op ``name`` of ``inputs`` (any number, none included)."""
        return _handle(self, self.store.add_op(name, self.ids_of(inputs), _plain_params(params)))

    def reduction(self, name: str, /, *inputs: Node, **params: Any) -> Node:
        """The reduction ``name`` of ``inputs``."""
        return _handle(self, self.store.add_reduction(name, self.ids_of(inputs), _plain_params(params)))

    def exchange(self, scheme: str, /, *inputs: Node, **params: Any) -> Node:
        """The exchange ``scheme`` of ``inputs`` (usually one)."""
        return _handle(self, self.store.add_exchange(self.ids_of(inputs), {"scheme": scheme, **_plain_params(params)}))

    def external(self, descriptor: PayloadDescriptor | DescriptorDict, /, *inputs: Node, **params: Any) -> Node:
        """The external payload ``descriptor`` applied to ``inputs``."""
        return _handle(self, self.store.add_external(descriptor, self.ids_of(inputs), _plain_params(params)))

    # -- outputs -------------------------------------------------------------------------

    def output(self, name: str, node: Node) -> Node:
        """Name ``node`` as the output ``name`` and return it. A name stands for one node;
        several names may stand for the same node."""
        if not isinstance(name, str):  # pyright: ignore[reportUnnecessaryIsInstance]
            raise TypeError(f"output name must be a str, not {type(name).__name__}")
        self.ids_of([node])
        known = self._outputs.get(name)
        if known is not None and known is not node:
            raise ValueError(f"output {name!r} is already node {known.id}")
        self._outputs[name] = node
        return node

    @property
    def outputs(self) -> dict[str, Node]:
        """The named outputs, in the order they were named (a copy)."""
        return dict(self._outputs)

    def output_ids(self) -> list[int]:
        """The ids of the named outputs, in the order they were named."""
        return [node.id for node in self._outputs.values()]

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
        kinds = self._kinds([self._outputs[n].id for n in names])
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
        ids = [self._outputs[n].id for n in chosen]
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
        ids = [self._outputs[n].id for n in chosen]
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
        ids = [self._outputs[n].id for n in chosen]
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
