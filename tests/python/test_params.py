"""Conversion of params= dicts: the value kinds, their order of trial, bad keys and values,
dicts mutated while they are read, and round trips through nodes()."""

import collections
import decimal
import fractions
import math
import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st
from vantrel_core import GraphStore

PARAM_VALUE_ERROR = "param values must be int, float, bool, or str"


def roundtrip(value):
    """The value as nodes() reports it after a trip through params=."""
    g = GraphStore()
    i = g.add_source("p", {"k": value})
    return g.nodes()[i]["params"]["k"]


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 2.5


class IndexRaises:
    def __index__(self):
        raise RuntimeError("no index")


class FloatRaises:
    def __float__(self):
        raise RuntimeError("no float")


class IndexRaisesFloatWorks(IndexRaises):
    def __float__(self):
        return 4.0


class BothRaise(IndexRaises):
    def __float__(self):
        raise ValueError("no float either")


class MyStr(str):
    pass


class MyInt(int):
    pass


class MyFloat(float):
    pass


@pytest.mark.parametrize(
    "value, kind, expected",
    [
        (True, bool, True),
        (False, bool, False),
        (0, int, 0),
        (-7, int, -7),
        (2**63 - 1, int, 2**63 - 1),
        (-(2**63), int, -(2**63)),
        (2**63, float, 9223372036854775808.0),
        (-(2**63) - 1, float, -9223372036854775808.0),
        (2**64 + 1, float, 18446744073709551616.0),
        (MyInt(5), int, 5),
        (Index(9), int, 9),
        (Index(-(2**63)), int, -(2**63)),
        (1.0, float, 1.0),
        (MyFloat(0.5), float, 0.5),
        (float("inf"), float, float("inf")),
        (Floaty(), float, 2.5),
        (decimal.Decimal("1.5"), float, 1.5),
        (fractions.Fraction(1, 3), float, 1 / 3),
        (IndexRaisesFloatWorks(), float, 4.0),
        ("", str, ""),
        ("x;y=z|%", str, "x;y=z|%"),
        ("\u00e9\u200b\U0001f600\x00", str, "\u00e9\u200b\U0001f600\x00"),
        (MyStr("s"), str, "s"),
    ],
    ids=repr,
)
def test_value_kinds(value, kind, expected):
    got = roundtrip(value)
    assert type(got) is kind
    assert got == expected
    if kind is float:
        assert bits(got) == bits(expected)


@pytest.mark.parametrize(
    "value",
    [
        None,
        [1],
        (1,),
        b"x",
        bytearray(b"x"),
        {"a": 1},
        1j,
        object(),
        10**400,
        -(10**400),
        "\ud800",
        "a\udfffb",
        IndexRaises(),
        FloatRaises(),
        BothRaise(),
    ],
    ids=repr,
)
def test_unsupported_values(store, value):
    with pytest.raises(TypeError) as info:
        store.add_source("p", {"k": value})
    assert type(info.value) is TypeError
    assert str(info.value) == PARAM_VALUE_ERROR
    assert store.node_count() == 0


def test_special_floats_keep_their_bits():
    assert bits(roundtrip(-0.0)) == bits(-0.0)
    assert bits(roundtrip(5e-324)) == 1
    assert math.isnan(roundtrip(float("nan")))
    assert math.isnan(roundtrip(-float("nan")))
    assert roundtrip(float("-inf")) == float("-inf")


def test_bool_int_and_float_are_three_maps(store):
    ids = [store.add_source("x", {"b": v}) for v in (True, 1, 1.0)]
    assert ids == [0, 1, 2]
    kinds = [type(n["params"]["b"]) for n in store.nodes()]
    assert kinds == [bool, int, float]


def test_equal_maps_are_one_node(store):
    a = store.add_source("x", {"a": 1, "b": "s"})
    assert store.add_source("x", {"b": "s", "a": 1}) == a
    assert store.add_source("x", collections.OrderedDict([("b", "s"), ("a", 1)])) == a
    assert store.add_source("x", {"a": Index(1), "b": MyStr("s")}) == a
    assert store.add_source("x", {"n": float("nan")}) == store.add_source("x", {"n": -float("nan")})
    assert store.add_source("x", {"z": 0.0}) != store.add_source("x", {"z": -0.0})


@pytest.mark.parametrize("params", [None, {}, collections.defaultdict(int)], ids=repr)
def test_no_params_is_the_empty_map(store, params):
    a = store.add_source("x")
    assert store.add_source("x", params) == a
    assert store.add_source("x", params=params) == a
    assert store.nodes()[a]["params"] == {}


