"""The pipeline builder: what each handle operation adds to the store, named outputs, and runs
through the local evaluator and Dask with the partitions of every result joined."""

import operator

import pytest

np = pytest.importorskip("numpy")

from vantrel_core import GraphStore, PayloadDescriptor

import vantrel
from runtime_support import numpy_registry
from vantrel import Node, Pipeline, Registry

BINARY = [
    ("+", operator.add, "add"),
    ("-", operator.sub, "sub"),
    ("*", operator.mul, "mul"),
    ("/", operator.truediv, "truediv"),
    ("//", operator.floordiv, "floordiv"),
    ("%", operator.mod, "mod"),
    ("**", operator.pow, "pow"),
    ("&", operator.and_, "and"),
    ("|", operator.or_, "or"),
    ("^", operator.xor, "xor"),
    ("==", operator.eq, "eq"),
    ("!=", operator.ne, "ne"),
    ("<", operator.lt, "lt"),
    ("<=", operator.le, "le"),
    (">", operator.gt, "gt"),
    (">=", operator.ge, "ge"),
]
# A comparison with the constant on the left reaches the mirrored operator of the handle.
MIRRORED = {"lt": "gt", "le": "ge", "gt": "lt", "ge": "le", "eq": "eq", "ne": "ne"}


def node_of(p: Pipeline, handle: Node) -> dict:
    view = p.store.nodes()[handle.id]
    return {"kind": view["kind"], "name": view["name"], "inputs": view["inputs"], "params": view["params"]}


@pytest.mark.parametrize("symbol, fn, name", BINARY, ids=[b[0] for b in BINARY])
def test_operators_build_the_named_ops(symbol, fn, name):
    assert vantrel.pipeline.OPERATOR_OPS[symbol] == name
    p = Pipeline()
    a, b = p.source("a"), p.source("b")
    assert node_of(p, fn(a, b)) == {"kind": "op", "name": name, "inputs": [a.id, b.id], "params": {}}
    assert node_of(p, fn(a, 2.0)) == {
        "kind": "op",
        "name": name,
        "inputs": [a.id],
        "params": {"scalar": 2.0, "side": "r"},
    }
    left = fn(3, a)
    if name in MIRRORED:
        expected = {"scalar": 3, "side": "r"}
        assert node_of(p, left)["name"] == MIRRORED[name]
    else:
        expected = {"scalar": 3, "side": "l"}
        assert node_of(p, left)["name"] == name
    assert node_of(p, left)["params"] == expected


@pytest.mark.parametrize(
    "fn, name", [(operator.neg, "neg"), (operator.pos, "pos"), (operator.invert, "invert"), (abs, "abs")]
)
def test_unary_operators(fn, name):
    p = Pipeline()
    a = p.source("a")
    assert node_of(p, fn(a)) == {"kind": "op", "name": name, "inputs": [a.id], "params": {}}


def test_builder_makes_exactly_the_nodes_of_the_plain_calls():
    d = PayloadDescriptor(kind="model", content_hash="h", framework="fw", version="1", io_schema="f")
    p = Pipeline()
    x, y = p.source("x", path="p", rows=3), p.source("y")
    s = (x * y + 0.0).op("clip", lo=0.0, hi=1.0)
    t = p.op("stack", x, y, s).reduction("sum", axis=0).exchange("hash", partitions=4).external(d, scale=2)
    u = x.maximum(y).minimum(1.5)
    g = GraphStore()
    gx, gy = g.add_source("x", {"path": "p", "rows": 3}), g.add_source("y")
    gs = g.add_op(
        "clip", [g.add_op("add", [g.add_op("mul", [gx, gy])], {"scalar": 0.0, "side": "r"})], {"lo": 0.0, "hi": 1.0}
    )
    gt = g.add_external(
        d,
        [
            g.add_exchange(
                [g.add_reduction("sum", [g.add_op("stack", [gx, gy, gs])], {"axis": 0})],
                {"scheme": "hash", "partitions": 4},
            )
        ],
        {"scale": 2},
    )
    gu = g.add_op("minimum", [g.add_op("maximum", [gx, gy])], {"scalar": 1.5, "side": "r"})
    assert p.store.serialize() == g.serialize()
    assert (s.id, t.id, u.id) == (gs, gt, gu)


def test_rules_apply_to_what_is_written():
    p = Pipeline()
    a, b = p.source("a"), p.source("b")
    out = (a * b + b * a) * 1.0 + 0.0
    _, report = p.store.reduce(outputs=[out.id])
    assert report["canonical_nodes"] == 4  # a, b, one mul, the add


def test_numpy_scalars_become_the_python_values_they_stand_for():
    p = Pipeline()
    a = p.source("a", flag=np.True_, n=np.int64(3), w=np.float32(0.5), s=np.str_("k"))
    params = p.store.nodes()[a.id]["params"]
    assert params == {"flag": True, "n": 3, "s": "k", "w": 0.5}
    assert [type(v) for v in params.values()] == [bool, int, str, float]
    # The store alone reads a NumPy bool as a float: a different node.
    assert p.store.add_source("a", {"flag": np.True_, "n": 3, "s": "k", "w": 0.5}) != a.id
    scaled = a * np.float64(2.0)
    assert p.store.nodes()[scaled.id]["params"] == {"scalar": 2.0, "side": "r"}
    assert (np.float64(2.0) * a).id == (2.0 * a).id
    assert (a == np.bool_(False)).id == (a == False).id  # noqa: E712


