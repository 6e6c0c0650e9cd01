"""Threads during long reductions. GraphStore.reduce_mapped releases the GIL around its C++
work; GraphStore.reduce keeps it (the baseline). Prints, for a 10^6-node pipeline-shaped graph:

1. the share of its ticks that a 1 ms ticker thread keeps during reduce_mapped, beside the
   share it keeps during reduce; 100% is the ticker's rate when the process is idle, measured
   in the same run;
2. two threads running reduce_mapped on two different 10^6-node stores, as a fraction of doing
   both one after the other, beside the same for reduce;
3. reduce() on a 1-node store, beside node_count() on it (the cost of a bare method call);
4. for each method (reduce, reduce_mapped, IncrementalReducer.finalize and finalize_mapped):
   two reductions of the two stores in two threads as a fraction of both one after the other
   in the main thread, with the CPU time and the page faults of one reduction alone and in
   parallel; beside a pure-Python control of the same shape (two threads of a CPU-bound loop
   sized to take about as long), which shows what the interpreter allows: about 1.0 with a
   GIL, about 0.5 without one on two idle cores; and beside a memory-bound control (two
   threads of random reads from tables far larger than the caches, with NumPy, which releases
   the GIL), which shows what two cores sharing one memory system allow.

Both thread figures depend on free cores: on a busy machine the scheduler, not the GIL, decides
how often the ticker runs and whether two threads run at once. So each also prints the same
figure for zlib.compress, a standard-library call that releases the GIL as well, sized to take
about as long: what the machine allows at that moment.

    python bench/bench_threads.py [nodes]              (1-3)
    python bench/bench_threads.py --scaling [nodes]    (4)
"""

import os
import resource
import sys
import threading
import time
import zlib

from bench_reduce import build
from vantrel_core import GraphStore, IncrementalReducer

TICK = 0.001


class Ticker:
    def __init__(self):
        self.ticks = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stop.is_set():
            time.sleep(TICK)
            self.ticks += 1

    def __enter__(self):
        self.thread.start()
        time.sleep(0.05)  # let it settle into its rhythm
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


def tick_rate_during(call):
    """Ticks per second of a ticker thread while `call` runs, and how long the call took."""
    with Ticker() as ticker:
        before, t0 = ticker.ticks, time.perf_counter()
        call()
        elapsed = time.perf_counter() - t0
        return (ticker.ticks - before) / elapsed, elapsed


def idle_rate(seconds):
    return tick_rate_during(lambda: time.sleep(seconds))[0]


def best_of(k, fn):
    return min(fn() for _ in range(k))


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    t0 = time.perf_counter()
    s1, out1, _ = build(n, seed=1)
    s2, out2, _ = build(n, seed=2)
    print(f"built two stores of {s1.node_count()} and {s2.node_count()} nodes in {time.perf_counter() - t0:.1f} s")

    rate_mapped, took_mapped = tick_rate_during(lambda: s1.reduce_mapped(outputs=out1))
    rate_plain, took_plain = tick_rate_during(lambda: s1.reduce(outputs=out1))
    idle = idle_rate(max(took_mapped, 0.5))
    print(
        f"ticker kept during reduce_mapped ({took_mapped:.2f} s): {100 * rate_mapped / idle:5.1f}% of its ticks"
        f"   | during reduce ({took_plain:.2f} s, baseline): {100 * rate_plain / idle:5.1f}%"
        f"   (idle rate {idle:.0f}/s)"
    )

    chunk = os.urandom(1 << 20)
    probe = time.perf_counter()
    zlib.compress(chunk * 4, 6)
    data = chunk * max(1, int(4 * took_mapped / (time.perf_counter() - probe)))
    rate_zlib, took_zlib = tick_rate_during(lambda: zlib.compress(data, 6))
    print(
        f"   machine check: ticker kept during zlib.compress ({took_zlib:.2f} s, releases the GIL too): "
        f"{100 * rate_zlib / idle:5.1f}%"
    )

    def serial(method):
        def run():
            t = time.perf_counter()
            getattr(s1, method)(outputs=out1)
            getattr(s2, method)(outputs=out2)
            return time.perf_counter() - t

        return run

    def parallel(method):
        def run():
            threads = [
                threading.Thread(target=getattr(s, method), kwargs={"outputs": o}) for s, o in ((s1, out1), (s2, out2))
            ]
            t = time.perf_counter()
            for th in threads:
                th.start()
            for th in threads:
                th.join()
            return time.perf_counter() - t

        return run

    ser_m, par_m = best_of(3, serial("reduce_mapped")), best_of(3, parallel("reduce_mapped"))
    ser_p, par_p = best_of(2, serial("reduce")), best_of(2, parallel("reduce"))
    print(
        f"two threads, two stores, reduce_mapped: {par_m:.2f} s vs {ser_m:.2f} s serial = {par_m / ser_m:.2f}"
        f"   | reduce (baseline): {par_p:.2f} s vs {ser_p:.2f} s = {par_p / ser_p:.2f}"
    )

    def zlib_pair(parallel):
        def run():
            t = time.perf_counter()
            if parallel:
                threads = [threading.Thread(target=zlib.compress, args=(data, 6)) for _ in range(2)]
                for th in threads:
                    th.start()
                for th in threads:
                    th.join()
            else:
                zlib.compress(data, 6)
                zlib.compress(data, 6)
            return time.perf_counter() - t

        return run

    ser_z, par_z = best_of(2, zlib_pair(False)), best_of(2, zlib_pair(True))
    print(
        f"   machine check: two threads of zlib.compress: {par_z:.2f} s vs {ser_z:.2f} s serial = {par_z / ser_z:.2f}"
    )

    one = GraphStore()
    x = one.add_source("x")
    reps = 20000

    def per_call(fn):
        def run():
            t = time.perf_counter()
            for _ in range(reps):
                fn()
            return (time.perf_counter() - t) / reps

        return run

    r1 = best_of(5, per_call(lambda: one.reduce(outputs=[x])))
    floor = best_of(5, per_call(one.node_count))
    print(f"reduce() on a 1-node store: {r1 * 1e6:.2f} us   | node_count() (call floor): {floor * 1e6:.2f} us")


