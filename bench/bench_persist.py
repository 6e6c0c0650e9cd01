"""Blob and DOT throughput on a 1,000,000-node graph, side by side with baselines.

Serialize and deserialize are compared with pickle.dumps / pickle.loads of the same graph's
nodes() list, and with a plain copy of the blob's bytes (the physical floor); nodes() itself
with pickle.loads, which builds the same objects. Each figure is
the best of a few repetitions; the machine is shared, so read the ratios, not the times.

    python bench/bench_persist.py [--nodes N] [--repeat R]
"""

import argparse
import pickle
import time

from vantrel_core import GraphStore


def best(fn, repeat):
    times = []
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


def mixed_graph(n):
    """Sources, ops with scalar params, reductions, exchanges and externals, wide and deep."""
    g = GraphStore()
    desc = {"kind": "model", "content_hash": "sha256:ab12", "framework": "torch", "version": "2.1", "io_schema": "t"}
    ids = [g.add_source(f"col{i}", {"dtype": "f64"}) for i in range(min(n, 1000))]
    i = len(ids)
    while i < n:
        a, b = ids[(i * 7919) % len(ids)], ids[(i * 104729) % len(ids)]
        r = i % 10
        if r < 6:
            nid = g.add_op("add" if r % 2 else "mul", [a, b], {"scalar": float(i), "side": "r"})
        elif r < 8:
            nid = g.add_reduction("sum", [a], {"axis": i})
        elif r == 8:
            nid = g.add_exchange([a], {"scheme": "hash", "parts": i})
        else:
            nid = g.add_external(desc, [a, b], {"batch": i})
        ids.append(nid)
        i += 1
    return g


def chain(n):
    g = GraphStore()
    prev = g.add_source("x")
    for _ in range(n - 1):
        prev = g.add_op("f", [prev])
    return g


def rate(seconds, nbytes, nodes):
    return f"{nbytes / seconds / 1e6:8.1f} MB/s {nodes / seconds / 1e6:6.2f} M nodes/s ({seconds * 1e3:7.1f} ms)"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--nodes", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    n, rep = args.nodes, args.repeat

    t0 = time.perf_counter()
    g = mixed_graph(n)
    n = g.node_count()
    print(f"mixed graph: {n} nodes built in {time.perf_counter() - t0:.1f} s")

    t_ser, blob = best(g.serialize, rep)
    t_copy, _ = best(lambda: bytearray(blob), rep)
    t_de, back = best(lambda: GraphStore.deserialize(blob), max(1, rep // 2))
    assert back.serialize() == blob
    # The names are deleted below to free the memory before the chain, so the linter reads the
    # closures' names as undefined.
    nodes = g.nodes()
    t_pd, pickled = best(lambda: pickle.dumps(nodes, protocol=pickle.HIGHEST_PROTOCOL), rep)  # noqa: F821
    t_pl, _ = best(lambda: pickle.loads(pickled), max(1, rep // 2))  # noqa: F821
    size = len(blob)
    print(f"blob {size / 1e6:.1f} MB ({size / n:.1f} B/node), pickle of nodes() {len(pickled) / 1e6:.1f} MB")
    ser, de, pickled_size = rate(t_ser, size, n), rate(t_de, size, n), len(pickled)
    print(f"serialize      {ser} | memory copy floor {rate(t_copy, size, n)} | ratio {t_ser / t_copy:5.2f}x")
    print(f"serialize      {ser} | pickle.dumps(nodes) {rate(t_pd, pickled_size, n)} | speedup {t_pd / t_ser:5.1f}x")
    print(f"deserialize    {de} | pickle.loads(nodes) {rate(t_pl, pickled_size, n)} | speedup {t_pl / t_de:5.1f}x")
    t_nodes, _ = best(g.nodes, max(1, rep // 2))
    print(
        f"nodes()        {t_nodes / n * 1e9:6.0f} ns/node | pickle.loads(nodes) {t_pl / n * 1e9:6.0f} ns/node "
        f"| ratio {t_nodes / t_pl:5.2f}x (the same objects)"
    )
    t_dot, dot = best(g.to_dot, max(1, rep // 2))
    print(f"to_dot         {rate(t_dot, len(dot), n)} | serialize {rate(t_ser, size, n)}")
    del back, nodes, pickled, dot

    t0 = time.perf_counter()
    c = chain(args.nodes)
    print(f"chain: {c.node_count()} nodes built in {time.perf_counter() - t0:.1f} s")
    t_cs, cblob = best(lambda: c.serialize(outputs=[c.node_count() - 1]), rep)
    t_cc, _ = best(lambda: bytearray(cblob), rep)
    t_cd, cback = best(lambda: GraphStore.deserialize(cblob), 1)
    t_ct, cdot = best(c.to_dot, 1)
    assert cback.node_count() == c.node_count() and cdot.endswith("}\n")
    m = c.node_count()
    floor = rate(t_cc, len(cblob), m)
    print(f"chain serialize   {rate(t_cs, len(cblob), m)} | memory copy floor {floor} | ratio {t_cs / t_cc:5.2f}x")
    print(f"chain deserialize {rate(t_cd, len(cblob), m)} | memory copy floor {rate(t_cc, len(cblob), m)}")
    print(f"chain to_dot      {rate(t_ct, len(cdot), m)} | memory copy floor {rate(t_cc, len(cblob), m)}")


if __name__ == "__main__":
    main()
