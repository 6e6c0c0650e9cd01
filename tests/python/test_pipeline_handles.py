"""The handles of the pipeline builder as objects: one per node while any is held, freed with
their pipeline, untracked by the cycle collector where the interpreter has a global lock,
NumPy operands through the C operators, pickling and copying, and what calls leave behind."""

import copy
import enum
import gc
import operator
import pickle
import sysconfig
import weakref

import pytest

from memory_probe import STEADY_ROUNDS, steady_growth
from vantrel import Node, Pipeline, Registry

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def mul(a, b=None, scalar=None, side="r"):
    return [v * scalar for v in a] if scalar is not None else [v * w for v, w in zip(a, b)]


def lists_registry() -> Registry:
    return Registry().source("x", [[1.0, 2.0], [3.0]]).op("mul", mul)


def params_of(h: Node) -> dict:
    return h.store.nodes()[h.id]["params"]


def test_one_handle_per_node_while_any_is_held():
    p = Pipeline()
    a, b = p.source("a"), p.source("b")
    s = a + b
    assert a + b is s and p.node(s.id) is s and p.op("add", a, b) is s and a.op("add", b) is s
    assert {s: 1}[p.node(s.id)] == 1 and hash(s) == object.__hash__(s)
    assert type(s) is Node and s.pipeline is p and s.store is p.store and s.id == 2
    m = (a * 2.0).id
    assert p.node(m).id == m  # a dropped handle is made again on demand, for the same node


def test_handles_are_plain_objects_made_only_by_a_pipeline():
    p = Pipeline()
    a = p.source("a")
    assert gc.is_tracked(a) is FREE_THREADED  # the collector never walks handles with a global lock
    with pytest.raises(TypeError, match="cannot create"):
        Node()
    with pytest.raises(TypeError):

        class Sub(Node):  # type: ignore[misc]
            pass

    with pytest.raises(AttributeError):
        a.id = 3  # type: ignore[misc]
    with pytest.raises(AttributeError):
        a.label = "x"  # type: ignore[attr-defined]
    assert Node.__module__ == "vantrel.pipeline" and Node.__name__ == Node.__qualname__ == "Node"
    with pytest.raises(TypeError, match=r"unsupported operand type\(s\) for \+: 'Node' and 'NoneType'"):
        a + None
    assert [Node.__add__.__name__, Node.__radd__.__name__, Node.op.__name__] == ["__add__", "__radd__", "op"]
    assert Node.__array_ufunc__ is None


def test_a_dropped_pipeline_and_its_handles_are_freed():
    p = Pipeline()
    x = p.source("x")
    p.output("y", (x * 2.0).op("clip", lo=0.0) + x)
    ref = weakref.ref(p)
    del p, x
    gc.collect()
    assert ref() is None
    # Without outputs nothing forms a cycle: the last reference frees it at once.
    q = Pipeline()
    h = -q.source("x")
    ref = weakref.ref(q)
    del q
    assert ref() is h.pipeline
    del h
    if not FREE_THREADED:  # there, handles and their pipeline form a cycle
        assert ref() is None
    gc.collect()
    assert ref() is None


def test_a_handle_keeps_its_pipeline_alive():
    def build() -> Node:
        p = Pipeline(lists_registry())
        out = p.source("x") * 2.0
        p.output("y", out)
        return out

    h = build()
    gc.collect()
    assert h.pipeline.run() == {"y": [2.0, 4.0, 6.0]}
    assert h.pipeline.outputs == {"y": h}


class Level(enum.IntEnum):
    HIGH = 3


@pytest.mark.parametrize("fn", [operator.add, operator.mul, operator.sub, operator.lt, operator.eq, operator.pow])
def test_numpy_and_other_scalar_operands(fn):
    np = pytest.importorskip("numpy")
    p = Pipeline()
    a = p.source("a")
    for value, plain in [(np.float64(2.5), 2.5), (np.int64(3), 3), (np.bool_(True), True), (np.str_("k"), "k")]:
        assert fn(a, value) is fn(a, plain) and type(params_of(fn(a, value))["scalar"]) is type(plain)
        assert fn(value, a) is fn(plain, a)
    assert params_of(fn(a, Level.HIGH))["scalar"] == 3  # an int subclass is a constant
    for bad in [None, [1], object()]:
        if fn is operator.eq:
            assert fn(a, bad) is False  # no constant: Python's identity test
            continue
        with pytest.raises(TypeError):
            fn(a, bad)
        with pytest.raises(TypeError):
            fn(bad, a)


