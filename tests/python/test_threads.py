"""Threads: reduce_mapped and finalize_mapped let other Python threads run while they work,
give every thread the result it would get alone, and mix with the methods that keep the
interpreter lock (which wait for the same store and reducer locks) without deadlocking."""

import sys
import threading

import pytest
from vantrel_core import GraphStore, IncrementalReducer

ZERO_R = {"scalar": 0.0, "side": "r"}
DEADLOCK_TIMEOUT = 120  # seconds; only a deadlock comes anywhere near it
# The ticker tests compare methods that keep the GIL with those that release it, which means
# something only where there is a GIL (free-threaded builds may also run with it turned on).
GIL_ENABLED = getattr(sys, "_is_gil_enabled", lambda: True)()


def chain(n, salt=0):
    """A long graph with commuted pairs and identities for the rules and the reducer."""
    s = GraphStore()
    x, y = s.add_source(f"x{salt}"), s.add_source("y")
    last = x
    for i in range(n):
        k = i % 4
        if k == 0:
            last = s.add_op("add", [last, y])
        elif k == 1:
            s.add_op("add", [y, last])
            last = s.add_op("mul", [last, x])
        elif k == 2:
            last = s.add_op("add", [last], ZERO_R)
        else:
            last = s.add_op("exp" if i % 8 == 3 else "neg", [last])
    return s, last


def run_threads(targets):
    threads = [threading.Thread(target=t) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(DEADLOCK_TIMEOUT)
    assert not any(t.is_alive() for t in threads), "threads did not finish: deadlock"


class Ticker:
    """A thread that counts while it can get the interpreter lock."""

    def __init__(self):
        self.ticks = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run)

    def run(self):
        while not self.stop.wait(0.0005):
            self.ticks += 1

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


def ticks_during(call):
    with Ticker() as ticker:
        before = ticker.ticks
        call()
        return ticker.ticks - before


@pytest.mark.parametrize("method", ["reduce_mapped", "finalize_mapped"])
def test_other_threads_run_during_a_long_reduction(method):
    s, last = chain(100_000)
    outputs = [last, 1]
    if method == "reduce_mapped":
        held = ticks_during(lambda: s.reduce(outputs=outputs))
        released = ticks_during(lambda: s.reduce_mapped(outputs=outputs))
    else:
        held = ticks_during(lambda: IncrementalReducer().finalize(s, outputs=outputs))
        released = ticks_during(lambda: IncrementalReducer().finalize_mapped(s, outputs=outputs))
    assert released > 0  # the mapped methods let other threads run, on every build
    if not GIL_ENABLED:
        return  # without a GIL no method holds other threads back, so there is nothing to compare
    # The methods that keep the interpreter lock let the ticker count only around the call
    # (a few ticks); during the mapped ones it counts all along (hundreds of ticks).
    assert released > held


def test_threads_reduce_different_and_shared_stores():
    stores = [chain(3000, salt) for salt in range(3)]
    alone = [s.reduce_mapped(outputs=[last, 0, last]) for s, last in stores]
    got = {}

    def work(k, rounds=4):
        s, last = stores[k % 3]
        for _ in range(rounds):
            got.setdefault(k, []).append(s.reduce_mapped(outputs=[last, 0, last]))

    run_threads([lambda k=k: work(k) for k in range(6)])
    for k, results in got.items():
        want_store, want_report, want_ids = alone[k % 3]
        for reduced, report, ids in results:
            assert (reduced.serialize(), report, ids) == (want_store.serialize(), want_report, want_ids)


def test_reduce_mapped_while_other_threads_add_nodes():
    s, last = chain(2000)
    results, done = [], threading.Event()

    def writer():
        prev = last
        for i in range(3000):
            prev = s.add_op("neg" if i % 2 else "exp", [prev])
        done.set()

    def reducer():
        while True:
            finished = done.is_set()
            n = s.node_count()
            reduced, report, ids = s.reduce_mapped(outputs=[n - 1])
            results.append((n, report["input_nodes"], ids))
            if finished:
                return

    run_threads([writer, reducer, reducer])
    # Every reduction saw a snapshot at least as large as the store was when it checked the id.
    assert results and all(seen >= n and len(ids) == 1 for n, seen, ids in results)


def test_one_reducer_shared_by_mapped_and_locked_calls():
    s, last = chain(4000)
    expected = IncrementalReducer().finalize_mapped(s, outputs=[last, 2])
    r = IncrementalReducer()
    finals, steps = [], []

    def finalizer():
        for _ in range(3):
            finals.append(r.finalize_mapped(s, outputs=[last, 2]))

    def plain():  # holds the interpreter lock while it waits for the reducer lock
        for _ in range(3):
            steps.append(r.step(s))
            finals.append(r.finalize(s, outputs=[last, 2]) + (None,))

    run_threads([finalizer, finalizer, plain, plain])
    assert sum(steps) <= s.node_count() == r.watermark() == r.total_work()
    for reduced, report, ids in finals:
        assert reduced.serialize() == expected[0].serialize() and report == expected[1]
        assert ids in (None, expected[2])
