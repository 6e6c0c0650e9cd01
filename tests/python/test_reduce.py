"""GraphStore.reduce, reduction_report and reduce_incremental: results, the engine's rules
seen end to end, stages and colliding external tokens in a second reduction, and every
argument error."""

import pytest
from hypothesis import given
from hypothesis import strategies as st
from vantrel_core import GraphStore, PayloadDescriptor

ZERO_R = {"scalar": 0.0, "side": "r"}
ONE_L = {"scalar": 1.0, "side": "l"}
EMPTY = {
    "input_nodes": 0,
    "reachable_nodes": 0,
    "canonical_nodes": 0,
    "stages": 0,
    "reduced_nodes": 0,
    "boundary_nodes": 0,
}


def worked_example():
    s = GraphStore()
    a, b = s.add_source("a"), s.add_source("b")
    e = s.add_op("exp", [a])
    s.add_op("exp", [b])
    out = s.add_op("add", [e, b])
    return s, out


def members(node):
    return [(m["name"], m["inputs"]) for m in node["members"]]


def test_worked_example():
    s, out = worked_example()
    reduced, report = s.reduce(outputs=[out])
    assert report == {
        "input_nodes": 5,
        "reachable_nodes": 4,
        "canonical_nodes": 4,
        "stages": 1,
        "reduced_nodes": 3,
        "boundary_nodes": 2,
    }
    nodes = reduced.nodes()
    assert [n["kind"] for n in nodes] == ["source", "source", "stage"]
    assert nodes[2]["inputs"] == [0, 1]
    assert members(nodes[2]) == [("exp", [("input", 0)]), ("add", [("member", 0), ("input", 1)])]
    assert reduced.outputs() == [2]
    assert s.node_count() == 5


def test_commuted_and_identity_nodes_collapse():
    s = GraphStore()
    x, y = s.add_source("x"), s.add_source("y")
    p = s.add_op("add", [x, y])
    q = s.add_op("add", [y, x])
    r = s.add_op("mul", [s.add_op("add", [p], ZERO_R)], ONE_L)
    out = s.add_op("sub", [r, q])
    reduced, report = s.reduce(outputs=[out])
    assert report["reachable_nodes"] == 7
    assert report["canonical_nodes"] == 4  # x, y, add, sub
    stages = [members(n) for n in reduced.nodes() if n["kind"] == "stage"]
    # The add is used twice by the sub, so the single-use rule keeps them apart.
    assert stages == [[("add", [("input", 0), ("input", 1)])], [("sub", [("input", 0), ("input", 0)])]]


def test_parameterised_commutative_op_is_not_commuted():
    s = GraphStore()
    x, y = s.add_source("x"), s.add_source("y")
    p = s.add_op("add", [x, y], {"alpha": 1})
    q = s.add_op("add", [y, x], {"alpha": 1})
    _, report = s.reduce(outputs=[p, q])
    assert report["canonical_nodes"] == 4


@pytest.mark.parametrize("method", ["reduce", "reduction_report", "reduce_incremental"])
def test_no_marks_or_empty_outputs_give_an_empty_result(method):
    s, out = worked_example()
    for kwargs in ({}, {"outputs": []}, {"outputs": ()}):
        result = getattr(s, method)(**kwargs)
        report = result if method == "reduction_report" else result[1]
        assert report == dict(EMPTY, input_nodes=5)
        if method != "reduction_report":
            assert result[0].node_count() == 0 and result[0].outputs() == []


def test_marks_are_used_without_outputs():
    # A reduced store carries marks: reducing it again without outputs= uses them.
    s, out = worked_example()
    once, _ = s.reduce(outputs=[out])
    twice, report = once.reduce()
    assert twice.nodes() == once.nodes()
    assert twice.outputs() == once.outputs()
    assert report["stages"] == 0 and report["boundary_nodes"] == 3


def test_repeated_and_ordered_outputs():
    s = GraphStore()
    a = s.add_source("a")
    e = s.add_op("exp", [a])
    n = s.add_op("neg", [e])
    reduced, _ = s.reduce(outputs=[n, n])
    assert len(reduced.outputs()) == 1
    reduced, _ = s.reduce(outputs=[n, e])
    marks = reduced.outputs()
    assert [reduced.nodes()[m]["members"][0]["name"] for m in marks] == ["neg", "exp"]


def test_maximal_fusion_differs_only_on_fan_out():
    s = GraphStore()
    a = s.add_source("a")
    e = s.add_op("exp", [a])
    out = s.add_op("add", [s.add_op("neg", [e]), s.add_op("log", [e])])
    assert s.reduce(outputs=[out])[1]["stages"] == 2
    assert s.reduce(outputs=[out], maximal_fusion=True)[1]["stages"] == 1
    assert s.reduce(outputs=[out], maximal_fusion=False)[1]["stages"] == 2


def test_results_agree_between_methods():
    s, out = worked_example()
    for outputs in (None, [out], [out, 2, out]):
        reduced, report = s.reduce(outputs=outputs)
        assert s.reduction_report(outputs=outputs) == report
        inc, inc_report = s.reduce_incremental(outputs=outputs)
        assert inc.nodes() == reduced.nodes() and inc_report == report


