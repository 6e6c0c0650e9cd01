"""A Dask run as Dask's own tools see it: keys named by what they run (the dashboard's groups,
the profiler's and pictures' labels), the same keys for the same store, request and registry
(so a client reuses what it holds) and never for different ones, and the collection protocol
taken by dask.compute / persist / visualize and a distributed client."""

import pytest

np = pytest.importorskip("numpy")
dask = pytest.importorskip("dask")

from dask.utils import funcname, key_split
from vantrel_core import GraphStore

from runtime_support import PARTS, numpy_registry, same
from vantrel import Registry, evaluate, reduce_outputs, to_dask

REG = numpy_registry()


def pipeline():
    """Every kind of task: reads, ops, a reduction with a combine tree, an exchange, an
    external, and a stage once reduced."""
    g = GraphStore()
    x = g.add_source("col")
    t = g.add_op("neg", [g.add_op("tanh", [x])])
    total = g.add_reduction("sum", [t])
    moved = g.add_exchange([t], {"scheme": "mask", "partitions": 2})
    scored = g.add_external(
        {"kind": "model", "content_hash": "h", "framework": "numpy", "version": "2", "io_schema": "f"}, [moved]
    )
    return g, [total, scored, t]


def labels(run):
    """{key group: the function labels of its tasks} of a run's graph."""
    out = {}
    for key, task in run.graph.items():
        out.setdefault(key_split(key), set()).add(funcname(task[0]))
    return out


# ---- names ----


def test_keys_and_functions_are_named_by_what_they_run():
    g, outs = pipeline()
    # A merge runs in the task of the external that alone reads it: that task is named by
    # both.
    assert labels(to_dask(g, REG, outs)) == {
        "col": {"col"},
        "tanh": {"tanh"},
        "neg": {"neg"},
        "sum-chunk": {"sum-chunk"},
        "sum-combine": {"sum-combine"},
        "sum": {"sum"},
        "mask-split": {"mask-split"},
        "mask-pick": {"item"},
        "mask+model": {"mask+model"},
    }


def test_stages_are_named_by_their_members():
    g, outs = pipeline()
    reduced, _, ids = reduce_outputs(g, outs)
    assert "col+tanh+neg" in labels(to_dask(reduced, REG, ids))  # the read only it reads too
    long = GraphStore()
    h = long.add_source("col")
    for name in ["tanh", "neg", "tanh", "mul", "neg", "add"]:
        h = long.add_op(name, [h, h] if name in ("mul", "add") else [h])
    reduced, _, ids = reduce_outputs(long, [h], maximal_fusion=True)
    assert set(labels(to_dask(reduced, REG, ids))) == {"col+tanh+...+add"}


def test_listed_sources_and_names_that_are_not_words():
    reg = numpy_registry()
    reg.op("scale by 2", lambda x: x * 2)
    reg.op("", lambda x: x + 1)
    g = GraphStore()
    out = g.add_op("", [g.add_op("scale by 2", [g.add_source("lit")])])
    run = to_dask(g, reg, [out])
    assert set(labels(run)) == {"lit", "scale by 2", "op"}
    assert same(run.compute(scheduler="sync"), evaluate(g, reg, [out]))


# ---- tokens ----


def keyset(run):
    return set(run.graph)


@pytest.mark.parametrize("reduce", [False, True])
def test_the_same_graph_gives_the_same_keys(reduce):
    g, outs = pipeline()
    first, again = to_dask(g, REG, outs, reduce=reduce), to_dask(g, REG, list(outs), reduce=reduce)
    assert first.graph.keys() == again.graph.keys() and first.output_keys == again.output_keys
    assert first.token == again.token and len(first.token) == 32
    copy = GraphStore.deserialize(g.serialize())  # an equal store, elsewhere
    assert keyset(to_dask(copy, REG, outs, reduce=reduce)) == keyset(first)
    assert dask.base.tokenize(first) == dask.base.tokenize(again)


def test_what_changes_the_result_changes_every_key():
    g, outs = pipeline()
    base = keyset(to_dask(g, REG, outs))
    other_registry = numpy_registry()
    reregistered = numpy_registry()
    token = reregistered.cache_token
    before = keyset(to_dask(g, reregistered, outs))
    reregistered.op("tanh", np.sinh)  # same registry object, another function under one name
    assert reregistered.cache_token == token
    grown = GraphStore.deserialize(g.serialize())
    grown.add_op("sub", [0, 0])  # a node the request does not read
    for keys in (
        keyset(to_dask(g, other_registry, outs)),
        keyset(to_dask(g, reregistered, outs)),
        keyset(to_dask(g, REG, outs[:2])),
        keyset(to_dask(g, REG, outs, reduce=True)),
        keyset(to_dask(grown, REG, outs)),
    ):
        assert not keys & base
    assert not before & keyset(to_dask(g, reregistered, outs))


