"""IncrementalReducer: steps and counters, split independence, finalize, sharing between
threads, and every argument error."""

import threading

import pytest
from hypothesis import given
from hypothesis import strategies as st
from vantrel_core import GraphStore, IncrementalReducer, PayloadDescriptor

ZERO_R = {"scalar": 0.0, "side": "r"}


def counters(r):
    return r.watermark(), r.total_work(), r.canonical_count()


def test_worked_example():
    s = GraphStore()
    r = IncrementalReducer()
    assert counters(r) == (0, 0, 0)
    x = s.add_source("x")
    s.add_op("add", [x], ZERO_R)
    y = s.add_source("y")
    assert r.step(s) == 3
    assert counters(r) == (3, 3, 2)
    s.add_op("add", [1, y])
    s.add_op("add", [y, x])
    assert r.step(s) == 2
    assert counters(r) == (5, 5, 3)
    assert r.step(s) == 0


def test_finalize_consumes_and_reduces_like_reduce():
    s = GraphStore()
    a, b = s.add_source("a"), s.add_source("b")
    out = s.add_op("add", [s.add_op("exp", [a]), b])
    r = IncrementalReducer()
    reduced, report = r.finalize(s, outputs=[out])
    assert r.watermark() == 4
    expected, expected_report = s.reduce(outputs=[out])
    assert reduced.nodes() == expected.nodes()
    assert report == expected_report  # no identities or duplicates: the canonical count is the node count
    # Repeatable, and steps may follow.
    assert r.finalize(s, outputs=[out])[1] == report
    assert r.finalize(s, outputs=[out])[0].nodes() == reduced.nodes()
    s.add_op("neg", [out])
    assert r.step(s) == 1


def test_finalize_without_outputs_uses_marks_and_empty_outputs_give_empty_store():
    s = GraphStore()
    a = s.add_source("a")
    s.add_op("add", [a], ZERO_R)
    r = IncrementalReducer()
    reduced, report = r.finalize(s)  # a fresh store has no marks
    assert reduced.node_count() == 0
    assert report == {
        "input_nodes": 1,
        "reachable_nodes": 0,
        "canonical_nodes": 0,
        "stages": 0,
        "reduced_nodes": 0,
        "boundary_nodes": 0,
    }
    _, report = r.finalize(s, outputs=[])
    assert report["input_nodes"] == 1  # the canonical count, not the store's


def test_finalize_maximal_fusion():
    s = GraphStore()
    e = s.add_op("exp", [s.add_source("a")])
    out = s.add_op("add", [s.add_op("neg", [e]), s.add_op("log", [e])])
    r = IncrementalReducer()
    assert r.finalize(s, outputs=[out])[1]["stages"] == 2
    assert r.finalize(s, outputs=[out], maximal_fusion=True)[1]["stages"] == 1


@st.composite
def graphs(draw):
    s = GraphStore()
    s.add_source("s0")
    for _ in range(draw(st.integers(0, 60))):
        n = s.node_count()
        pick = st.integers(0, n - 1)
        kind = draw(st.sampled_from(["src", "un", "bin", "ident", "param", "red"]))
        if kind == "src":
            s.add_source(draw(st.sampled_from(["s0", "s1", "s2"])))
        elif kind == "un":
            s.add_op(draw(st.sampled_from(["exp", "neg"])), [draw(pick)])
        elif kind == "bin":
            s.add_op(draw(st.sampled_from(["add", "mul", "sub", "maximum"])), [draw(pick), draw(pick)])
        elif kind == "ident":
            s.add_op(
                draw(st.sampled_from(["add", "mul"])),
                [draw(pick)],
                {"scalar": draw(st.sampled_from([0.0, 1.0])), "side": draw(st.sampled_from(["l", "r"]))},
            )
        elif kind == "param":
            s.add_op("add", [draw(pick), draw(pick)], {"alpha": 2})
        else:
            s.add_reduction("sum", [draw(pick)])
    return s


@given(graphs(), st.data())
def test_any_split_matches_one_step(store, data):
    n = store.node_count()
    outputs = data.draw(st.lists(st.integers(0, n - 1), max_size=4))
    cuts = sorted(data.draw(st.lists(st.integers(1, n), max_size=6)))

    whole = IncrementalReducer()
    assert whole.step(store) == n
    expected = whole.finalize(store, outputs=outputs)

    # Replay the same nodes into a second store in pieces, stepping after each piece.
    replay = GraphStore()
    nodes = store.nodes()
    split = IncrementalReducer()
    done = 0
    for cut in cuts + [n]:
        for node in nodes[done:cut]:
            add_like(replay, node)
        done = max(done, cut)
        split.step(replay)
    assert counters(split) == counters(whole) == (n, n, whole.canonical_count())
    got = split.finalize(replay, outputs=outputs)
    assert got[1] == expected[1]
    assert got[0].serialize() == expected[0].serialize()


@given(graphs(), st.data())
def test_finalize_against_reduce(store, data):
    """What finalize shares with reduce: the four counts after folding always, and the whole
    reduced store when the outputs reach every node (no unreached node arrived first)."""
    n = store.node_count()
    outputs = data.draw(st.lists(st.integers(0, n - 1), max_size=4))
    reduced, report = IncrementalReducer().finalize(store, outputs=outputs)
    expected, expected_report = store.reduce(outputs=outputs)
    assert report["input_nodes"] == IncrementalReducer().finalize(store, outputs=[])[1]["input_nodes"]
    for key in ("canonical_nodes", "stages", "reduced_nodes", "boundary_nodes"):
        assert report[key] == expected_report[key], key
    assert report["reachable_nodes"] <= expected_report["reachable_nodes"]
    everything = list(range(n))
    assert (
        IncrementalReducer().finalize(store, outputs=everything)[0].serialize()
        == store.reduce(outputs=everything)[0].serialize()
    )


