"""Inputs no caller should send: memoryviews that cannot be walked and sizes no store can
hold. Each is an ordinary error naming its argument, never an internal fault, and the store
stays as it was."""

import array

import pytest
import vantrel_core as vc

np = pytest.importorskip("numpy")


def released(shape):
    view = memoryview(bytes(4)).cast("B", shape)
    view.release()
    return view


ODD_VIEWS = {
    "float-2d": lambda: memoryview(array.array("d", [0.0] * 4)).cast("B").cast("d", (2, 2)),
    "bool-2d": lambda: memoryview(bytes(4)).cast("?", (2, 2)),
    "char-2d": lambda: memoryview(bytes(4)).cast("c", (2, 2)),
    "pointer-2d": lambda: memoryview(bytes(16)).cast("P", (2, 1)),
    "bytes-3d": lambda: memoryview(bytes(8)).cast("B", (2, 2, 2)),
}

CALLS = {
    "add_ops": (lambda g, v: g.add_ops("f", v), "inputs"),
    "add_ops-row": (lambda g, v: g.add_ops("f", [v]), "inputs"),
    "add_ops-params": (lambda g, v: g.add_ops("f", [[0], [0]], v), "params"),
    "add_op": (lambda g, v: g.add_op("f", v), "inputs"),
    "mark_outputs": (lambda g, v: g.mark_outputs(v), "ids"),
    "reduce": (lambda g, v: g.reduce(outputs=v), "outputs"),
}


def source_store():
    g = vc.GraphStore()
    g.add_source("a")
    return g


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
@pytest.mark.parametrize("make", ODD_VIEWS.values(), ids=ODD_VIEWS.keys())
def test_unwalkable_memoryview_is_a_type_error(make, call):
    g = source_store()
    fn, argname = call
    with pytest.raises(TypeError, match=f"^argument '{argname}': cannot read a [23]-dimensional memoryview"):
        fn(g, make())
    assert g.node_count() == 1 and g.outputs() == []


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
@pytest.mark.parametrize("shape", [(4,), (2, 2)], ids=["1d", "2d"])
def test_released_memoryview_is_a_value_error(shape, call):
    g = source_store()
    fn, argname = call
    with pytest.raises(ValueError, match=f"^argument '{argname}': .*released memoryview"):
        fn(g, released(shape))
    assert g.node_count() == 1


def test_integer_views_still_read():
    g = source_store()
    assert g.add_op("f", memoryview(bytes(1))) == 1
    assert g.add_ops("f", memoryview(bytes(2)).cast("B", (2, 1))) == [1, 1]


# One element seen as 2**40 of them: no memory can hold their ids, and reading them one by one
# would take hours. Each method refuses at once.
def huge():
    return np.broadcast_to(np.int64(0), (2**40,))


DESC = dict(kind="k", content_hash="h", framework="f", version="1", io_schema="s")
SIZED = {
    "add_op": lambda g, r: g.add_op("f", huge()),
    "add_reduction": lambda g, r: g.add_reduction("s", huge()),
    "add_exchange": lambda g, r: g.add_exchange(huge()),
    "add_external": lambda g, r: g.add_external(vc.PayloadDescriptor(**DESC), huge()),
    "add_ops-row": lambda g, r: g.add_ops("f", [huge()]),
    "add_ops-params": lambda g, r: g.add_ops("f", [[0]], huge()),
    "mark_outputs": lambda g, r: g.mark_outputs(huge()),
    "serialize": lambda g, r: g.serialize(outputs=huge()),
    "reduce": lambda g, r: g.reduce(outputs=huge()),
    "reduce_mapped": lambda g, r: g.reduce_mapped(outputs=huge()),
    "reduction_report": lambda g, r: g.reduction_report(outputs=huge()),
    "reduce_incremental": lambda g, r: g.reduce_incremental(outputs=huge()),
    "finalize": lambda g, r: r.finalize(g, outputs=huge()),
    "finalize_mapped": lambda g, r: r.finalize_mapped(g, outputs=huge()),
    "add_ops-wide": lambda g, r: g.add_ops("f", np.broadcast_to(np.int8(0), (2**31, 2**31))),
}


@pytest.mark.parametrize("call", SIZED.values(), ids=SIZED.keys())
def test_impossible_size_is_a_memory_error(call):
    g, r = source_store(), vc.IncrementalReducer()
    with pytest.raises(MemoryError):
        call(g, r)
    assert g.node_count() == 1 and g.serialize() == source_store().serialize()
    assert r.step(g) == 1


@pytest.mark.parametrize("rows", [2**32, 2**40])
def test_more_rows_than_ids_is_a_value_error(rows):
    g = source_store()
    with pytest.raises(ValueError, match=f"^argument 'inputs': {rows} rows are more nodes than a store can hold"):
        g.add_ops("f", np.empty((rows, 0), "i8"))
    with pytest.raises(ValueError, match=f"^argument 'inputs': {rows} rows"):
        g.add_ops("f", np.broadcast_to(np.int64(0), (rows, 1)))
    assert g.node_count() == 1
    assert g.add_ops("f", np.empty((3, 0), "i8")) == [1, 1, 1]
