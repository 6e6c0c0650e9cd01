"""An ETL-plus-model pipeline run on a local Dask cluster, before and after reduction.

Run it with one command (after `pip install '.[dask]'`):

    python3 examples/dask_pipeline.py [folder]

It writes a small partitioned sales data set (one NumPy .npz file per partition, into folder or
a temporary one), builds the
pipeline as a vantrel_core graph (with the repeated and commuted sub-expressions and the
identities that hand-written pipelines accumulate, a hash exchange by region and an external
scoring model), reduces it, runs both graphs on a distributed.LocalCluster with 2 worker
processes, checks that they agree, and prints task counts and wall times.
"""

from __future__ import annotations

import contextlib
import pathlib
import sys
import tempfile
import time
from collections.abc import Callable
from typing import Any

import numpy as np
import vantrel_core as vc
from numpy.typing import NDArray

import vantrel

Array = NDArray[np.float64]
PARTITIONS = 8
ROWS = 10_000
REGIONS = 5


# --- the data set ----------------------------------------------------------------------------


def write_dataset(root: pathlib.Path) -> None:
    rng = np.random.default_rng(42)
    for i in range(PARTITIONS):
        np.savez(
            root / f"part-{i:03d}.npz",
            price=rng.lognormal(3.0, 0.5, ROWS),
            quantity=rng.integers(1, 20, ROWS).astype(float),
            discount=rng.uniform(0.0, 0.3, ROWS),
            region=rng.integers(0, REGIONS, ROWS).astype(float),
        )


# --- what the names mean ---------------------------------------------------------------------


def read_column(index: int, path: str, column: str) -> Array:
    with np.load(pathlib.Path(path) / f"part-{index:03d}.npz") as part:
        return np.asarray(part[column], dtype=np.float64)


def arith(fn: Callable[[Any, Any], Any]) -> Callable[..., Array]:
    """An op over its inputs, or over its one input and ``scalar`` on ``side``."""

    def op(*xs: Array, scalar: float | None = None, side: str = "r") -> Array:
        if scalar is not None:
            return np.asarray(fn(xs[0], scalar) if side == "r" else fn(scalar, xs[0]), dtype=np.float64)
        out = xs[0]
        for x in xs[1:]:
            out = np.asarray(fn(out, x), dtype=np.float64)
        return out

    return op


def log1p(x: Array) -> Array:
    return np.log1p(x)


def clip(x: Array, lo: float, hi: float) -> Array:
    return np.clip(x, lo, hi)


def stack(*columns: Array) -> Array:
    return np.column_stack(columns)


def total(x: Array) -> float:
    return float(x.sum())


def add_up(partials: list[Any]) -> Any:
    return sum(partials)


def sum_and_count(x: Array) -> Array:
    return np.array([x.sum(), x.size], dtype=np.float64)


def ratio(partial: Array) -> float:
    return float(partial[0] / partial[1])


def concat(parts: list[Array], key: int = 0) -> Array:
    return np.concatenate(parts)


def hash_split(rows: Array, n: int, key: int = 0) -> list[Array]:
    """Rows of a feature matrix go to the partition of their key column."""
    target = rows[:, key].astype(np.int64) % n
    return [rows[target == k] for k in range(n)]


def load_model(descriptor: vantrel.Descriptor) -> Callable[[Array], Array]:
    """A linear scoring model whose weights are fixed by the descriptor's content hash."""
    rng = np.random.default_rng(int(descriptor.content_hash.split(":")[1], 16))
    weights = rng.normal(size=64) / 8

    def score(rows: Array) -> Array:
        return 1.0 / (1.0 + np.exp(-(rows[:, 1:] @ weights[: rows.shape[1] - 1])))

    return score


def registry() -> vantrel.Registry:
    reg = vantrel.Registry()
    reg.source("column", read=read_column, count=PARTITIONS)
    for name, fn in (("add", np.add), ("mul", np.multiply), ("maximum", np.maximum)):
        reg.op(name, arith(fn))
    reg.op("sub", arith(np.subtract), commutative=False)
    reg.op("div", arith(np.divide), commutative=False)
    reg.op("log1p", log1p)
    reg.op("clip", clip)
    reg.op("stack", stack)
    reg.reduction("sum", chunk=total, combine=add_up)
    reg.reduction("mean", chunk=sum_and_count, combine=add_up, finalize=ratio)
    reg.exchange("hash", split=hash_split, merge=concat)
    reg.external("model", load_model)
    return reg


