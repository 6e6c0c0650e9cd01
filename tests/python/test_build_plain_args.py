"""add_op reads plain arguments (short lists of ints, dicts of ASCII keys and plain values)
on a shorter path than others; both must give the same node, the same stored values and the
same errors."""

import math
import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st
from vantrel_core import GraphStore


class IntSub(int):
    pass


class StrSub(str):
    pass


class DictSub(dict):
    pass


def twin(value):
    """The same value through a type the plain path does not take."""
    if isinstance(value, bool):
        return value
    if isinstance(value, int):
        return IntSub(value)
    if isinstance(value, str):
        return StrSub(value)
    return value


keys = st.text(alphabet=st.characters(min_codepoint=32, max_codepoint=0x2FF), max_size=4)
values = st.one_of(
    st.booleans(),
    st.integers(-(2**70), 2**70),
    st.floats(allow_nan=True),
    st.text(alphabet=st.characters(min_codepoint=1, max_codepoint=0x2FF), max_size=5),
)
inputs = st.lists(st.integers(0, 2), max_size=12)


def store_with_sources():
    store = GraphStore()
    for i in range(3):
        store.add_source(f"s{i}")
    return store


def float_bits(x):
    return struct.pack("<d", x)


def same_values(a, b):
    assert a.keys() == b.keys()
    for k in a:
        assert type(a[k]) is type(b[k])
        if isinstance(a[k], float):
            assert float_bits(a[k]) == float_bits(b[k]) or (math.isnan(a[k]) and math.isnan(b[k]))
        else:
            assert a[k] == b[k]


@given(inputs, st.dictionaries(keys, values, max_size=4))
def test_plain_and_general_arguments_make_one_node(ids, params):
    store = store_with_sources()
    first = store.add_op("f", ids, params)
    general_params = DictSub({StrSub(k): twin(v) for k, v in params.items()})
    general_ids = tuple(IntSub(i) for i in ids)
    assert store.add_op("f", general_ids, general_params) == first
    assert store.add_op("f", list(ids), dict(params)) == first
    assert store.node_count() == 4
    # The general path stores the same values, and so does the plain path on a fresh store.
    other = store_with_sources()
    assert other.add_op("f", general_ids, general_params) == first
    same_values(store.nodes()[first]["params"], other.nodes()[first]["params"])
    assert store.serialize() == other.serialize()


@pytest.mark.parametrize(
    "ids, params, error",
    [
        ([0, 9], {"k": 1}, ValueError),
        ([0, -1], {"k": 1}, OverflowError),
        ([0, 2**64], {"k": 1}, OverflowError),
        ([0, "x"], {"k": 1}, TypeError),
        (list(range(3)) * 4 + [7], {"k": 1}, ValueError),
        ([0], {"k": [1]}, TypeError),
        ([0], {1: 1}, TypeError),
        ([0], {"k": 2**70}, None),
        ([0], {"k": "\udc80"}, TypeError),
    ],
)
def test_plain_path_errors_match_the_general_path(ids, params, error):
    results = []
    for make_ids, make_params in ((list, dict), (tuple, DictSub)):
        store = store_with_sources()
        try:
            results.append(("ok", store.add_op("f", make_ids(ids), make_params(params)), store.nodes()))
        except Exception as exc:  # noqa: BLE001 - the error itself is compared
            results.append((type(exc).__name__, str(exc), store.node_count()))
    assert results[0] == results[1]
    if error is None:
        assert results[0][0] == "ok"
    else:
        assert results[0][0] == error.__name__


def test_a_value_that_changes_the_dict_still_sees_the_fault():
    store = store_with_sources()
    params = {"a": 1}

    class Grow:
        def __index__(self):
            params["z"] = 2
            return 1

    params["b"] = Grow()
    with pytest.raises(BaseException, match="dictionary changed size") as info:
        store.add_op("f", [0], params)
    assert type(info.value).__name__ == "InternalFault"
    assert store.node_count() == 3


@given(st.dictionaries(st.text(alphabet="ab~ \x7f", max_size=3), st.integers(-5, 5), max_size=40))
def test_plain_params_of_any_size_are_stored_in_key_order(params):
    # Keys share first bytes (or are empty), and dicts pass the size past which the plain
    # path sorts after reading instead of while reading.
    store = store_with_sources()
    first = store.add_op("f", [0], params)
    stored = store.nodes()[first]["params"]
    assert list(stored) == sorted(params, key=lambda k: k.encode())
    general = store_with_sources()
    assert general.add_op("f", [0], DictSub({StrSub(k): v for k, v in params.items()})) == first
    assert store.serialize() == general.serialize()
    # The same entries inserted in another order are the same node.
    assert store.add_op("f", [0], dict(reversed(list(params.items())))) == first
    assert store.node_count() == 4


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.add_op("f", [0, 1], {"k": 1}),
        lambda s: s.add_op("f", [0, 1], params={"k": 1}),
        lambda s: s.add_op("f", inputs=[0, 1], params={"k": 1}),
        lambda s: s.add_op(params={"k": 1}, inputs=[0, 1], name="f"),
    ],
)
def test_positional_and_keyword_calls_bind_alike(call):
    store = store_with_sources()
    assert call(store) == 3
    assert store.add_op("f", [0, 1], {"k": 1}) == 3
    assert store.add_op("f", [0, 1]) == 4  # params may be left out


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("f",), {}, "missing 1 required positional argument: 'inputs'"),
        ((), {}, "missing 2 required positional arguments: 'name' and 'inputs'"),
        (("f", [0], {}, 1), {}, "takes from 2 to 3 positional arguments but 4 were given"),
        (("f", [0]), {"name": "g"}, "got multiple values for argument 'name'"),
        (("f", [0]), {"extra": 1}, "got an unexpected keyword argument 'extra'"),
    ],
)
def test_calls_that_do_not_bind_raise_before_anything_is_added(args, kwargs, message):
    store = store_with_sources()
    with pytest.raises(TypeError, match=message):
        store.add_op(*args, **kwargs)
    assert store.node_count() == 3