def test_operands_that_are_no_constant_of_a_parameter():
    p = Pipeline()
    a = p.source("a")
    with pytest.raises(TypeError, match=r"unsupported operand type\(s\) for \*\* or pow\(\)"):
        pow(a, 2, 3)  # a modulus has no op
    np = pytest.importorskip("numpy")
    # A NumPy array on the left leaves the handle to its own reflected slot; one of one element
    # is the constant it holds, as a NumPy scalar would be.
    assert np.array([2.0]) - a is 2.0 - a
    with pytest.raises(ValueError):
        np.array([2.0, 3.0]) - a


def test_numpy_params_and_inputs_of_op():
    np = pytest.importorskip("numpy")
    p = Pipeline()
    a, b = p.source("a"), p.source("b")
    h = a.op("f", b, k=np.int64(2), w=np.float32(0.5), flag=np.True_, name="n")
    assert h.store.nodes()[h.id]["inputs"] == [a.id, b.id]
    assert params_of(h) == {"flag": True, "k": 2, "name": "n", "w": 0.5} and type(params_of(h)["flag"]) is bool
    assert a.op("f", b, k=2, w=0.5, flag=True, name="n") is h
    with pytest.raises(TypeError, match="inputs must be vantrel.Node handles, not float64"):
        a.op("f", np.float64(1.0))
    with pytest.raises(ValueError, match=r"node 0 belongs to another pipeline"):
        a.op("f", Pipeline().source("z"))
    with pytest.raises(TypeError, match="missing 1 required positional argument"):
        a.op()


def test_maximum_and_minimum_refuse_what_is_no_operand():
    p = Pipeline()
    a = p.source("a")
    assert a.maximum(2).id == p.store.add_op("maximum", [a.id], {"scalar": 2, "side": "r"})
    for method in (a.maximum, a.minimum):
        with pytest.raises(TypeError, match=r"the operand must be a vantrel.Node or an int, float, bool or str"):
            method(None)  # type: ignore[arg-type]


def test_errors_of_the_store_come_through_unchanged():
    p = Pipeline()
    a = p.source("a")
    with pytest.raises(TypeError) as from_handle:
        a.op(3)  # type: ignore[arg-type]
    with pytest.raises(TypeError) as from_store:
        p.store.add_op(3, [a.id], {})  # type: ignore[arg-type]
    assert str(from_handle.value) == str(from_store.value)
    with pytest.raises(ValueError, match="mul: the two nodes belong to different pipelines"):
        a * Pipeline().source("a")


def test_pipelines_sharing_a_store_share_nodes_not_handles():
    first = Pipeline()
    second = Pipeline(store=first.store)
    a, b = first.source("a"), second.source("b")
    s = a + b  # one store: allowed, as the store is what the ids refer to
    assert s.pipeline is first and second.node(s.id) is not s and second.node(s.id).id == s.id


class Tagged(Pipeline):
    def __init__(self, tag: str) -> None:
        super().__init__(lists_registry())
        self.tag = tag


def test_a_subclass_of_pipeline_gets_handles_too():
    p = Tagged("t")
    h = p.source("x") * 2.0
    assert h.pipeline is p and p.tag == "t" and p.output("y", h) is h
    assert p.run() == {"y": [2.0, 4.0, 6.0]}
    unbound = Pipeline.__new__(Pipeline)
    with pytest.raises(RuntimeError, match="Pipeline.__init__ was not called"):
        unbound.handle_of(0)
    with pytest.raises(AttributeError, match="Pipeline.__init__ was not called"):
        unbound.store  # noqa: B018
    with pytest.raises(RuntimeError, match="already has its store"):
        Pipeline.__init__(p)


