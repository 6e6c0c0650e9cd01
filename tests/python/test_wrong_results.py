"""Calls that used to give a silently wrong result now refuse, and say why: a reducer fed a
store other than the one it follows, and a bad parameter value that did not say which key."""

import gc
import pickle

import pytest
from vantrel_core import GraphStore, IncrementalReducer, PayloadDescriptor

ZERO_R = {"scalar": 0.0, "side": "r"}


def two_stores():
    g1, g2 = GraphStore(), GraphStore()
    for g, name in ((g1, "a"), (g2, "b")):
        x = g.add_source(name)
        g.add_op("exp", [g.add_op("add", [x], ZERO_R)])
    return g1, g2


def state(r):
    return r.watermark(), r.total_work(), r.canonical_count()


OTHER_STORE_CALLS = {
    "step": lambda r, g: r.step(g),
    "finalize": lambda r, g: r.finalize(g),
    "finalize-outputs": lambda r, g: r.finalize(g, outputs=[0]),
    "finalize_mapped": lambda r, g: r.finalize_mapped(g, outputs=[0]),
}


@pytest.mark.parametrize("call", OTHER_STORE_CALLS.values(), ids=OTHER_STORE_CALLS.keys())
@pytest.mark.parametrize("first", ["step", "finalize"])
def test_reducer_refuses_another_store_and_consumes_nothing(call, first):
    g1, g2 = two_stores()
    r = IncrementalReducer()
    r.step(g1) if first == "step" else r.finalize(g1)
    g1.add_source("late")  # pending work that a refused call must not consume
    before = state(r)
    with pytest.raises(ValueError, match="follows another GraphStore"):
        call(r, g2)
    assert state(r) == before
    assert r.step(g1) == 1  # the followed store still works


def test_a_copy_is_another_store():
    g1, _ = two_stores()
    r = IncrementalReducer()
    r.step(g1)
    for other in (pickle.loads(pickle.dumps(g1)), GraphStore.deserialize(g1.serialize())):
        with pytest.raises(ValueError, match="follows another GraphStore"):
            r.step(other)


def test_a_new_store_never_takes_the_place_of_a_dead_one():
    r = IncrementalReducer()
    g = GraphStore()
    g.add_source("x")
    r.step(g)
    del g
    gc.collect()
    for _ in range(20):  # new stores may well reuse the dead one's memory
        with pytest.raises(ValueError, match="follows another GraphStore"):
            r.step(GraphStore())


def test_the_first_store_is_recorded_even_when_empty():
    r = IncrementalReducer()
    empty, other = GraphStore(), GraphStore()
    assert r.step(empty) == 0
    other.add_source("x")
    with pytest.raises(ValueError):
        r.step(other)


def test_argument_errors_do_not_record_a_store():
    g1, g2 = two_stores()
    r = IncrementalReducer()
    with pytest.raises(ValueError, match="no node with id 9"):
        r.finalize(g1, outputs=[9])
    assert r.step(g2) == g2.node_count()  # g1 was never followed


# ---- a bad parameter value names its key ----

# Each bad value with what the note says was given.
BAD_VALUES = [
    (None, "NoneType"),
    ([1], "list"),
    (b"x", "bytes"),
    (10**400, "an int too large for a float"),
    ("\ud800", "a str that cannot be encoded as UTF-8"),
    (object(), "object"),
]
BUILDERS = {
    "add_source": lambda g, p: g.add_source("s", p),
    "add_op": lambda g, p: g.add_op("f", [], p),
    "add_reduction": lambda g, p: g.add_reduction("r", [], p),
    "add_exchange": lambda g, p: g.add_exchange([], p),
    "add_external": lambda g, p: g.add_external(
        PayloadDescriptor(kind="k", content_hash="h", framework="f", version="1", io_schema="s"), [], p
    ),
}


@pytest.mark.parametrize("build", BUILDERS.values(), ids=BUILDERS.keys())
@pytest.mark.parametrize("value, given", BAD_VALUES, ids=[given for _, given in BAD_VALUES])
def test_bad_param_value_keeps_its_error_and_names_the_key(build, value, given):
    g = GraphStore()
    with pytest.raises(TypeError) as info:
        build(g, {"fine": 1, "bad key": value, "later": 2})
    assert str(info.value) == "param values must be int, float, bool, or str"
    assert info.value.__notes__ == [f"params key 'bad key': expected int, float, bool or str, got {given}"]
    assert g.node_count() == 0


def test_a_key_that_is_not_a_str_gets_no_note():
    g = GraphStore()
    with pytest.raises(TypeError) as info:
        g.add_source("s", {1: 2})
    assert str(info.value) == "'int' object cannot be converted to 'str'"  # it says it all
    assert not hasattr(info.value, "__notes__")
