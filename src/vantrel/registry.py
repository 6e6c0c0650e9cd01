"""The meaning of every name in a graph: what a source produces, what an op computes, how a
reduction folds, how an exchange redistributes rows and how an external payload is loaded.

The IR itself stores names and parameters only; a `Registry` maps them to Python callables so
that the runtime (the local evaluator and the Dask graph builder) can execute a graph.

The reduction rules of `vantrel_core` assume two things about op names, and a registry that
binds these names must honour them:

- the ops named in `COMMUTATIVE_OPS`, taking exactly two inputs and no parameters, are
  commutative: ``f(a, b) == f(b, a)``;
- an ``add`` with the parameters ``{"scalar": 0.0, "side": "r" or "l"}`` and a ``mul`` with
  ``{"scalar": 1.0, "side": "r" or "l"}``, taking one input, are identities and are removed.

A function that is not commutative (or not an identity for those parameters) must be
registered under another name, which the rules leave alone; `Registry.op` refuses
``commutative=False`` for a name the rules commute.

In IEEE arithmetic ``x + 0.0`` is not quite ``x``: it turns -0.0 into +0.0. A reduced graph,
which no longer adds the zero, can therefore give -0.0 where the original gave +0.0; compare
results with -0.0 equal to +0.0 (and NaN equal to NaN, whose payloads are not kept either).
"""

from __future__ import annotations

import sys
import uuid
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, NamedTuple, TypeVar, cast, overload

from . import algebra as _algebra

__all__ = [
    "COMMUTATIVE_OPS",
    "IDENTITY_FORMS",
    "Descriptor",
    "ExchangeSpec",
    "ExternalSpec",
    "Join",
    "OpSpec",
    "ReductionSpec",
    "Registry",
    "SourceSpec",
]

#: Op names that the rewrite rules treat as commutative (two inputs, no parameters).
COMMUTATIVE_OPS = frozenset({"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"})

#: Op name and the ``scalar`` parameter for which the one-input op is removed as an identity
#: (with ``side`` "r" or "l" and no other parameter).
IDENTITY_FORMS = {"add": 0.0, "mul": 1.0}

F = TypeVar("F", bound=Callable[..., Any])
Load = Callable[["Descriptor"], Callable[..., Any]]
LoadT = TypeVar("LoadT", bound=Load)

Join = Callable[[list[Any]], Any]
"""Joins the partitions of one result, in order, into one value."""


class Descriptor(NamedTuple):
    """The reproducibility metadata of an external node, as handed to an external loader.

    Hashable and picklable; equal descriptors name the same payload, which is what the
    per-process cache of loaded payloads keys on."""

    kind: str
    content_hash: str
    framework: str
    version: str
    io_schema: str
    preprocessing_ref: str | None = None


@dataclass(frozen=True)
class SourceSpec:
    """How a source produces its partitions.

    Exactly one of two forms: ``partitions(**params)`` returns the whole list of partitions
    (called once, on the machine that builds the graph), or ``read(index, **params)`` returns
    partition ``index`` and ``count`` (an int, or ``count(**params)``) says how many there are
    (each partition is read inside its own task)."""

    partitions: Callable[..., Sequence[Any]] | None = None
    read: Callable[..., Any] | None = None
    count: int | Callable[..., int] | None = None


@dataclass(frozen=True)
class OpSpec:
    """An op: ``fn(*input_partitions, **params)``, applied partition by partition."""

    fn: Callable[..., Any]


@dataclass(frozen=True)
class ReductionSpec:
    """A reduction to one partition: ``chunk(*input_partitions, **params)`` per partition,
    ``combine(list_of_partials, **params)`` over groups of at most ``fan_in`` partials until
    one is left, then ``finalize(partial, **params)`` when given."""

    chunk: Callable[..., Any]
    combine: Callable[..., Any]
    finalize: Callable[..., Any] | None = None
    fan_in: int = 8


@dataclass(frozen=True)
class ExchangeSpec:
    """An all-to-all exchange: ``split(partition, n, **params)`` cuts one input partition into
    ``n`` parts (part j goes to output partition j) and ``merge(parts, **params)`` joins the
    parts one output partition receives, in input-partition order. ``partitions`` is the
    default number of output partitions when the node has no ``partitions`` parameter (None:
    as many as the input has)."""

    split: Callable[..., Sequence[Any]]
    merge: Callable[..., Any]
    partitions: int | None = None


@dataclass(frozen=True)
class ExternalSpec:
    """An external payload: ``load(descriptor)`` returns a callable, which is then applied as
    ``model(*input_partitions, **params)``. Each process loads a descriptor once."""

    load: Callable[[Descriptor], Callable[..., Any]]


