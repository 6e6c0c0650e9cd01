"""A reduced graph computes what the original computed: random pipelines run on every backend
(the local evaluator, Dask's synchronous and threaded schedulers), original against reduced,
under both fusion rules; and what reduction buys at run time (one task per stage partition)."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

np = pytest.importorskip("numpy")
pytest.importorskip("dask")

from vantrel_core import GraphStore

from runtime_support import PARTS, backends, numpy_registry, pipelines, same
from vantrel import evaluate, reduce_outputs, to_dask

REG = numpy_registry()


@settings(max_examples=60)
@given(pipelines(), st.booleans())
def test_reduced_graph_computes_what_the_original_computes(built, maximal):
    expected = evaluate(built.store, REG, built.outputs)
    assert [len(parts) for parts in expected] == [built.counts[o] for o in built.outputs]
    reduced, _, ids = reduce_outputs(built.store, built.outputs, maximal_fusion=maximal)
    assert len(ids) == len(built.outputs)
    assert same(evaluate(reduced, REG, ids), expected)


@pytest.mark.parametrize("backend", backends())
@settings(max_examples=8)
@given(built=pipelines(max_nodes=10), maximal=st.booleans())
def test_backends_agree_with_the_local_evaluator(backend, built, maximal):
    expected = evaluate(built.store, REG, built.outputs)
    reduced, _, ids = reduce_outputs(built.store, built.outputs, maximal_fusion=maximal)
    assert same(backend.run(built.store, REG, built.outputs), expected)
    assert same(backend.run(reduced, REG, ids), expected)
    assert same(backend.run(built.store, REG, built.outputs, reduce=True, maximal_fusion=maximal), expected)


def chain_store():
    """x -> exp-like chain with a fan-out: t = tanh(x); out = add(neg(t), mul(t, t))."""
    g = GraphStore()
    x = g.add_source("col")
    t = g.add_op("tanh", [x])
    out = g.add_op("add", [g.add_op("neg", [t]), g.add_op("mul", [t, t])])
    return g, out


@pytest.mark.parametrize("maximal, stages", [(False, 2), (True, 1)])
def test_fusion_rules_run_one_task_per_stage_partition(maximal, stages):
    g, out = chain_store()
    reduced, report, ids = reduce_outputs(g, [out], maximal_fusion=maximal)
    assert report["stages"] == stages
    original, fused = to_dask(g, REG, [out]), to_dask(reduced, REG, ids)
    assert original.task_count == 5 * PARTS  # source and four ops
    assert fused.task_count == PARTS  # the read and the stages, each read by one stage: one task
    expected = evaluate(g, REG, [out])
    assert same(fused.compute(scheduler="sync"), expected)
    assert same(evaluate(reduced, REG, ids), expected)


@pytest.mark.parametrize("backend", backends())
def test_repeated_and_merged_outputs_each_get_their_result(backend):
    g = GraphStore()
    x, y = g.add_source("col"), g.add_source("lit")
    p, q = g.add_op("add", [x, y]), g.add_op("add", [y, x])  # merged by commutativity
    r = g.add_op("mul", [g.add_op("add", [p], {"scalar": 0.0, "side": "l"})], {"scalar": 1.0, "side": "r"})
    s = g.add_reduction("sum", [p])
    outputs = [q, s, p, r, q, x]
    reduced, _, ids = reduce_outputs(g, outputs)
    assert ids[0] == ids[2] == ids[3] == ids[4]
    expected = evaluate(g, REG, outputs)
    assert same(expected[0], expected[2])
    assert same(backend.run(reduced, REG, ids), expected)


def test_a_run_is_a_dask_collection():
    import dask

    g, out = chain_store()
    s = g.add_reduction("sum", [out])
    run = to_dask(g, REG, [s, out, s])
    (first, again) = dask.compute(run, run, scheduler="sync")
    assert same(first, again) and same(first, evaluate(g, REG, [s, out, s]))
    assert len(first[0]) == 1 and len(first[1]) == PARTS
    assert "tasks" in repr(run)


def test_outputs_default_to_the_marks_of_the_store():
    g, out = chain_store()
    reduced, _, ids = reduce_outputs(g, [out])
    assert reduced.outputs() == ids
    assert same(evaluate(reduced, REG), evaluate(g, REG, [out]))
    assert same(to_dask(reduced, REG).compute(scheduler="sync"), evaluate(g, REG, [out]))
    assert evaluate(g, REG) == []


def test_combine_tree_honours_the_fan_in():
    calls = []
    reg = numpy_registry()
    reg.reduction("count", chunk=lambda x: 1, combine=lambda ps: calls.append(len(ps)) or sum(ps), fan_in=3)
    reg.source("wide", read=lambda i: np.zeros(1), count=10)
    g = GraphStore()
    c = g.add_reduction("count", [g.add_source("wide")])
    assert evaluate(g, reg, [c]) == [[10]]
    assert calls == [3, 3, 3, 3, 2]  # 10 -> 4 -> 2 -> 1; a lone partial moves up uncombined
    run = to_dask(g, reg, [c])
    # reads, chunks, combines of the levels but the last, whose one combine runs with finalize
    assert run.task_count == 10 + 10 + 4 + 1
    assert run.compute(scheduler="sync") == [[10]]


def test_a_stage_with_a_reduction_member_runs_whole():
    # Fusion only makes op members, but a stored graph may carry reduction members: build one
    # by renaming a member token in the blob ("op|xsum" -> "red|sum", same length).
    g = GraphStore()
    fused = g.add_op("neg", [g.add_op("xsum", [g.add_op("tanh", [g.add_source("col")])])])
    reduced, _ = g.reduce(outputs=[fused])
    blob = reduced.serialize()
    assert blob.count(b"op|xsum") == 1
    stored = GraphStore.deserialize(blob.replace(b"op|xsum", b"red|sum"))
    (stage,) = [n for n in stored.nodes() if n["kind"] == "stage"]
    assert [(m["kind"], m["name"]) for m in stage["members"]] == [("op", "tanh"), ("red", "sum"), ("op", "neg")]
    plain = GraphStore()
    want = plain.add_op("neg", [plain.add_reduction("sum", [plain.add_op("tanh", [plain.add_source("col")])])])
    expected = evaluate(plain, REG, [want])
    assert len(expected[0]) == 1
    run = to_dask(stored, REG)
    assert run.task_count == PARTS + 2  # reads, the whole stage, one pick
    assert same(evaluate(stored, REG), expected) and same(run.compute(scheduler="sync"), expected)


@pytest.mark.parametrize("maximal", [False, True])
def test_entry_points_reduce_on_request(maximal):
    import vantrel

    g, out = chain_store()
    outs = [out, g.add_reduction("sum", [out]), out]
    expected = evaluate(g, REG, outs)
    assert same(evaluate(g, REG, outs, reduce=True, maximal_fusion=maximal), expected)
    assert same(vantrel.compute(g, REG, outs, reduce=True, maximal_fusion=maximal, scheduler="sync"), expected)
    run = to_dask(g, REG, outs, reduce=True, maximal_fusion=maximal)
    assert run.task_count < to_dask(g, REG, outs).task_count


class Held:
    """A partition whose live instances can be counted."""

    live = 0

    def __init__(self, value):
        self.value = value
        Held.live += 1

    def __del__(self):
        Held.live -= 1


@pytest.mark.parametrize("backend", [b for b in backends() if b.id != "dask-threads"])
@pytest.mark.parametrize("fan_out", [False, True])
def test_a_stage_keeps_only_member_results_still_to_be_read(backend, fan_out):
    # A long stage runs in one task; a member's result is released once its last reader has
    # run, so at the end of a chain only the results still to be read are alive.
    seen = []
    reg = numpy_registry()
    reg.op("hold", lambda x: Held(x))
    reg.op("step", lambda h: Held(h.value + 1))
    reg.op("pair", lambda a, b: Held(a.value + b.value))
    reg.op("probe", lambda h: seen.append(Held.live) or h.value)
    g = GraphStore()
    first = h = g.add_op("hold", [g.add_source("col")])
    for _ in range(5):
        h = g.add_op("step", [h])
    if fan_out:  # the first member is read again at the end, so it stays alive until then
        h = g.add_op("pair", [h, first])
    out = g.add_op("probe", [h])
    reduced, report, ids = reduce_outputs(g, [out], maximal_fusion=True)
    assert report["stages"] == 1
    expected = evaluate(g, reg, [out])
    seen.clear()
    assert same(backend.run(reduced, reg, ids), expected)
    assert seen == [1] * PARTS
