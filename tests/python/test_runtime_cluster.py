"""The Dask runtime on worker processes (a local cluster of two, and Dask's process pool):
reduced graphs agree with the originals, a user function's exception reaches the caller with
its node named, and a run that loses a worker process mid-way still completes with the right
result."""

import os
import signal
import time

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

np = pytest.importorskip("numpy")
distributed = pytest.importorskip("distributed")

from vantrel_core import GraphStore

from runtime_support import descriptor, numpy_registry, pipelines, same
from vantrel import evaluate, reduce_outputs, to_dask

pytestmark = pytest.mark.cluster

REG = numpy_registry()


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", worker_dashboard_address=":0"
        ) as cluster,
        distributed.Client(cluster) as c,
    ):
        yield c


@settings(max_examples=4, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(pipelines(max_nodes=10), st.booleans())
def test_reduced_graph_agrees_on_a_cluster(client, built, maximal):
    expected = evaluate(built.store, REG, built.outputs)
    reduced, _, ids = reduce_outputs(built.store, built.outputs, maximal_fusion=maximal)
    assert same(to_dask(built.store, REG, built.outputs).compute(scheduler=client), expected)
    assert same(client.compute(to_dask(reduced, REG, ids)).result(timeout=60), expected)


def test_failing_function_reaches_the_caller_with_its_node(client):
    reg = numpy_registry()
    reg.op("explode", _explode)
    g = GraphStore()
    bad = g.add_op("tanh", [g.add_op("explode", [g.add_source("col")])])
    reduced, _, ids = reduce_outputs(g, [bad])
    with pytest.raises(ArithmeticError, match="boom") as err:
        to_dask(reduced, reg, ids).compute(scheduler=client)
    assert err.value.__notes__ == [f"vantrel: raised in member 0 (op 'explode') of node {ids[0]} (stage)"]


def _explode(x):
    raise ArithmeticError("boom")


def _slow_tanh(x, delay=0.0):
    time.sleep(delay)
    return np.tanh(x)


def test_a_killed_worker_is_recomputed(client):
    reg = numpy_registry()
    reg.op("slow", _slow_tanh)
    reg.source("many", read=lambda i: np.arange(4.0) + i, count=12)
    g = GraphStore()
    x = g.add_source("many")
    slow = g.add_op("slow", [g.add_op("neg", [x])], {"delay": 0.15})
    out = g.add_reduction("sum", [g.add_op("mul", [slow, slow])])
    outs = [out, slow]
    expected = evaluate(g, reg, outs)
    reduced, _, ids = reduce_outputs(g, outs)
    pids = client.run(os.getpid)
    future = client.compute(to_dask(reduced, reg, ids))
    deadline = time.monotonic() + 30
    while not any(client.processing().values()) and time.monotonic() < deadline:
        time.sleep(0.02)
    time.sleep(0.3)  # let some partitions finish on both workers
    victim = sorted(pids.values())[0]
    assert not future.done()
    os.kill(victim, signal.SIGKILL)
    assert same(future.result(timeout=60), expected)
    client.wait_for_workers(2, timeout=30)
    assert victim not in client.run(os.getpid).values()


def test_dask_process_pool_scheduler():
    g = GraphStore()
    x = g.add_source("col")
    outs = [g.add_external(descriptor("2"), [g.add_op("tanh", [x])]), g.add_reduction("mean", [x]), x]
    reduced, _, ids = reduce_outputs(g, outs)
    got = to_dask(reduced, REG, ids).compute(scheduler="processes", num_workers=2)
    assert same(got, evaluate(g, REG, outs))
