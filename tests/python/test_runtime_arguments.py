"""What the runtime's entry points take, grouped by fault: output ids convert as the store's
own methods convert them (so a request means the same with and without ``reduce=True``), the
store must be a GraphStore, and a user function that returns partitions or parts must return
a sequence of them; each fault has one error class, on every backend."""

import importlib.util

import pytest

np = pytest.importorskip("numpy")

from vantrel_core import GraphStore

import vantrel
from runtime_support import PARTS, backends, numpy_registry, same
from vantrel.runtime import build_plan

REG = numpy_registry()


def store():
    g = GraphStore()
    x = g.add_source("col")
    t = g.add_op("tanh", [x])
    g.add_reduction("sum", [t])
    return g


def entry_points():
    """Every entry point that takes a store and output ids, as ``call(store, outputs)``."""
    calls = [
        ("evaluate", lambda g, o: vantrel.evaluate(g, REG, o)),
        ("evaluate-reduced", lambda g, o: vantrel.evaluate(g, REG, o, reduce=True)),
        ("reduce_outputs", lambda g, o: vantrel.reduce_outputs(g, o)),
        ("build_plan", lambda g, o: build_plan(g, REG, o)),
    ]
    if importlib.util.find_spec("dask") is not None:
        calls += [
            ("to_dask", lambda g, o: vantrel.to_dask(g, REG, o)),
            ("to_dask-reduced", lambda g, o: vantrel.to_dask(g, REG, o, reduce=True)),
            ("compute-reduced", lambda g, o: vantrel.compute(g, REG, o, reduce=True, scheduler="sync")),
        ]
    return [pytest.param(call, id=name) for name, call in calls]


# ---- ids the store takes, the runtime takes ----


@pytest.mark.parametrize("backend", backends())
@pytest.mark.parametrize("reduce", [False, True])
@pytest.mark.parametrize(
    "as_ids",
    [
        lambda ids: [np.int64(i) for i in ids],
        lambda ids: [np.uint32(i) for i in ids],
        lambda ids: np.array(ids),
        lambda ids: tuple(ids),
    ],
    ids=["int64", "uint32", "array", "tuple"],
)
def test_index_ids_run_like_ints(backend, reduce, as_ids):
    g = store()
    ids = [2, 1, 2]
    assert same(backend.run(g, REG, as_ids(ids), reduce=reduce), vantrel.evaluate(g, REG, ids))


@pytest.mark.parametrize("backend", backends())
@pytest.mark.parametrize("reduce", [False, True])
def test_a_bool_is_the_id_it_converts_to(backend, reduce):
    g = store()
    assert same(backend.run(g, REG, [True, False], reduce=reduce), vantrel.evaluate(g, REG, [1, 0]))


# ---- bad ids: the class and message the store's own methods give ----

BAD_IDS = [
    (TypeError, [1.0]),
    (TypeError, [np.float64(1)]),
    (TypeError, ["0"]),
    (TypeError, [None]),
    (TypeError, 5),
    (TypeError, (i for i in [0])),
    (TypeError, {0}),
    (TypeError, {0: 1}),
    (OverflowError, [-1]),
    (OverflowError, [np.int64(-1)]),
    (OverflowError, [2**64]),
    (OverflowError, [9, -1]),  # converted before any id is looked up
    (TypeError, [9, 1.0]),
    (ValueError, [3]),
    (ValueError, [0, 2**40]),
    (ValueError, [np.uint64(2**63)]),
]


@pytest.mark.parametrize("call", entry_points())
@pytest.mark.parametrize(
    "error, outputs", BAD_IDS, ids=lambda v: type(v).__name__ if not isinstance(v, type) else v.__name__
)
def test_bad_ids_raise_what_the_store_raises(call, error, outputs):
    g = store()
    with pytest.raises(error) as core:
        g.reduce_mapped(outputs=outputs)
    with pytest.raises(error) as err:
        call(g, outputs)
    assert str(err.value) == str(core.value)


@pytest.mark.parametrize("call", entry_points())
def test_a_str_of_ids_is_refused(call):
    with pytest.raises(TypeError, match="argument 'outputs': a sequence of node ids, not a str"):
        call(store(), "01")


# ---- the store ----


@pytest.mark.parametrize("call", entry_points())
@pytest.mark.parametrize("bad", [None, b"VIR1", REG], ids=["None", "bytes", "registry"])
def test_a_store_that_is_not_a_graph_store_is_named(call, bad):
    with pytest.raises(
        TypeError,
        match=rf"argument 'store': expected a vantrel_core.GraphStore, not "
        rf"{type(bad).__name__}",
    ):
        call(bad, [0])


# ---- user functions that return partitions or parts ----

NOT_SEQUENCES = [None, 7, "abc", b"ab", {0: 1}]


@pytest.mark.parametrize("backend", backends())
@pytest.mark.parametrize("returned", NOT_SEQUENCES, ids=lambda v: type(v).__name__)
def test_a_split_must_return_a_sequence(backend, returned):
    reg = numpy_registry()
    reg.exchange("odd", split=lambda part, n: returned, merge=lambda parts: parts[0])
    g = GraphStore()
    e = g.add_exchange([g.add_source("col")], {"scheme": "odd", "partitions": 3})
    with pytest.raises(
        TypeError,
        match=rf"^the split of node 1 \(exchange 'odd'\) returned a "
        rf"{type(returned).__name__}, not a sequence of parts$",
    ):
        backend.run(g, reg, [e])


@pytest.mark.parametrize("backend", backends())
@pytest.mark.parametrize("returned", NOT_SEQUENCES, ids=lambda v: type(v).__name__)
def test_a_partitions_callable_must_return_a_sequence(backend, returned):
    calls = []
    reg = numpy_registry()
    reg.source("odd", lambda: returned)
    reg.op("tanh", lambda x: calls.append(x) or np.tanh(x))
    g = GraphStore()
    out = g.add_op("add", [g.add_op("tanh", [g.add_source("col")]), g.add_source("odd")])
    with pytest.raises(
        TypeError,
        match=rf"^node 2 \(source 'odd'\) returned a {type(returned).__name__}, "
        rf"not a sequence of partitions$",
    ):
        backend.run(g, reg, [out])
    assert calls == []  # refused while planning


@pytest.mark.parametrize("backend", backends())
def test_iterables_of_parts_and_partitions_are_taken(backend):
    reg = numpy_registry()
    reg.source("gen", lambda: (np.full(2, float(k)) for k in range(PARTS)))
    reg.exchange("tuple", split=lambda part, n: tuple(part * (k + 1) for k in range(n)), merge=sum)
    reg.exchange("rows", split=lambda part, n: np.stack([part] * n), merge=sum)
    g = GraphStore()
    x = g.add_source("gen")
    outs = [x, g.add_exchange([x], {"scheme": "tuple", "partitions": 2}), g.add_exchange([x], {"scheme": "rows"})]
    got = backend.run(g, reg, outs)
    assert [len(r) for r in got] == [PARTS, 2, PARTS]
    assert np.array_equal(got[1][1], 2 * sum(np.full(2, float(k)) for k in range(PARTS)))
