"""A bounded mixed workload of several threads on one store and one reducer, with the
invariants every interleaving must keep. Used by the thread stress test on every build and
by the free-threaded test, where the threads really run at once."""

import faulthandler
import pickle
import random
import threading
import time

from vantrel_core import GraphStore, IncrementalReducer

SOURCES = 24
OPS = 600
OP_NAMES = ["add", "mul", "f", "g", "max"]
IDENTITY = {"scalar": 0.0, "side": "r"}


def op_inputs(k):
    """The keys op k reads: a source and an earlier op (or a second source), so that the key
    space forms one graph whatever order the threads build it in."""
    first = ("src", k % SOURCES)
    second = ("op", k // 2) if k > 1 else ("src", (k + 1) % SOURCES)
    return [first, second]


class Worker:
    def __init__(self, index, store, reducer, deadline, errors):
        self.rng = random.Random(index)
        self.store = store
        self.reducer = reducer
        self.deadline = deadline
        self.errors = errors
        self.ids = {}  # key -> id as this thread was told
        self.last_count = 0
        self.steps = 0

    def node(self, key):
        if key in self.ids:
            return self.ids[key]
        kind, k = key
        if kind == "src":
            i = self.store.add_source(f"s{k}", {"k": k})
        else:
            inputs = [self.node(x) for x in op_inputs(k)]
            params = IDENTITY if k % 7 == 0 else None
            i = self.store.add_op(OP_NAMES[k % len(OP_NAMES)], inputs, params)
        self.ids[key] = i
        return i

    def some_outputs(self):
        known = sorted(set(self.ids.values()))
        return self.rng.sample(known, min(3, len(known))) if known else []

    def check_count(self):
        n = self.store.node_count()
        assert n >= self.last_count, f"node count went back from {self.last_count} to {n}"
        self.last_count = n
        return n

    def view(self):
        nodes = self.store.nodes()
        assert [n["id"] for n in nodes] == list(range(len(nodes))), "ids of a view are not dense"
        assert len(nodes) >= self.last_count
        self.last_count = len(nodes)
        for key, i in self.ids.items():
            name = nodes[i]["name"]
            assert name == (f"s{key[1]}" if key[0] == "src" else OP_NAMES[key[1] % len(OP_NAMES)])
        assert pickle.loads(pickle.dumps(self.store)).node_count() >= len(nodes)

    def blob(self):
        outputs = sorted(set(self.some_outputs()))
        blob = self.store.serialize(outputs=outputs)
        again = GraphStore.deserialize(blob)
        assert again.serialize(outputs=outputs) == blob, "a blob changed after a round trip"
        assert again.outputs() == outputs

    def reduce(self):
        outputs = self.some_outputs()
        maximal = self.rng.random() < 0.5
        if self.rng.random() < 0.5:
            reduced, report = self.store.reduce(maximal_fusion=maximal, outputs=outputs)
        else:
            reduced, report, ids = self.store.reduce_mapped(maximal_fusion=maximal, outputs=outputs)
            assert len(ids) == len(outputs) and all(i < reduced.node_count() for i in ids)
        assert report["reduced_nodes"] == reduced.node_count()

    def mark(self):
        self.store.mark_outputs(self.some_outputs())

    def step(self):
        self.reducer.step(self.store)
        self.steps += 1

    def finalize(self):
        outputs = self.some_outputs()
        if self.rng.random() < 0.5:
            reduced, _ = self.reducer.finalize(self.store, outputs=outputs)
        else:
            reduced, _, ids = self.reducer.finalize_mapped(self.store, outputs=outputs)
            assert len(ids) == len(outputs)
        reduced.serialize(outputs=reduced.outputs())

    def run(self):
        try:
            actions = [self.view, self.blob, self.reduce, self.mark, self.step, self.finalize]
            while time.monotonic() < self.deadline:
                for _ in range(8):
                    self.node(self.rng.choice([("src", self.rng.randrange(SOURCES)), ("op", self.rng.randrange(OPS))]))
                self.check_count()
                self.rng.choice(actions)()
        except BaseException as e:  # reported by the main thread
            self.errors.append(e)


def run_stress(threads=8, seconds=2.0, watchdog=120.0, during=None):
    """Runs the workload for about `seconds` and checks the final invariants. A thread stuck
    past `watchdog` seconds dumps every thread's stack and ends the process (a deadlock
    must not hang the suite). `during`, if given, is called once in the main thread while the
    workers run."""
    store = GraphStore()
    reducer = IncrementalReducer()
    errors = []
    deadline = time.monotonic() + seconds
    workers = [Worker(i, store, reducer, deadline, errors) for i in range(threads)]
    pool = [threading.Thread(target=w.run, name=f"stress-{i}") for i, w in enumerate(workers)]
    faulthandler.dump_traceback_later(watchdog, exit=True)
    try:
        for t in pool:
            t.start()
        if during is not None:
            during()
        for t in pool:
            t.join()
    finally:
        faulthandler.cancel_dump_traceback_later()
    if errors:
        raise errors[0]

    # The same key got the same id in every thread, and every id is one key.
    ids = {}
    for w in workers:
        for key, i in w.ids.items():
            assert ids.setdefault(key, i) == i, f"{key} got ids {ids[key]} and {i}"
    assert sorted(ids.values()) == list(range(store.node_count())), "ids are not dense"

    reducer.step(store)
    assert reducer.total_work() == reducer.watermark() == store.node_count()
    outputs = sorted(ids.values())[-5:]
    first, _ = reducer.finalize(store, outputs=outputs)
    second, _ = reducer.finalize(store, outputs=outputs)
    assert first.serialize(outputs=first.outputs()) == second.serialize(outputs=second.outputs())
    return store, workers
