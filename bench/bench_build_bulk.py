"""Building through GraphStore.add_ops against a loop of add_op doing the same, in one run.

Run:  python bench/bench_build_bulk.py [--nodes N] [--reps R]

Three workloads of two-input ops: one params dict shared by every node, a recurring params
dict per node (8 distinct ones), and params of its own per node. Each line prints the bulk
figure per node beside the add_op loop's, and the pure-Python dict store's as a further
baseline. With NumPy installed, a last line gives the shared workload's inputs as an int64
array, beside a loop of add_op over the same rows, the same array read row by row (a sequence
of arrays, as before arrays were read whole) and `tolist()` then add_ops; these four take turns
within each run. The machine is shared and noisy: each timing is the best of R runs on a fresh
store.
"""

import argparse
import time

from bench_build import N_SOURCES, RECURRING, PyStore, fresh, op_inputs
from vantrel_core import GraphStore

SHARED = {"k": 1, "mode": "fast"}


def workload(n, kind):
    inputs = [op_inputs(i) for i in range(n)]
    if kind == "shared":
        return inputs, SHARED
    if kind == "recurring":
        return inputs, [RECURRING[i % 8] for i in range(n)]
    return inputs, [{"k": i, "mode": "fast"} for i in range(n)]


def per_node_params(params, n):
    return [params] * n if isinstance(params, dict) else params


def add_each(store, inputs, plist):
    """The loop a bulk call replaces: one add_op per node."""
    add = store.add_op
    for ins, p in zip(inputs, plist):
        add("op", ins, p)


def time_loop(cls, inputs, params, reps):
    plist = per_node_params(params, len(inputs))
    best = float("inf")
    for _ in range(reps):
        store = fresh(cls)
        t0 = time.perf_counter()
        add_each(store, inputs, plist)
        best = min(best, time.perf_counter() - t0)
    return best / len(inputs)


def time_bulk(inputs, params, reps):
    best = float("inf")
    for _ in range(reps):
        store = fresh(GraphStore)
        t0 = time.perf_counter()
        ids = store.add_ops("op", inputs, params)
        best = min(best, time.perf_counter() - t0)
        assert len(ids) == len(inputs) and store.node_count() == N_SOURCES + len(inputs)
    return best / len(inputs)


class RowByRow:
    """An array's rows as a plain sequence: add_ops reads each row as it reads any sequence."""

    def __init__(self, arr):
        self.arr = arr

    def __len__(self):
        return len(self.arr)

    def __getitem__(self, i):
        return self.arr[i]


def time_array(arr, reps):
    """Best times per node of the array and its baselines, taken in turn within each repetition
    so that all of them see the machine in the same state."""
    n = len(arr)
    rows = arr.tolist()
    plist = [SHARED] * n
    timed = {
        "array": lambda s: s.add_ops("op", arr, SHARED),
        "rows": lambda s: s.add_ops("op", RowByRow(arr), SHARED),
        "tolist": lambda s: s.add_ops("op", arr.tolist(), SHARED),
        "loop": lambda s: add_each(s, rows, plist),
    }
    best = dict.fromkeys(timed, float("inf"))
    for _ in range(reps):
        for key, call in timed.items():
            store = fresh(GraphStore)
            t0 = time.perf_counter()
            call(store)
            best[key] = min(best[key], time.perf_counter() - t0)
    return {key: t / n for key, t in best.items()}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--nodes", type=int, default=200_000)
    ap.add_argument("--reps", type=int, default=5)
    args = ap.parse_args()
    n, reps = args.nodes, args.reps
    print(f"{n:,} new op nodes per run, two inputs, two-entry params; best of {reps}")
    for kind in ("shared", "recurring", "unique"):
        inputs, params = workload(n, kind)
        bulk = time_bulk(inputs, params, reps)
        loop = time_loop(GraphStore, inputs, params, reps)
        py = time_loop(PyStore, inputs, params, reps)
        print(
            f"add_ops ns/node, {kind + ' params':<17}: {bulk * 1e9:7.1f} ns   (add_op loop {loop * 1e9:7.1f} ns: "
            f"{loop / bulk:4.2f}x, target >= 4x;  python dict store {py * 1e9:7.1f} ns: {py / bulk:5.2f}x)"
        )
    try:
        import numpy as np
    except ImportError:
        print("add_ops from an int64 array: skipped (NumPy is not installed)")
        return
    t = time_array(np.array(workload(n, "shared")[0], dtype=np.int64), reps)
    print(
        f"add_ops ns/node, int64 array      : {t['array'] * 1e9:7.1f} ns   (add_op loop {t['loop'] * 1e9:7.1f} ns: "
        f"{t['loop'] / t['array']:4.2f}x, target >= 4x;  rows read one by one {t['rows'] * 1e9:7.1f} ns: "
        f"{t['rows'] / t['array']:4.2f}x;  tolist() then add_ops {t['tolist'] * 1e9:7.1f} ns: "
        f"{t['tolist'] / t['array']:4.2f}x)"
    )


if __name__ == "__main__":
    main()