# --- the pipeline ----------------------------------------------------------------------------


def build(path: str) -> tuple[vc.GraphStore, list[int]]:
    g = vc.GraphStore()
    col = {c: g.add_source("column", {"path": path, "column": c}) for c in ("price", "quantity", "discount", "region")}
    price, qty, disc, region = col["price"], col["quantity"], col["discount"], col["region"]

    revenue = g.add_op("mul", [price, qty])
    keep = g.add_op("sub", [disc], {"scalar": 1.0, "side": "l"})  # 1 - discount
    net = g.add_op("mul", [g.add_op("mul", [qty, price]), keep])  # revenue, commuted
    net = g.add_op("add", [net], {"scalar": 0.0, "side": "r"})  # + 0: an identity
    features = [region]
    for k in range(1, 25):
        # Each feature recomputes net revenue its own way, as separately written steps do.
        again = g.add_op("mul", [keep, g.add_op("mul", [price, qty])], {})
        scaled = g.add_op("mul", [g.add_op("log1p", [again])], {"scalar": 1.0, "side": "l"})
        bumped = g.add_op("add", [scaled], {"scalar": float(k), "side": "r"})
        feature = g.add_op(
            "clip", [g.add_op("div", [bumped, g.add_op("maximum", [qty, disc])])], {"lo": 0.0, "hi": 50.0}
        )
        features.append(feature)
    table = g.add_op("stack", features)
    by_region = g.add_exchange([table], {"scheme": "hash", "partitions": PARTITIONS, "key": 0})
    model = vc.PayloadDescriptor(
        kind="model", content_hash="sha256:5eed", framework="numpy", version="1", io_schema="f64[n,k]->f64[n]"
    )
    scores = g.add_external(model, [by_region])
    outputs = [
        g.add_reduction("sum", [revenue]),
        g.add_reduction("sum", [net]),
        g.add_reduction("mean", [scores]),
        scores,
        g.add_reduction("sum", [revenue]),
    ]
    return g, outputs


def timed(run: Any, client: Any, repeat: int = 2) -> tuple[list[list[Any]], float]:
    """The result and the best wall time of ``repeat`` runs of a `vantrel.to_dask` run."""
    best, result = float("inf"), list[list[Any]]()
    for _ in range(repeat):
        start = time.perf_counter()
        result = list(run.compute(scheduler=client))
        best = min(best, time.perf_counter() - start)
    return result, best


def flat(parts: list[Any]) -> Array:
    return np.concatenate([np.atleast_1d(np.asarray(p, dtype=np.float64)) for p in parts])


def main() -> None:
    from distributed import Client, LocalCluster

    given = sys.argv[1] if len(sys.argv) > 1 else None
    with contextlib.nullcontext(given) if given else tempfile.TemporaryDirectory() as tmp:
        pathlib.Path(tmp).mkdir(parents=True, exist_ok=True)
        write_dataset(pathlib.Path(tmp))
        g, outputs = build(tmp)
        reg = registry()
        start = time.perf_counter()
        reduced, report, ids = vantrel.reduce_outputs(g, outputs)
        reduce_time = time.perf_counter() - start
        print(
            f"graph: {g.node_count()} nodes; reduced in {reduce_time * 1e3:.1f} ms to "
            f"{reduced.node_count()} nodes ({report['stages']} stages)"
        )
        original, fused = vantrel.to_dask(g, reg, outputs), vantrel.to_dask(reduced, reg, ids)
        cluster = LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,  # type: ignore[no-untyped-call]
            dashboard_address=":0",
        )
        with cluster, Client(cluster) as client:  # type: ignore[no-untyped-call]
            timed(fused, client, 1)  # warm the workers up (imports, payload load)
            base, base_time = timed(original, client)
            result, fused_time = timed(fused, client)
        agree = all(np.allclose(flat(a), flat(b)) for a, b in zip(base, result))
        print(f"{'':10}{'tasks':>8}{'wall time (best of 2)':>24}")
        print(f"{'original':10}{original.task_count:>8}{base_time:>23.2f}s")
        print(f"{'reduced':10}{fused.task_count:>8}{fused_time:>23.2f}s")
        print(f"results agree: {agree}; total revenue {result[0][0]:,.0f}, mean score {result[2][0]:.4f}")


if __name__ == "__main__":
    main()
