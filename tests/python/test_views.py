"""Read-only views: nodes(), outputs() and node_count() for every kind a Python caller can
build, their key order, independence from the store, and reading while others build."""

import threading

import pytest
from hypothesis import given
from hypothesis import strategies as st
from vantrel_core import GraphStore, PayloadDescriptor

DESC = dict(kind="model", content_hash="h", framework="fw", version="1", io_schema="s")
COMMON_KEYS = ["id", "output", "inputs", "kind", "name", "params"]


def test_empty_store(store):
    assert store.nodes() == []
    assert store.outputs() == []
    assert store.node_count() == 0


def test_every_buildable_kind(store):
    src = store.add_source("x", {"b": 1, "a": "s"})
    op = store.add_op("a|b;c=%", [src, src], {"scalar": 0.0, "side": "r"})
    red = store.add_reduction("sum", [op], {"axis": 0, "keep": True})
    exch = store.add_exchange([red], {"scheme": "hash"})
    ext = store.add_external(PayloadDescriptor(**DESC, preprocessing_ref="pre"), [exch, src], {"w": 2.5})
    ext_none = store.add_external(DESC, [])
    nodes = store.nodes()
    assert [list(n) for n in nodes] == [
        COMMON_KEYS,
        COMMON_KEYS,
        COMMON_KEYS,
        COMMON_KEYS,
        COMMON_KEYS + ["descriptor"],
        COMMON_KEYS + ["descriptor"],
    ]
    assert nodes[src] == dict(id=0, output=False, inputs=[], kind="source", name="x", params={"a": "s", "b": 1})
    assert list(nodes[src]["params"]) == ["a", "b"]
    assert nodes[op] == dict(
        id=1, output=False, inputs=[0, 0], kind="op", name="a|b;c=%", params={"scalar": 0.0, "side": "r"}
    )
    assert nodes[red] == dict(
        id=2, output=False, inputs=[1], kind="reduction", name="sum", params={"axis": 0, "keep": True}
    )
    assert type(nodes[red]["params"]["keep"]) is bool and type(nodes[red]["params"]["axis"]) is int
    assert nodes[exch] == dict(id=3, output=False, inputs=[2], kind="exchange", name="", params={"scheme": "hash"})
    assert nodes[ext] == dict(
        id=4,
        output=False,
        inputs=[3, 0],
        kind="external",
        name="",
        params={"w": 2.5},
        descriptor=dict(DESC, preprocessing_ref="pre"),
    )
    assert list(nodes[ext]["descriptor"]) == [
        "kind",
        "content_hash",
        "framework",
        "version",
        "io_schema",
        "preprocessing_ref",
    ]
    assert nodes[ext_none]["descriptor"]["preprocessing_ref"] is None
    # No marks can be made by building; outputs stay empty.
    assert store.outputs() == []
    assert store.node_count() == 6


def test_views_are_fresh_copies(store):
    store.add_source("x", {"k": 1})
    store.add_op("f", [0])
    first = store.nodes()
    first[0]["params"]["k"] = 99
    first[1]["inputs"].append(7)
    first.append("junk")
    assert store.nodes() == [
        dict(id=0, output=False, inputs=[], kind="source", name="x", params={"k": 1}),
        dict(id=1, output=False, inputs=[0], kind="op", name="f", params={}),
    ]
    outs = store.outputs()
    outs.append(1)
    assert store.outputs() == []
    assert store.outputs() is not store.outputs()


@pytest.mark.parametrize("method", ["nodes", "outputs", "node_count"])
def test_views_take_no_arguments(store, method):
    with pytest.raises(TypeError):
        getattr(store, method)(1)
    with pytest.raises(TypeError):
        getattr(store, method)(x=1)


names = st.text(max_size=10).filter(lambda s: not any(0xD800 <= ord(c) <= 0xDFFF for c in s))


@given(
    st.lists(
        st.tuples(
            st.sampled_from(["source", "op", "reduction", "exchange"]),
            names,
            st.lists(st.integers(min_value=0, max_value=50), max_size=4),
        ),
        max_size=30,
    )
)
def test_views_match_what_was_built(plan):
    g = GraphStore()
    expected = {}
    for kind, name, raw_inputs in plan:
        n = g.node_count()
        inputs = [i % n for i in raw_inputs] if n else []
        if kind == "source":
            i = g.add_source(name)
            want = dict(inputs=[], kind="source", name=name)
        elif kind == "exchange":
            i = g.add_exchange(inputs)
            want = dict(inputs=inputs, kind="exchange", name="")
        else:
            i = getattr(g, "add_" + kind)(name, inputs)
            want = dict(inputs=inputs, kind=kind, name=name)
        assert expected.setdefault(i, want) == want  # a repeat returns the first node
    nodes = g.nodes()
    assert g.node_count() == len(nodes) == len(expected)
    for i, node in enumerate(nodes):
        assert node == dict(id=i, output=False, params={}, **expected[i])


def test_reading_while_others_build():
    g = GraphStore()
    g.add_source("root")
    stop = threading.Event()
    problems = []

    def build(t):
        prev = 0
        for i in range(400):
            prev = g.add_op(f"w{t}", [prev], {"i": i})

    def read():
        while not stop.is_set():
            nodes = g.nodes()
            count = g.node_count()
            if count < len(nodes):
                problems.append(("count went back", count, len(nodes)))
            for i, node in enumerate(nodes):
                if node["id"] != i or any(j >= i for j in node["inputs"]):
                    problems.append(node)

    readers = [threading.Thread(target=read) for _ in range(2)]
    builders = [threading.Thread(target=build, args=(t,)) for t in range(3)]
    for th in readers + builders:
        th.start()
    for th in builders:
        th.join()
    stop.set()
    for th in readers:
        th.join()
    assert not problems
    assert g.node_count() == 1 + 3 * 400


def _stages_with_recurring_members():
    """A reduced graph whose stages repeat the same member tokens (one chain per source)."""
    g = GraphStore()
    ends = []
    for s in range(3):
        x = g.add_source("col", {"seed": s})
        y = g.add_op("scale", [x], {"by": 2.0})
        ends.append(g.add_op("shift", [y], {"by": 1, "mode": "fast"}))
    return g.reduce(outputs=ends)[0]


def test_recurring_stage_members_are_separate_objects():
    reduced = _stages_with_recurring_members()
    stages = [n for n in reduced.nodes() if n["kind"] == "stage"]
    assert len(stages) == 3
    assert all(s["members"] == stages[0]["members"] for s in stages)
    assert stages[0]["members"][1] == dict(
        kind="op", name="shift", params={"by": 1, "mode": "fast"}, inputs=[("member", 0)]
    )
    # Mutating one member's dicts or lists changes neither its twins nor a later view.
    stages[0]["members"][1]["params"]["by"] = 99
    stages[0]["members"][1]["inputs"].append(("input", 5))
    assert stages[1]["members"][1]["params"] == {"by": 1, "mode": "fast"}
    assert stages[1]["members"][1]["inputs"] == [("member", 0)]
    again = reduced.nodes()
    assert again[stages[0]["id"]]["members"] == stages[1]["members"]


@pytest.mark.parametrize("collector_on", [True, False])
def test_building_views_leaves_the_cycle_collector_as_it_was(collector_on):
    import gc

    reduced = _stages_with_recurring_members()
    was = gc.isenabled()
    try:
        gc.enable() if collector_on else gc.disable()
        reduced.nodes()
        assert gc.isenabled() is collector_on
    finally:
        gc.enable() if was else gc.disable()
