"""Incremental reduction: a 10^6-node pipeline-shaped graph built while an IncrementalReducer
follows it in steps of 1, 100 and 10,000 nodes. Prints the time per consumed node for each
step size, and build-with-steps + finalize beside build + GraphStore.reduce of the same graph
in the same run (the baseline).

    python bench/bench_incremental.py [nodes]
"""
import sys
import time

from vantrel_core import GraphStore, IncrementalReducer

from bench_reduce import build


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
    store, outputs, _ = build(n)
    nodes = store.nodes()
    count = len(nodes)

    base_build, _, base_reduce, (_, base_report), _ = replay(nodes, 0, outputs)
    print(f"baseline: build {base_build:.3f} s + GraphStore.reduce {base_reduce:.3f} s = {base_build + base_reduce:.3f} s"
          f"  (n={count}, canonical {base_report['canonical_nodes']})")
    per_node = {}
    for every in (1, 100, 10_000):
        total, steps, final, (_, report), r = replay(nodes, every, outputs)
        assert r.total_work() == count
        per_node[every] = steps / count * 1e9
        print(f"steps of {every:<6} {steps / count * 1e9:8.1f} ns per consumed node ({steps:.3f} s in steps)"
              f" | finalize {final:.3f} s vs reduce {base_reduce:.3f} s (ratio {final / base_reduce:.2f})"
              f" | build+steps+finalize {total + final:.3f} s vs build+reduce {base_build + base_reduce:.3f} s"
              f" (ratio {(total + final) / (base_build + base_reduce):.2f}); canonical {r.canonical_count()}")
    # A one-node step is one call: this ratio is its fixed cost against the per-node cost of
    # large steps, measured in the same run.
    print(f"1-node step {per_node[1]:.1f} ns vs per node in steps of 10000 {per_node[10_000]:.1f} ns:"
          f" ratio {per_node[1] / per_node[10_000]:.2f}")


if __name__ == "__main__":
    main()
