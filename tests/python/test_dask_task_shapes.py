"""The tasks a Dask run is made of: a stage swallows the reads only it reads and a chunk or a
split the stage only it reads, a merge runs in its one reader's task, the combine tree's last
level runs with finalize; every such shape computes what the local evaluator computes, and a
failing call inside a swallowed node still names that node."""

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("dask")

from collections import Counter

from dask.utils import key_split
from vantrel_core import GraphStore

from runtime_support import PARTS, descriptor, numpy_registry, same
from vantrel import evaluate, reduce_outputs, to_dask
from vantrel.runtime.kernels import combine_groups

REG = numpy_registry()


def groups(run):
    return Counter(key_split(k) for k in run.graph)


def shuffled(partitions, wide=True):
    """A read and a chain (one stage once reduced), split by an exchange into ``partitions``,
    merged into a model, summed; the chain's partial sums too."""
    g = GraphStore()
    x = g.add_source("col")
    t = g.add_op("neg", [g.add_op("tanh", [x])])
    moved = g.add_exchange([g.add_op("mul", [t, t]) if wide else t], {"scheme": "mask", "partitions": partitions})
    scored = g.add_external(descriptor("3"), [moved])
    return g, [g.add_reduction("sum", [scored]), g.add_reduction("mean", [g.add_op("tanh", [t])])]


@pytest.mark.parametrize("partitions", [1, 2, 7, 16])
@pytest.mark.parametrize("scheduler", ["sync", "threads"])
def test_swallowed_reads_chunks_splits_and_merges_give_the_same_values(partitions, scheduler):
    g, outs = shuffled(partitions)
    reduced, _, ids = reduce_outputs(g, outs, maximal_fusion=True)
    run = to_dask(reduced, REG, ids)
    m, n = PARTS, partitions
    levels = combine_groups(n, REG.reductions["sum"].fan_in)
    combines = sum(len(group) > 1 for level in levels[:-1] for group in level)
    # The stage read twice keeps its tasks (with the read only it reads); the op only the
    # split reads runs in the split's task, the merge in the model's, the last op in the chunk's.
    assert groups(run) == {
        "col+tanh+neg": m,
        "mul+mask-split": m,
        "mask-pick": m * n,
        "mask+model": n,
        "sum-chunk": n,
        "sum": 1,
        "tanh+mean-chunk": m,
        "mean": 1,
        **({"sum-combine": combines} if combines else {}),
    }
    assert same(run.compute(scheduler=scheduler), evaluate(g, REG, outs))
    assert same(to_dask(g, REG, outs).compute(scheduler=scheduler), evaluate(g, REG, outs))


def test_a_chain_read_by_one_reduction_is_one_task_per_partition_and_finalize():
    g = GraphStore()
    x = g.add_source("col")
    total = g.add_reduction("mean", [g.add_op("tanh", [g.add_op("neg", [x])])])
    reduced, _, ids = reduce_outputs(g, [total])
    run = to_dask(reduced, REG, ids)
    assert groups(run) == {"col+neg+...+mean-chunk": PARTS, "mean": 1}
    assert same(run.compute(scheduler="sync"), evaluate(g, REG, [total]))


@pytest.mark.parametrize(
    "count, fan_in, combines", [(1, 2, 0), (2, 2, 0), (3, 2, 1), (9, 3, 3), (10, 3, 4), (16, 2, 14), (64, 8, 8)]
)
def test_the_last_combine_runs_with_finalize_in_the_same_order(count, fan_in, combines):
    calls = []
    reg = numpy_registry()
    reg.source("wide", read=lambda i: np.full(1, float(i)), count=count)
    reg.reduction(
        "order", chunk=lambda x: [float(x[0])], combine=lambda ps: calls.append(len(ps)) or sum(ps, []), fan_in=fan_in
    )
    g = GraphStore()
    out = g.add_reduction("order", [g.add_source("wide")])
    expected = evaluate(g, reg, [out])
    assert expected == [[[float(i) for i in range(count)]]]
    local_calls, calls[:] = list(calls), []
    run = to_dask(g, reg, [out])
    assert groups(run).get("order-combine", 0) == combines
    assert run.compute(scheduler="sync") == expected
    assert sorted(calls) == sorted(local_calls)


def test_a_node_read_twice_or_broadcast_or_requested_keeps_its_tasks():
    g = GraphStore()
    x = g.add_source("col")
    t = g.add_op("tanh", [x])
    twice = g.add_op("mul", [t, t])
    one = g.add_op("neg", [g.add_source("one")])
    out = g.add_op("add", [twice, one])
    reduced, _, ids = reduce_outputs(g, [out, t])
    run = to_dask(reduced, REG, ids)
    assert same(run.compute(scheduler="threads"), evaluate(g, REG, [out, t]))
    # The requested node keeps its keys, so a client can hand them back.
    assert all(key in run.graph for keys in run.output_keys for key in keys)


@pytest.mark.parametrize("where", ["read", "member", "split", "merge", "chunk"])
def test_a_failure_inside_a_swallowed_node_names_that_node(where):
    def fail(*args, **kwargs):
        raise RuntimeError(where)

    reg = numpy_registry()
    if where == "read":
        reg.source("col", read=fail, count=PARTS)
    if where == "member":
        reg.op("neg", fail)
    if where in ("split", "merge"):
        spec = reg.exchanges["mask"]
        reg.exchange(
            "mask", split=fail if where == "split" else spec.split, merge=fail if where == "merge" else spec.merge
        )
    if where == "chunk":
        reg.reduction("sum", chunk=fail, combine=sum)
    g, outs = shuffled(4, wide=False)
    reduced, _, ids = reduce_outputs(g, outs)
    with pytest.raises(RuntimeError, match=where) as local:
        evaluate(reduced, reg, ids)
    with pytest.raises(RuntimeError, match=where) as dask_err:
        to_dask(reduced, reg, ids).compute(scheduler="sync")
    assert dask_err.value.__notes__ == local.value.__notes__
    assert len(local.value.__notes__) == 1