def test_a_pickled_registry_is_another_set_of_callables():
    import pickle

    reg = Registry().source("s", [[1.0], [2.0]])
    g = GraphStore()
    x = g.add_source("s")
    copy = pickle.loads(pickle.dumps(reg))
    assert copy.cache_token == reg.cache_token
    assert not keyset(to_dask(g, reg, [x])) & keyset(to_dask(g, copy, [x]))
    assert keyset(to_dask(g, copy, [x])) == keyset(to_dask(g, copy, [x]))


def test_a_plan_built_by_hand_gets_a_fresh_token():
    from vantrel.runtime import build_plan
    from vantrel.runtime.dask_graph import build_dask

    g, outs = pipeline()
    plan = build_plan(g, REG, outs)
    assert build_dask(plan).token != build_dask(plan).token
    assert build_dask(plan, "0" * 32).token == "0" * 32


# ---- the collection protocol ----


def test_dask_compute_and_persist_take_a_run():
    g, outs = pipeline()
    run = to_dask(g, REG, outs)
    expected = evaluate(g, REG, outs)
    (got,) = dask.compute(run, scheduler="sync")
    assert same(got, expected)
    (held,) = dask.persist(run, scheduler="sync")
    assert held.output_keys == run.output_keys
    assert same(held.compute(scheduler="sync"), expected)


def test_the_profiler_labels_tasks_by_what_they_run():
    from dask.diagnostics import Profiler

    g, outs = pipeline()
    with Profiler() as profiler:
        to_dask(g, REG, outs).compute(scheduler="sync")
    names = {funcname(getattr(r.task, "func", None) or r.task[0]) for r in profiler.results}
    assert {"col", "tanh", "neg", "sum-chunk", "sum", "mask-split", "mask+model"} <= names


def test_a_cloned_run_has_its_own_keys_and_the_same_results():
    from dask.graph_manipulation import clone

    g, outs = pipeline()
    run = to_dask(g, REG, outs)
    copy = clone(run)
    assert not set(sum(copy.output_keys, [])) & set(sum(run.output_keys, []))
    assert same(copy.compute(scheduler="sync"), evaluate(g, REG, outs))


def test_dask_visualize_takes_a_run(tmp_path):
    pytest.importorskip("graphviz")
    g, outs = pipeline()
    dask.visualize(to_dask(g, REG, outs), filename=str(tmp_path / "run"), format="dot")
    text = (tmp_path / "run.dot").read_text()
    assert "tanh" in text and "vantrel" not in text


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with distributed.Client(processes=False, n_workers=1, threads_per_worker=2, dashboard_address=":0") as c:
        yield c


CALLS = []  # what counted_tanh ran, in this process (the client's worker is a thread of it)


def counted_tanh(x):
    CALLS.append("tanh")
    return np.tanh(x)


def counting_registry():
    reg = numpy_registry()
    reg.op("tanh", counted_tanh)
    return reg


def test_a_client_computes_persists_and_shows_progress(client):
    import distributed

    g, outs = pipeline()
    run = to_dask(g, REG, outs)
    expected = evaluate(g, REG, outs)
    assert same(client.compute(run).result(timeout=60), expected)
    held = client.persist(run)
    distributed.progress(held, notebook=False)
    distributed.wait(held)
    assert same(held.compute(), expected)
    groups = {key_split(k) for k in client.run_on_scheduler(lambda dask_scheduler: list(dask_scheduler.tasks))}
    assert {"tanh", "neg", "sum", "mask+model"} <= groups and "vantrel" not in groups


def test_a_graph_run_again_reuses_what_the_client_holds(client):
    import distributed

    CALLS.clear()
    reg = counting_registry()
    g, outs = pipeline()
    held = client.persist(to_dask(g, reg, outs))
    distributed.wait(held)
    assert CALLS == ["tanh"] * PARTS
    again = to_dask(g, reg, outs).compute(scheduler=client)
    assert CALLS == ["tanh"] * PARTS  # nothing ran again
    assert same(again, evaluate(g, numpy_registry(), outs))
    to_dask(g, counting_registry(), outs).compute(scheduler=client)  # another registry computes for itself
    assert CALLS == ["tanh"] * (2 * PARTS)
