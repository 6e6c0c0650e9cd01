"""The runtime entry points reduce by an algebra: the one they are given, or the registry's own
when it declares laws. Values stay what the unreduced graph computes; the laws show in which
functions still run."""

from __future__ import annotations

import pytest

np = pytest.importorskip("numpy")

from vantrel_core import GraphStore

from algebra_support import read_ints
from vantrel import Algebra, Pipeline, Registry, compute, evaluate, involution, reduce_outputs

pytest.importorskip("dask")


class Counted:
    """A NumPy function that counts its calls."""

    def __init__(self, fn):
        self.fn, self.calls = fn, 0

    def __call__(self, *args, **kwargs):
        self.calls += 1
        return self.fn(*args, **kwargs)


def registry(with_laws: bool) -> tuple[Registry, Counted]:
    neg = Counted(np.negative)
    reg = Registry().source("col", read=read_ints, count=2)
    reg.op("plus", np.add, commutative=with_laws or None, associative=with_laws)
    reg.op("neg", neg, involution=with_laws)
    return reg, neg


def graph() -> tuple[GraphStore, list[int]]:
    g = GraphStore()
    a, b, c = (g.add_source("col", {"seed": s}) for s in range(3))
    left = g.add_op("plus", [g.add_op("plus", [a, b]), c])
    right = g.add_op("plus", [a, g.add_op("plus", [b, c])])
    twice = g.add_op("neg", [g.add_op("neg", [left])])
    return g, [left, right, twice, right]


def by_evaluate(store, reg, outputs, **kw):
    return evaluate(store, reg, outputs, reduce=True, **kw)


def by_compute(store, reg, outputs, **kw):
    return compute(store, reg, outputs, reduce=True, scheduler="sync", **kw)


def by_pipeline(method):
    def run(store, reg, outputs, **kw):
        p = Pipeline(reg, store=store)
        names = [f"out{k}" for k in range(len(outputs))]
        for name, node in zip(names, outputs):
            p.output(name, p.node(node))
        joined = getattr(p, method)(names, reduce=True, **kw)
        return [[joined[name]] for name in names]

    return run


def by_reduce_outputs(store, reg, outputs, **kw):
    reduced, _, ids = reduce_outputs(store, outputs, **kw)
    return evaluate(reduced, reg, ids)


PATHS = [by_evaluate, by_compute, by_pipeline("run"), by_pipeline("compute")]


def as_arrays(results):
    return [np.concatenate([np.asarray(p) for p in parts]) for parts in results]


def same(a, b):
    return all(np.array_equal(x, y) for x, y in zip(as_arrays(a), as_arrays(b))) and len(a) == len(b)


@pytest.mark.parametrize("path", PATHS, ids=lambda p: getattr(p, "__name__", "pipeline"))
def test_a_registry_with_laws_reduces_by_its_algebra(path):
    store, outputs = graph()
    plain_reg, plain_neg = registry(False)
    expected = evaluate(store, plain_reg, outputs)
    reg, neg = registry(True)
    assert same(path(store, reg, outputs), expected)
    # neg(neg(x)) is x under the registry's laws: no negation runs at all.
    assert neg.calls == 0
    assert plain_neg.calls > 0
    # Without laws the reduced graph still negates twice; given rules win over the registry's.
    assert same(path(store, plain_reg, outputs), expected)
    assert plain_neg.calls > 2
    neg.calls = 0
    assert same(path(store, reg, outputs, rules=Algebra.default()), expected)
    assert neg.calls > 0


@pytest.mark.parametrize("path", PATHS + [by_reduce_outputs], ids=lambda p: getattr(p, "__name__", "pipeline"))
@pytest.mark.parametrize(
    "kw",
    [
        {"rules": Algebra(involution("neg"))},
        {"rules": Algebra(involution("neg")), "extract": "cost"},
        {"rules": Algebra(involution("neg")), "limits": {"iterations": 1, "time": None}},
        {"extract": {"plus": 2}},
    ],
    ids=["rules", "cost", "limits", "extract"],
)
def test_arguments_reach_the_mapped_reduction(path, kw):
    store, outputs = graph()
    reg, _ = registry(False)
    assert same(path(store, reg, outputs, **kw), evaluate(store, reg, outputs))


def test_reduce_outputs_matches_reduce_mapped():
    store, outputs = graph()
    algebra = Algebra(involution("neg"))
    reduced, report, ids = reduce_outputs(store, outputs, rules=algebra, extract="cost")
    again = store.reduce_mapped(outputs=outputs, rules=algebra, extract="cost")
    assert reduced.serialize() == again[0].serialize() and report == again[1] and ids == again[2]
    plain = reduce_outputs(store, outputs)
    assert plain[0].serialize() == store.reduce_mapped(outputs=outputs)[0].serialize()


def test_bad_rules_are_refused_before_anything_runs():
    store, outputs = graph()
    reg, neg = registry(False)
    with pytest.raises(TypeError, match="rules"):
        evaluate(store, reg, outputs, reduce=True, rules="commute")
    with pytest.raises(TypeError, match="limits"):
        evaluate(store, reg, outputs, reduce=True, limits=[1])
    assert neg.calls == 0
