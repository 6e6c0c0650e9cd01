"""GraphStore.node_table(): the facts of nodes() in columns. Rebuilding the node views from the
columns gives nodes() exactly, for built, reduced and decoded stores; an unparseable member is
refused as nodes() refuses it."""

import struct

import pytest
from vantrel_core import GraphStore, PayloadDescriptor

from vantrel import Registry, evaluate
from vantrel.runtime.kernels import member_args

KINDS = ("source", "op", "reduction", "external", "stage", "exchange")


def u32s(data):
    return list(memoryview(data).cast("I"))


def views_from_table(table):
    """The node views that `nodes()` gives, rebuilt from the columns."""
    kinds, names, params, inputs, outputs, externals, stages, member_ops = table
    views = []
    for i, code in enumerate(kinds):
        view = {
            "id": i,
            "output": i in outputs,
            "inputs": inputs[i],
            "kind": KINDS[code],
            "name": names[i],
            "params": params[i],
        }
        if i in externals:
            view["descriptor"] = externals[i]
        if i in stages:
            ops, members, arg_counts, args = stages[i]
            n_inputs = len(inputs[i])
            view["n_members"] = len(u32s(members))
            view["members"] = [
                {
                    "kind": member_ops[ops[p]][0],
                    "name": member_ops[ops[p]][1],
                    "params": member_ops[ops[p]][2],
                    "inputs": [("input", k) if k < n_inputs else ("member", k - n_inputs) for k in slots],
                }
                for p, slots in zip(u32s(members), member_args(arg_counts, args))
            ]
        views.append(view)
    return views


def every_kind():
    g = GraphStore()
    x = g.add_source("col", {"seed": 1})
    y = g.add_source("col", {"seed": 2})
    a = g.add_op("add", [x, y])
    b = g.add_op("mul", [a, a], {"scalar": 2.0, "side": "l"})
    c = g.add_op("tanh", [b])
    d = g.add_op("neg", [c])
    moved = g.add_exchange([d], {"scheme": "hash", "partitions": 3})
    desc = PayloadDescriptor(
        kind="model", content_hash="h", framework="fw", version="1", io_schema="s", preprocessing_ref="p"
    )
    e = g.add_external(desc, [moved], {"k": True})
    f = g.add_op("add", [g.add_op("tanh", [e]), x])
    return g, [g.add_reduction("sum", [f], {"axis": 0}), d]


def stores():
    g, outs = every_kind()
    reduced, _, _ = g.reduce_mapped(outputs=outs)
    maximal, _, _ = g.reduce_mapped(outputs=outs, maximal_fusion=True)
    return {
        "built": g,
        "reduced": reduced,
        "maximal": maximal,
        "decoded": GraphStore.deserialize(reduced.serialize()),
        "empty": GraphStore(),
    }


@pytest.mark.parametrize("name", ["built", "reduced", "maximal", "decoded", "empty"])
def test_the_columns_hold_what_nodes_holds(name):
    store = stores()[name]
    table = store.node_table()
    assert views_from_table(table) == store.nodes()
    assert table[4] == store.outputs()


def test_stage_columns_share_the_member_operations():
    g = GraphStore()
    x = g.add_source("x")
    t = g.add_op("tanh", [x])
    n = g.add_op("neg", [t])
    t2 = g.add_op("tanh", [n])
    out = g.add_op("add", [t2, x])
    reduced, _ = g.reduce(outputs=[out])
    kinds, names, params, inputs, outputs, externals, stages, member_ops = reduced.node_table()
    assert list(kinds) == [0, 4] and names == ["x", ""] and params == [{}, {}] and inputs == [[], [0]]
    assert member_ops == [("op", "tanh", {}), ("op", "neg", {}), ("op", "add", {})]
    ops, members, arg_counts, args = stages[1]
    # tanh(x), neg(m0), tanh(m1), add(m2, x): the two tanh share one operation.
    assert ops == (0, 1, 2) and u32s(members) == [0, 1, 0, 2] and u32s(arg_counts) == [1, 1, 1, 2]
    assert u32s(args) == [0, 1, 2, 3, 0]


# Hand-written blobs: stages that fusion does not make.
def text(s):
    data = s.encode()
    return struct.pack("<I", len(data)) + data


def stage_blob(members):
    """A source and a stage of ``members`` ``(token, refs)`` over it, the stage marked."""
    head = b"VIR1" + struct.pack("<I", 2) + b"\x00" + text("x") + struct.pack("<I", 0)
    body = b"".join(
        text(token) + struct.pack("<I", len(refs)) + b"".join(struct.pack("<BI", k, i) for k, i in refs)
        for token, refs in members
    )
    stage = b"\x04" + struct.pack("<I", 1) + struct.pack("<Q", 0) + struct.pack("<I", len(members)) + body
    return head + stage + struct.pack("<I", 1) + struct.pack("<Q", 1)


@pytest.mark.parametrize(
    "members, expected",
    [
        ([("op|add", [(0, 0), (0, 0)])], [[[2.0, 4.0], [6.0]]]),
        # A member without arguments has one partition, broadcast to the member that reads it.
        ([("op|one", []), ("op|add", [(0, 0), (1, 0)])], [[[2.0, 3.0], [4.0]]]),
        ([("op|one", [])], [[[1.0]]]),
        (
            [("op|add", [(0, 0), (0, 0)]), ("op|add", [(1, 0), (0, 0)]), ("op|add", [(1, 1), (1, 0)])],
            [[[5.0, 10.0], [15.0]]],
        ),
    ],
)
def test_hand_written_stages_run_with_their_members_partition_counts(members, expected):
    store = GraphStore.deserialize(stage_blob(members))
    reg = Registry()
    reg.source("x", [[1.0, 2.0], [3.0]])
    reg.op("add", lambda a, b: [u + v for u, v in zip(a, b)] if len(b) > 1 or len(a) == 1 else [u + b[0] for u in a])
    reg.op("one", lambda: [1.0])
    assert evaluate(store, reg) == expected


def test_an_unparseable_member_is_refused_as_nodes_refuses_it():
    store = GraphStore.deserialize(stage_blob([("zzz", [(0, 0)])]))
    with pytest.raises(ValueError) as by_nodes:
        store.nodes()
    with pytest.raises(ValueError) as by_table:
        store.node_table()
    assert str(by_table.value) == str(by_nodes.value) == 'unparseable stage member token "zzz"'


def test_a_reduction_member_is_listed_with_its_kind():
    store = GraphStore.deserialize(stage_blob([("red|sum|axis=i0", [(0, 0)])]))
    assert store.node_table()[7] == [("red", "sum", {"axis": 0})]
