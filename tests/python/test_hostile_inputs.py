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
