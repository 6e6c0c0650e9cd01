"""A reduction changes no value where its laws hold, on every reduction path and under any
lawful algebra, and with no wall-clock limit gives the same bytes in every process."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings

pytest.importorskip("numpy")  # the lawful ops are NumPy functions

from vantrel_core import GraphStore, IncrementalReducer

from algebra_support import algebras, lawful_graphs, lawful_registry, same_values, values

# Deterministic bounds: no wall clock, and a node limit that a graph of this size under every
# law of the generator reaches long before memory runs short.
LIMITS = {"iterations": 30, "nodes": 50_000, "time": None}


def by_reduce_mapped(store, outputs, algebra):
    reduced, _, ids = store.reduce_mapped(outputs=outputs, rules=algebra, limits=LIMITS)
    return reduced, ids


def by_maximal_fusion(store, outputs, algebra):
    reduced, _, ids = store.reduce_mapped(outputs=outputs, maximal_fusion=True, rules=algebra, limits=LIMITS)
    return reduced, ids


def by_finalize_mapped(store, outputs, algebra):
    reduced, _, ids = IncrementalReducer().finalize_mapped(store, outputs=outputs, rules=algebra, limits=LIMITS)
    return reduced, ids


def by_cost(store, outputs, algebra):
    reduced, _, ids = store.reduce_mapped(outputs=outputs, rules=algebra, limits=LIMITS, extract="cost")
    return reduced, ids


def by_cost_finalize(store, outputs, algebra):
    reduced, _, ids = IncrementalReducer().finalize_mapped(
        store, outputs=outputs, rules=algebra, limits=LIMITS, extract="cost"
    )
    return reduced, ids


def by_steps(store, outputs, algebra):
    """The reducer follows a copy of the store as it grows, node by node, then finalizes."""
    follower, reducer = GraphStore(), IncrementalReducer()
    for node in store.nodes():
        follower.add_op(node["name"], node["inputs"], node["params"]) if node["kind"] == "op" else follower.add_source(
            node["name"], node["params"]
        )
        reducer.step(follower)
    reduced, _, ids = reducer.finalize_mapped(follower, outputs=outputs, rules=algebra, limits=LIMITS)
    return reduced, ids


PATHS = [by_reduce_mapped, by_maximal_fusion, by_finalize_mapped, by_steps, by_cost, by_cost_finalize]
REGISTRY = lawful_registry()


@pytest.mark.parametrize("path", PATHS, ids=lambda p: p.__name__)
@settings(max_examples=40)
@given(graph=lawful_graphs(), algebra=algebras())
def test_reduction_keeps_values(path, graph, algebra):
    store, outputs = graph
    reduced, ids = path(store, outputs, algebra)
    assert len(ids) == len(outputs)
    assert same_values(values(store, outputs, REGISTRY), values(reduced, ids, REGISTRY))


def unreached(reduced, ids):
    """The nodes of ``reduced`` that no id in ``ids`` reads, directly or through others."""
    views = reduced.nodes()
    seen, todo = set(), list(ids)
    while todo:
        k = todo.pop()
        if k not in seen:
            seen.add(k)
            todo.extend(views[k]["inputs"])
    return set(range(len(views))) - seen


@pytest.mark.parametrize("path", PATHS, ids=lambda p: p.__name__)
@settings(max_examples=40)
@given(graph=lawful_graphs(), algebra=algebras())
def test_reduction_by_an_algebra_leaves_nothing_unreached(path, graph, algebra):
    store, outputs = graph
    reduced, ids = path(store, outputs, algebra)
    assert unreached(reduced, ids) == set()


# Builds a seeded graph, reduces it and prints the digest of the reduced blob and the ids.
CHILD = textwrap.dedent("""
    import hashlib, random, sys
    from vantrel.algebra import Algebra, associative, commutative, involution, rewrite
    from vantrel_core import GraphStore
    rng = random.Random(int(sys.argv[1]))
    g = GraphStore()
    ids = [g.add_source("col", {"seed": s}) for s in range(3)]
    names = ["plus", "times", "maximum", "add", "mul", "sub", "neg"]
    for _ in range(2000):
        name = rng.choice(names)
        arity = 1 if name == "neg" else 2
        ids.append(g.add_op(name, [rng.choice(ids) for _ in range(arity)]))
    outputs = rng.sample(ids, 20)
    algebra = Algebra(commutative("plus"), associative("plus"), associative("maximum"), involution("neg"),
                      rewrite(("sub", "?a", "?b"), ("plus", "?a", ("neg", "?b"))), costs={"sub": 3})
    reduced, _, out = g.reduce_mapped(outputs=outputs, rules=algebra, extract=sys.argv[2],
                                      limits={"iterations": 50, "nodes": 200_000, "time": None})
    print(hashlib.sha256(reduced.serialize() + repr(out).encode()).hexdigest())
""")


@pytest.mark.parametrize("seed, extract", [(1, "earliest"), (2, "cost")])
def test_reduction_is_the_same_in_two_processes(seed, extract):
    digests = {
        subprocess.run(
            [sys.executable, "-c", CHILD, str(seed), extract], check=True, capture_output=True, text=True
        ).stdout
        for _ in range(2)
    }
    assert len(digests) == 1 and len(next(iter(digests)).strip()) == 64