def thread_usage():
    """CPU seconds and minor page faults of the calling thread so far."""
    r = resource.getrusage(resource.RUSAGE_THREAD)
    return r.ru_utime + r.ru_stime, r.ru_minflt


def timed(fn):
    """(wall seconds, CPU seconds, page faults) of fn() in the calling thread."""
    cpu0, faults0 = thread_usage()
    t0 = time.perf_counter()
    fn()
    wall = time.perf_counter() - t0
    cpu1, faults1 = thread_usage()
    return wall, cpu1 - cpu0, faults1 - faults0


def pair(calls, parallel):
    """Runs the calls one after the other in this thread, or each in a thread of its own;
    returns the wall time of the whole and the (wall, CPU, faults) of each call."""
    if not parallel:
        each = [timed(call) for call in calls]
        return sum(w for w, _, _ in each), each
    each = [None] * len(calls)

    def run(k):
        each[k] = timed(calls[k])

    threads = [threading.Thread(target=run, args=(k,)) for k in range(len(calls))]
    t0 = time.perf_counter()
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    return time.perf_counter() - t0, each


def scaling(label, calls, rounds=2):
    """Prints the parallel/serial ratio of `calls` (best of `rounds` each), with the CPU time
    and page faults per call, and returns the ratio."""
    ser = min((pair(calls, False) for _ in range(rounds)), key=lambda r: r[0])
    par = min((pair(calls, True) for _ in range(rounds)), key=lambda r: r[0])
    cpu_alone = sum(c for _, c, _ in ser[1]) / len(calls)
    cpu_par = sum(c for _, c, _ in par[1]) / len(calls)
    faults_alone = sum(f for _, _, f in ser[1]) // len(calls)
    faults_par = sum(f for _, _, f in par[1]) // len(calls)
    print(
        f"{label:<26} parallel/serial {par[0] / ser[0]:5.2f} ({par[0]:.2f} s vs {ser[0]:.2f} s)"
        f"   CPU per call alone {cpu_alone:.2f} s, in parallel {cpu_par:.2f} s ({cpu_par / max(cpu_alone, 1e-9):.2f}x)"
        f"   page faults per call alone {faults_alone}, in a thread {faults_par}"
    )
    return par[0] / ser[0]


def scaling_main(n):
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(
        f"\n{sys.version.split()[0]}, GIL {'enabled' if gil else 'disabled'}, {os.cpu_count()} cores, "
        f"load average {os.getloadavg()[0]:.1f}"
    )
    s1, out1, _ = build(n, seed=1)
    s2, out2, _ = build(n, seed=2)
    stores = ((s1, out1), (s2, out2))
    methods = {
        "reduce": lambda s, o: s.reduce(outputs=o),
        "reduce_mapped": lambda s, o: s.reduce_mapped(outputs=o),
        "finalize": lambda s, o: IncrementalReducer().finalize(s, outputs=o),
        "finalize_mapped": lambda s, o: IncrementalReducer().finalize_mapped(s, outputs=o),
    }
    one = None
    for name, method in methods.items():
        calls = [lambda s=s, o=o, m=method: m(s, o) for s, o in stores]
        calls[0]()  # warm: first-use tables and the allocator's arenas
        if one is None:
            one = timed(calls[0])[0]
        scaling(f"two stores, {name}", calls)

    def spin(k):
        total = 0
        for i in range(k):
            total += i * i % 7
        return total

    probe = timed(lambda: spin(200_000))[0]
    k = max(1, int(200_000 * one / max(probe, 1e-9)))
    scaling("pure-Python control", [lambda: spin(k), lambda: spin(k)])
    memory_control(one)


def memory_control(seconds):
    """Two threads of random reads over tables far larger than the caches, the access pattern of
    a reduction's hash tables, sized to take about `seconds`: what the memory system allows two
    cores, whatever the interpreter. NumPy releases the GIL inside `take`."""
    try:
        import numpy as np
    except ImportError:
        print("memory-bound control skipped: numpy is not installed")
        return
    rng = np.random.default_rng(0)
    tables = [rng.integers(0, 1 << 30, size=1 << 24) for _ in range(2)]  # 128 MiB each
    picks = rng.integers(0, 1 << 24, size=1 << 20)
    probe = timed(lambda: tables[0].take(picks))[0]
    rounds = max(1, int(seconds / max(probe, 1e-9)))

    def gather(table):
        for _ in range(rounds):
            table.take(picks)

    scaling("memory-bound control", [lambda: gather(tables[0]), lambda: gather(tables[1])])


if __name__ == "__main__":
    if "--scaling" in sys.argv:
        sys.argv.remove("--scaling")
        scaling_main(int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000)
    else:
        main()
