"""Argument errors whose message is fixed text keep it exactly, and carry a note (PEP 678,
`__notes__` on every version) that says what was expected and what was given."""

import pytest
from vantrel_core import GraphStore, IncrementalReducer, PayloadDescriptor

DESCRIPTOR = PayloadDescriptor(kind="k", content_hash="h", framework="f", version="1", io_schema="s")


class Word(str):
    pass


def store():
    g = GraphStore()
    g.add_op("f", [g.add_source("x")])
    return g


# Every argument that takes a list of node ids, called with `ids` there.
ID_LISTS = {
    "add_op": ("inputs", lambda g, ids: g.add_op("f", ids)),
    "add_reduction": ("inputs", lambda g, ids: g.add_reduction("r", ids)),
    "add_exchange": ("inputs", lambda g, ids: g.add_exchange(ids)),
    "add_external": ("inputs", lambda g, ids: g.add_external(DESCRIPTOR, ids)),
    "add_ops": ("inputs", lambda g, ids: g.add_ops("f", ids)),
    "mark_outputs": ("ids", lambda g, ids: g.mark_outputs(ids)),
    "serialize": ("outputs", lambda g, ids: g.serialize(outputs=ids)),
    "reduce": ("outputs", lambda g, ids: g.reduce(outputs=ids)),
    "reduction_report": ("outputs", lambda g, ids: g.reduction_report(outputs=ids)),
    "reduce_mapped": ("outputs", lambda g, ids: g.reduce_mapped(outputs=ids)),
    "finalize": ("outputs", lambda g, ids: IncrementalReducer().finalize(g, outputs=ids)),
    "finalize_mapped": ("outputs", lambda g, ids: IncrementalReducer().finalize_mapped(g, outputs=ids)),
}


def raised(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value), getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("method", ID_LISTS)
@pytest.mark.parametrize(
    "ids, given",
    [("0", "str"), ("", "str"), ("01", "str"), (Word("1"), "Word")],
    ids=["digit", "empty", "digits", "subclass"],
)
def test_a_str_for_node_ids(method, ids, given):
    g = store()
    before = (g.node_count(), g.outputs(), g.serialize())
    argname, call = ID_LISTS[method]
    assert raised(lambda: call(g, ids)) == (
        f"argument '{argname}': Can't extract `str` to `Vec`",
        [f"expected a list of node ids (ints), got {given}"],
    )
    assert (g.node_count(), g.outputs(), g.serialize()) == before


PARAMS = {
    "add_source": lambda g, p: g.add_source("s", p),
    "add_op": lambda g, p: g.add_op("f", [0], p),
    "add_reduction": lambda g, p: g.add_reduction("r", [0], p),
    "add_exchange": lambda g, p: g.add_exchange([0], p),
    "add_external": lambda g, p: g.add_external(DESCRIPTOR, [0], p),
}


@pytest.mark.parametrize("method", PARAMS)
@pytest.mark.parametrize(
    "params, given",
    [([("a", 1)], "list"), ((("a", 1),), "tuple"), ("a=1", "str"), (5, "int")],
    ids=["pairs", "tuple", "str", "int"],
)
def test_params_that_are_not_a_dict(method, params, given):
    g = store()
    assert raised(lambda: PARAMS[method](g, params)) == (
        "params must be a dict or None",
        [f"expected a dict of str keys to int, float, bool or str values, or None; got {given}"],
    )
    assert g.node_count() == 2


@pytest.mark.parametrize(
    "descriptor, given",
    [(5, "int"), ("model", "str"), ([("kind", "k")], "list"), (None, "NoneType")],
    ids=["int", "str", "pairs", "none"],
)
def test_a_descriptor_of_another_type(descriptor, given):
    g = store()
    assert raised(lambda: g.add_external(descriptor, [0])) == (
        "descriptor must be a PayloadDescriptor or dict",
        [f"expected a vantrel_core.PayloadDescriptor or a dict of its fields, got {given}"],
    )
    assert g.node_count() == 2


@pytest.mark.parametrize("params, given", [(5, "int"), ("a=1", "str"), (2.5, "float")], ids=["int", "str", "float"])
def test_add_ops_params_of_another_type(params, given):
    g = store()
    assert raised(lambda: g.add_ops("f", [[0], [1]], params)) == (
        "params must be a dict, None, or a sequence of them",
        [f"expected a dict or None (for every node) or a sequence of them (one per node), got {given}"],
    )
    assert g.node_count() == 2


@pytest.mark.parametrize(
    "call",
    [lambda g: g.add_op("f", 5), lambda g: g.add_op(5, [0]), lambda g: g.add_source("s", {1: 2})],
    ids=["not-a-sequence", "name", "key"],
)
def test_messages_that_say_it_all_get_no_note(call):
    g = store()
    with pytest.raises(TypeError) as info:
        call(g)
    assert "object cannot be converted to" in str(info.value)
    assert not hasattr(info.value, "__notes__")
