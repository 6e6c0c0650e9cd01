"""Pickle, copy and deepcopy: a store comes back as a new store with the same ids, keys and
marked outputs in order (its canonical blob travels), a descriptor with its six fields; a
reducer refuses. Pickled data is trusted only as far as the blob reader trusts bytes."""

import copy
import multiprocessing
import operator
import pickle

import pytest
import vantrel_core
from hypothesis import given
from hypothesis import strategies as st
from vantrel_core import GraphStore, IncrementalReducer, PayloadDescriptor

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def rich_store():
    """Every node kind, parameters of every value kind, unusual floats and text, and marks."""
    s = GraphStore()
    x = s.add_source("x", {"i": -(2**63), "f": float("nan"), "z": -0.0, "b": True, "s": "é;|=%"})
    y = s.add_source("")
    a = s.add_op("add", [x, y])
    b = s.add_op("add", [y, x])
    e = s.add_exchange([a], {"scheme": "hash"})
    d = PayloadDescriptor(
        kind="model", content_hash="h", framework="f", version="1", io_schema="s", preprocessing_ref=""
    )
    ext = s.add_external(d, [e, b], {"k": 1})
    r = s.add_reduction("sum", [ext])
    s.mark_outputs([r, a, y])
    return s


def same_store(a, b):
    assert a is not b
    assert a.serialize() == b.serialize()
    assert a.outputs() == b.outputs()
    assert a.node_count() == b.node_count()
    assert repr(a.nodes()) == repr(b.nodes())  # NaN-safe comparison of the views


COPIERS = [
    pytest.param(lambda o, p=p: pickle.loads(pickle.dumps(o, protocol=p)), id=f"pickle-{p}") for p in PROTOCOLS
] + [pytest.param(copy.copy, id="copy"), pytest.param(copy.deepcopy, id="deepcopy")]


@pytest.mark.parametrize("clone", COPIERS)
def test_store_comes_back_equal(clone):
    s = rich_store()
    same_store(s, clone(s))


@pytest.mark.parametrize("clone", COPIERS)
def test_reduced_store_with_stages_comes_back_equal(clone):
    s = rich_store()
    reduced, _, ids = s.reduce_mapped(outputs=[6, 3, 6])
    back = clone(reduced)
    same_store(reduced, back)
    assert any(n["kind"] == "stage" for n in back.nodes())
    assert back.reduce_mapped(outputs=ids)[2] == reduced.reduce_mapped(outputs=ids)[2]


@pytest.mark.parametrize("clone", COPIERS)
def test_empty_store_and_copies_are_independent(clone):
    s = GraphStore()
    c = clone(s)
    c.add_source("only in the copy")
    assert s.node_count() == 0 and c.node_count() == 1


DESCRIPTOR_FIELDS = dict(kind="model", content_hash="h", framework="fw", version="1", io_schema="s")


@pytest.mark.parametrize("clone", COPIERS)
@pytest.mark.parametrize("ref", [None, "", "prep", "é\x00"])
def test_descriptor_comes_back_with_all_fields(clone, ref):
    d = PayloadDescriptor(**DESCRIPTOR_FIELDS, preprocessing_ref=ref)
    back = clone(d)
    assert back is not d and type(back) is PayloadDescriptor
    assert [getattr(back, f) for f in (*DESCRIPTOR_FIELDS, "preprocessing_ref")] == [
        getattr(d, f) for f in (*DESCRIPTOR_FIELDS, "preprocessing_ref")
    ]
    s = GraphStore()
    assert s.add_external(back, []) == s.add_external(d, [])  # the same node


def test_objects_inside_containers_keep_sharing():
    s, d = rich_store(), PayloadDescriptor(**DESCRIPTOR_FIELDS)
    first, second, desc, again = pickle.loads(pickle.dumps([s, s, d, d]))
    assert first is second and desc is again
    same_store(s, first)


@pytest.mark.parametrize("clone", COPIERS)
def test_reducer_is_not_picklable(clone):
    r = IncrementalReducer()
    with pytest.raises(TypeError, match="cannot pickle 'IncrementalReducer' object"):
        clone(r)


def test_reconstructors_are_module_functions_outside_all():
    for name in ("_store_from_blob", "_descriptor_from_fields"):
        fn = getattr(vantrel_core, name)
        assert fn.__module__ == "vantrel_core" and name not in vantrel_core.__all__
    for cls in (GraphStore, PayloadDescriptor, IncrementalReducer):
        assert cls.__module__ == "builtins"


def test_store_crosses_a_spawned_process_pool():
    s = rich_store()
    ctx = multiprocessing.get_context("spawn")
    with ctx.Pool(1) as pool:
        back = pool.apply(copy.copy, (s,))  # unpickled, copied and pickled again in the child
        blob = pool.apply(operator.methodcaller("serialize"), (s,))
        counts = pool.map(operator.methodcaller("node_count"), [s, GraphStore()])
    same_store(s, back)
    assert blob == s.serialize() and counts == [s.node_count(), 0]


# ---- untrusted pickles ----


class Forged:
    """Pickles as a call of `fn` with `args`, to hand the reconstructors data of our choosing."""

    def __init__(self, fn, *args):
        self.fn, self.args = fn, args

    def __reduce__(self):
        return self.fn, self.args


@pytest.mark.parametrize(
    "blob, message",
    [
        (b"", "truncated vantrel IR blob"),
        (b"VIR2" + bytes(8), "not a vantrel IR blob (bad magic/version)"),
        (b"VIR1\xff\xff\xff\xff", "truncated vantrel IR blob"),
        (b"VIR1\x01\x00\x00\x00\x09", "invalid node tag 9"),
    ],
)
def test_corrupted_store_payload_raises_the_blob_error(blob, message):
    data = pickle.dumps(Forged(vantrel_core._store_from_blob, blob))
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        pickle.loads(data)


@pytest.mark.parametrize("payload", ["VIR1", bytearray(b"VIR1"), None, 5])
def test_store_payload_of_another_type_is_a_type_error(payload):
    with pytest.raises(TypeError, match="argument 'data'"):
        pickle.loads(pickle.dumps(Forged(vantrel_core._store_from_blob, payload)))


@pytest.mark.parametrize(
    "fields, exc",
    [
        (("m", "h", "f", "1", "s", 3), TypeError),
        ((1, "h", "f", "1", "s", None), TypeError),
        (("m", "h", "f", "1", "s"), TypeError),
        (("m", "h", "f", "1", "s", None, "extra"), TypeError),
    ],
)
def test_corrupted_descriptor_payload_is_refused(fields, exc):
    with pytest.raises(exc):
        pickle.loads(pickle.dumps(Forged(vantrel_core._descriptor_from_fields, *fields)))


@given(st.data())
def test_flipped_bytes_give_a_store_or_the_blob_error(data):
    blob = bytearray(rich_store().serialize())
    for _ in range(data.draw(st.integers(1, 4))):
        blob[data.draw(st.integers(0, len(blob) - 1))] = data.draw(st.integers(0, 255))
    cut = data.draw(st.integers(0, len(blob)))
    try:
        back = pickle.loads(pickle.dumps(Forged(vantrel_core._store_from_blob, bytes(blob[:cut]))))
    except ValueError:
        return
    assert GraphStore.deserialize(back.serialize()).serialize() == back.serialize()
