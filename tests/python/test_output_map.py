"""The output map: reduce_mapped / finalize_mapped say which reduced node computes each
requested output, repeats and merged outputs included; mark_outputs marks outputs from Python."""

import pytest
from hypothesis import given
from hypothesis import strategies as st
from vantrel_core import GraphStore, IncrementalReducer

from value_model import ValueModel

ZERO_R = {"scalar": 0.0, "side": "r"}


def first_occurrences(ids):
    seen, out = set(), []
    for i in ids:
        if i not in seen:
            seen.add(i)
            out.append(i)
    return out


def commuted_pair():
    s = GraphStore()
    x, y, z = s.add_source("x"), s.add_source("y"), s.add_source("z")
    return s, s.add_op("add", [x, y]), s.add_op("add", [y, x]), z


# ---- reduce_mapped ----


def test_merged_outputs_keep_their_positions():
    s, xy, yx, z = commuted_pair()
    reduced, report, ids = s.reduce_mapped(outputs=[xy, yx, z])
    assert len(reduced.outputs()) == 2  # the two adds are one stage: positions shift there
    stage = next(n["id"] for n in reduced.nodes() if n["kind"] == "stage")
    z_new = next(n["id"] for n in reduced.nodes() if n["kind"] == "source" and n["name"] == "z")
    assert ids == [stage, stage, z_new]
    assert reduced.outputs() == [stage, z_new]


@pytest.mark.parametrize("maximal", [False, True])
@pytest.mark.parametrize("order", [[0, 1, 2], [2, 0, 2, 1, 0], [], [1, 1, 1], [2]])
def test_same_store_and_report_as_reduce(order, maximal):
    s, xy, yx, z = commuted_pair()
    outputs = [[xy, yx, z][k] for k in order]
    reduced, report, ids = s.reduce_mapped(outputs=outputs, maximal_fusion=maximal)
    plain, plain_report = s.reduce(outputs=outputs, maximal_fusion=maximal)
    assert reduced.serialize() == plain.serialize() and report == plain_report
    assert len(ids) == len(outputs) and all(isinstance(i, int) for i in ids)
    assert reduced.outputs() == first_occurrences(ids)


def test_re_reduction_maps_through_both_rounds():
    s, xy, yx, z = commuted_pair()
    w = s.add_op("exp", [s.add_op("mul", [yx, z])])
    outputs = [w, xy, yx, z, w]
    first, _, ids = s.reduce_mapped(outputs=outputs)
    second, report, ids2 = first.reduce_mapped(outputs=ids)
    assert report["input_nodes"] == first.node_count()
    model = ValueModel()
    before, after = model.values(s), model.values(second)
    assert [after[i] for i in ids2] == [before[o] for o in outputs]


def test_empty_outputs_give_an_empty_store():
    s, *_ = commuted_pair()
    reduced, report, ids = s.reduce_mapped(outputs=[])
    assert (reduced.node_count(), ids, reduced.outputs()) == (0, [], [])
    assert report["input_nodes"] == s.node_count()


def test_marks_play_no_part():
    s, xy, yx, z = commuted_pair()
    s.mark_outputs([z])
    reduced, _, ids = s.reduce_mapped(outputs=[xy])
    assert len(ids) == 1 and reduced.outputs() == ids


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({}, TypeError, "missing 1 required keyword-only argument: 'outputs'"),
        ({"outputs": None}, TypeError, "argument 'outputs'"),
        ({"outputs": "0"}, TypeError, "argument 'outputs': Can't extract `str` to `Vec`"),
        ({"outputs": [0, 5]}, ValueError, "no node with id 5"),
        ({"outputs": [-1]}, OverflowError, None),
        ({"outputs": [0], "maximal_fusion": 1}, TypeError, "argument 'maximal_fusion'"),
        ({"outputs": [0], "extra": 1}, TypeError, "unexpected keyword argument 'extra'"),
    ],
)
def test_reduce_mapped_bad_arguments_change_nothing(kwargs, exc, message):
    s, *_ = commuted_pair()
    before = s.serialize()
    with pytest.raises(exc, match=message):
        s.reduce_mapped(**kwargs)
    assert s.serialize() == before


def test_reduce_mapped_is_keyword_only():
    s, *_ = commuted_pair()
    with pytest.raises(TypeError):
        s.reduce_mapped([0])


# ---- finalize_mapped ----


