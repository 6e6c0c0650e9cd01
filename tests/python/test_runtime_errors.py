"""Errors a user can act on: unregistered names and partition-count mismatches found before
anything runs, exceptions of user functions that name the node they come from, bad
registrations, and the Dask entry points without the optional extra."""

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("dask")

from vantrel_core import GraphStore

from runtime_support import PARTS, backends, descriptor, numpy_registry, same
from vantrel import PartitionCountError, PlanError, Registry, UnregisteredNameError, evaluate, to_dask
from vantrel.runtime import clear_payload_cache


class Spy:
    """A registry whose every call is recorded, to show that nothing ran."""

    def __init__(self):
        self.calls = []
        self.reg = numpy_registry()
        self.reg.source("col", read=self.record("col", lambda i, seed=0: np.zeros(2)), count=PARTS)

    def record(self, name, fn):
        def wrapped(*args, **kwargs):
            self.calls.append(name)
            return fn(*args, **kwargs)

        return wrapped


def test_unregistered_names_are_all_listed_before_anything_runs():
    spy = Spy()
    g = GraphStore()
    x = g.add_source("col")
    a = g.add_op("frobnicate", [g.add_source("nowhere")])
    b = g.add_reduction("median", [g.add_op("frobnicate", [x])])
    c = g.add_exchange([x], {"scheme": "range"})
    d = g.add_external(dict(descriptor("1"), kind="tokenizer"), [x])
    outs = [a, b, c, d, g.add_op("add", [x, x])]
    for run in (lambda: evaluate(g, spy.reg, outs), lambda: to_dask(g, spy.reg, outs)):
        with pytest.raises(UnregisteredNameError) as err:
            run()
        assert err.value.missing == [
            ("source", "nowhere"),
            ("op", "frobnicate"),
            ("reduction", "median"),
            ("exchange", "range"),
            ("external", "tokenizer"),
        ]
        assert "5 name(s)" in str(err.value) and "op 'frobnicate'" in str(err.value)
    assert spy.calls == []


def test_unregistered_stage_member_is_listed():
    g = GraphStore()
    out = g.add_op("tanh", [g.add_op("unknown", [g.add_source("col")])])
    reduced, _ = g.reduce(outputs=[out])
    with pytest.raises(UnregisteredNameError) as err:
        evaluate(reduced, numpy_registry())
    assert err.value.missing == [("op", "unknown")]


def test_dead_nodes_need_no_registration():
    g = GraphStore()
    x = g.add_source("col")
    g.add_op("unknown", [x])
    assert len(evaluate(g, numpy_registry(), [x])[0]) == PARTS


@pytest.mark.parametrize("reduce", [False, True])
def test_partition_count_mismatch_names_the_node_before_anything_runs(reduce):
    spy = Spy()
    spy.reg.source("pair", read=spy.record("pair", lambda i: np.zeros(2)), count=2)
    g = GraphStore()
    x = g.add_source("col")
    bad = g.add_op("sub", [g.add_op("tanh", [x]), g.add_source("pair")])
    if reduce:
        g, _ = g.reduce(outputs=[bad])
        bad = g.outputs()[0]
        where = f"member 1 (op 'sub') of node {bad} (stage)"
    else:
        where = f"node {bad} (op 'sub')"
    for run in (lambda: evaluate(g, spy.reg, [bad]), lambda: to_dask(g, spy.reg, [bad])):
        with pytest.raises(
            PartitionCountError,
            match=rf"the inputs of {where.replace('(', '.').replace(')', '.')}"
            rf" have 2, 3 partitions",
        ):
            run()
    assert spy.calls == []


def test_one_partition_inputs_broadcast():
    reg = numpy_registry()
    g = GraphStore()
    x = g.add_source("col")
    total = g.add_reduction("sum", [x])
    centred = g.add_op("sub", [x, total])
    (parts,) = evaluate(g, reg, [centred])
    (cols,) = evaluate(g, reg, [x])
    s = sum(p.sum() for p in cols)
    assert len(parts) == PARTS and all(np.array_equal(p, c - s, equal_nan=True) for p, c in zip(parts, cols))


@pytest.mark.parametrize("backend", backends())
@pytest.mark.parametrize("reduce", [False, True])
def test_a_failing_user_function_names_its_node(backend, reduce):
    reg = numpy_registry()

    def explode(x):
        raise ZeroDivisionError("boom")

    reg.op("explode", explode)
    g = GraphStore()
    bad = g.add_op("tanh", [g.add_op("explode", [g.add_op("neg", [g.add_source("col")])])])
    if reduce:
        g, _ = g.reduce(outputs=[bad])
        bad = g.outputs()[0]
        note = f"vantrel: raised in member 1 (op 'explode') of node {bad} (stage)"
    else:
        note = f"vantrel: raised in node {bad - 1} (op 'explode')"
    with pytest.raises(ZeroDivisionError, match="boom") as err:
        backend.run(g, reg, [bad])
    assert err.value.__notes__ == [note]


