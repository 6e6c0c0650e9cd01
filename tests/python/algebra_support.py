"""Random graphs under random lawful algebras: a NumPy registry over integer data, for which
every law below holds exactly (integer arithmetic regroups without rounding), graphs that give
those laws something to do, and the comparison of a graph's values before and after a
reduction."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from hypothesis import strategies as st
from vantrel_core import GraphStore

from vantrel import Registry, evaluate
from vantrel.algebra import Algebra, Law, associative, commutative, idempotent, identity, involution, rewrite

PARTS = 2
ROWS = 4


def read_ints(index: int, seed: int = 0) -> np.ndarray:
    """Partition ``index`` of a seeded column of small integers."""
    return np.random.default_rng([seed, index]).integers(-5, 6, ROWS)


def scaled(x: np.ndarray, *, factor: int) -> np.ndarray:
    return x * factor


def shifted(x: np.ndarray, *, offset: int) -> np.ndarray:
    return x + offset


def with_scalar(combine: Callable[[Any, Any], Any]) -> Callable[..., Any]:
    """The default ops' meaning: two inputs combined, or one input with ``scalar``."""

    def op(*xs: Any, scalar: Any = None, side: str = "r") -> Any:
        if scalar is not None:
            (x,) = xs
            return combine(x, scalar) if side == "r" else combine(scalar, x)
        a, b = xs
        return combine(a, b)

    return op


def lawful_registry() -> Registry:
    """Every name the graphs use, with functions for which `LAWS` hold."""
    reg = Registry()
    reg.source("col", read=read_ints, count=PARTS)
    reg.op("add", with_scalar(np.add))
    reg.op("mul", with_scalar(np.multiply))
    reg.op("maximum", np.maximum)
    reg.op("minimum", np.minimum)
    reg.op("plus", np.add)
    reg.op("times", np.multiply)
    reg.op("sub", np.subtract)
    reg.op("neg", np.negative)
    reg.op("scale", scaled)
    reg.op("shift", shifted)
    return reg


#: Laws that hold for `lawful_registry` on integer data; an algebra takes any subset.
LAWS: list[Law] = [
    commutative("plus"),
    associative("plus"),
    commutative("times"),
    associative("times"),
    associative("maximum"),
    idempotent("maximum"),
    associative("minimum"),
    idempotent("minimum"),
    involution("neg"),
    identity("scale", {"factor": 1}),
    identity("shift", {"offset": 0}),
    rewrite(("scale", {"factor": 2}, "?x"), ("plus", "?x", "?x"), name="double"),
    rewrite(("sub", "?a", "?b"), ("plus", "?a", ("neg", "?b")), name="sub-as-plus"),
    rewrite(("neg", ("plus", "?a", "?b")), ("plus", ("neg", "?a"), ("neg", "?b")), name="neg-plus"),
    rewrite(("shift", {"offset": 0}, ("neg", "?x")), ("neg", "?x"), name="shift-zero-neg"),
]

#: Op names, their input count and a strategy for their parameters.
OPS: list[tuple[str, int, Any]] = [
    ("plus", 2, st.none()),
    ("times", 2, st.none()),
    ("maximum", 2, st.none()),
    ("minimum", 2, st.none()),
    ("sub", 2, st.none()),
    ("add", 2, st.none()),
    ("mul", 2, st.none()),
    ("neg", 1, st.none()),
    ("scale", 1, st.sampled_from([{"factor": 1}, {"factor": 2}, {"factor": 3}])),
    ("shift", 1, st.sampled_from([{"offset": 0}, {"offset": 1}])),
    ("add", 1, st.sampled_from([{"scalar": 0.0, "side": "r"}, {"scalar": 2.0, "side": "l"}])),
    ("mul", 1, st.sampled_from([{"scalar": 1.0, "side": "l"}])),
]


@st.composite
def algebras(draw: st.DrawFn) -> Algebra:
    """The default rules plus a random subset of `LAWS`, in random order, with random costs."""
    laws = draw(st.lists(st.sampled_from(LAWS), unique_by=id, max_size=len(LAWS)))
    costs = draw(st.dictionaries(st.sampled_from([name for name, _, _ in OPS]), st.integers(0, 4), max_size=8))
    return Algebra(*laws, costs=costs)


@st.composite
def lawful_graphs(draw: st.DrawFn, max_ops: int = 24) -> tuple[GraphStore, list[int]]:
    """A store of integer columns and ops over them, with shapes the laws rewrite (regrouped
    sums, double negations, x - y beside x + -y), and a few requested outputs."""
    g = GraphStore()
    ids = [g.add_source("col", {"seed": s}) for s in range(draw(st.integers(1, 3)))]

    def pick() -> int:
        return ids[draw(st.integers(0, len(ids) - 1))]

    for _ in range(draw(st.integers(1, max_ops))):
        shape = draw(st.integers(0, 7))
        if shape == 7:  # several ops over the same inputs, which a wrong law would merge
            a, b = pick(), pick()
            ids.extend(g.add_op(name, [a, b]) for name in draw(st.permutations(["plus", "times", "sub", "maximum"])))
        elif shape == 6:  # both operand orders
            name = draw(st.sampled_from(["plus", "times", "maximum", "minimum", "sub", "add", "mul"]))
            a, b = pick(), pick()
            ids.append(g.add_op(name, [a, b]))
            ids.append(g.add_op(name, [b, a]))
        elif shape == 0:  # both groupings of one sum (or product)
            name = draw(st.sampled_from(["plus", "times", "maximum", "minimum"]))
            a, b, c = pick(), pick(), pick()
            ids.append(g.add_op(name, [g.add_op(name, [a, b]), c]))
            ids.append(g.add_op(name, [a, g.add_op(name, [b, c])]))
        elif shape == 1:  # x - y and x + -y
            a, b = pick(), pick()
            ids.append(g.add_op("sub", [a, b]))
            ids.append(g.add_op("plus", [a, g.add_op("neg", [b])]))
        elif shape == 2:  # a double negation
            ids.append(g.add_op("neg", [g.add_op("neg", [pick()])]))
        else:
            name, arity, params = draw(st.sampled_from(OPS))
            ids.append(g.add_op(name, [pick() for _ in range(arity)], draw(params)))
    outputs = draw(st.lists(st.sampled_from(ids), min_size=1, max_size=4))
    return g, outputs


def values(store: Any, outputs: Sequence[int], registry: Registry) -> list[list[np.ndarray]]:
    return evaluate(store, registry, list(outputs))


def same_values(a: list[list[np.ndarray]], b: list[list[np.ndarray]]) -> bool:
    """Equal partition by partition (an int and a float of one value count as equal: ``x + 0.0``
    computes a float column that its reduced form, ``x``, holds as ints)."""
    return len(a) == len(b) and all(
        len(pa) == len(pb) and all(np.array_equal(x, y) for x, y in zip(pa, pb)) for pa, pb in zip(a, b)
    )
