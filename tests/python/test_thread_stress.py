"""Eight threads share one store and one reducer for a few seconds, mixing building, views,
blobs, reductions, steps and finalizations; a watchdog ends a deadlock (see thread_stress)."""

from thread_stress import run_stress


def test_eight_threads_one_store_one_reducer():
    store, workers = run_stress(threads=8, seconds=2.0)
    assert store.node_count() > 0
    assert sum(w.steps for w in workers) > 0
