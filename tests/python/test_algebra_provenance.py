"""``provenance=True``: for every node of the original store, the reduced node (or stage member)
that computes its value, or None when nothing does. Checked by value with the local evaluator
on random graphs under random lawful algebras."""

from __future__ import annotations

import pytest
from hypothesis import given, settings

pytest.importorskip("numpy")

from vantrel_core import GraphStore, IncrementalReducer

from algebra_support import PARTS, algebras, lawful_graphs, lawful_registry, same_values
from vantrel import evaluate

REGISTRY = lawful_registry()
LIMITS = {"iterations": 30, "nodes": 50_000, "time": None}


def by_reduce_mapped(store, outputs, **kw):
    return store.reduce_mapped(outputs=outputs, provenance=True, **kw)


def by_finalize_mapped(store, outputs, **kw):
    return IncrementalReducer().finalize_mapped(store, outputs=outputs, provenance=True, **kw)


# A whole reduction starts by dropping what no output needs; the incremental reducer has
# folded every node as it arrived, so a node no output reads may name the node that computes
# its value (x + 0 names x).
DEAD_IS_NONE = {by_reduce_mapped: True, by_finalize_mapped: False}


def reached(store: GraphStore, outputs) -> set[int]:
    views = store.nodes()
    seen, todo = set(), list(outputs)
    while todo:
        k = todo.pop()
        if k not in seen:
            seen.add(k)
            todo.extend(views[k]["inputs"])
    return seen


def computed(reduced: GraphStore, origin):
    """The partitions of what ``origin`` names in ``reduced``: a node, or one stage member run
    over the stage's evaluated inputs."""
    if isinstance(origin, int):
        return evaluate(reduced, REGISTRY, [origin])[0]
    stage, member = origin
    view = reduced.nodes()[stage]
    inputs = evaluate(reduced, REGISTRY, view["inputs"]) if view["inputs"] else []
    parts = []
    for k in range(PARTS):
        results = []
        for m in view["members"][: member + 1]:
            args = [inputs[i][k] if what == "input" else results[i] for what, i in m["inputs"]]
            results.append(REGISTRY.ops[m["name"]].fn(*args, **m["params"]))
        parts.append(results[-1])
    return parts


def check(store, outputs, reduced, ids, origins, dead_is_none):
    assert len(origins) == store.node_count()
    live = reached(store, outputs)
    for k, origin in enumerate(origins):
        if k not in live and dead_is_none:
            assert origin is None
        elif origin is not None:
            assert same_values([computed(reduced, origin)], evaluate(store, REGISTRY, [k]))
    for o, reduced_id in zip(outputs, ids):
        origin = origins[o]
        # An output's node is the whole node the output map names, or that stage's last member.
        assert origin == reduced_id or origin == (reduced_id, len(reduced.nodes()[reduced_id]["members"]) - 1)


@pytest.mark.parametrize("path", [by_reduce_mapped, by_finalize_mapped], ids=lambda p: p.__name__)
@pytest.mark.parametrize("kw", [{}, {"maximal_fusion": True}], ids=["single-use", "maximal"])
@settings(max_examples=25)
@given(graph=lawful_graphs())
def test_default_rules_keep_every_needed_node(path, kw, graph):
    store, outputs = graph
    reduced, report, ids, origins = path(store, outputs, **kw)
    check(store, outputs, reduced, ids, origins, DEAD_IS_NONE[path])
    # The default rules merge without dropping: every node an output needs is computed.
    assert all(origins[k] is not None for k in reached(store, outputs))
    plain = path(store, outputs, **kw)[:3]
    assert reduced.serialize() == plain[0].serialize() and report == plain[1] and ids == plain[2]


@pytest.mark.parametrize("path", [by_reduce_mapped, by_finalize_mapped], ids=lambda p: p.__name__)
@pytest.mark.parametrize("extract", ["earliest", "cost"])
@settings(max_examples=25)
@given(graph=lawful_graphs(), algebra=algebras())
def test_origins_compute_the_same_values(path, extract, graph, algebra):
    store, outputs = graph
    reduced, report, ids, origins = path(store, outputs, rules=algebra, limits=LIMITS, extract=extract)
    check(store, outputs, reduced, ids, origins, DEAD_IS_NONE[path])
    again = path(store, outputs, rules=algebra, limits=LIMITS, extract=extract, explain=True)
    assert again[4] == origins and isinstance(again[3], dict)


def test_a_merged_node_names_what_computes_it():
    g = GraphStore()
    a, b, c = (g.add_source(name) for name in "abc")
    ab = g.add_op("add", [a, b])
    ba = g.add_op("add", [b, a])
    top = g.add_op("mul", [ba, c])
    unused = g.add_op("sub", [a, c])
    reduced, _, ids, origins = g.reduce_mapped(outputs=[top, ab], provenance=True)
    assert origins[unused] is None
    # add(a, b) and add(b, a) are one node; an output, so a stage of its own.
    assert origins[ab] == origins[ba] == (ids[1], 0)
    assert origins[top] == (ids[0], 0)
    views = reduced.nodes()
    assert [views[origins[x]]["name"] for x in (a, b, c)] == ["a", "b", "c"]


@pytest.mark.parametrize("value", [1, "yes", None])
def test_provenance_takes_a_bool(value):
    g = GraphStore()
    x = g.add_source("x")
    with pytest.raises(TypeError, match="provenance"):
        g.reduce_mapped(outputs=[x], provenance=value)
    with pytest.raises(TypeError, match="provenance"):
        IncrementalReducer().finalize_mapped(g, outputs=[x], provenance=value)


def test_the_picture_joins_each_node_to_what_computes_it():
    from vantrel import render

    g = GraphStore()
    a, b = g.add_source("a"), g.add_source("b")
    ab, ba = g.add_op("add", [a, b]), g.add_op("add", [b, a])
    top = g.add_op("mul", [ba, b])
    reduced, _, ids, origins = g.reduce_mapped(outputs=[top], provenance=True)
    assert origins[ab] is None  # no output reads it: not drawn
    text = render.dot_source_side_by_side(g, reduced, outputs=[top], origins=origins)
    dashed = sorted(line.strip() for line in text.splitlines() if "constraint=false" in line)
    stage = ids[0]
    style = 'style=dashed, color="#3366cc", constraint=false'
    assert dashed == sorted(
        [
            f"g0n{a} -> g1n{origins[a]} [{style}];",
            f"g0n{b} -> g1n{origins[b]} [{style}];",
            f'g0n{ba} -> g1n{stage} [{style}, label="m0"];',
            f'g0n{top} -> g1n{stage} [{style}, label="m1"];',
        ]
    )
    with pytest.raises(ValueError, match="one entry per node"):
        render.dot_source_side_by_side(g, reduced, origins=origins[:-1])