def test_handles():
    p = Pipeline()
    a = p.source("a")
    assert p.source("a") is a and p.node(a.id) is a and a.store is p.store
    assert {a: 1}[p.node(0)] == 1 and repr(a) == "<vantrel.Node 0>"
    with pytest.raises(TypeError, match="no truth value"):
        bool(a == a)
    with pytest.raises(ValueError, match="different pipelines"):
        a + Pipeline().source("a")
    with pytest.raises(ValueError, match="another pipeline"):
        p.op("f", Pipeline().source("a"))
    with pytest.raises(TypeError, match="must be vantrel.Node"):
        p.op("f", 0)
    with pytest.raises(TypeError):
        a + None
    with pytest.raises(TypeError):
        a + [1]
    with pytest.raises(ValueError, match="no node with id 5"):
        p.node(5)
    assert (a == None) is False  # noqa: E711  no constant of a parameter's kind: Python's identity test
    g = GraphStore()
    x = g.add_source("x")
    wrapped = Pipeline(store=g)
    assert wrapped.store is g and (wrapped.node(x) + 1.0).id == g.add_op("add", [x], {"scalar": 1.0, "side": "r"})
    with pytest.raises(TypeError, match="store must be"):
        Pipeline(store=object())


def test_handles_of_nodes_made_beside_the_builder():
    g = GraphStore()
    for i in range(3):
        g.add_source(f"s{i}")
    p = Pipeline(store=g)
    late = p.node(2)  # handles asked for out of order, past nodes that have none yet
    a = p.source("a")
    direct = p.store.add_op("f", [a.id])  # a node the builder did not make
    b = a * 2.0
    first = p.node(0)
    assert (first.id, late.id, a.id, b.id) == (0, 2, 3, 5)
    assert p.node(0) is first and p.node(2) is late and p.source("a") is a and a * 2.0 is b
    assert a.op("f") is p.node(direct) is p.op("f", a) and p.node(direct).id == direct == 4
    assert p.node(1).id == 1 and p.node(1) is p.node(1)


def test_outputs():
    p = Pipeline(numpy_registry())
    a = p.source("col")
    assert p.output("a", a) is a and p.output("a", a) is a
    p.output("also", a)
    with pytest.raises(ValueError, match="output 'a' is already node 0"):
        p.output("a", -a)
    assert list(p.outputs) == ["a", "also"] and p.output_ids() == [0, 0]
    with pytest.raises(KeyError, match="no output named 'b'"):
        p.run(["b"])
    with pytest.raises(TypeError, match="no registry"):
        Pipeline().run()
    with pytest.raises(ValueError, match="no named outputs"):
        Pipeline(numpy_registry()).run()


def pipeline() -> Pipeline:
    p = Pipeline(numpy_registry())
    x, one = p.source("col", seed=1), p.source("one")
    y = (x * 2.0 + x.op("tanh")).maximum(one)
    p.output("y", y)
    p.output("total", (y + 0.0).reduction("sum"))
    p.output(
        "mixed",
        p.exchange("mask", y * 1.0).external(
            {"kind": "model", "content_hash": "h", "framework": "np", "version": "2", "io_schema": "f"}
        ),
    )
    return p


def same(a: dict, b: dict) -> bool:
    return list(a) == list(b) and all(np.array_equal(a[k], b[k], equal_nan=True) for k in a)


@pytest.mark.parametrize("reduce", [False, True])
def test_run_joins_partitions(reduce):
    p = pipeline()
    got = p.run(reduce=reduce)
    plain = vantrel.evaluate(p.store, p.registry, p.output_ids())
    assert np.array_equal(got["y"], np.concatenate(plain[0]), equal_nan=True)
    assert np.array_equal(got["total"], plain[1][0], equal_nan=True) and got["total"].shape == (1,)
    assert same({"total": got["total"]}, p.run("total"))


@pytest.mark.parametrize("reduce", [False, True])
def test_compute_agrees_with_run(reduce):
    pytest.importorskip("dask")
    p = pipeline()
    got = p.run(reduce=reduce)
    assert same(got, p.compute(scheduler="sync", reduce=reduce))
    assert same(got, p.compute(scheduler="threads", reduce=reduce))
    run = p.to_dask(["mixed", "y"])
    assert len(run.compute(scheduler="sync")) == 2


def test_joins_by_value_type():
    pd = pytest.importorskip("pandas")
    reg = Registry()
    reg.source("frame", [pd.DataFrame({"v": [1, 2]}), pd.DataFrame({"v": [3]})])
    reg.source("list", [[1, 2], [3]])
    reg.source("tuple", [(1,), (2,)])
    reg.source("word", ["ab", "c"])
    reg.op("same", lambda x: x)
    p = Pipeline(reg)
    for name in ("frame", "list", "tuple", "word"):
        p.output(name, p.source(name).op("same"))
    out = p.run()
    assert out["frame"]["v"].tolist() == [1, 2, 3]
    assert out["list"] == [1, 2, 3] and out["tuple"] == (1, 2)
    assert out["word"] == ["ab", "c"]  # no join for str: the list of partitions
    reg.join(str, "".join)
    assert p.run("word") == {"word": "abc"}

    class Word(str):
        pass

    assert reg.join_for("op", [Word("x")]) is reg.joins[str]  # the nearest registered class
    assert reg.joined("reduction", [[1, 2]]) == [1, 2]  # a reduction's one partition as it is
    assert reg.joined("op", []) == []
    with pytest.raises(TypeError, match="must be a type"):
        reg.join("str", "".join)
    with pytest.raises(TypeError, match="must be callable"):
        reg.join(str, "x")