class Holding(Pipeline):
    """Keeps handles in its own attributes, as a pipeline written as a class would."""

    __slots__ = ("__dict__", "first")  # one handle in a slot, the others in its dict

    def __init__(self) -> None:
        super().__init__()
        self.first = self.source("x")
        self.later: list[Node] = [self.first * 2.0]


def test_handles_held_by_a_subclass_form_a_cycle_the_collector_frees():
    p = Holding()
    # A plain pipeline holds no handle, so its handles need not be tracked; a subclass's are.
    assert gc.is_tracked(p.first) and gc.is_tracked(p.later[0])
    assert gc.is_tracked(Pipeline().source("x")) is FREE_THREADED
    p.output("y", p.later[0] + p.first)
    ref, store = weakref.ref(p), weakref.ref(p.store) if hasattr(p.store, "__weakref__") else None
    del p
    gc.collect()
    assert ref() is None
    assert store is None or store() is None


def test_pickling_and_copying_keep_one_handle_per_node():
    p = Pipeline(lists_registry())
    x = p.source("x")
    y = x * 2.0
    p.output("y", y)
    q, qx, qy = pickle.loads(pickle.dumps([p, x, y]))
    assert qx.pipeline is q and qy.pipeline is q and q.node(qy.id) is qy and q.outputs == {"y": qy}
    assert q.run() == p.run() and q.store.serialize() == p.store.serialize()
    assert copy.copy(y) is y and copy.copy(p).store is p.store
    r, ry = copy.deepcopy([p, y])
    assert ry.pipeline is r and r is not p and r.store is not p.store and r.outputs == {"y": ry}
    t = pickle.loads(pickle.dumps(Tagged("z")))
    assert type(t) is Tagged and t.tag == "z"


def build_and_drop():
    p = Pipeline()
    x, y = p.source("x"), p.source("y")
    p.output("out", ((x * y + 1.5).op("clip", lo=0.0) - y).reduction("sum"))


def raising(fn, exc):
    def call():
        with pytest.raises(exc):
            fn()

    return call


@pytest.fixture(scope="module")
def shared():
    p = Pipeline()
    a, b = p.source("a"), p.source("b")
    return p, a, b


CALLS = {
    "a + b": lambda p, a, b: a + b,
    "x * 1.5": lambda p, a, b: a * 1.5,
    "op with params": lambda p, a, b: a.op("clip", b, lo=0.0, hi=1.0),
    "-x": lambda p, a, b: -a,
    "maximum": lambda p, a, b: a.maximum(b),
    "node(i)": lambda p, a, b: p.node(1),
    "dropped handles": lambda p, a, b: (a * 3.0).op("tanh") + b,
    "a whole pipeline": lambda p, a, b: build_and_drop(),
    "x + None": lambda p, a, b: raising(lambda: a + None, TypeError)(),
    "different pipelines": lambda p, a, b: raising(lambda: a + Pipeline().source("a"), ValueError)(),
    "op of a non-handle": lambda p, a, b: raising(lambda: a.op("f", 1), TypeError)(),
    "store refuses": lambda p, a, b: raising(lambda: a.op("f", k=[1]), TypeError)(),
}
NUMPY_CALLS = {
    "np.float64 * x": lambda np, p, a, b: np.float64(2.0) * a,
    "op with NumPy params": lambda np, p, a, b: a.op("clip", b, lo=np.float32(0.0), hi=np.int64(1)),
}


@pytest.mark.parametrize("label", list(CALLS) + list(NUMPY_CALLS))
def test_no_growth_per_call(shared, label):
    p, a, b = shared
    if label in NUMPY_CALLS:
        np = pytest.importorskip("numpy")
        call = lambda: NUMPY_CALLS[label](np, p, a, b)  # noqa: E731
    else:
        call = lambda: CALLS[label](p, a, b)  # noqa: E731
    growth = steady_growth(call, rounds=STEADY_ROUNDS, watched={"pipeline": p, "a": a, "b": b})
    assert growth.within(4096), f"{label}: {growth}"