@dataclass
class Registry:
    """The callables behind the names of a graph, one table per node kind.

    Register with the methods (each also works as a decorator when the callable is left
    out). A registry is picklable when its callables are, so it travels to Dask workers."""

    sources: dict[str, SourceSpec] = field(default_factory=dict)
    ops: dict[str, OpSpec] = field(default_factory=dict)
    reductions: dict[str, ReductionSpec] = field(default_factory=dict)
    exchanges: dict[str, ExchangeSpec] = field(default_factory=dict)
    externals: dict[str, ExternalSpec] = field(default_factory=dict)
    #: Joins of partitions by the type of their values, consulted before the built-in ones.
    joins: dict[type, Join] = field(default_factory=dict)
    # Distinguishes the payload caches of two registries that load the same descriptor.
    cache_token: str = field(default_factory=lambda: uuid.uuid4().hex)
    # The laws declared with the ops (and by `rewrite`), in declaration order, and op costs.
    laws: list[_algebra.Law] = field(default_factory=list)
    costs: dict[str, int] = field(default_factory=dict)

    @overload
    def source(
        self,
        name: str,
        partitions: Callable[..., Sequence[Any]] | Sequence[Any],
        *,
        read: None = None,
        count: int | Callable[..., int] | None = None,
    ) -> Registry: ...
    @overload
    def source(
        self,
        name: str,
        partitions: None = None,
        *,
        read: Callable[..., Any],
        count: int | Callable[..., int] | None = None,
    ) -> Registry: ...
    @overload
    def source(
        self, name: str, partitions: None = None, *, read: None = None, count: int | Callable[..., int] | None = None
    ) -> Callable[[F], F]: ...
    def source(
        self,
        name: str,
        partitions: Callable[..., Sequence[Any]] | Sequence[Any] | None = None,
        *,
        read: Callable[..., Any] | None = None,
        count: int | Callable[..., int] | None = None,
    ) -> Registry | Callable[[F], F]:
        """Register source ``name``.

        ``partitions`` is a list of partitions, or a callable ``partitions(**params)`` that
        returns one; or else ``read(index, **params)`` with ``count`` (an int or
        ``count(**params)``). Returns the registry, or a decorator for ``read`` when neither
        ``partitions`` nor ``read`` is given."""
        _check_name(name, "source")
        if partitions is None and read is None:

            def register_read(fn: F) -> F:
                self.source(name, read=fn, count=count)
                return fn

            return register_read
        if partitions is not None and read is not None:
            raise ValueError(f"source {name!r}: give either partitions or read, not both")
        if read is not None:
            if count is None:
                raise ValueError(f"source {name!r}: read needs a partition count")
            if not callable(count) and not positive_int(count):
                raise ValueError(f"source {name!r}: count must be a positive int or a callable")
            self.sources[name] = SourceSpec(read=read, count=count)
        elif callable(partitions):
            self.sources[name] = SourceSpec(partitions=partitions)
        elif partitions is not None:
            parts = list(partitions)
            if not parts:
                raise ValueError(f"source {name!r}: a source needs at least one partition")
            self.sources[name] = SourceSpec(partitions=_Constant(parts))
        return self

    @overload
    def op(
        self,
        name: str,
        fn: Callable[..., Any],
        *,
        commutative: bool | None = None,
        associative: bool = False,
        identity: Mapping[str, Any] | Sequence[Mapping[str, Any]] | None = None,
        idempotent: bool = False,
        involution: bool = False,
        cost: int | None = None,
    ) -> Registry: ...
    @overload
    def op(
        self,
        name: str,
        fn: None = None,
        *,
        commutative: bool | None = None,
        associative: bool = False,
        identity: Mapping[str, Any] | Sequence[Mapping[str, Any]] | None = None,
        idempotent: bool = False,
        involution: bool = False,
        cost: int | None = None,
    ) -> Callable[[F], F]: ...
    def op(
        self,
        name: str,
        fn: Callable[..., Any] | None = None,
        *,
        commutative: bool | None = None,
        associative: bool = False,
        identity: Mapping[str, Any] | Sequence[Mapping[str, Any]] | None = None,
        idempotent: bool = False,
        involution: bool = False,
        cost: int | None = None,
    ) -> Registry | Callable[[F], F]:
        """Register op ``name`` as ``fn(*input_partitions, **params)``.

        ``commutative=False`` declares that ``fn`` depends on the order of its inputs; it is
        refused for the names in `COMMUTATIVE_OPS`, which the reduction rules commute.

        The laws ``fn`` obeys go into the registry's algebra (`Registry.algebra`), each for
        the op without parameters unless said otherwise: ``commutative=True`` (two inputs),
        ``associative=True`` (two inputs), ``idempotent=True`` (``f(x, x) == x``),
        ``involution=True`` (``f(f(x)) == x``), and ``identity=`` a parameter dict (or a list
        of them) with which the one-input op returns its input. ``cost`` is the op's weight
        for extraction by cost (default 1). Returns the registry, or a decorator when ``fn``
        is left out."""
        _check_name(name, "op")
        if commutative is False and name in COMMUTATIVE_OPS:
            raise ValueError(
                f"op {name!r} is commuted by the reduction rules; register a function "
                f"that depends on input order under another name"
            )
        laws = _op_laws(name, commutative, associative, identity, idempotent, involution)
        if cost is not None:
            _algebra.Algebra(costs={name: cost})  # the same check as an algebra's costs
        if fn is None:

            def register_op(f: F) -> F:
                self.op(
                    name,
                    f,
                    commutative=commutative,
                    associative=associative,
                    identity=identity,
                    idempotent=idempotent,
                    involution=involution,
                    cost=cost,
                )
                return f

            return register_op
        _check_callable(fn, f"op {name!r}")
        self.ops[name] = OpSpec(fn)
        self.laws.extend(laws)
        if cost is not None:
            self.costs[name] = cost
        return self

    def rewrite(self, lhs: Any, rhs: Any, *, name: str | None = None) -> Registry:
        """Declare that every term matching the op template ``lhs`` equals ``rhs`` (see
        `vantrel.algebra.rewrite`); it goes into `Registry.algebra`. Returns the registry."""
        self.laws.append(_algebra.rewrite(lhs, rhs, name=name))
        return self

    def algebra(self, *, include_default: bool = True) -> _algebra.Algebra:
        """The algebra of the declared laws and costs, after the default rules unless
        ``include_default`` is false."""
        return _algebra.Algebra(*self.laws, costs=self.costs, include_default=include_default)

    def reduction(
        self,
        name: str,
        *,
        chunk: Callable[..., Any],
        combine: Callable[..., Any],
        finalize: Callable[..., Any] | None = None,
        fan_in: int = 8,
    ) -> Registry:
        """Register reduction ``name``: ``chunk`` per partition, ``combine`` over at most
        ``fan_in`` partials at a time (a tree), then the optional ``finalize``. The result is
        one partition."""
        _check_name(name, "reduction")
        for what, f in (("chunk", chunk), ("combine", combine)):
            _check_callable(f, f"reduction {name!r} {what}")
        if finalize is not None:
            _check_callable(finalize, f"reduction {name!r} finalize")
        if not positive_int(fan_in) or fan_in < 2:
            raise ValueError(f"reduction {name!r}: fan_in must be an int of at least 2")
        self.reductions[name] = ReductionSpec(chunk, combine, finalize, fan_in)
        return self

    def exchange(
        self,
        scheme: str,
        *,
        split: Callable[..., Sequence[Any]],
        merge: Callable[..., Any],
        partitions: int | None = None,
    ) -> Registry:
        """Register the exchange whose ``scheme`` parameter is ``scheme``: ``split(part, n,
        **params)`` and ``merge(parts, **params)`` (the node's parameters other than
        ``scheme`` and ``partitions``). ``partitions`` is the default output partition count
        (None: keep the input's count)."""
        _check_name(scheme, "exchange scheme")
        _check_callable(split, f"exchange {scheme!r} split")
        _check_callable(merge, f"exchange {scheme!r} merge")
        if partitions is not None and not positive_int(partitions):
            raise ValueError(f"exchange {scheme!r}: partitions must be a positive int")
        self.exchanges[scheme] = ExchangeSpec(split, merge, partitions)
        return self

    @overload
    def external(self, kind: str, load: Load) -> Registry: ...
    @overload
    def external(self, kind: str, load: None = None) -> Callable[[LoadT], LoadT]: ...
    def external(self, kind: str, load: Load | None = None) -> Registry | Callable[[LoadT], LoadT]:
        """Register the loader of external payloads whose descriptor ``kind`` is ``kind``:
        ``load(descriptor)`` returns the callable applied to the partitions. Returns the
        registry, or a decorator when ``load`` is left out."""
        _check_name(kind, "external kind")
        if load is None:

            def register_load(f: LoadT) -> LoadT:
                self.external(kind, f)
                return f

            return register_load
        _check_callable(load, f"external {kind!r} load")
        self.externals[kind] = ExternalSpec(load)
        return self

    def join(self, value_type: type, fn: Join) -> Registry:
        """Join partitions whose values are instances of ``value_type`` (or of a subclass)
        with ``fn(list_of_partitions)``, in place of the built-in joins. Returns the
        registry."""
        if not isinstance(value_type, type):  # pyright: ignore[reportUnnecessaryIsInstance]
            raise TypeError(f"join value_type must be a type, not {type(value_type).__name__}")
        _check_callable(fn, f"join for {value_type.__name__}")
        self.joins[value_type] = fn
        return self

    def join_for(self, kind: str, parts: Sequence[Any]) -> Join | None:
        """The function that joins the partitions ``parts`` of a result whose node kind is
        ``kind``, or None when there is none. A reduction's one partition is its value; other
        partitions are joined by the type of the first one: a join given with `join` (the
        nearest class wins), else NumPy arrays are concatenated with ``numpy.concatenate``,
        pandas frames and series with ``pandas.concat``, lists and tuples end to end."""
        if kind == "reduction" and len(parts) == 1:
            return _lone
        if not parts:
            return None
        for cls in type(parts[0]).__mro__:
            fn = self.joins.get(cls)
            if fn is not None:
                return fn
        return _builtin_join(parts[0])

    def joined(self, kind: str, parts: Sequence[Any]) -> Any:
        """The partitions ``parts`` of a result as one value (see `join_for`). Without a
        join, one partition is its value and several stay the list they are."""
        fn = self.join_for(kind, parts)
        if fn is not None:
            return fn(list(parts))
        return parts[0] if len(parts) == 1 else list(parts)


