"""Reducing by a declared algebra: `rules=` and `limits=` of the mapped reductions."""

from __future__ import annotations

import pytest
from vantrel_core import GraphStore, IncrementalReducer

from vantrel.algebra import Algebra, associative, commutative, identity, involution, rewrite


def mapped(store, outputs, **kwargs):
    return store.reduce_mapped(outputs=outputs, **kwargs)


def finalized(store, outputs, **kwargs):
    return IncrementalReducer().finalize_mapped(store, outputs=outputs, **kwargs)


REDUCTIONS = [mapped, finalized]


def sample():
    g = GraphStore()
    x, y, z = (g.add_source(name) for name in "xyz")
    outs = [
        g.add_op("add", [x, y]),
        g.add_op("add", [y, x]),
        g.add_op("mul", [g.add_op("add", [x], {"scalar": 0.0, "side": "r"}), z]),
        g.add_op("plus", [g.add_op("plus", [x, y]), z]),
        g.add_op("plus", [x, g.add_op("plus", [y, z])]),
        g.add_op("neg", [g.add_op("neg", [z])]),
    ]
    return g, outs


def outcome(result):
    reduced, report, ids = result
    return reduced.serialize(), report, ids


@pytest.mark.parametrize("reduce", REDUCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize(
    "kwargs",
    [
        {"rules": None},
        {"limits": None},
        {"rules": None, "limits": None},
        {"rules": Algebra.default()},
        {"rules": list(Algebra.default())},
    ],
)
def test_default_rules_reduce_as_without_them(reduce, kwargs):
    g, outs = sample()
    assert outcome(reduce(g, outs, **kwargs)) == outcome(reduce(g, outs))


@pytest.mark.parametrize("reduce", REDUCTIONS, ids=lambda f: f.__name__)
def test_declared_laws_merge_what_they_prove(reduce):
    g, outs = sample()

    def source_z(reduced):
        return next(n["id"] for n in reduced.nodes() if n["kind"] == "source" and n["name"] == "z")

    reduced, _, plain = reduce(g, outs)
    assert plain[3] != plain[4] and plain[5] != source_z(reduced)
    algebra = Algebra(commutative("plus"), associative("plus"), involution("neg"))
    reduced, _, ids = reduce(g, outs, rules=algebra)
    assert ids[0] == ids[1] and ids[3] == ids[4] and ids[5] == source_z(reduced)  # neg(neg(z)) is z


def test_without_the_default_rules_commuted_ops_stay_apart():
    g, outs = sample()
    _, report, ids = mapped(g, outs, rules=Algebra(include_default=False))
    assert ids[0] != ids[1]
    assert report["canonical_nodes"] > mapped(g, outs)[1]["canonical_nodes"]


def test_a_rewrite_builds_nodes_the_graph_did_not_have():
    """sub(a, b) and plus(a, neg(b)) meet in plus(a, neg(b)), which the rule adds for the sub."""
    g = GraphStore()
    a, b = g.add_source("a"), g.add_source("b")
    d = g.add_op("sub", [a, b])
    n = g.add_op("neg", [b])
    p = g.add_op("plus", [a, n])
    algebra = Algebra(rewrite(("sub", "?a", "?b"), ("plus", "?a", ("neg", "?b"))))
    reduced, _, ids = mapped(g, [d, p], rules=algebra)
    assert ids[0] == ids[1]
    answer = reduced.nodes()[ids[0]]
    assert [m["name"] for m in answer["members"]] == ["sub"]  # the earliest member computes both


def test_parameters_with_spaces_and_quotes_in_rules():
    g = GraphStore()
    x = g.add_source("x")
    ident = g.add_op("f", [x], {"mode": "a b"})
    _, _, ids = mapped(g, [ident], rules=Algebra(identity("f", {"mode": "a b"})))
    assert ids == [0]
    with pytest.raises(ValueError, match="cannot be written in a pattern"):
        mapped(g, [ident], rules=Algebra(identity("f", {"mode": 'a "b"'})))


def test_a_growing_rule_set_ends_by_its_limits():
    """Associativity and commutativity on a wide sum enumerate every grouping: the run stops
    at its node limit, not by memory or time."""
    g = GraphStore()
    total = g.add_source("s0")
    for k in range(1, 40):
        total = g.add_op("plus", [total, g.add_source(f"s{k}")])
    algebra = Algebra(commutative("plus"), associative("plus"))
    limits = {"iterations": 1000, "nodes": 20000, "time": None}
    first = outcome(mapped(g, [total], rules=algebra, limits=limits))
    assert first == outcome(mapped(g, [total], rules=algebra, limits=limits))
    assert len(first[2]) == 1


@pytest.mark.parametrize(
    "rules, error, message",
    [
        ("plus", TypeError, "must be an iterable of rules, not str"),
        (5, TypeError, "must be an iterable of rules"),
        ([("r",)], TypeError, "rule 0 must be a sequence"),
        ([("r", [("f", None, [0])], ["?x"])], ValueError, "a child position must be an int naming an earlier entry"),
        ([("r", ["?x"], ["?x"])], ValueError, "the left side must be an op pattern, not a variable"),
        ([("r", ["?x", ("f", None, [0])], ["?y"])], ValueError, r"refers to unbound var \?y"),
        (
            [("r", ["?x", ("f", None, [0])], ["?x"]), ("r", ["?x", ("g", None, [0])], ["?x"])],
            ValueError,
            "another rule has this name",
        ),
        ([("r", ["?x", ("f", {"k": None}, [0])], ["?x"])], TypeError, "param values must be int, float, bool, or str"),
        ([("r", ["x y", ("f", None, [0])], ["?x"])], ValueError, "must be a variable"),
        ([("r", [], ["?x"])], ValueError, "at least one entry"),
        ([("", ["?x", ("f", None, [0])], ["?x"])], ValueError, "must not be empty"),
    ],
)
def test_bad_rules_are_refused(rules, error, message):
    g, outs = sample()
    for reduce in REDUCTIONS:
        with pytest.raises(error, match=message):
            reduce(g, outs, rules=rules)


@pytest.mark.parametrize(
    "limits, error, message",
    [
        ([("iterations", 3)], TypeError, "must be a dict or None"),
        ({"iteration": 3}, TypeError, "unknown key 'iteration'"),
        ({"iterations": 2.0}, TypeError, "iterations must be an int"),
        ({"nodes": True}, TypeError, "nodes must be an int"),
        ({"iterations": -1}, OverflowError, None),
        ({"time": -1.0}, ValueError, "time must be between 0 and 1e9 seconds"),
        ({"time": float("nan")}, ValueError, "time must be between"),
        ({"time": "1"}, TypeError, "time must be a number of seconds or None"),
    ],
)
def test_bad_limits_are_refused(limits, error, message):
    g, outs = sample()
    with pytest.raises(error, match=message):
        mapped(g, outs, limits=limits)


def test_tight_limits_merge_less_but_keep_outputs():
    g, outs = sample()
    _, report, ids = mapped(g, outs, limits={"iterations": 0})
    assert ids[0] != ids[1] and len(ids) == len(outs)  # no iteration ran: no commuted pair met
    assert report["canonical_nodes"] > mapped(g, outs)[1]["canonical_nodes"]


def doubled():
    g = GraphStore()
    x = g.add_source("x")
    twice = g.add_op("mul", [x], {"scalar": 2.0, "side": "r"})
    return g, [g.add_op("exp", [twice]), twice]


DOUBLE = rewrite(("mul", {"scalar": 2.0, "side": "r"}, "?x"), ("add", "?x", "?x"), name="double")


def members(reduced, node_id):
    return [(m["name"], m["params"]) for m in reduced.nodes()[node_id]["members"]]


@pytest.mark.parametrize("reduce", REDUCTIONS, ids=lambda f: f.__name__)
def test_extraction_by_cost_builds_the_cheaper_term(reduce):
    g, outs = doubled()
    cheap_add = Algebra(DOUBLE, costs={"mul": 5})
    reduced, _, ids = reduce(g, outs, rules=cheap_add, extract="cost")
    assert members(reduced, ids[0]) == [("add", {}), ("exp", {})] or members(reduced, ids[1]) == [("add", {})]
    assert all(
        name != "mul" for node in reduced.nodes() if node["kind"] == "stage" for name, _ in members(reduced, node["id"])
    )
    # A dict of costs weighs the same way; at equal cost the graph's own node wins.
    assert outcome(reduce(g, outs, rules=cheap_add, extract={"mul": 5})) == outcome(
        reduce(g, outs, rules=cheap_add, extract="cost")
    )
    reduced, _, ids = reduce(g, outs, rules=Algebra(DOUBLE), extract="cost")
    assert ("mul", {"scalar": 2.0, "side": "r"}) in members(reduced, ids[1])
    # Earliest extraction never builds a node the graph did not have.
    reduced, _, ids = reduce(g, outs, rules=cheap_add)
    assert ("mul", {"scalar": 2.0, "side": "r"}) in members(reduced, ids[1])


def test_extraction_keeps_only_what_the_outputs_need():
    g = GraphStore()
    a, b = g.add_source("a"), g.add_source("b")
    d = g.add_op("sub", [a, b])
    p = g.add_op("plus", [a, g.add_op("neg", [b])])
    algebra = Algebra(rewrite(("sub", "?a", "?b"), ("plus", "?a", ("neg", "?b"))))
    earliest, report, _ = mapped(g, [d, p], rules=algebra)
    cheapest, cost_report, ids = mapped(g, [d, p], rules=algebra, extract="cost")
    assert ids[0] == ids[1]
    # Both read-backs leave out the lone neg(b) that only the merged plus read.
    assert cost_report["reduced_nodes"] == report["reduced_nodes"] == 3
    assert report["canonical_nodes"] == 3 < report["reachable_nodes"]


@pytest.mark.parametrize(
    "extract, error, message",
    [
        ("fast", ValueError, "must be 'earliest', 'cost' or a dict of op costs"),
        (3, TypeError, "must be 'earliest', 'cost' or a dict of op costs"),
        ({"f": -1}, OverflowError, None),
        ({"f": 1.5}, TypeError, "the cost of 'f' must be an int"),
        ({1: 2}, TypeError, "an op name must be a str"),
    ],
)
def test_bad_extraction_is_refused(extract, error, message):
    g, outs = doubled()
    with pytest.raises(error, match=message):
        mapped(g, outs, extract=extract)


def test_earliest_extraction_is_the_default():
    g, outs = sample()
    assert outcome(mapped(g, outs, extract="earliest")) == outcome(mapped(g, outs))
    assert outcome(finalized(g, outs, extract="earliest")) == outcome(finalized(g, outs))


@pytest.mark.parametrize("reduce", REDUCTIONS, ids=lambda f: f.__name__)
def test_a_reduction_explains_itself(reduce):
    g, outs = sample()
    algebra = Algebra(commutative("plus"), associative("plus"), involution("neg"))
    *result, why = reduce(g, outs, rules=algebra, explain=True)
    assert outcome(result) == outcome(reduce(g, outs, rules=algebra))  # explaining changes nothing
    assert why["stop"] == "saturated" and why["iterations"] >= 2 and why["e_nodes"] > g.node_count()
    assert set(why["rules"]) <= {rule.name for rule in algebra} and why["rules"]["assoc-plus"] >= 1
    assert why["rules"]["involution-neg"] == 1
    # The default engine, which the incremental reducer could skip, runs when asked to explain.
    *_, plain = reduce(g, outs, explain=True)
    assert plain["stop"] == "saturated" and plain["iterations"] >= 1
    assert set(plain["rules"]) <= {rule.name for rule in Algebra.default()}


def test_an_explanation_names_the_limit_that_stopped_the_run():
    g = GraphStore()
    total = g.add_source("s0")
    for k in range(1, 30):
        total = g.add_op("plus", [total, g.add_source(f"s{k}")])
    algebra = Algebra(commutative("plus"), associative("plus"))
    for limits, stop in [
        ({"nodes": 3000, "iterations": 100, "time": None}, "node_limit"),
        ({"iterations": 2, "time": None}, "iteration_limit"),
        ({"time": 0.0}, "time_limit"),
    ]:
        assert mapped(g, [total], rules=algebra, limits=limits, explain=True)[3]["stop"] == stop
    assert mapped(g, [], explain=True)[3]["iterations"] <= 1
