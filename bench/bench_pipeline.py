"""What the pipeline builder costs per node, beside the plain `add_op` calls it makes.

Run:  python bench/bench_pipeline.py [--nodes N] [--repeat R]

Each workload builds N new nodes twice, on fresh stores: once with `vantrel.Pipeline` handles
and once with the `GraphStore.add_op` calls those handles make (same names, inputs and
parameters, the parameter dict written at the call as a user would). The two are timed in
turns, best of R, in CPU time of this process, so the shared machine's noise falls on both;
read the ratio.

The last column times the builder again with the cyclic collector paused. Handles are made in
C (`vantrel._nodes`) and, with a global interpreter lock, a Pipeline's are not tracked by the
collector, so
the two builder figures should agree; a gap between them would be the collector walking
objects the builder keeps. What remains above the add_op calls is the handle's own work
(finding or making the handle, the lists and dicts it passes to the store).
"""

import argparse
import gc
import time

from vantrel_core import GraphStore

from vantrel import Pipeline


def chain_add_builder(n):
    p = Pipeline()
    a, b = p.source("a"), p.source("b")
    for _ in range(n):
        a, b = b, a + b
    return p.store


def chain_add_plain(n):
    g = GraphStore()
    a, b = g.add_source("a"), g.add_source("b")
    for _ in range(n):
        a, b = b, g.add_op("add", [a, b])
    return g


def scalar_builder(n):
    p = Pipeline()
    x = p.source("x")
    for _ in range(n):
        x = x * 1.5
    return p.store


def scalar_plain(n):
    g = GraphStore()
    x = g.add_source("x")
    for _ in range(n):
        x = g.add_op("mul", [x], {"scalar": 1.5, "side": "r"})
    return g


def named_builder(n):
    p = Pipeline()
    x = p.source("x")
    for _ in range(n):
        x = x.op("clip", lo=0.0, hi=1.0)
    return p.store


def named_plain(n):
    g = GraphStore()
    x = g.add_source("x")
    for _ in range(n):
        x = g.add_op("clip", [x], {"lo": 0.0, "hi": 1.0})
    return g


def mixed_builder(n):
    p = Pipeline()
    x, y = p.source("x"), p.source("y")
    for _ in range(n // 4):
        s = x * y
        t = 2.0 * s
        x = (t - y).op("tanh")
        y = x + s
    return p.store


def mixed_plain(n):
    g = GraphStore()
    x, y = g.add_source("x"), g.add_source("y")
    for _ in range(n // 4):
        s = g.add_op("mul", [x, y])
        t = g.add_op("mul", [s], {"scalar": 2.0, "side": "l"})
        x = g.add_op("tanh", [g.add_op("sub", [t, y])])
        y = g.add_op("add", [x, s])
    return g


WORKLOADS = [
    ("a + b (two handles)", chain_add_builder, chain_add_plain),
    ("x * 1.5 (a constant)", scalar_builder, scalar_plain),
    ("x.op('clip', lo=, hi=)", named_builder, named_plain),
    ("mixed: * 2.0* - op +", mixed_builder, mixed_plain),
]


def timed(fn, n, paused=False):
    gc.collect()
    if paused:
        gc.disable()
    try:
        start = time.process_time()
        store = fn(n)
        elapsed = time.process_time() - start
    finally:
        gc.enable()
    return elapsed, store.node_count()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    n = args.nodes
    print(f"builder cost per node, {n:,} new nodes per run, best of {args.repeat} (runs in turns)")
    print(f"{'workload':26}{'builder':>12}{'add_op calls':>16}{'ratio':>8}{'builder, collector paused':>32}")
    for title, builder, plain in WORKLOADS:
        best_b = best_p = best_q = float("inf")
        for _ in range(args.repeat):
            tb, nb = timed(builder, n)
            tp, np_ = timed(plain, n)
            tq, nq = timed(builder, n, paused=True)
            assert nb == np_ == nq, (title, nb, np_, nq)
            best_b, best_p, best_q = min(best_b, tb / nb), min(best_p, tp / np_), min(best_q, tq / nq)
        print(
            f"{title:26}{best_b * 1e9:>9.0f} ns{best_p * 1e9:>13.0f} ns{best_b / best_p:>7.2f}x"
            f"{best_q * 1e9:>19.0f} ns{best_q / best_p:>11.2f}x"
        )


if __name__ == "__main__":
    main()
