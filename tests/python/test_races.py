"""A caller's race: other threads change an argument (a params dict, a descriptor dict, an id
list, the rows of add_ops, an outputs list) while calls read it. Every call must either raise
one of the documented errors or give a result consistent with some state the argument was in;
none may crash. The races are real on a free-threaded interpreter; with a GIL they still
interleave at the interpreter's switch points."""

import random
import threading
import time

import pytest
from vantrel_core import GraphStore

SECONDS = 0.6  # per case: a few thousand calls, enough to have crashed every time before
# What a call that sees its argument change under it may raise: ValueError for a descriptor
# field missing at the moment it is looked up. Plain values run no code while a dict is
# walked, so no other thread's change can come in mid-walk.
CHANGED = (ValueError,)


def race(mutate, call, check=lambda result: None, callers=2, mutators=2):
    """Runs `mutate(rng)` in `mutators` threads and `call()` in `callers` threads for SECONDS;
    `check(result)` runs on every result. Returns (calls that returned, calls that raised)."""
    stop = threading.Event()
    done = [0, 0]
    failures = []

    def mutator(seed):
        rng = random.Random(seed)
        try:
            while not stop.is_set():
                try:
                    mutate(rng)
                except (IndexError, ValueError):  # the other mutator shortened the list meanwhile
                    pass
        except BaseException as e:  # reported in the main thread
            failures.append(e)

    def caller():
        deadline = time.monotonic() + SECONDS
        try:
            while time.monotonic() < deadline:
                try:
                    result = call()
                except CHANGED:
                    done[1] += 1
                    continue
                check(result)
                done[0] += 1
        except BaseException as e:  # reported in the main thread
            failures.append(e)

    threads = [threading.Thread(target=mutator, args=(k,)) for k in range(mutators)]
    threads += [threading.Thread(target=caller) for _ in range(callers)]
    for t in threads:
        t.start()
    for t in threads[mutators:]:
        t.join(60)
    stop.set()
    for t in threads[:mutators]:
        t.join(60)
    assert not any(t.is_alive() for t in threads), "a thread did not finish"
    if failures:
        raise failures[0]
    assert done[0] > 0, "no call returned"
    return done


EXTRA = [f"t{k}" for k in range(12)]


def fresh_str(rng):
    """A new str object each time, so that the value it replaces in a dict is freed at once."""
    return f"s{rng.randrange(1000)}"


def is_fresh_str(value):
    return isinstance(value, str) and value[:1] == "s" and value[1:].isdigit()


def params_mutator(d):
    def mutate(rng):
        r = rng.random()
        if r < 0.6:
            d["a"] = rng.randrange(10**6, 10**7) if rng.random() < 0.5 else fresh_str(rng)
            d["b"] = fresh_str(rng)
        elif r < 0.8:
            for key in EXTRA:  # grows the dict past its table, then shrinks it back
                d[key] = rng.randrange(10**6, 10**7)
            for key in EXTRA:
                d.pop(key, None)
        else:
            d.pop("a", None)
            d["a"] = fresh_str(rng)

    return mutate


def check_params(params):
    assert {"b"} <= set(params) <= {"a", "b", *EXTRA}, params
    assert "a" not in params or isinstance(params["a"], int) or is_fresh_str(params["a"])
    assert is_fresh_str(params["b"]) or params["b"] == "s0"
    assert all(isinstance(params[k], int) for k in EXTRA if k in params)


@pytest.mark.parametrize("shape", ["add_op", "add_ops shared", "add_ops per node"])
def test_params_dict_changed_while_read(shape):
    s = GraphStore()
    x = s.add_source("x")
    d = {"a": 0, "b": "s0"}
    if shape == "add_op":

        def call():
            return [s.add_op("f", [x], d)]
    elif shape == "add_ops shared":

        def call():
            return s.add_ops("f", [[x]] * 8, d)
    else:

        def call():
            return s.add_ops("f", [[x]] * 8, [d] * 8)

    race(params_mutator(d), call)
    for node in s.nodes()[1:]:  # every node the calls made, checked once at the end
        check_params(node["params"])


FIELDS = ["kind", "content_hash", "framework", "version", "io_schema"]


def test_descriptor_dict_changed_while_read():
    s = GraphStore()
    x = s.add_source("x")
    d = {f: "v0" for f in FIELDS}

    def mutate(rng):
        for f in FIELDS + ["preprocessing_ref"]:
            d[f] = fresh_str(rng)  # the value replaced is freed while a reader may hold it
        if rng.random() < 0.1:
            d.pop(rng.choice(FIELDS), None)

    race(mutate, lambda: s.add_external(d, [x]))
    for node in s.nodes()[1:]:
        desc = node["descriptor"]
        assert all(is_fresh_str(desc[f]) or desc[f] == "v0" for f in FIELDS), desc
        assert desc["preprocessing_ref"] is None or is_fresh_str(desc["preprocessing_ref"])


def id_list_mutator(ids, valid):
    # The mutators take turns among themselves, so that two of them cannot both see room and
    # grow the list past 12 ids; the calls read it without this lock, which is the race tested.
    turn = threading.Lock()

    def mutate(rng):
        r = rng.random()
        with turn:
            if r < 0.5 and ids:
                ids[rng.randrange(len(ids))] = rng.choice(valid)
            elif r < 0.75 and len(ids) < 12:
                ids.append(rng.choice(valid))
            elif ids:
                ids.pop()

    return mutate


def sources(s, n):
    return [s.add_source(f"x{k}") for k in range(n)]


def test_id_list_changed_while_read():
    s = GraphStore()
    valid = sources(s, 6)
    ids = list(valid)

    race(id_list_mutator(ids, valid), lambda: s.add_op("f", ids))
    for node in s.nodes()[len(valid) :]:
        assert len(node["inputs"]) <= 12 and set(node["inputs"]) <= set(valid), node


def test_rows_changed_while_read():
    s = GraphStore()
    valid = sources(s, 6)
    row = list(valid[:3])
    rows = [row, list(valid), row, [valid[0]]]
    mutate_row = id_list_mutator(row, valid)

    def mutate(rng):
        if rng.random() < 0.3:
            k = rng.randrange(len(rows))
            rows[k] = row if rng.random() < 0.5 else [rng.choice(valid)]
        else:
            mutate_row(rng)

    race(mutate, lambda: s.add_ops("f", rows), lambda new: len(new) == len(rows))
    for node in s.nodes()[len(valid) :]:
        assert set(node["inputs"]) <= set(valid), node


@pytest.mark.parametrize("method", ["reduce", "reduce_mapped", "serialize", "mark_outputs"])
def test_outputs_list_changed_while_read(method):
    s = GraphStore()
    valid = sources(s, 4)
    valid += [s.add_op("f", [valid[k], valid[k + 1]]) for k in range(3)]
    outputs = list(valid)
    mutate = id_list_mutator(outputs, valid)
    if method == "serialize":

        def call():
            return GraphStore.deserialize(s.serialize(outputs=outputs)).outputs()
    elif method == "mark_outputs":

        def call():
            return s.mark_outputs(outputs)
    else:

        def call():
            return getattr(s, method)(outputs=outputs)

    def check(result):
        if method == "serialize":
            assert len(result) <= 12
        elif method == "reduce_mapped":
            assert len(result[2]) <= 12
        elif method == "reduce":
            assert result[0].node_count() <= len(valid)

    race(mutate, call, check)
