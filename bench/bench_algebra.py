"""Reducing by a declared algebra, on the pipeline graphs of bench_reduce.py.

Three figures, each beside its baseline measured in the same run:

1. the default rules handed over as data (`rules=Algebra.default()`, and once more with
   explicit limits so that an engine is compiled from the rules for the call) against
   `reduce_mapped` without them: the same bytes, and the time ratio;
2. a user algebra (8 commutative names, 4 associative, 6 identities, 4 rewrites, no wall
   clock), read back by earliest member and by cost, against the default rules: reduce time,
   nodes merged (reachable - canonical), tasks (reduced nodes) and why the run stopped;
3. with `time=None`, a reduction of the largest graph run twice: the time and whether the two
   results are byte-identical.

Times are the best of REPS runs (results freed outside the timing).

    python bench/bench_algebra.py [nodes] [largest_nodes]
"""

from __future__ import annotations

import gc
import hashlib
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_reduce import build  # noqa: E402

from vantrel.algebra import Algebra, associative, identity, rewrite  # noqa: E402

REPS = 3

USER = Algebra(
    *(associative(op) for op in ["add", "mul", "maximum", "minimum"]),
    identity("scale", {"factor": 1.0}),
    identity("shift", {"offset": 0.0}),
    rewrite(("neg", ("neg", "?x")), "?x", name="neg-neg"),
    rewrite(("abs", ("abs", "?x")), ("abs", "?x"), name="abs-abs"),
    rewrite(("abs", ("neg", "?x")), ("abs", "?x"), name="abs-neg"),
    rewrite(("log", ("exp", "?x")), "?x", name="log-exp"),
)
NO_CLOCK = {"time": None}


def timed(store, outputs, **kwargs):
    best, result = float("inf"), None
    for _ in range(REPS):
        result = None
        gc.collect()
        start = time.perf_counter()
        result = store.reduce_mapped(outputs=outputs, **kwargs)
        best = min(best, time.perf_counter() - start)
    return best, result


def digest(result):
    reduced, _, ids = result
    return hashlib.sha256(reduced.serialize() + repr(ids).encode()).hexdigest()[:16]


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    largest = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    assert len(USER) == 12 + 8 + 2 + 4  # 8 commutative and 4 identities come with the default
    store, outputs, _ = build(n)
    print(f"graph: {store.node_count()} nodes, {len(outputs)} outputs")

    base, plain = timed(store, outputs)
    given, as_data = timed(store, outputs, rules=Algebra.default())
    compiled, own = timed(store, outputs, rules=list(Algebra.default()), limits={"iterations": 12})
    print(
        f"default rules as data: {given:.3f} s, compiled for the call {compiled:.3f} s "
        f"vs without rules= {base:.3f} s (x{given / base:.2f}, x{compiled / base:.2f}); "
        f"same result: {digest(plain) == digest(as_data) == digest(own)}"
    )

    for label, kwargs in [
        ("default rules", {}),
        ("user algebra", {"rules": USER}),
        ("user algebra, extract='cost'", {"rules": USER, "extract": "cost"}),
    ]:
        t, (_, report, _, why) = timed(store, outputs, limits=NO_CLOCK, explain=True, **kwargs)
        merged = report["reachable_nodes"] - report["canonical_nodes"]
        print(
            f"{label}: {t:.3f} s, nodes merged {merged}, tasks {report['reduced_nodes']}, "
            f"stop {why['stop']} after {why['iterations']} iterations"
        )

    if largest:
        del store, outputs, plain, as_data, own
        gc.collect()
        start = time.perf_counter()
        big, big_outputs, _ = build(largest)
        print(f"largest graph: {big.node_count()} nodes built in {time.perf_counter() - start:.1f} s")
        runs = []
        for _ in range(2):
            gc.collect()
            start = time.perf_counter()
            result = big.reduce_mapped(outputs=big_outputs, limits=NO_CLOCK)
            runs.append((time.perf_counter() - start, digest(result)))
            result = None
        print(
            f"time=None at {big.node_count()} nodes: {runs[0][0]:.1f} s and {runs[1][0]:.1f} s, "
            f"byte-identical: {runs[0][1] == runs[1][1]}"
        )


if __name__ == "__main__":
    main()
