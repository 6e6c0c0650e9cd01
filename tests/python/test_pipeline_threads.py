"""The builder from several threads at once: on one pipeline (handles looked up, made and freed
concurrently, one handle per node throughout) and on a pipeline per thread. Meaningful with a
global lock (the interpreter switches threads often here) and without one."""

import gc
import sys
import sysconfig
import threading
import weakref

import pytest

from vantrel import Pipeline

THREADS = 6
ROUNDS = 3000


@pytest.fixture(autouse=True)
def switch_often():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_threads(work):
    errors, barrier = [], threading.Barrier(THREADS)

    def guarded(k):
        try:
            barrier.wait()
            work(k)
        except BaseException as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def expressions(p, x, y, k):
    """The same nodes from every thread; the intermediate handles are dropped at once."""
    kept = []
    for i in range(ROUNDS):
        s = (x * float(i % 37) + y).op("f", y, i=i % 11)
        kept.append(s)
        if i % 5 == k % 5:
            kept.append(-(s - 1.5).maximum(x))
        if i % 7 == 0:
            p.node(s.id)
    return kept


def test_threads_building_on_one_pipeline_share_its_handles():
    p = Pipeline()
    x, y = p.source("x"), p.source("y")
    results = [None] * THREADS

    def work(k):
        results[k] = expressions(p, x, y, k)

    run_threads(work)
    by_id = {}
    for kept in results:
        for h in kept:
            assert h.pipeline is p
            assert by_id.setdefault(h.id, h) is h  # one handle per node, whichever thread made it
            assert p.node(h.id) is h
    # The store holds each node once: what one thread alone builds.
    alone = Pipeline()
    ax, ay = alone.source("x"), alone.source("y")
    for k in range(THREADS):
        expressions(alone, ax, ay, k)
    assert p.store.node_count() == alone.store.node_count()


def test_threads_building_their_own_pipelines():
    refs, blobs = [None] * THREADS, [None] * THREADS

    def work(k):
        p = Pipeline()
        x, y = p.source("x"), p.source("y")
        kept = expressions(p, x, y, 0)
        p.output("last", kept[-1])
        blobs[k] = p.store.serialize()
        refs[k] = weakref.ref(p)

    run_threads(work)
    assert len(set(blobs)) == 1
    gc.collect()
    assert all(ref() is None for ref in refs)


def test_threads_dropping_and_remaking_the_same_handles():
    p = Pipeline()
    x = p.source("x")
    ids = [(x * float(i)).id for i in range(64)]

    def work(k):
        for r in range(ROUNDS):
            i = (r * (k + 1)) % 64
            h = p.node(ids[i])
            assert h.id == ids[i] and h.pipeline is p
            assert (x * float(i)) is h
            del h

    run_threads(work)


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded interpreter")
def test_the_handles_module_keeps_the_gil_off():
    import vantrel._nodes  # noqa: F401  (importing is what could turn the GIL back on)

    assert not sys._is_gil_enabled()