@pytest.mark.parametrize("backend", backends())
@pytest.mark.parametrize("kind", ["source", "reduction", "exchange", "external", "load"])
def test_failing_functions_of_every_kind_are_noted(backend, kind):
    def fail(*args, **kwargs):
        raise RuntimeError(kind)

    reg = numpy_registry()
    reg.source("col", read=fail if kind == "source" else reg.sources["col"].read, count=PARTS)
    reg.reduction("sum", chunk=lambda x: x.sum(), combine=fail if kind == "reduction" else sum)
    reg.exchange(
        "mask", split=fail if kind == "exchange" else reg.exchanges["mask"].split, merge=reg.exchanges["mask"].merge
    )
    if kind in ("external", "load"):
        reg.external("model", fail if kind == "load" else lambda d: fail)
    g = GraphStore()
    x = g.add_source("col")
    outs = [g.add_reduction("sum", [x]), g.add_exchange([x], {"scheme": "mask"}), g.add_external(descriptor("9"), [x])]
    expected = {
        "source": "node 0 (source 'col')",
        "reduction": "node 1 (reduction 'sum') combine",
        "exchange": "node 2 (exchange 'mask') split",
        "external": "node 3 (external 'model')",
        "load": "node 3 (external 'model') while loading its payload",
    }[kind]
    clear_payload_cache()
    with pytest.raises(RuntimeError, match=kind) as err:
        backend.run(g, reg, outs)
    assert err.value.__notes__ == ["vantrel: raised in " + expected]


def test_a_split_with_the_wrong_number_of_parts_is_refused():
    reg = numpy_registry()
    reg.exchange("short", split=lambda p, n: [p], merge=sum)
    g = GraphStore()
    e = g.add_exchange([g.add_source("col")], {"scheme": "short", "partitions": 2})
    with pytest.raises(ValueError, match=r"split of node 1 \(exchange 'short'\) returned 1 parts, expected 2"):
        evaluate(g, reg, [e])


@pytest.mark.parametrize(
    "params, inputs, message",
    [
        ({}, 1, "needs a str 'scheme' parameter"),
        ({"scheme": 3}, 1, "needs a str 'scheme' parameter"),
        ({"scheme": "mask"}, 0, "has 0 inputs; an exchange takes exactly one"),
        ({"scheme": "mask"}, 2, "has 2 inputs; an exchange takes exactly one"),
        ({"scheme": "mask", "partitions": 0}, 1, "has partitions=0; it must be a positive int"),
        ({"scheme": "mask", "partitions": "4"}, 1, "has partitions='4'"),
    ],
)
def test_malformed_exchanges_are_plan_errors(params, inputs, message):
    g = GraphStore()
    x = g.add_source("col")
    e = g.add_exchange([x] * inputs, params)
    with pytest.raises(PlanError, match=message):
        evaluate(g, numpy_registry(), [e])


def test_exchange_partition_count_comes_from_param_registry_or_input():
    reg = numpy_registry()
    g = GraphStore()
    x = g.add_source("col")
    keep = g.add_exchange([x], {"scheme": "mask"})
    four = g.add_exchange([x], {"scheme": "mask", "partitions": 4})
    assert [len(r) for r in evaluate(g, reg, [keep, four])] == [PARTS, 4]
    reg.exchange("mask", split=reg.exchanges["mask"].split, merge=reg.exchanges["mask"].merge, partitions=5)
    assert [len(r) for r in evaluate(g, reg, [keep, four])] == [5, 4]
    # Rows move, none is lost: the total over all partitions is unchanged.
    lit = g.add_source("lit")
    (before, after) = evaluate(g, reg, [lit, g.add_exchange([lit], {"scheme": "mask", "partitions": 2})])
    assert len(after) == 2 and np.isclose(np.concatenate(before).sum(), np.concatenate(after).sum())
    assert same(evaluate(g, reg, [four]), to_dask(g, reg, [four]).compute(scheduler="sync"))


def test_external_payload_is_loaded_once_per_process_and_descriptor():
    loads = []
    reg = numpy_registry()
    reg.external("model", lambda d: loads.append(d.version) or (lambda x: x * 2))
    g = GraphStore()
    x = g.add_source("col")
    outs = [
        g.add_external(descriptor("1"), [x]),
        g.add_external(descriptor("1"), [x], {}),
        g.add_external(descriptor("2"), [g.add_op("neg", [x])]),
    ]
    clear_payload_cache()
    evaluate(g, reg, outs)
    to_dask(g, reg, outs).compute(scheduler="threads")
    assert sorted(loads) == ["1", "2"]
    other = numpy_registry()  # another registry loads its own payloads
    other.external("model", reg.externals["model"].load)
    evaluate(g, other, outs)
    assert sorted(loads) == ["1", "1", "2", "2"]


