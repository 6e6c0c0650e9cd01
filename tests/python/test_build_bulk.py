"""add_ops: many op nodes in one call give the ids, nodes and blob a loop of add_op gives, and
a refused node leaves exactly the nodes before it in the store."""

import inspect
import sys
import threading

import pytest
from hypothesis import given
from hypothesis import strategies as st
from vantrel_core import GraphStore

N_SOURCES = 3

param_values = st.one_of(st.booleans(), st.integers(-(2**70), 2**70), st.floats(allow_nan=False), st.text(max_size=3))
param_dicts = st.one_of(st.none(), st.dictionaries(st.sampled_from("abk"), param_values, max_size=3))


@st.composite
def batches(draw):
    """Inputs that may refer to nodes of the same batch (up to the node's own position) and
    repeat earlier nodes, so the batch mixes new nodes and hits."""
    count = draw(st.integers(0, 12))
    inputs = []
    for i in range(count):
        upper = N_SOURCES + i - 1
        inputs.append(draw(st.lists(st.integers(0, upper), max_size=3)))
    if draw(st.booleans()):
        params = draw(param_dicts)
    else:
        params = draw(st.lists(param_dicts, min_size=count, max_size=count))
    return draw(st.sampled_from(["op", "", "add"])), inputs, params


def sources():
    g = GraphStore()
    for i in range(N_SOURCES):
        g.add_source(f"s{i}")
    return g


def loop(g, name, inputs, params):
    shared = params is None or isinstance(params, dict)
    return [g.add_op(name, ins, params if shared else params[i]) for i, ins in enumerate(inputs)]


def outcome(fn):
    try:
        return fn()
    except Exception as e:  # the error a loop stops at is the error the batch raises
        return type(e), str(e)


@given(batches(), st.booleans())
def test_bulk_equals_a_loop_of_add_op(batch, twice):
    name, inputs, params = batch
    bulk, looped = sources(), sources()
    if twice:  # the second call finds every node present
        outcome(lambda: bulk.add_ops(name, inputs, params))
        outcome(lambda: loop(looped, name, inputs, params))
    assert outcome(lambda: bulk.add_ops(name, inputs, params)) == outcome(lambda: loop(looped, name, inputs, params))
    assert bulk.node_count() == looped.node_count()
    assert bulk.serialize() == looped.serialize()
    assert bulk.nodes() == looped.nodes()


@given(batches(), st.integers(0, 11), st.sampled_from(["bad id", "bad inputs", "bad params"]))
def test_a_refused_node_keeps_exactly_the_nodes_before_it(batch, at, fault):
    name, inputs, params = batch
    if at >= len(inputs):
        return
    inputs = [list(x) for x in inputs]
    if not isinstance(params, list):
        params = [params] * len(inputs)
    params = list(params)
    if fault == "bad id":
        inputs[at] = [10**6]
        exc, message = ValueError, "no node with id 1000000"
    elif fault == "bad inputs":
        inputs[at] = "01"
        exc, message = TypeError, "argument 'inputs': Can't extract `str` to `Vec`"
    else:
        params[at] = {"k": None}
        exc, message = TypeError, "param values must be int, float, bool, or str"
    bulk, looped = sources(), sources()
    expected = outcome(lambda: loop(looped, name, inputs[:at], params[:at]))
    if not isinstance(expected, list):
        return  # an earlier node is refused already: covered by the test above
    with pytest.raises(exc) as info:
        bulk.add_ops(name, inputs, params)
    assert str(info.value) == message
    if sys.version_info >= (3, 11):
        assert f"add_ops: node {at} refused; the {at} nodes before it were added" in info.value.__notes__
    assert bulk.serialize() == looped.serialize()
    assert bulk.add_ops(name, inputs[:at], params[:at]) == expected


def test_later_nodes_consume_earlier_ones_and_results_are_plain_ints():
    g = sources()
    ids = g.add_ops("f", [[0], [3], [4, 3], [0]], {"k": 1})
    assert ids == [3, 4, 5, 3]
    assert all(type(i) is int for i in ids)
    assert g.add_ops("f", []) == []


