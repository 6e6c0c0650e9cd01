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
from typing import TYPE_CHECKING, Any, Iterable, Literal, Mapping, Sequence, Union

from vantrel_core import GraphStore, PayloadDescriptor

from .registry import Registry
from .types import DescriptorDict

if TYPE_CHECKING:
    from . import render as _render
    from .runtime.dask_graph import DaskRun

__all__ = ["OPERATOR_OPS", "Node", "Pipeline", "Scalar", "plain_value"]

Scalar = Union[int, float, bool, str]
"""A constant operand of an operator: it becomes the ``scalar`` parameter of the op."""

#: The op name that each Python operator builds.
OPERATOR_OPS: Mapping[str, str] = {
    "+": "add", "-": "sub", "*": "mul", "/": "truediv", "//": "floordiv", "%": "mod", "**": "pow",
    "&": "and", "|": "or", "^": "xor", "==": "eq", "!=": "ne", "<": "lt", "<=": "le", ">": "gt",
    ">=": "ge", "-x": "neg", "+x": "pos", "~x": "invert", "abs(x)": "abs",
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


def _plain_params(params: Mapping[str, Any]) -> dict[str, Any]:
    return {key: value if type(value) in _PLAIN else plain_value(value) for key, value in params.items()}


def _scalar(value: object) -> Any:
    """The parameter value of a constant operand, or None when it is not one."""
    if type(value) in _PLAIN:
        return value
    value = plain_value(value)
    return value if isinstance(value, _PLAIN) else None


class Node:
    """One node of a `Pipeline`: ``id`` is its id in ``store`` (``pipeline.store``).

    Operators on handles and constants build ops (see the module's description); ``op``,
    ``reduction``, ``exchange`` and ``external`` build the other nodes that read this one."""

    __slots__ = ("id", "pipeline")
    # Operators of NumPy values leave a handle operand to the handle's own reflected method.
    __array_ufunc__ = None

    def __init__(self, pipeline: Pipeline, node_id: int) -> None:
        self.pipeline = pipeline
        self.id = node_id

    @property
    def store(self) -> GraphStore:
        """The store this node belongs to."""
        return self.pipeline.store

    def __repr__(self) -> str:
        return f"<vantrel.Node {self.id}>"

    def __bool__(self) -> bool:
        raise TypeError("a vantrel.Node has no truth value: `a == b` builds an 'eq' node; "
                        "compare `a.id == b.id` to ask whether two handles are one node")

    __hash__ = object.__hash__

    # -- building ------------------------------------------------------------------------

    def op(self, name: str, /, *others: Node, **params: Any) -> Node:
        """The op ``name`` with this node and ``others`` as its inputs, in that order, and
        the keyword arguments as its parameters."""
        p = self.pipeline
        return p.handle_of(p.store.add_op(name, [self.id, *p.ids_of(others)], _plain_params(params)))

    def reduction(self, name: str, /, *others: Node, **params: Any) -> Node:
        """The reduction ``name`` of this node (and ``others``): one partition."""
        p = self.pipeline
        return p.handle_of(p.store.add_reduction(name, [self.id, *p.ids_of(others)], _plain_params(params)))

    def exchange(self, scheme: str, /, **params: Any) -> Node:
        """This node's rows redistributed by the exchange ``scheme`` (the ``scheme``
        parameter), with the other keyword arguments as further parameters (``partitions``
        among them)."""
        p = self.pipeline
        return p.handle_of(p.store.add_exchange([self.id], {"scheme": scheme, **_plain_params(params)}))

    def external(self, descriptor: PayloadDescriptor | DescriptorDict, /, *others: Node, **params: Any) -> Node:
        """The external payload ``descriptor`` applied to this node (and ``others``)."""
        p = self.pipeline
        return p.handle_of(p.store.add_external(descriptor, [self.id, *p.ids_of(others)], _plain_params(params)))

    def maximum(self, other: Node | Scalar) -> Node:
        """The element-wise ``maximum`` op (a rule commutes it)."""
        return self._binary("maximum", other, False)

    def minimum(self, other: Node | Scalar) -> Node:
        """The element-wise ``minimum`` op (a rule commutes it)."""
        return self._binary("minimum", other, False)

    def _binary(self, name: str, other: object, reflected: bool) -> Node:
        p = self.pipeline
        if isinstance(other, Node):
            if other.pipeline is not p:
                raise ValueError(f"{name}: the two nodes belong to different pipelines")
            inputs = [other.id, self.id] if reflected else [self.id, other.id]
            return p.handle_of(p.store.add_op(name, inputs))
        scalar = _scalar(other)
        if scalar is None:
            return NotImplemented  # type: ignore[no-any-return]
        return p.handle_of(p.store.add_op(name, [self.id], {"scalar": scalar, "side": "l" if reflected else "r"}))

    def _unary(self, name: str) -> Node:
        p = self.pipeline
        return p.handle_of(p.store.add_op(name, [self.id]))

    # -- operators -----------------------------------------------------------------------

    def __add__(self, other: Node | Scalar) -> Node:
        return self._binary("add", other, False)

    def __radd__(self, other: Scalar) -> Node:
        return self._binary("add", other, True)

    def __sub__(self, other: Node | Scalar) -> Node:
        return self._binary("sub", other, False)

    def __rsub__(self, other: Scalar) -> Node:
        return self._binary("sub", other, True)

    def __mul__(self, other: Node | Scalar) -> Node:
        return self._binary("mul", other, False)

    def __rmul__(self, other: Scalar) -> Node:
        return self._binary("mul", other, True)

    def __truediv__(self, other: Node | Scalar) -> Node:
        return self._binary("truediv", other, False)

    def __rtruediv__(self, other: Scalar) -> Node:
        return self._binary("truediv", other, True)

    def __floordiv__(self, other: Node | Scalar) -> Node:
        return self._binary("floordiv", other, False)

    def __rfloordiv__(self, other: Scalar) -> Node:
        return self._binary("floordiv", other, True)

    def __mod__(self, other: Node | Scalar) -> Node:
        return self._binary("mod", other, False)

    def __rmod__(self, other: Scalar) -> Node:
        return self._binary("mod", other, True)

    def __pow__(self, other: Node | Scalar) -> Node:
        return self._binary("pow", other, False)

    def __rpow__(self, other: Scalar) -> Node:
        return self._binary("pow", other, True)

    def __and__(self, other: Node | Scalar) -> Node:
        return self._binary("and", other, False)

    def __rand__(self, other: Scalar) -> Node:
        return self._binary("and", other, True)

    def __or__(self, other: Node | Scalar) -> Node:
        return self._binary("or", other, False)

    def __ror__(self, other: Scalar) -> Node:
        return self._binary("or", other, True)

    def __xor__(self, other: Node | Scalar) -> Node:
        return self._binary("xor", other, False)

    def __rxor__(self, other: Scalar) -> Node:
        return self._binary("xor", other, True)

    # ``2.0 < a`` reaches ``a > 2.0``: Python reflects comparisons onto the mirrored operator.
    def __eq__(self, other: object) -> Node:  # type: ignore[override]
        return self._binary("eq", other, False)

    def __ne__(self, other: object) -> Node:  # type: ignore[override]
        return self._binary("ne", other, False)

    def __lt__(self, other: Node | Scalar) -> Node:
        return self._binary("lt", other, False)

    def __le__(self, other: Node | Scalar) -> Node:
        return self._binary("le", other, False)

    def __gt__(self, other: Node | Scalar) -> Node:
        return self._binary("gt", other, False)

    def __ge__(self, other: Node | Scalar) -> Node:
        return self._binary("ge", other, False)

    def __neg__(self) -> Node:
        return self._unary("neg")

    def __pos__(self) -> Node:
        return self._unary("pos")

    def __invert__(self) -> Node:
        return self._unary("invert")

    def __abs__(self) -> Node:
        return self._unary("abs")


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

    def __init__(self, registry: Registry | None = None, *, store: GraphStore | None = None) -> None:
        if store is not None and not isinstance(store, GraphStore):  # pyright: ignore[reportUnnecessaryIsInstance]
            raise TypeError(f"store must be a vantrel_core.GraphStore, not {type(store).__name__}")
        if registry is not None and not isinstance(registry, Registry):  # pyright: ignore[reportUnnecessaryIsInstance]
            raise TypeError(f"registry must be a vantrel.Registry, not {type(registry).__name__}")
        self.store = GraphStore() if store is None else store
        self.registry = registry
        self._handles: dict[int, Node] = {}
        self._outputs: dict[str, Node] = {}

    def __repr__(self) -> str:
        return f"<vantrel.Pipeline of {self.store.node_count()} nodes, outputs {list(self._outputs)}>"

    # -- handles -------------------------------------------------------------------------

    def handle_of(self, node_id: int) -> Node:
        """The handle of ``node_id``, a node of ``store`` (unchecked: see `node`)."""
        handle = self._handles.get(node_id)
        if handle is None:
            handle = self._handles[node_id] = Node(self, node_id)
        return handle

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
        return self.handle_of(node_id)

    # -- building ------------------------------------------------------------------------

    def source(self, name: str, /, **params: Any) -> Node:
        """The source ``name``, with the keyword arguments as its parameters."""
        return self.handle_of(self.store.add_source(name, _plain_params(params)))

    def op(self, name: str, /, *inputs: Node, **params: Any) -> Node:
        """The op ``name`` of ``inputs`` (any number, none included)."""
        return self.handle_of(self.store.add_op(name, self.ids_of(inputs), _plain_params(params)))

    def reduction(self, name: str, /, *inputs: Node, **params: Any) -> Node:
        """The reduction ``name`` of ``inputs``."""
        return self.handle_of(self.store.add_reduction(name, self.ids_of(inputs), _plain_params(params)))

    def exchange(self, scheme: str, /, *inputs: Node, **params: Any) -> Node:
        """The exchange ``scheme`` of ``inputs`` (usually one)."""
        return self.handle_of(self.store.add_exchange(self.ids_of(inputs), {"scheme": scheme, **_plain_params(params)}))

    def external(self, descriptor: PayloadDescriptor | DescriptorDict, /, *inputs: Node, **params: Any) -> Node:
        """The external payload ``descriptor`` applied to ``inputs``."""
        return self.handle_of(self.store.add_external(descriptor, self.ids_of(inputs), _plain_params(params)))

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

    def run(self, names: Sequence[str] | str | None = None, *, registry: Registry | None = None,
            reduce: bool = False, maximal_fusion: bool = False) -> dict[str, Any]:
        """Compute the named outputs (default: all of them) in the calling thread with
        `vantrel.evaluate`; ``reduce=True`` runs the reduced graph instead. Returns a dict of
        output name to value: the partitions of each result joined by ``registry.joined``
        (arrays and frames concatenated, a reduction's lone partition as it is)."""
        from .runtime import evaluate

        chosen, reg = self._request(names, registry)
        ids = [self._outputs[n].id for n in chosen]
        results = evaluate(self.store, reg, ids, reduce=reduce, maximal_fusion=maximal_fusion)
        return self._joined(chosen, results, reg)

    def to_dask(self, names: Sequence[str] | str | None = None, *, registry: Registry | None = None,
                reduce: bool = False, maximal_fusion: bool = False) -> DaskRun:
        """The Dask collection of the named outputs (see `vantrel.to_dask`); its results come
        in the order of ``names`` (default: every output, in the order they were named), as
        lists of partitions. Needs the extra 'dask'."""
        from .runtime import to_dask

        chosen, reg = self._request(names, registry)
        ids = [self._outputs[n].id for n in chosen]
        return to_dask(self.store, reg, ids, reduce=reduce, maximal_fusion=maximal_fusion)

    def compute(self, names: Sequence[str] | str | None = None, *, registry: Registry | None = None,
                reduce: bool = False, maximal_fusion: bool = False, scheduler: Any = None) -> dict[str, Any]:
        """`run` on a Dask scheduler ("sync", "threads", "processes", a
        ``distributed.Client``, or None for Dask's default). Needs the extra 'dask'."""
        from .runtime import compute

        chosen, reg = self._request(names, registry)
        ids = [self._outputs[n].id for n in chosen]
        results = compute(self.store, reg, ids, reduce=reduce, maximal_fusion=maximal_fusion,
                          scheduler=scheduler)
        return self._joined(chosen, results, reg)

    def render(self, *, format: Literal["svg", "png"] | None = None, filename: str | os.PathLike[str] | None = None,
               full: bool = False, limit: int | None = None) -> _render.Picture:
        """The picture of what feeds the named outputs (every node when none is named); see
        `vantrel.render.render` for the arguments."""
        from . import render

        outputs = self.output_ids() if self._outputs else None
        if filename is None:
            return render.render(self.store, outputs=outputs, format=format, full=full, limit=limit)
        return render.render(self.store, outputs=outputs, format=format, filename=filename, full=full, limit=limit)
