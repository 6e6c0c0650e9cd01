"""A process forked while other threads hold a store's, reducer's or the symbol table's lock
never hangs: an object whose lock was held at the fork refuses every call with RuntimeError,
everything else (the symbol table included) works in the child."""

import multiprocessing
import os
import signal
import threading
import time

import pytest
from vantrel_core import IncrementalReducer

from test_threads import chain

pytestmark = [
    pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork"),
    # Forking a process that runs threads is what these tests are about.
    pytest.mark.filterwarnings("ignore::DeprecationWarning"),
]

HELD_AT_FORK = "this object was in use by another thread when the process forked"
CHILD_TIMEOUT = 60  # seconds; only a hang comes anywhere near it


def used_or_refused(call):
    """Calls it: True when it ran, False when refused as held at the fork."""
    try:
        call()
        return True
    except RuntimeError as e:
        assert str(e) == HELD_AT_FORK
        return False


def child_checks(store, reducer, last):
    used_or_refused(lambda: reducer.watermark())
    used_or_refused(lambda: reducer.finalize_mapped(store, outputs=[last]))
    used_or_refused(lambda: reducer.step(store))
    used_or_refused(lambda: store.node_count())
    used_or_refused(lambda: store.reduce_mapped(outputs=[last]))
    # A new store reduces: the rewrite engine's symbols are usable.
    fresh, fresh_last = chain(200, salt=7)
    reduced, report, ids = fresh.reduce_mapped(outputs=[fresh_last])
    assert report["reduced_nodes"] > 0
    assert IncrementalReducer().finalize(fresh, outputs=[fresh_last])[0].serialize() == reduced.serialize()


def wait_child(pid):
    deadline = time.monotonic() + CHILD_TIMEOUT
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    pytest.fail("the forked child hung")


BUSY = {
    "finalize_mapped": lambda s, r, last: r.finalize_mapped(s, outputs=[last]),
    "reduce_mapped": lambda s, r, last: s.reduce_mapped(outputs=[last]),
}


# The address sanitizer's allocator can be left locked in a child forked while another thread
# allocates, which hangs the child inside the sanitizer before our code runs.
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="fork with allocating threads hangs under ASan")
@pytest.mark.parametrize("busy", BUSY.values(), ids=BUSY.keys())
def test_fork_during_a_call_that_releases_the_gil(busy):
    s, last = chain(20_000)
    r = IncrementalReducer()
    stop = threading.Event()

    def work():
        while not stop.is_set():
            busy(s, r, last)

    workers = [threading.Thread(target=work) for _ in range(2)]
    for w in workers:
        w.start()
    try:
        for k in range(8):
            time.sleep(0.003 * k)
            pid = os.fork()
            if pid == 0:
                code = 1
                try:
                    child_checks(s, r, last)
                    code = 0
                finally:
                    os._exit(code)
            assert wait_child(pid) == 0
    finally:
        stop.set()
        for w in workers:
            w.join()
    # The parent's objects are untouched by what the children did.
    assert (
        r.finalize(s, outputs=[last])[0].serialize() == IncrementalReducer().finalize(s, outputs=[last])[0].serialize()
    )


def reduce_in_worker(salt):
    s, last = chain(300, salt=salt)
    return s.reduce_mapped(outputs=[last])[1]["reduced_nodes"]


def test_multiprocessing_fork_pool_while_threads_reduce():
    s, last = chain(20_000)
    r = IncrementalReducer()
    stop = threading.Event()

    def work():
        while not stop.is_set():
            r.finalize_mapped(s, outputs=[last])
            s.reduce_mapped(outputs=[last])

    worker = threading.Thread(target=work)
    worker.start()
    try:
        ctx = multiprocessing.get_context("fork")
        with ctx.Pool(2) as pool:
            got = pool.map_async(reduce_in_worker, range(6)).get(CHILD_TIMEOUT)
    finally:
        stop.set()
        worker.join()
    assert got == [reduce_in_worker(k) for k in range(6)]
