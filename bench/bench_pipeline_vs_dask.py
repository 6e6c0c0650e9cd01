"""The sales pipeline of examples/dask_pipeline.py run as a vantrel graph and as a Dask user
writes it by hand, side by side in one process.

Variants (every one computes the same five results: two revenue sums, net revenue, the mean
score and the scores after the exchange by region):
- vantrel as written, reduced, and reduced with maximal fusion (`vantrel.to_dask`);
- dask.array as the graph is written (the same ops, identities and repeats);
- dask.array with the shared parts factored out by hand;
- hand-fused delayed tasks: one task per partition on each side of the exchange.

For each scale (rows = partitions x rows per partition) and scheduler (threads, and a
2-process LocalCluster unless --no-cluster), it prints the task count, the time to build the
graph (for the reduced graphs: reduce, plan and build), the best wall time of --repeat runs
after one warm-up run, and the wall time as a ratio to each hand-written baseline from the
same run (below 1: the variant is faster). Results are checked against the unreduced graph.

    python3 bench/bench_pipeline_vs_dask.py [--quick] [--scales 10000,200000,1000000]
                                            [--partitions 8] [--repeat 3] [--no-cluster]

--quick runs the smallest scale only, one timed run after the warm-up. The largest default scale (8 x 10^6 rows)
writes about 260 MB of data and takes minutes.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
import tempfile
import time
import types
from collections.abc import Callable
from typing import Any

import dask
import dask.array as da
import numpy as np
from dask.base import collections_to_expr, tokenize
from dask.delayed import delayed
from dask.highlevelgraph import HighLevelGraph

import vantrel

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
import dask_pipeline as sales  # noqa: E402  (the pipeline, its data and its kernels)

FEATURES = 24
MODEL = types.SimpleNamespace(content_hash="sha256:5eed")  # what the pipeline's descriptor names


class Variant:
    """One way to run the pipeline: ``build()`` gives the collections to compute and the time
    it took; ``results(values)`` turns what ``dask.compute`` returned into the five results."""

    def __init__(
        self, name: str, build: Callable[[], tuple[tuple[Any, ...], float]], results: Callable[[Any], list[Any]]
    ) -> None:
        self.name, self.build, self.results = name, build, results


# --- vantrel -------------------------------------------------------------------------------


def vantrel_variants(path: str) -> list[Variant]:
    g, outputs = sales.build(path)
    reg = sales.registry()

    def plain() -> tuple[tuple[Any, ...], float]:
        start = time.perf_counter()
        run = vantrel.to_dask(g, reg, outputs)
        return (run,), time.perf_counter() - start

    def reduced(maximal: bool) -> Callable[[], tuple[tuple[Any, ...], float]]:
        def build() -> tuple[tuple[Any, ...], float]:
            start = time.perf_counter()
            run = vantrel.to_dask(g, reg, outputs, reduce=True, maximal_fusion=maximal)
            return (run,), time.perf_counter() - start

        return build

    def results(values: Any) -> list[Any]:
        (lists,) = values
        return [lists[0][0], lists[1][0], lists[2][0], lists[3]]

    return [
        Variant("vantrel as written", plain, results),
        Variant("vantrel reduced", reduced(False), results),
        Variant("vantrel max fusion", reduced(True), results),
    ]


# --- dask.array ----------------------------------------------------------------------------


def read_array(path: str, column: str, partitions: int, rows: int) -> da.Array:
    """One task per partition reading one column, as a dask.array."""
    name = f"read-{column}-{tokenize(path, column, partitions, rows)}"
    dsk = {(name, i): (sales.read_column, i, path, column) for i in range(partitions)}
    graph = HighLevelGraph.from_collections(name, dsk, dependencies=[])
    return da.Array(graph, name, chunks=((rows,) * partitions,), dtype=np.float64)


def exchange_and_score(table: da.Array, partitions: int) -> tuple[da.Array, list[Any]]:
    """The hash exchange by region and the model as delayed tasks (dask.array has no
    exchange by a key column): a split per partition, a pick per split and partition, a
    merge and a scoring task per partition; the mean over the scores as a dask.array."""
    score = delayed(sales.load_model(MODEL), pure=True)
    blocks = table.to_delayed().ravel()
    splits = [delayed(sales.hash_split, nout=partitions, pure=True)(b, partitions) for b in blocks]
    scores = [score(delayed(sales.concat, pure=True)([s[j] for s in splits])) for j in range(partitions)]
    mean = da.concatenate([da.from_delayed(s, shape=(np.nan,), dtype=np.float64) for s in scores]).mean()
    return mean, scores


def stacked(features: list[da.Array]) -> da.Array:
    return da.map_blocks(
        sales.stack, *features, new_axis=1, chunks=(features[0].chunks[0], (len(features),)), dtype=np.float64
    )


def array_variants(path: str, partitions: int, rows: int) -> list[Variant]:
    def columns() -> list[da.Array]:
        return [read_array(path, c, partitions, rows) for c in ("price", "quantity", "discount", "region")]

    def as_written() -> tuple[tuple[Any, ...], float]:
        start = time.perf_counter()
        price, qty, disc, region = columns()
        revenue = price * qty
        keep = 1.0 - disc
        net = (qty * price) * keep + 0.0
        features = [region]
        for k in range(1, FEATURES + 1):
            again = keep * (price * qty)
            bumped = 1.0 * da.log1p(again) + float(k)
            features.append(da.clip(bumped / da.maximum(qty, disc), 0.0, 50.0))
        mean, scores = exchange_and_score(stacked(features), partitions)
        return (revenue.sum(), net.sum(), mean, scores, revenue.sum()), time.perf_counter() - start

    def factored() -> tuple[tuple[Any, ...], float]:
        start = time.perf_counter()
        price, qty, disc, region = columns()
        revenue = price * qty
        net = revenue * (1.0 - disc)
        base, denominator = da.log1p(net), da.maximum(qty, disc)
        features = [region] + [da.clip((base + float(k)) / denominator, 0.0, 50.0) for k in range(1, FEATURES + 1)]
        mean, scores = exchange_and_score(stacked(features), partitions)
        total = revenue.sum()
        return (total, net.sum(), mean, scores, total), time.perf_counter() - start

    def results(values: Any) -> list[Any]:
        return [values[0], values[1], values[2], list(values[3])]

    return [Variant("dask.array as written", as_written, results), Variant("dask.array factored", factored, results)]


# --- hand-fused ----------------------------------------------------------------------------


def fused_side_a(index: int, path: str, partitions: int) -> list[Any]:
    """Everything before the exchange for one partition: the split table's parts, then the
    partial revenue and net revenue sums."""
    price, qty, disc, region = (sales.read_column(index, path, c) for c in ("price", "quantity", "discount", "region"))
    revenue = price * qty
    net = revenue * (1.0 - disc)
    base, denominator = np.log1p(net), np.maximum(qty, disc)
    table = np.column_stack(
        [region] + [np.clip((base + float(k)) / denominator, 0.0, 50.0) for k in range(1, FEATURES + 1)]
    )
    return [*sales.hash_split(table, partitions), np.array([sales.total(revenue), sales.total(net)])]


def fused_side_b(parts: list[Any]) -> Any:
    return sales.load_model(MODEL)(sales.concat(parts))


def fused_finish(partials: list[Any], scores: list[Any]) -> tuple[float, float, float]:
    totals = sum(partials)
    count = sum(s.size for s in scores)
    return float(totals[0]), float(totals[1]), float(sum(s.sum() for s in scores) / count)


def hand_fused_variant(path: str, partitions: int) -> Variant:
    def build() -> tuple[tuple[Any, ...], float]:
        start = time.perf_counter()
        sides = [delayed(fused_side_a, nout=partitions + 1, pure=True)(i, path, partitions) for i in range(partitions)]
        scores = [delayed(fused_side_b, pure=True)([s[j] for s in sides]) for j in range(partitions)]
        finish = delayed(fused_finish, pure=True)([s[partitions] for s in sides], scores)
        return (finish, scores), time.perf_counter() - start

    def results(values: Any) -> list[Any]:
        (revenue, net, mean), scores = values
        return [revenue, net, mean, list(scores)]

    return Variant("hand-fused delayed", build, results)


# --- running -------------------------------------------------------------------------------


def task_count(collections: tuple[Any, ...]) -> int:
    """The tasks that run: the graph after the optimization that dask.compute applies."""
    flat = [c for x in collections for c in (x if isinstance(x, list) else [x])]
    expr = collections_to_expr(flat, True).optimize()
    return len(expr.__dask_graph__())


def same(a: list[Any], b: list[Any]) -> bool:
    flat = [
        np.concatenate([np.atleast_1d(np.asarray(x, dtype=np.float64)) for x in r])
        if isinstance(r, list)
        else np.asarray(r, dtype=np.float64)
        for r in (a, b)
    ]
    return all(np.allclose(x, y) for x, y in zip(flat[0], flat[1])) if isinstance(a, list) else bool(np.allclose(*flat))


def agree(results: list[Any], reference: list[Any]) -> bool:
    return all(
        same([x] if not isinstance(x, list) else x, [y] if not isinstance(y, list) else y)
        for x, y in zip(results, reference)
    )


BASELINES = ("dask.array as written", "dask.array factored", "hand-fused delayed")


def measure(variants: list[Variant], scheduler: Any, repeat: int, label: str) -> None:
    rows: list[tuple[str, int, float, float, bool]] = []
    reference: list[Any] | None = None
    for variant in variants:
        collections, build_time = variant.build()
        tasks = task_count(collections)
        values = dask.compute(*collections, scheduler=scheduler)  # warm-up: imports, payload load
        results = variant.results(values)
        reference = results if reference is None else reference
        best = float("inf")
        for _ in range(repeat):
            collections, _ = variant.build()
            start = time.perf_counter()
            dask.compute(*collections, scheduler=scheduler)
            best = min(best, time.perf_counter() - start)
        rows.append((variant.name, tasks, build_time, best, agree(results, reference)))
    walls = {name: wall for name, _, _, wall, _ in rows}
    print(f"\n{label}")
    head = "".join(f"{'/' + b.split()[0] + ' ' + b.split()[-1]:>18}" for b in BASELINES)
    print(f"{'variant':24}{'tasks':>7}{'build ms':>10}{'wall s':>9}{head}  agree")
    for name, tasks, build_time, wall, ok in rows:
        ratios = "".join(f"{wall / walls[b]:>18.2f}" for b in BASELINES)
        print(f"{name:24}{tasks:>7}{build_time * 1e3:>10.1f}{wall:>9.3f}{ratios}  {ok}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="the smallest scale only, one timed run")
    parser.add_argument("--scales", default="10000,200000,1000000", help="rows per partition, comma-separated")
    parser.add_argument("--partitions", type=int, default=sales.PARTITIONS)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--no-cluster", action="store_true", help="threads only, no LocalCluster")
    args = parser.parse_args()
    scales = [int(s) for s in args.scales.split(",")]
    repeat = args.repeat
    if args.quick:
        scales, repeat = scales[:1], 1
    sales.PARTITIONS = args.partitions
    print(
        f"load average before: {' '.join(f'{x:.2f}' for x in os.getloadavg())} on {os.cpu_count()} cores; "
        f"ratios are wall time / the baseline's wall time in this run"
    )

    cluster = client = None
    if not args.no_cluster:
        from distributed import Client, LocalCluster

        cluster = LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,  # type: ignore[no-untyped-call]
            dashboard_address=":0",
        )
        client = Client(cluster)  # type: ignore[no-untyped-call]
    try:
        for rows in scales:
            with tempfile.TemporaryDirectory() as tmp:
                sales.ROWS = rows
                sales.write_dataset(pathlib.Path(tmp))
                variants = [
                    *vantrel_variants(tmp),
                    *array_variants(tmp, args.partitions, rows),
                    hand_fused_variant(tmp, args.partitions),
                ]
                scale = f"{args.partitions} x {rows:,} rows"
                measure(variants, "threads", repeat, f"{scale}, threads, best of {repeat}")
                if client is not None:
                    measure(variants, client, repeat, f"{scale}, 2-process LocalCluster, best of {repeat}")
    finally:
        if client is not None:
            client.close()
            cluster.close()
    print(f"\nload average after: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