def _lone(parts: list[Any]) -> Any:
    return parts[0]


def _builtin_join(value: Any) -> Join | None:
    # Only a module already imported can have made ``value``: nothing is imported to look.
    numpy = sys.modules.get("numpy")
    if numpy is not None and isinstance(value, numpy.ndarray):
        return _concatenate_arrays
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(value, (pandas.DataFrame, pandas.Series)):
        return _concat_frames
    if isinstance(value, (list, tuple)):
        return _chain
    return None


# A lone partition is the value itself (a zero-dimensional array cannot be concatenated).


def _concatenate_arrays(parts: list[Any]) -> Any:
    return parts[0] if len(parts) == 1 else sys.modules["numpy"].concatenate(parts)


def _concat_frames(parts: list[Any]) -> Any:
    return parts[0] if len(parts) == 1 else sys.modules["pandas"].concat(parts)


def _chain(parts: list[Any]) -> Any:
    if len(parts) == 1:
        return parts[0]
    out: list[Any] = []
    for part in parts:
        out.extend(part)
    return tuple(out) if isinstance(parts[0], tuple) else out


def _op_laws(
    name: str,
    commutative: bool | None,
    associative: bool,
    identity: Mapping[str, Any] | Sequence[Mapping[str, Any]] | None,
    idempotent: bool,
    involution: bool,
) -> list[_algebra.Law]:
    """The laws `Registry.op` declares for op ``name``, checked before anything is registered."""
    for flag, what in (
        (commutative, "commutative"),
        (associative, "associative"),
        (idempotent, "idempotent"),
        (involution, "involution"),
    ):
        if flag is not None and not isinstance(cast(object, flag), bool):
            raise TypeError(f"op {name!r}: {what} must be a bool, not {type(flag).__name__}")
    laws: list[_algebra.Law] = []
    if commutative:
        laws.append(_algebra.commutative(name))
    if associative:
        laws.append(_algebra.associative(name))
    if identity is not None:
        forms = [identity] if isinstance(identity, Mapping) else list(identity)
        for form in forms:
            if not isinstance(form, dict):
                raise TypeError(
                    f"op {name!r}: identity= takes a parameter dict or a list of them, not {type(form).__name__}"
                )
            laws.append(_algebra.identity(name, form))
    if idempotent:
        laws.append(_algebra.idempotent(name))
    if involution:
        laws.append(_algebra.involution(name))
    return laws


class _Constant:
    """A fixed list of partitions posing as the callable form (picklable, unlike a lambda)."""

    def __init__(self, parts: list[Any]) -> None:
        self.parts = parts

    def __call__(self, **params: Any) -> list[Any]:
        return self.parts


def positive_int(value: object) -> bool:
    """Whether ``value`` is an int (not a bool) of at least 1."""
    return isinstance(value, int) and not isinstance(value, bool) and value >= 1


def _check_name(name: object, what: str) -> None:
    if not isinstance(name, str):
        raise TypeError(f"{what} name must be a str, not {type(name).__name__}")


def _check_callable(fn: object, what: str) -> None:
    if not callable(fn):
        raise TypeError(f"{what} must be callable, not {type(fn).__name__}")