def test_a_bad_shared_dict_refuses_the_whole_call_before_any_node():
    g = sources()
    with pytest.raises(TypeError, match="param values must be"):
        g.add_ops("f", [[0], [1]], {"k": None})
    with pytest.raises(TypeError, match="param values must be"):
        g.add_ops("f", [], {"k": None})
    assert g.node_count() == N_SOURCES


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((1, [[0]]), TypeError, "argument 'name': 'int' object cannot be converted to 'str'"),
        (("f", "01"), TypeError, "argument 'inputs': Can't extract `str` to `Vec`"),
        (("f", 5), TypeError, "argument 'inputs': 'int' object cannot be converted to 'Sequence'"),
        (("f", [[0]], 5), TypeError, "params must be a dict, None, or a sequence of them"),
        (("f", [[0]], "ab"), TypeError, "params must be a dict, None, or a sequence of them"),
        (("f", [[0], [1]], [None]), ValueError, "params has 1 items but inputs has 2"),
        (("f", [[0]], [None, None]), ValueError, "params has 2 items but inputs has 1"),
        (("f", [[0]], [5]), TypeError, "params must be a dict or None"),
        (("f", [[0], 5]), TypeError, "argument 'inputs': 'int' object cannot be converted to 'Sequence'"),
        (("f", [[0], [-1]]), OverflowError, None),
        (("f",), TypeError, "GraphStore.add_ops() missing 1 required positional argument: 'inputs'"),
    ],
    ids=repr,
)
def test_errors(args, exc, message):
    g = sources()
    with pytest.raises(exc) as info:
        g.add_ops(*args)
    if message is not None:
        assert str(info.value) == message


def test_keywords_and_signature():
    g = sources()
    assert g.add_ops(name="f", inputs=((0, 1),), params=({"a": 1},)) == [3]
    assert g.add_ops("f", [range(2)], [{"a": 1}]) == [3]
    assert str(inspect.signature(g.add_ops)) == "(name, inputs, params=None)"
    assert "nodes before it were added" in GraphStore.add_ops.__doc__


@pytest.mark.parametrize("change", ["append", "clear", "replace"])
@pytest.mark.parametrize(
    "sneaky_in, params", [("inputs", None), ("inputs", {"k": 1}), ("inputs", "per node"), ("params", "per node")]
)
@pytest.mark.parametrize("before", [1, 300])
def test_inputs_list_changed_during_the_call_is_read_as_it_was(change, sneaky_in, params, before):
    """A list is read as it stood when the call began, whatever the __index__ of an input id
    or of a params value does to it, also after many plain nodes (read straight from the list)
    and across chunks."""
    g = sources()

    class Sneaky:
        def __init__(self, target):
            self.target = target

        def __index__(self):
            if change == "append":
                self.target.append([0])
            elif change == "clear":
                self.target.clear()
            else:
                self.target[:] = [[2]] * len(self.target)
            return 1

    outer = [[0, i % N_SOURCES] for i in range(before)]
    outer.append([Sneaky(outer)] if sneaky_in == "inputs" else [0])
    outer.extend([[N_SOURCES + i] for i in range(5)])
    count = len(outer)
    per_node = [{"k": i % 3} for i in range(count)]
    if sneaky_in == "params":
        per_node[before] = {"k": Sneaky(outer)}
    expected = sources()
    want = []
    for i, ins in enumerate(list(outer)):
        p = per_node[i] if params == "per node" else params
        if i == before:
            ins = [1] if sneaky_in == "inputs" else ins
            p = {"k": 1} if sneaky_in == "params" else p
        want.append(expected.add_op("f", ins, p))
    assert g.add_ops("f", outer, per_node if params == "per node" else params) == want
    assert g.serialize() == expected.serialize()


def test_concurrent_bulk_and_single_builds_agree():
    g = sources()
    work = [[i % N_SOURCES, (i * 7) % N_SOURCES] for i in range(300)]
    results = []

    def bulk():
        results.append(g.add_ops("f", work, {"m": "x"}))

    def single():
        results.append([g.add_op("f", w, {"m": "x"}) for w in work])

    threads = [threading.Thread(target=t) for t in (bulk, single, bulk, single)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == results[0] for r in results)
    assert g.node_count() == N_SOURCES + len({tuple(w) for w in work})


def test_a_repeated_params_dict_changed_between_its_nodes_is_read_again():
    """The same dict object for several nodes is converted once only while nothing can
    change it; an item's __index__ that changes it makes the later nodes see the change."""
    shared = {"k": 1}

    class Changes:
        def __index__(self):
            shared["k"] = 2
            return 0

    def build(bulk):
        g = sources()
        inputs = [[0], [1], [Changes()], [1]]
        params = [shared, shared, shared, shared]
        shared["k"] = 1
        ids = g.add_ops("f", inputs, params) if bulk else [g.add_op("f", i, p) for i, p in zip(inputs, params)]
        return ids, g.serialize()

    assert build(True) == build(False)
    assert build(True)[0] == [3, 4, 5, 6]