@pytest.mark.parametrize("params", [[("a", 1)], ("a", 1), "a=1", 5, {"a"}, collections.Counter().items()], ids=repr)
def test_params_must_be_a_dict_or_none(store, params):
    with pytest.raises(TypeError) as info:
        store.add_source("x", params)
    assert str(info.value) == "params must be a dict or None"  # exactly (the note is beside it)
    assert store.node_count() == 0


@pytest.mark.parametrize("key", [1, 1.5, None, b"a", ("a",)], ids=repr)
def test_non_str_key(store, key):
    with pytest.raises(TypeError) as info:
        store.add_source("x", {"ok": 1, key: 2})
    message = str(info.value)
    assert type(key).__name__ in message and "str" in message
    assert store.node_count() == 0


def test_lone_surrogate_key_raises_the_encoding_error(store):
    with pytest.raises(UnicodeEncodeError):
        store.add_source("x", {"\ud800": 1})
    assert store.node_count() == 0


def test_str_subclass_key(store):
    i = store.add_source("x", {MyStr("k"): 1})
    assert i == store.add_source("x", {"k": 1})
    assert type(next(iter(store.nodes()[i]["params"]))) is str


def test_first_bad_entry_wins(store):
    # Entries are examined in the dict's own order.
    with pytest.raises(TypeError, match="^param values"):
        store.add_source("x", {"a": None, 1: 2})
    with pytest.raises(TypeError, match="'int' object"):
        store.add_source("x", {1: 2, "a": None})


def test_keys_come_back_sorted_by_utf8_bytes(store):
    i = store.add_source("x", {"b": 1, "a": 2, "\u00e9": 3, "Z": 4, "": 5, "ab": 6})
    assert list(store.nodes()[i]["params"]) == ["", "Z", "a", "ab", "b", "\u00e9"]


# --- dicts mutated while they are converted ------------------------------------------------


def fault_of(call):
    try:
        call()
    except Exception as e:  # an ordinary exception is the wrong answer
        pytest.fail(f"expected the internal fault, got {type(e).__name__}: {e}")
    except BaseException as e:  # noqa: BLE001
        return e
    pytest.fail("no exception")


@pytest.mark.parametrize("hook", ["__index__", "__float__"])
def test_dict_growing_during_conversion(store, hook):
    d = {"a": 1}

    def grow(self):
        d[f"new{len(d)}"] = 0
        return 1 if hook == "__index__" else 1.0

    d["b"] = type("Grow", (), {hook: grow})()
    d["c"] = 3
    fault = fault_of(lambda: store.add_source("x", d))
    assert type(fault).__mro__[1:] == (BaseException, object)
    assert str(fault) == "dictionary changed size during iteration"
    assert store.node_count() == 0


def test_dict_shrinking_during_conversion(store):
    d = {}

    class Shrink:
        def __index__(self):
            d.clear()
            return 1

    d["a"] = Shrink()
    d["b"] = 2
    fault = fault_of(lambda: store.add_source("x", d))
    assert str(fault) == "dictionary changed size during iteration"
    assert store.node_count() == 0


def test_dict_keys_replaced_during_conversion(store):
    d = {"a": 1}

    class Swap:
        def __index__(self):
            del d["a"]
            d["c"] = 5
            return 1

    d["b"] = Swap()
    fault = fault_of(lambda: store.add_source("x", d))
    assert str(fault) in ("dictionary keys changed during iteration", "dictionary changed size during iteration")
    assert store.node_count() == 0
    # The store still works.
    assert store.add_source("x", {"b": 1, "c": 5}) == 0


# --- round trips ---------------------------------------------------------------------------

keys = st.text(alphabet=st.sampled_from(list("ab;=|%7C\u00e9\u200b\U0001f600 ")), max_size=6)
scalars = st.one_of(
    st.booleans(),
    st.integers(min_value=-(2**63), max_value=2**63 - 1),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=8).filter(lambda s: not any(0xD800 <= ord(c) <= 0xDFFF for c in s)),
)


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return bits(a) == bits(b) or (math.isnan(a) and math.isnan(b))
    return a == b


@given(st.dictionaries(keys, scalars, max_size=6))
def test_params_round_trip_through_nodes(params):
    g = GraphStore()
    i = g.add_op("f", [], params)
    back = g.nodes()[i]["params"]
    assert list(back) == sorted(params, key=lambda k: k.encode())
    for k, v in params.items():
        assert same(back[k], v), (k, v, back[k])
    # The same map (in any insertion order) is the same node; the view converts back to it.
    assert g.add_op("f", [], dict(reversed(list(params.items())))) == i
    assert g.add_op("f", [], back) == i
    assert g.node_count() == 1