def test_reduced_store_is_independent():
    s, out = worked_example()
    reduced, _ = s.reduce(outputs=[out])
    reduced.add_source("new")
    s.add_source("other")
    assert reduced.node_count() == 4 and s.node_count() == 6


def test_stages_with_equal_tokens_stay_apart():
    # Two different two-member stages on the same input share the token "stage|2".
    s = GraphStore()
    a = s.add_source("a")
    s1 = s.add_op("neg", [s.add_op("exp", [a])])
    s2 = s.add_op("neg", [s.add_op("log", [a])])
    reduced, _ = s.reduce(outputs=[s1, s2])
    stages = [members(n) for n in reduced.nodes() if n["kind"] == "stage"]
    again, _ = reduced.reduce()
    assert [members(n) for n in again.nodes() if n["kind"] == "stage"] == stages
    assert again.nodes() == reduced.nodes()


@pytest.mark.parametrize(
    "pair",
    [
        ({"kind": "m|x", "content_hash": "h"}, {"kind": "m", "content_hash": "x|h"}),
        ({"kind": "m", "content_hash": "h", "preprocessing_ref": "-"}, {"kind": "m", "content_hash": "h"}),
    ],
)
def test_externals_with_equal_tokens_keep_their_descriptors(pair):
    s = GraphStore()
    a = s.add_source("a")
    base = {"framework": "fw", "version": "1", "io_schema": "s"}
    d1, d2 = (PayloadDescriptor(**base, **d) for d in pair)
    e1, e2 = s.add_external(d1, [a]), s.add_external(d2, [a])
    reduced, report = s.reduce(outputs=[e1, e2])
    assert report["canonical_nodes"] == 3
    got = [n["descriptor"] for n in reduced.nodes() if n["kind"] == "external"]
    assert [(g["kind"], g["content_hash"], g["preprocessing_ref"]) for g in got] == [
        (d.kind, d.content_hash, d.preprocessing_ref) for d in (d1, d2)
    ]


def test_deep_chain():
    s = GraphStore()
    x = s.add_source("x")
    for i in range(200_000):
        x = s.add_op("neg" if i % 2 else "exp", [x])
    _, report = s.reduce(outputs=[x])
    assert report["stages"] == 1 and report["reduced_nodes"] == 2


# ---- argument errors ----


@pytest.mark.parametrize("method", ["reduce", "reduction_report", "reduce_incremental"])
@pytest.mark.parametrize(
    "outputs, exc, message",
    [
        ("0", TypeError, "argument 'outputs': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'outputs': "),
        (["a"], TypeError, "argument 'outputs': "),
        ([5], ValueError, "no node with id 5"),
        ([0, 9, 7], ValueError, "no node with id 9"),
        ([-1], OverflowError, None),
        ([2**64], OverflowError, None),
    ],
)
def test_bad_outputs(method, outputs, exc, message):
    s, _ = worked_example()
    with pytest.raises(exc) as info:
        getattr(s, method)(outputs=outputs)
    if message is not None:
        assert str(info.value).startswith(message)
    assert s.node_count() == 5


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.reduce(True),
        lambda s: s.reduce(None, None),
        lambda s: s.reduction_report([0]),
        lambda s: s.reduce_incremental([0]),
        lambda s: s.reduce(maximal_fusion=1),
        lambda s: s.reduce(maximal_fusion=None),
        lambda s: s.reduction_report(maximal_fusion=True),
        lambda s: s.reduce(output=[0]),
    ],
)
def test_bad_arguments(call):
    s, _ = worked_example()
    with pytest.raises(TypeError):
        call(s)


# ---- properties over random graphs ----


@st.composite
def graphs(draw):
    s = GraphStore()
    s.add_source("s0")
    for _ in range(draw(st.integers(0, 40))):
        n = s.node_count()
        pick = st.integers(0, n - 1)
        kind = draw(st.sampled_from(["src", "un", "bin", "ident", "red"]))
        if kind == "src":
            s.add_source(draw(st.sampled_from(["s0", "s1", "s2"])))
        elif kind == "un":
            s.add_op(draw(st.sampled_from(["exp", "neg"])), [draw(pick)])
        elif kind == "bin":
            s.add_op(draw(st.sampled_from(["add", "mul", "sub"])), [draw(pick), draw(pick)])
        elif kind == "ident":
            s.add_op("add", [draw(pick)], ZERO_R)
        else:
            s.add_reduction("sum", [draw(pick)])
    outputs = draw(st.lists(st.integers(0, s.node_count() - 1), max_size=4))
    return s, outputs


@given(graphs(), st.booleans())
def test_report_invariants_and_determinism(graph, maximal):
    s, outputs = graph
    reduced, report = s.reduce(outputs=outputs, maximal_fusion=maximal)
    assert report["input_nodes"] == s.node_count()
    assert report["canonical_nodes"] <= report["reachable_nodes"] <= report["input_nodes"]
    assert report["reduced_nodes"] == report["stages"] + report["boundary_nodes"] <= report["canonical_nodes"]
    assert reduced.node_count() == report["reduced_nodes"]
    assert all(n["kind"] != "op" for n in reduced.nodes())
    again, again_report = s.reduce(outputs=outputs, maximal_fusion=maximal)
    assert again.serialize() == reduced.serialize() and again_report == report