def test_finalize_keeps_the_first_arrival_of_a_mirrored_pair():
    s = GraphStore()
    a, b = s.add_source("a"), s.add_source("b")
    s.add_op("maximum", [b, a])  # never an output, but it arrived first
    mirror = s.add_op("maximum", [a, b])
    reduced, report = IncrementalReducer().finalize(s, outputs=[mirror])
    expected, expected_report = s.reduce(outputs=[mirror])
    assert [n["inputs"] for n in reduced.nodes()][-1] == [1, 0]
    assert [n["inputs"] for n in expected.nodes()][-1] == [0, 1]
    assert (report["reachable_nodes"], expected_report["reachable_nodes"]) == (3, 3)


def add_like(store, node):
    kind, params = node["kind"], node["params"]
    if kind == "source":
        store.add_source(node["name"], params)
    elif kind == "op":
        store.add_op(node["name"], node["inputs"], params)
    else:
        store.add_reduction(node["name"], node["inputs"], params)


def test_concurrent_steps_while_a_thread_adds_nodes():
    s = GraphStore()
    x = s.add_source("x")
    r = IncrementalReducer()
    total = 3000
    consumed = []
    lock = threading.Lock()
    done = threading.Event()

    def writer():
        last = x
        for i in range(total):
            last = s.add_op("add", [last], ZERO_R) if i % 3 == 0 else s.add_op("exp" if i % 2 else "neg", [last, x])
        done.set()

    def stepper():
        while not done.is_set():
            got = r.step(s)
            with lock:
                consumed.append(got)
        got = r.step(s)
        with lock:
            consumed.append(got)

    threads = [threading.Thread(target=writer)] + [threading.Thread(target=stepper) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sum(consumed) == s.node_count() == r.watermark() == r.total_work()
    one = IncrementalReducer()
    one.step(s)
    assert r.canonical_count() == one.canonical_count()
    assert (
        r.finalize(s, outputs=[s.node_count() - 1])[0].serialize()
        == one.finalize(s, outputs=[s.node_count() - 1])[0].serialize()
    )


# ---- argument errors: nothing is consumed ----


@pytest.mark.parametrize(
    "bad", [3, None, "store", PayloadDescriptor(kind="k", content_hash="h", framework="f", version="1", io_schema="s")]
)
def test_store_must_be_a_graph_store(bad):
    r = IncrementalReducer()
    with pytest.raises(TypeError, match="argument 'store'"):
        r.step(bad)
    with pytest.raises(TypeError, match="argument 'store'"):
        r.finalize(bad)


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"outputs": "0"}, TypeError, "argument 'outputs': Can't extract `str` to `Vec`"),
        ({"outputs": 1}, TypeError, "argument 'outputs'"),
        ({"outputs": [2]}, ValueError, "no node with id 2"),
        ({"outputs": [0, 7, 9]}, ValueError, "no node with id 7"),
        ({"outputs": [-1]}, OverflowError, None),
        ({"maximal_fusion": 1}, TypeError, "argument 'maximal_fusion'"),
    ],
)
def test_bad_finalize_arguments_consume_nothing(kwargs, exc, message):
    s = GraphStore()
    s.add_op("exp", [s.add_source("a")])
    r = IncrementalReducer()
    with pytest.raises(exc) as info:
        r.finalize(s, **kwargs)
    if message:
        assert str(info.value).startswith(message)
    assert counters(r) == (0, 0, 0)


@pytest.mark.parametrize(
    "call",
    [
        lambda r, s: IncrementalReducer(1),
        lambda r, s: IncrementalReducer(x=1),
        lambda r, s: r.step(),
        lambda r, s: r.step(s, s),
        lambda r, s: r.finalize(s, True),
        lambda r, s: r.finalize(s, outputs=None, output=None),
        lambda r, s: r.watermark(1),
    ],
)
def test_bad_calls(call):
    with pytest.raises(TypeError):
        call(IncrementalReducer(), GraphStore())


@pytest.mark.parametrize(
    "call",
    [
        lambda r, s: r.step(s, store=s),
        lambda r, s: r.step(store=s, other=1),
        lambda r, s: r.step(stor=s),
    ],
)
def test_bad_step_keywords_consume_nothing(call):
    s = GraphStore()
    s.add_op("exp", [s.add_source("a")])
    r = IncrementalReducer()
    with pytest.raises(TypeError):
        call(r, s)
    assert counters(r) == (0, 0, 0)


def test_step_by_keyword_and_by_position_agree():
    s = GraphStore()
    by_position, by_keyword = IncrementalReducer(), IncrementalReducer()
    prev = s.add_source("a")
    for i in range(50):
        prev = s.add_op(["add", "mul", "exp"][i % 3], [prev, prev][: 1 + (i % 3 < 2)])
        if i % 7 == 0:
            assert by_position.step(s) == by_keyword.step(store=s)
    assert by_position.step(s) == by_keyword.step(store=s)
    assert by_position.step(s) == by_keyword.step(store=s) == 0
    assert counters(by_position) == counters(by_keyword)
    reduced = [r.finalize(s, outputs=[prev])[0].serialize() for r in (by_position, by_keyword)]
    assert reduced[0] == reduced[1]


def test_docstrings_and_signatures():
    import inspect

    assert str(inspect.signature(IncrementalReducer.step)) == "(self, /, store)"
    assert (
        str(inspect.signature(IncrementalReducer.finalize)) == "(self, /, store, *, maximal_fusion=False, outputs=None)"
    )
    assert IncrementalReducer.watermark.__doc__ == "How many of the store's nodes have been consumed so far."
    assert IncrementalReducer.__doc__.startswith("Genuinely incremental reduction")