def test_loader_must_return_a_callable():
    reg = numpy_registry()
    reg.external("model", lambda d: 42)
    g = GraphStore()
    e = g.add_external(descriptor("7"), [g.add_source("col")])
    with pytest.raises(TypeError, match=r"loader of node 1 \(external 'model'\) returned a int"):
        evaluate(g, reg, [e])


def test_source_forms():
    reg = Registry()
    reg.source("listed", [np.ones(2), np.zeros(2)])
    reg.source("made", lambda k=1: [np.full(2, k)] * k)
    reg.source("counted", read=lambda i, k=1: np.full(2, i * k), count=lambda k=1: k + 1)

    @reg.source("decorated", count=2)
    def decorated(i):
        return np.full(1, -i)

    g = GraphStore()
    outs = [
        g.add_source("listed"),
        g.add_source("made", {"k": 3}),
        g.add_source("counted", {"k": 2}),
        g.add_source("decorated"),
    ]
    result = evaluate(g, reg, outs)
    assert [len(r) for r in result] == [2, 3, 3, 2]
    assert same(result, to_dask(g, reg, outs).compute(scheduler="sync"))
    reg.source("empty", lambda: [])
    reg.source("bad", read=lambda i: i, count=lambda: 0)
    for name, message in (("empty", "produced no partitions"), ("bad", "has the partition count 0")):
        with pytest.raises(PlanError, match=message):
            evaluate(g, reg, [g.add_source(name)])


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda r: r.op("add", lambda a, b: a - b, commutative=False), ValueError, "commuted by the reduction rules"),
        (lambda r: r.op(3, abs), TypeError, "op name must be a str"),
        (lambda r: r.op("f", 3), TypeError, "op 'f' must be callable"),
        (lambda r: r.source("s", []), ValueError, "at least one partition"),
        (lambda r: r.source("s", [1], read=abs, count=1), ValueError, "either partitions or read"),
        (lambda r: r.source("s", read=abs), ValueError, "needs a partition count"),
        (lambda r: r.source("s", read=abs, count=0), ValueError, "positive int"),
        (
            lambda r: r.reduction("r", chunk=abs, combine=sum, fan_in=1),
            ValueError,
            "fan_in must be an int of at least 2",
        ),
        (lambda r: r.reduction("r", chunk=abs, combine=None), TypeError, "combine must be callable"),
        (lambda r: r.exchange("e", split=abs, merge=sum, partitions=0), ValueError, "positive int"),
        (lambda r: r.external("model", "loader"), TypeError, "must be callable"),
    ],
)
def test_bad_registrations_are_refused(call, error, message):
    with pytest.raises(error, match=message):
        call(Registry())


def test_decorators_register_and_return_the_function():
    reg = Registry()

    @reg.op("twice")
    def twice(x):
        return 2 * x

    @reg.external("model")
    def load(d):
        return twice

    assert reg.ops["twice"].fn is twice and reg.externals["model"].load is load
    assert reg.op("minus", lambda a, b: a - b) is reg  # a name the rules leave alone


def test_bad_arguments():
    g = GraphStore()
    x = g.add_source("col")
    with pytest.raises(ValueError, match="no node with id 5"):
        evaluate(g, numpy_registry(), [5])
    with pytest.raises(TypeError, match="not a str"):
        evaluate(g, numpy_registry(), "0")
    with pytest.raises(TypeError, match="vantrel.Registry"):
        evaluate(g, {}, [x])


def test_parameter_names_never_collide_with_the_runtime():
    reg = Registry()
    reg.source("s", read=lambda i, **kw: np.full(1, float(i)), count=2)
    reg.op("f", lambda x, **kw: x + len(kw))
    reg.reduction("r", chunk=lambda x, **kw: x.sum(), combine=lambda ps, **kw: sum(ps))
    names = {"fn": 1, "args": 2, "kwargs": 3, "place": 4, "step": 5, "task": 6, "index": 7, "self": 8}
    g = GraphStore()
    out = g.add_reduction("r", [g.add_op("f", [g.add_source("s", names)], names)], names)
    assert evaluate(g, reg, [out]) == [[1.0 + 2 * 8]]
    assert to_dask(g, reg, [out]).compute(scheduler="sync") == [[1.0 + 2 * 8]]
