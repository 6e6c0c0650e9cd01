"""Reduction speed: GraphStore.reduce on pipeline-shaped graphs of 10^4, 10^5 and 10^6 nodes,
beside dask's cull + fuse on the same graphs as task graphs (the baseline).

Graphs: sources (or exchanges of earlier results) feeding chains of elementwise ops with
fan-out and joins, scalar identities, commuted duplicates, then a reduction; a quarter of the
chains are dead branches. The per-pass breakdown (snapshot, DCE, labels, engine, CSE, fusion,
store construction) comes from the C++ benchmark `bench_reduce`, run here when it is built.
Each reduce figure is the best of three runs (results freed outside the timing); dask's
baseline is timed once.

    python bench/bench_reduce.py [max_nodes] [path/to/bench_reduce]
"""

import os
import random
import subprocess
import sys
import time

from vantrel_core import GraphStore

REDUCE_REPS = 3  # reduce is timed best of these; the dask baseline once (it takes seconds)

UNARY = ["exp", "neg", "log", "abs", "sqrt"]
BINARY = ["add", "mul", "maximum", "sub"]


def build(n, seed=1):
    """The graph as a GraphStore (with its outputs) and as a dask task graph."""
    rng = random.Random(seed)
    s = GraphStore()
    dsk = {}
    outputs = []

    def add(key_args, store_call):
        i = store_call()
        dsk.setdefault(i, key_args)
        return i

    def op(name, inputs, params=None):
        return add((name, *inputs), lambda: s.add_op(name, inputs, params))

    sources = 0
    while s.node_count() < n:
        dead = rng.randrange(4) == 0
        have = s.node_count()
        if have == 0 or rng.randrange(3):
            sources += 1
            tip = add(("load", sources), lambda: s.add_source(f"src{sources}", {"part": rng.randrange(8)}))
        else:
            src = have - 1 - rng.randrange(min(have, 64))
            tip = add(("exchange", src), lambda: s.add_exchange([src], {"scheme": "hash"}))
        prev = tip
        for _ in range(20 + rng.randrange(60)):
            what = rng.randrange(20)
            if what < 9:
                prev = op(rng.choice(UNARY), [prev])
            elif what < 13:
                a = op(rng.choice(UNARY), [prev])
                b = op(rng.choice(UNARY), [prev])
                name = rng.choice(BINARY)
                nxt = op(name, [a, b])
                if rng.randrange(2) == 0:
                    nxt = op("add", [nxt, op(name, [b, a])])
                prev = nxt
            elif what < 16:
                params = {"scalar": 0.0, "side": "r"} if rng.randrange(2) else {"scalar": 1.0, "side": "l"}
                prev = op("add" if rng.randrange(2) else "mul", [prev], params)
            elif what < 18:
                prev = op("mul", [prev, tip])
            else:
                prev = op("add", [prev, tip], {"alpha": 0.5})
        end = add(("sum", prev), lambda: s.add_reduction("sum", [prev], {"axis": 0}))
        if not dead:
            outputs.append(end)
    return s, outputs, to_dask(dsk)


def to_dask(dsk):
    def f(*args):
        return None

    return {
        f"n{i}": (f, *[f"n{x}" for x in args[1:] if isinstance(x, int)]) if args[0] != "load" else (f, args[1])
        for i, args in dsk.items()
    }


def line(what, n, seconds, base):
    print(
        f"{what:<34} n={n:<8} {seconds:9.4f} s {n / seconds if seconds else 0:12.0f} nodes/s"
        f"   | dask cull+fuse {base:9.4f} s {n / base if base else 0:12.0f} nodes/s   ratio {seconds / base:.3f}"
    )


def main():
    max_nodes = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    cpp = (
        sys.argv[2]
        if len(sys.argv) > 2
        else os.path.join(os.path.dirname(__file__), "..", "build-opt-bench", "bench_reduce")
    )
    from dask.optimization import cull, fuse

    n = 10_000
    while n <= max_nodes:
        store, outputs, dsk = build(n)
        count = store.node_count()
        keys = [f"n{o}" for o in outputs]

        t = time.perf_counter()
        culled, deps = cull(dsk, keys)
        fuse(culled, keys, deps)
        base = time.perf_counter() - t

        def best_of(reps, **kwargs):
            """Best time of `reps` reductions; each result is freed outside the timed region."""
            best, result = None, None
            for _ in range(reps):
                result = None
                t = time.perf_counter()
                result = store.reduce(outputs=outputs, **kwargs)
                seconds = time.perf_counter() - t
                best = seconds if best is None else min(best, seconds)
            return best, result

        total, (reduced, report) = best_of(REDUCE_REPS)
        maximal, _ = best_of(REDUCE_REPS, maximal_fusion=True)

        line("reduce (single-use fusion)", count, total, base)
        line("reduce (maximal fusion)", count, maximal, base)
        print(f"  report {report}")
        n *= 10

    if os.path.exists(cpp):
        print("per-pass breakdown (C++ bench_reduce, baseline = building the graph in C++):")
        sys.stdout.flush()
        subprocess.run([cpp, str(max_nodes)], check=False)
    else:
        print(f"per-pass breakdown: build the C++ benchmark ({cpp}) with -DVANTREL_BUILD_BENCH=ON")


if __name__ == "__main__":
    main()