def test_finalize_mapped_matches_finalize():
    s, xy, yx, z = commuted_pair()
    outputs = [z, yx, xy, z]
    mapped = IncrementalReducer()
    mapped.step(s)
    w = s.add_op("add", [z, xy])  # part of the graph arrives after the first step
    outputs.append(w)
    reduced, report, ids = mapped.finalize_mapped(s, outputs=outputs)
    plain = IncrementalReducer()
    plain_store, plain_report = plain.finalize(s, outputs=outputs)
    assert reduced.serialize() == plain_store.serialize() and report == plain_report
    assert reduced.outputs() == first_occurrences(ids)
    model = ValueModel()
    before, after = model.values(s), model.values(reduced)
    assert [after[i] for i in ids] == [before[o] for o in outputs]
    assert mapped.watermark() == s.node_count()


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({}, TypeError, "missing 1 required keyword-only argument: 'outputs'"),
        ({"outputs": "1"}, TypeError, "argument 'outputs': Can't extract `str` to `Vec`"),
        ({"outputs": [0, 7]}, ValueError, "no node with id 7"),
        ({"outputs": [0], "maximal_fusion": None}, TypeError, "argument 'maximal_fusion'"),
    ],
)
def test_finalize_mapped_bad_arguments_consume_nothing(kwargs, exc, message):
    s, *_ = commuted_pair()
    r = IncrementalReducer()
    with pytest.raises(exc, match=message):
        r.finalize_mapped(s, **kwargs)
    assert (r.watermark(), r.total_work(), r.canonical_count()) == (0, 0, 0)


def test_finalize_mapped_store_must_be_a_graph_store():
    with pytest.raises(TypeError, match="argument 'store'"):
        IncrementalReducer().finalize_mapped(3, outputs=[])


# ---- mark_outputs ----


def test_mark_outputs_orders_and_keeps_first_positions():
    s, xy, yx, z = commuted_pair()
    assert s.mark_outputs([z, xy, z]) is None
    assert s.mark_outputs((yx, xy)) is None
    assert s.outputs() == [z, xy, yx]
    assert [n["output"] for n in s.nodes()] == [False, False, True, True, True]


def test_marks_round_trip_and_drive_reduce():
    s, xy, yx, z = commuted_pair()
    s.mark_outputs([z, xy])
    assert GraphStore.deserialize(s.serialize()).outputs() == [z, xy]
    assert s.reduce()[0].serialize() == s.reduce(outputs=[z, xy])[0].serialize()


@pytest.mark.parametrize(
    "ids, exc, message",
    [
        ([0, 9, 1], ValueError, "no node with id 9"),
        ([1, -1], OverflowError, None),
        ("01", TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
        ([0, "1"], TypeError, "argument 'ids'"),
        (None, TypeError, "argument 'ids'"),
    ],
)
def test_mark_outputs_refuses_the_whole_call(ids, exc, message):
    s, xy, yx, z = commuted_pair()
    s.mark_outputs([z])
    before = s.serialize()
    with pytest.raises(exc, match=message):
        s.mark_outputs(ids)
    assert s.serialize() == before and s.outputs() == [z]


# ---- properties over random graphs ----


@st.composite
def graphs(draw):
    s = GraphStore()
    s.add_source("s0")
    for _ in range(draw(st.integers(0, 40))):
        pick = st.integers(0, s.node_count() - 1)
        kind = draw(st.sampled_from(["src", "un", "bin", "ident", "red"]))
        if kind == "src":
            s.add_source(draw(st.sampled_from(["s0", "s1", "s2"])))
        elif kind == "un":
            s.add_op(draw(st.sampled_from(["exp", "neg"])), [draw(pick)])
        elif kind == "bin":
            s.add_op(draw(st.sampled_from(["add", "mul", "sub", "maximum"])), [draw(pick), draw(pick)])
        elif kind == "ident":
            s.add_op(
                draw(st.sampled_from(["add", "mul"])),
                [draw(pick)],
                {"scalar": draw(st.sampled_from([0.0, 1.0])), "side": draw(st.sampled_from(["l", "r"]))},
            )
        else:
            s.add_reduction("sum", [draw(pick)])
    outputs = draw(st.lists(st.integers(0, s.node_count() - 1), max_size=6))
    return s, outputs


@given(graphs(), st.booleans())
def test_output_map_agrees_with_reduce_on_random_graphs(graph, maximal):
    s, outputs = graph
    reduced, report, ids = s.reduce_mapped(outputs=outputs, maximal_fusion=maximal)
    plain, plain_report = s.reduce(outputs=outputs, maximal_fusion=maximal)
    assert reduced.serialize() == plain.serialize() and report == plain_report
    assert reduced.outputs() == first_occurrences(ids)
    model = ValueModel()
    before, after = model.values(s), model.values(reduced)
    assert [after[i] for i in ids] == [before[o] for o in outputs]


@given(graphs(), st.booleans())
def test_finalize_mapped_agrees_with_finalize_on_random_graphs(graph, maximal):
    s, outputs = graph
    r = IncrementalReducer()
    r.step(s)
    reduced, report, ids = r.finalize_mapped(s, outputs=outputs, maximal_fusion=maximal)
    plain, plain_report = r.finalize(s, outputs=outputs, maximal_fusion=maximal)
    assert reduced.serialize() == plain.serialize() and report == plain_report
    model = ValueModel()
    before, after = model.values(s), model.values(reduced)
    assert [after[i] for i in ids] == [before[o] for o in outputs]
