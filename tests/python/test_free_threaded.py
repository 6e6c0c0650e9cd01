"""Checks that only mean something on a free-threaded interpreter: the module keeps the GIL
off, and the shared-store workload holds its invariants with threads really running at once.
Skipped on builds with a GIL."""

import random
import sys
import sysconfig
import threading

import pytest
import vantrel_core  # noqa: F401  (importing is what could turn the GIL back on)
from vantrel_core import GraphStore, IncrementalReducer

from thread_stress import run_stress

pytestmark = pytest.mark.skipif(
    not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded interpreter"
)


def test_stress_runs_without_the_gil():
    seen = []
    run_stress(threads=8, seconds=3.0, during=lambda: seen.append(sys._is_gil_enabled()))
    assert seen == [False]
    assert not sys._is_gil_enabled()


def test_building_reducing_stepping_and_serializing_at_once():
    """One store, one thread per kind of work, all running at once. Nodes never change once
    added, so a reduction of an output depends only on the nodes before it: every result
    taken during the run must equal the one taken on the final store (but for the count of
    nodes the store had), a blob must hold a
    prefix of the final store, and a reducer stepped concurrently must end where a fresh one
    does."""
    store = GraphStore()
    xs = [store.add_source(f"x{k}") for k in range(8)]
    stop = threading.Event()
    errors, reduced, blobs = [], [], []
    reducer = IncrementalReducer()

    def guarded(work):
        def run():
            try:
                work()
            except BaseException as e:  # reported by the main thread
                errors.append(e)
                stop.set()

        return run

    def builder(seed):
        rng = random.Random(seed)
        last = list(xs)
        for i in range(4000):
            a, b = rng.sample(last[-16:], 2)
            node = store.add_op(["add", "mul", "f"][i % 3], [a, b], {"k": i % 5} if i % 4 else None)
            if i % 50 == 0:
                store.add_ops("g", [[node, a], [b]], [{"i": i}, None])
            last.append(node)

    def reducer_thread():
        while not stop.is_set() or not reduced:
            n = store.node_count()
            outputs = [n - 1, n // 2]
            reduced.append((outputs, store.reduce_mapped(outputs=outputs)))
            reduced.append((outputs, store.reduce(outputs=outputs) + (None,)))

    def serializer():
        while not stop.is_set() or not blobs:
            blobs.append(store.serialize())

    def stepper():
        while not stop.is_set():
            reducer.step(store)

    threads = [
        threading.Thread(target=guarded(w))
        for w in [lambda: builder(1), lambda: builder(2), reducer_thread, serializer, stepper, stepper]
    ]
    for t in threads:
        t.start()
    for t in threads[:2]:  # the builders
        t.join(120)
    stop.set()
    for t in threads:
        t.join(120)
    assert not any(t.is_alive() for t in threads), "deadlock"
    if errors:
        raise errors[0]

    assert reduced and blobs
    for outputs, (store_then, report_then, ids_then) in reduced[:: max(1, len(reduced) // 40)]:
        store_now, report_now, ids_now = store.reduce_mapped(outputs=outputs)
        assert store_then.serialize() == store_now.serialize()
        # input_nodes counts the whole store as the reduction found it; the rest of the
        # report depends only on what the outputs reach.
        assert report_then.pop("input_nodes") <= report_now.pop("input_nodes")
        assert report_then == report_now
        assert ids_then in (None, ids_now)
    final = [{k: v for k, v in n.items() if k != "output"} for n in store.nodes()]
    for blob in blobs[:: max(1, len(blobs) // 10)]:
        then = GraphStore.deserialize(blob).nodes()
        assert [{k: v for k, v in n.items() if k != "output"} for n in then] == final[: len(then)]
    reducer.step(store)
    assert reducer.watermark() == store.node_count() == reducer.total_work()
    outputs = [store.node_count() - 1, 3]
    stepped, report = reducer.finalize(store, outputs=outputs)
    fresh, fresh_report = IncrementalReducer().finalize(store, outputs=outputs)
    assert stepped.serialize() == fresh.serialize() and report == fresh_report
