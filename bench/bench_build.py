"""Building speed and memory of GraphStore against a pure-Python hash-consing store.

Run:  python bench/bench_build.py [--nodes N] [--memory-nodes M]

Prints one line per figure with the baseline beside it. The machine is shared and noisy,
so read the ratios; each timing is the best of several repetitions on a fresh store.
Memory is measured from the resident set (VmRSS) of a fresh subprocess per store, before
and after building it, and set beside the size of the store's blob per node.
"""

import argparse
import gc
import subprocess
import sys
import time

from vantrel_core import GraphStore

N_SOURCES = 1000
RECURRING = [{"k": k, "mode": "fast"} for k in range(8)]


class PyStore:
    """What a user would otherwise write: a dict from a hashable key to a dense id."""

    __slots__ = ("index", "nodes")

    def __init__(self):
        self.index = {}
        self.nodes = []

    def add_source(self, name, params=None):
        return self._intern(("src", name, (), tuple(sorted(params.items())) if params else ()))

    def add_op(self, name, inputs, params=None):
        return self._intern(("op", name, tuple(inputs), tuple(sorted(params.items())) if params else ()))

    def node_count(self):
        return len(self.nodes)

    def _intern(self, key):
        i = self.index.get(key)
        if i is None:
            i = len(self.nodes)
            self.index[key] = i
            self.nodes.append(key)
        return i


def op_inputs(i):
    """Two inputs for the i-th op: the previous node and one further back, both existing."""
    own = N_SOURCES + i
    return [own - 1, (i * 7919) % own]


def op_params(i, unique):
    return {"k": i, "mode": "fast"} if unique else RECURRING[i % 8]


def workload(n, unique):
    return [("op", op_inputs(i), op_params(i, unique)) for i in range(n)]


def fresh(cls):
    store = cls()
    for s in range(N_SOURCES):
        store.add_source(f"s{s}")
    return store


def time_adds(cls, work, reps):
    best = float("inf")
    for _ in range(reps):
        store = fresh(cls)
        add = store.add_op
        t0 = time.perf_counter()
        for name, inputs, params in work:
            add(name, inputs, params)
        best = min(best, time.perf_counter() - t0)
        assert store.node_count() == N_SOURCES + len(work)
    return best / len(work)


def time_repeats(cls, work, reps):
    """Every node already present: the lookup path alone."""
    store = fresh(cls)
    add = store.add_op
    for name, inputs, params in work:
        add(name, inputs, params)
    best = float("inf")
    for _ in range(reps):
        t0 = time.perf_counter()
        for name, inputs, params in work:
            add(name, inputs, params)
        best = min(best, time.perf_counter() - t0)
    return best / len(work)


def time_calls(fn, n, reps):
    best = float("inf")
    for _ in range(reps):
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        best = min(best, time.perf_counter() - t0)
    return best / n


def time_loop(n, reps):
    """The Python loop alone, to show what every per-call figure includes."""
    nothing = (lambda: None).__call__
    return time_calls(nothing, n, reps)


def rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def measure_memory(which, n, unique):
    """Runs in a fresh process: bytes of resident memory per node of an n-node store."""
    cls = GraphStore if which == "vantrel" else PyStore
    gc.collect()
    before = rss_bytes()
    store = fresh(cls)
    add = store.add_op
    for i in range(n - N_SOURCES):
        add("op", op_inputs(i), op_params(i, unique))
    gc.collect()
    after = rss_bytes()
    assert store.node_count() == n
    blob = len(store.serialize()) / n if cls is GraphStore else 0.0
    return f"{(after - before) / n} {blob}"


def memory_in_subprocess(which, n, unique):
    out = subprocess.run(
        [sys.executable, __file__, "--measure-memory", which, "--memory-nodes", str(n)]
        + (["--unique"] if unique else []),
        check=True,
        capture_output=True,
        text=True,
    )
    live, blob = out.stdout.split()
    return float(live), float(blob)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--nodes", type=int, default=200_000, help="ops per timed run")
    ap.add_argument("--memory-nodes", type=int, default=1_000_000)
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--measure-memory", choices=["vantrel", "python"])
    ap.add_argument("--unique", action="store_true")
    args = ap.parse_args()

    if args.measure_memory:
        print(measure_memory(args.measure_memory, args.memory_nodes, args.unique))
        return

    n, reps = args.nodes, args.reps
    line = "{:<47}: {}".format
    print(f"python {sys.version.split()[0]}; {n:,} add_op calls per run, two inputs, two-entry params; best of {reps}")
    loop = time_loop(n, reps)
    floor = time_calls(GraphStore().node_count, n, reps)
    py_floor = time_calls(PyStore().node_count, n, reps)
    print(
        line(
            "per-call floor, node_count()",
            f"{floor * 1e9:8.1f} ns     (python store node_count(): "
            f"{py_floor * 1e9:.1f} ns; empty python call: {loop * 1e9:.1f} ns)",
        )
    )
    # One existing node again and again: every table the call reads stays in cache, so this is
    # the fixed cost of a call (arguments, parameters, encoding, hashing, lock, probe, result)
    # that the figures below add their misses and growth to.
    again = [workload(1, True)[0]] * n
    ours_again = time_repeats(GraphStore, again, reps)
    base_again = time_repeats(PyStore, again, reps)
    print(
        line(
            "add_op ns/call, one node again (all in cache)",
            f"{ours_again * 1e9:8.1f} ns     (python dict store {base_again * 1e9:.1f} ns)   "
            f"{base_again / ours_again:4.2f}x",
        )
    )
    del again
    for label, unique in (("recurring params", False), ("unique params", True)):
        work = workload(n, unique)
        ours = time_adds(GraphStore, work, reps)
        base = time_adds(PyStore, work, reps)
        ours_hit = time_repeats(GraphStore, work, reps)
        base_hit = time_repeats(PyStore, work, reps)
        print(
            line(
                f"add_op new nodes/s, {label}",
                f"{1 / ours:12,.0f}   (python dict store: {1 / base:11,.0f})   {base / ours:4.2f}x   target >= 6x",
            )
        )
        print(
            line(
                f"add_op ns/call, {label}",
                f"{ours * 1e9:8.1f} ns     (floor {floor * 1e9:.1f} ns; python dict store {base * 1e9:.1f} ns)",
            )
        )
        print(
            line(
                f"add_op ns/call, node exists, {label}",
                f"{ours_hit * 1e9:8.1f} ns     "
                f"(python dict store {base_hit * 1e9:.1f} ns)   {base_hit / ours_hit:4.2f}x",
            )
        )
        del work
        gc.collect()

    m = args.memory_nodes
    for label, unique in (("recurring params", False), ("unique params", True)):
        ours, blob = memory_in_subprocess("vantrel", m, unique)
        base, _ = memory_in_subprocess("python", m, unique)
        print(
            line(
                f"bytes/node at {m:,} nodes, {label}",
                f"{ours:8.1f} B      (python dict store: {base:.1f} B)   {ours / base:5.3f} of it   target <= 100 B",
            )
        )
        print(
            line(
                f"  against its blob, {label}",
                f"{ours:8.1f} B      (blob: {blob:.1f} B/node)   {ours / blob:5.2f}x the blob",
            )
        )


if __name__ == "__main__":
    main()
