"""Incremental reduction: a 10^6-node pipeline-shaped graph built while an IncrementalReducer
follows it in steps of 1, 100 and 10,000 nodes. Prints the time per consumed node for each
step size, and build-with-steps + finalize beside build + GraphStore.reduce of the same graph
in the same run (the baseline).

    python bench/bench_incremental.py [nodes] [repetitions]

Each figure is the best of `repetitions` (default 3) replays: the machine is shared and noisy.
"""

import sys
import time

from bench_reduce import build
from vantrel_core import GraphStore, IncrementalReducer


def replay(nodes, step_every, outputs):
    """Rebuilds `nodes` into a new store, stepping a reducer every `step_every` nodes."""
    s = GraphStore()
    r = IncrementalReducer() if step_every else None
    step_time = 0.0
    t0 = time.perf_counter()
    for i, node in enumerate(nodes):
        kind, params = node["kind"], node["params"]
        if kind == "source":
            s.add_source(node["name"], params)
        elif kind == "op":
            s.add_op(node["name"], node["inputs"], params)
        elif kind == "reduction":
            s.add_reduction(node["name"], node["inputs"], params)
        else:
            s.add_exchange(node["inputs"], params)
        if r is not None and (i + 1) % step_every == 0:
            t = time.perf_counter()
            r.step(s)
            step_time += time.perf_counter() - t
    if r is not None:
        t = time.perf_counter()
        r.step(s)
        step_time += time.perf_counter() - t
    build_total = time.perf_counter() - t0
    t = time.perf_counter()
    result = r.finalize(s, outputs=outputs) if r is not None else s.reduce(outputs=outputs)
    final = time.perf_counter() - t
    return build_total, step_time, final, result, r


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    reps = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    store, outputs, _ = build(n)
    nodes = store.nodes()
    count = len(nodes)

    def best_replay(every):
        """The replay with the least time in steps (or, without steps, in build + reduce)."""
        runs = [replay(nodes, every, outputs) for _ in range(reps)]
        return min(runs, key=lambda run: run[1] if every else run[0] + run[2])

    base_build, _, base_reduce, (_, base_report), _ = best_replay(0)
    print(
        f"baseline: build {base_build:.3f} s + GraphStore.reduce {base_reduce:.3f} s = {base_build + base_reduce:.3f} s"
        f"  (n={count}, canonical {base_report['canonical_nodes']})"
    )
    per_node = {}
    for every in (1, 100, 10_000):
        total, steps, final, (_, report), r = best_replay(every)
        assert r.total_work() == count
        per_node[every] = steps / count * 1e9
        print(
            f"steps of {every:<6} {steps / count * 1e9:8.1f} ns per consumed node ({steps:.3f} s in steps)"
            f" | finalize {final:.3f} s vs reduce {base_reduce:.3f} s (ratio {final / base_reduce:.2f})"
            f" | build+steps+finalize {total + final:.3f} s vs build+reduce {base_build + base_reduce:.3f} s"
            f" (ratio {(total + final) / (base_build + base_reduce):.2f}); canonical {r.canonical_count()}"
        )
    # A one-node step is one call: this ratio is its fixed cost against the per-node cost of
    # large steps, measured in the same run.
    print(
        f"1-node step {per_node[1]:.1f} ns vs per node in steps of 10000 {per_node[10_000]:.1f} ns:"
        f" ratio {per_node[1] / per_node[10_000]:.2f}"
    )
    # What every timed step carries besides the call itself: the two clock reads around it.
    clock = timer_overhead()
    print(
        f"of each step's time, the clock reads around it: {clock:.1f} ns (the 1-node step without them:"
        f" {per_node[1] - clock:.1f} ns, ratio {(per_node[1] - clock) / per_node[10_000]:.2f})"
    )
    # The call alone, on a store with nothing new: its fixed cost beside an empty Python call.
    s = GraphStore()
    s.add_source("s")
    r = IncrementalReducer()
    r.step(s)
    empty = best_per_call(lambda: r.step(s))
    nothing = best_per_call((lambda: None).__call__)
    print(f"step with nothing to consume: {empty:.1f} ns per call (an empty Python call: {nothing:.1f} ns)")


def best_per_call(fn, calls=200_000, reps=5):
    best = float("inf")
    for _ in range(reps):
        t0 = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, time.perf_counter() - t0)
    return best / calls * 1e9


def timer_overhead(samples=200_000, reps=5):
    """The time `step_time += perf_counter() - t` records around a call that does nothing."""
    best = float("inf")
    clock = time.perf_counter
    for _ in range(reps):
        total = 0.0
        for _ in range(samples):
            t = clock()
            total += clock() - t
        best = min(best, total)
    return best / samples * 1e9


if __name__ == "__main__":
    main()
