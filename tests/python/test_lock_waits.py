"""Waiting for a store's or reducer's lock that another thread holds without the interpreter
lock (a mapped reduction) lets the other Python threads run meanwhile, and every waiting
method still gets the answer it would get alone."""

import threading
import time

import pytest
from vantrel_core import IncrementalReducer

from test_threads import GIL_ENABLED, Ticker, chain, run_threads


def holding(reducer, store, outputs):
    """A thread that holds the reducer's lock without the interpreter lock for a long while."""
    started = threading.Event()

    def run():
        started.set()
        reducer.finalize_mapped(store, outputs=outputs)

    thread = threading.Thread(target=run)
    thread.start()
    started.wait()
    time.sleep(0.01)  # long enough for it to take the lock, a small part of its work
    return thread


WAITERS = {
    "watermark": lambda r, s, out: r.watermark(),
    "total_work": lambda r, s, out: r.total_work(),
    "canonical_count": lambda r, s, out: r.canonical_count(),
    "step": lambda r, s, out: r.step(s),
    "finalize": lambda r, s, out: r.finalize(s, outputs=out)[1],
}


@pytest.mark.parametrize("wait", WAITERS.values(), ids=WAITERS.keys())
def test_a_waiting_method_lets_other_threads_run(wait):
    s, last = chain(200_000)
    outputs = [last, 1]
    with Ticker() as ticker:
        before = ticker.ticks
        IncrementalReducer().finalize(s, outputs=outputs)  # keeps the interpreter lock throughout
        held = ticker.ticks - before
    r = IncrementalReducer()  # the holder folds the whole store, then reduces it
    holder = holding(r, s, outputs)
    with Ticker() as ticker:
        before = ticker.ticks
        result = wait(r, s, outputs)
        waiting = ticker.ticks - before
    holder.join()
    # While the call waits (most of a long reduction) the ticker counts all along; a wait that
    # kept the interpreter lock would leave it only the ticks around the call. Without an
    # interpreter lock the ticker runs beside both calls, so only the answer is compared there.
    if GIL_ENABLED:
        assert waiting > held
    alone = IncrementalReducer()
    alone.step(s)
    assert result == wait(alone, s, outputs)


def test_store_methods_wait_for_a_snapshot_without_stopping_threads():
    s, last = chain(3000)
    expected = (s.node_count(), s.outputs(), s.serialize(), s.to_dot())
    stop = threading.Event()

    def reduce_mapped():
        while not stop.is_set():
            s.reduce_mapped(outputs=[last])

    def read():
        for _ in range(200):
            assert (s.node_count(), s.outputs(), s.serialize(), s.to_dot()) == expected
            assert s.add_op("add", [0, 1]) == s.add_op("add", [0, 1])
            expected_nodes = s.node_count()
            assert len(s.nodes()) == expected_nodes
        stop.set()

    s.add_op("add", [0, 1])
    expected = (s.node_count(), s.outputs(), s.serialize(), s.to_dot())
    run_threads([reduce_mapped, reduce_mapped, read])
