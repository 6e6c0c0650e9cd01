"""add_ops given its inputs as a two-dimensional array of ints (a NumPy array, a cast
memoryview): the same ids, nodes, errors and notes as the same inputs given as lists."""

import array
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st
from vantrel_core import GraphStore

N_SOURCES = 3
# Signed and unsigned widths of 1 to 8 bytes, as buffers export them.
TYPECODES = ["b", "B", "h", "H", "i", "I", "l", "L", "q", "Q"]


def sources():
    g = GraphStore()
    for i in range(N_SOURCES):
        g.add_source(f"s{i}")
    return g


def id_array(rows, width, code="q"):
    flat = array.array(code, [x for row in rows for x in row])
    return memoryview(flat).cast("B").cast(code, [len(rows), width])


def outcome(fn):
    try:
        return fn()
    except Exception as e:
        return type(e), str(e), getattr(e, "__notes__", None)


@st.composite
def rectangles(draw):
    """Rows of one width whose ids mostly name nodes (earlier ones of the batch included), now
    and then one past them or a negative one, with shared or per-node params."""
    width = draw(st.integers(1, 3))
    count = draw(st.integers(1, 12))
    code = draw(st.sampled_from(TYPECODES))
    lowest = -3 if code.islower() else 0
    rows = []
    for i in range(count):
        upper = N_SOURCES + i - 1 + draw(st.sampled_from([0, 0, 0, 5]))
        rows.append(draw(st.lists(st.integers(lowest, upper), min_size=width, max_size=width)))
    params = draw(st.one_of(st.none(), st.just({"k": 1}), st.just([{"k": i % 2} for i in range(count)])))
    return rows, width, code, params


@given(rectangles(), st.booleans())
def test_an_array_builds_what_its_rows_as_lists_build(case, twice):
    rows, width, code, params = case
    by_array, by_list = sources(), sources()
    if twice:  # the second call finds every node present
        outcome(lambda: by_array.add_ops("op", id_array(rows, width, code), params))
        outcome(lambda: by_list.add_ops("op", rows, params))
    got = outcome(lambda: by_array.add_ops("op", id_array(rows, width, code), params))
    assert got == outcome(lambda: by_list.add_ops("op", rows, params))
    assert by_array.serialize() == by_list.serialize()


def test_a_negative_id_refuses_its_row_with_the_error_of_a_list():
    g = sources()
    with pytest.raises(OverflowError) as info:
        g.add_ops("op", id_array([[0, 1], [1, 2], [2, -1], [0, 0]], 2))
    if sys.version_info >= (3, 11):
        assert "add_ops: node 2 refused; the 2 nodes before it were added" in info.value.__notes__
    assert g.node_count() == N_SOURCES + 2


np = pytest.importorskip("numpy")


@pytest.mark.parametrize("dtype", ["int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64"])
@pytest.mark.parametrize(
    "layout",
    ["c order", "fortran order", "every other column", "reversed rows", "broadcast row", "big-endian"],
)
def test_numpy_layouts_and_dtypes_agree_with_lists(dtype, layout):
    base = np.array([[0, 1], [1, 2], [2, 0], [1, 2], [0, 0]], dtype=dtype)
    if layout == "fortran order":
        arr = np.asfortranarray(base)
    elif layout == "every other column":
        arr = np.repeat(base, 2, axis=1)[:, ::2]
    elif layout == "reversed rows":
        arr = base[::-1]
    elif layout == "broadcast row":
        arr = np.broadcast_to(base[1], (4, 2))
    elif layout == "big-endian":
        arr = base.astype(np.dtype(dtype).newbyteorder(">"))  # read row by row, as before
    else:
        arr = base
    a, b = sources(), sources()
    assert a.add_ops("op", arr) == b.add_ops("op", arr.tolist())
    assert a.serialize() == b.serialize()


def test_ids_too_wide_for_any_node_are_named_as_given():
    a, b = sources(), sources()
    rows = [[0, 1], [1, 2**63 + 5]]
    want = outcome(lambda: b.add_ops("op", rows))
    assert outcome(lambda: a.add_ops("op", np.array(rows, dtype=np.uint64))) == want
    assert want[:2] == (ValueError, f"no node with id {2**63 + 5}")


@pytest.mark.parametrize(
    "arr",
    [
        np.zeros((0, 2), dtype=np.int64),
        np.zeros((3, 0), dtype=np.int64),
        np.array([[0.0, 1.0]]),
        np.array([[True, False]]),
        np.array([0, 1]),
        np.zeros((2, 2, 2), dtype=np.int64),
    ],
    ids=["no rows", "no inputs", "floats", "bools", "one dimension", "three dimensions"],
)
def test_arrays_that_are_not_rows_of_ids_behave_as_their_rows_do(arr):
    """Empty arrays give what empty lists give; arrays of other kinds or shapes are read as
    sequences of rows, as they always were, and raise what those rows raise."""
    a, b = sources(), sources()
    assert outcome(lambda: a.add_ops("op", arr)) == outcome(lambda: b.add_ops("op", list(arr)))
    assert a.serialize() == b.serialize()


def test_an_array_changed_during_the_call_is_read_as_it_was():
    arr = np.array([[0, 1]] * 300 + [[1, 2]] * 5, dtype=np.int64)

    class Sneaky:
        def __index__(self):
            arr[:] = 2
            return 1

    params = [{"k": 0}] * 300 + [{"k": Sneaky()}] + [{"k": 0}] * 4
    want = sources().add_ops("op", arr.copy().tolist(), [{"k": 0}] * 300 + [{"k": 1}] + [{"k": 0}] * 4)
    assert sources().add_ops("op", arr, params) == want
