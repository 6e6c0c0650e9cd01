"""Ids past the 32-bit range the store numbers its nodes in: every method that takes ids
refuses the first id that is not a node, and names it exactly as it was given, whether it
is just past the node count, just past 2**32, or anywhere up to 2**64 - 1."""

import pytest
from hypothesis import given
from hypothesis import strategies as st
from vantrel_core import GraphStore, IncrementalReducer

NODES = 3  # a source, an op and an exchange
EDGE = [2**32 - 2, 2**32 - 1, 2**32, 2**32 + 1, 2**33 + 2, 2**40, 2**63, 2**64 - 1]


class Index:
    """Not an int, but usable as one: takes the general conversion."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def store():
    s = GraphStore()
    a = s.add_source("a")
    s.add_exchange([s.add_op("f", [a])])
    return s


DESC = {"kind": "model", "content_hash": "h", "framework": "fw", "version": "1", "io_schema": "s"}

# Adds the nodes before the refused one, which can make a later id valid.
PARTIAL = {"add_ops, one node per id"}
CALLS = {
    "add_op": lambda s, ids: s.add_op("g", ids),
    "add_reduction": lambda s, ids: s.add_reduction("g", ids),
    "add_exchange": lambda s, ids: s.add_exchange(ids),
    "add_external": lambda s, ids: s.add_external(DESC, ids),
    # The first node exists already ("f" of node 0), so the node count stays put.
    "add_ops": lambda s, ids: s.add_ops("f", [[0], ids]),
    "add_ops, one node per id": lambda s, ids: s.add_ops("g", [[i] for i in ids]),
    "add_ops, a tuple": lambda s, ids: s.add_ops("g", [tuple(ids)]),
    "add_op, __index__ items": lambda s, ids: s.add_op("g", [Index(i) for i in ids]),
    "add_ops, __index__ items": lambda s, ids: s.add_ops("f", [[0], [Index(i) for i in ids]]),
    "mark_outputs": lambda s, ids: s.mark_outputs(ids),
    "serialize": lambda s, ids: s.serialize(outputs=ids),
    "reduce": lambda s, ids: s.reduce(outputs=ids),
    "reduction_report": lambda s, ids: s.reduction_report(outputs=ids),
    "reduce_incremental": lambda s, ids: s.reduce_incremental(outputs=ids),
    "reduce_mapped": lambda s, ids: s.reduce_mapped(outputs=ids),
    "finalize": lambda s, ids: IncrementalReducer().finalize(s, outputs=ids),
    "finalize_mapped": lambda s, ids: IncrementalReducer().finalize_mapped(s, outputs=ids),
}


def first_bad(ids):
    return next(i for i in ids if i >= NODES)


@pytest.mark.parametrize("name", sorted(CALLS))
@pytest.mark.parametrize(
    "ids",
    [[wide] for wide in EDGE]
    + [[0, wide, 1] for wide in EDGE]
    + [[0, 2**32, 5], [0, 5, 2**32], [2**40, 2**64 - 1], [2**64 - 1, 2**40], [2**32 + 1, 1], [1, 2**32 + 3]],
    ids=repr,
)
def test_the_first_bad_id_is_named_as_given(name, ids):
    s = store()
    before = s.serialize()
    with pytest.raises(ValueError) as info:
        CALLS[name](s, ids)
    assert str(info.value) == f"no node with id {first_bad(ids)}"
    if name not in PARTIAL:
        assert s.serialize() == before


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_an_id_past_64_bits_still_overflows(call):
    with pytest.raises(OverflowError):
        call(store(), [0, 2**64])


@given(
    st.lists(st.integers(0, 4) | st.sampled_from(EDGE) | st.integers(0, 2**64 - 1), min_size=1, max_size=6),
    st.sampled_from(sorted(set(CALLS) - PARTIAL)),
)
def test_any_list_with_a_bad_id_names_its_first_bad_id(ids, name):
    s = store()
    if all(i < NODES for i in ids):
        CALLS[name](s, ids)
        return
    with pytest.raises(ValueError) as info:
        CALLS[name](s, ids)
    assert str(info.value) == f"no node with id {first_bad(ids)}"


def test_one_call_keeps_the_wide_ids_of_another_apart():
    s = store()
    with pytest.raises(ValueError, match=f"^no node with id {2**40}$"):
        s.add_op("g", [2**40])
    with pytest.raises(ValueError, match="^no node with id 7$"):
        s.add_op("g", [7, 2**41])
    with pytest.raises(ValueError, match=f"^no node with id {2**41}$"):
        s.add_op("g", [2**41, 7])
