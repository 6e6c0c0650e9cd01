"""Shared pieces of the runtime tests: a NumPy registry, random pipeline graphs and the
comparison of results (-0.0 equals +0.0 and NaN equals NaN: the identity x + 0.0 that the
reduction removes turns a -0.0 into +0.0, and NaN payloads are not compared)."""

from __future__ import annotations

import importlib.util
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pytest
from hypothesis import strategies as st
from vantrel_core import GraphStore

import vantrel
from vantrel import Registry

PARTS = 3  # partition count of every multi-partition source
ROWS = 4  # rows per partition


def quiet(fn):
    """``fn`` with NumPy's floating-point warnings off (overflow and NaN are part of the data)."""

    def wrapped(*args, **kwargs):
        with np.errstate(all="ignore"):
            return fn(*args, **kwargs)

    wrapped.__name__ = fn.__name__
    return wrapped


def scalar_op(combine):
    """An op that combines its inputs, or its one input with ``scalar`` on ``side``."""

    @quiet
    def op(*xs, scalar=None, side="r"):
        if scalar is not None:
            (x,) = xs
            return combine(x, scalar) if side == "r" else combine(scalar, x)
        out = xs[0]
        for x in xs[1:]:
            out = combine(out, x)
        return out

    return op


SPECIALS = [0.0, -0.0, np.nan, 1.5, -2.25, 1e300, -1e300]


def read_column(index: int, seed: int = 0, width: int = ROWS) -> np.ndarray:
    """Partition ``index`` of a seeded column, with signed zeros, NaN and huge values."""
    rng = np.random.default_rng([seed, index])
    values = rng.standard_normal(width)
    picks = rng.integers(0, 3 * len(SPECIALS), width)
    return np.where(picks < len(SPECIALS), np.array(SPECIALS)[np.minimum(picks, len(SPECIALS) - 1)], values)


def mask_split(part: np.ndarray, n: int) -> list[np.ndarray]:
    """Row r of a partition goes to output partition r mod n; the other rows carry zeros."""
    rows = np.arange(len(part)) % n
    return [np.where(rows == k, part, 0.0) for k in range(n)]


@quiet
def sum_parts(parts: list[np.ndarray]) -> np.ndarray:
    out = parts[0]
    for p in parts[1:]:
        out = out + p
    return out


def make_model(descriptor):
    scale = float(descriptor.version)
    return quiet(lambda x, shift=0.0: np.tanh(x) * scale + shift)


def numpy_registry() -> Registry:
    """Every name the random graphs use."""
    reg = Registry()
    reg.source("col", read=read_column, count=PARTS)
    reg.source("one", read=read_column, count=1)
    reg.source("lit", [np.linspace(-1.0, 1.0, ROWS) * (k + 1) for k in range(PARTS)])
    reg.op("add", scalar_op(np.add))
    reg.op("mul", scalar_op(np.multiply))
    reg.op("maximum", scalar_op(np.maximum))
    reg.op("minimum", scalar_op(np.minimum))
    reg.op("sub", scalar_op(np.subtract), commutative=False)
    reg.op("neg", quiet(np.negative))
    reg.op("tanh", quiet(np.tanh))
    reg.reduction("sum", chunk=quiet(lambda x: np.array([x.sum()])), combine=sum_parts, fan_in=2)
    reg.reduction(
        "mean",
        chunk=quiet(lambda x, y=None: np.array([x.sum(), x.size])),
        combine=sum_parts,
        finalize=quiet(lambda p, **_: np.array([p[0] / p[1]])),
    )
    reg.exchange("mask", split=mask_split, merge=sum_parts)
    reg.external("model", make_model)
    return reg


def same(a: list[list[Any]], b: list[list[Any]]) -> bool:
    """Equal results: same outputs, same partition counts, equal partitions (see above)."""
    return len(a) == len(b) and all(
        len(x) == len(y) and all(np.array_equal(p, q, equal_nan=True) for p, q in zip(x, y)) for x, y in zip(a, b)
    )


def descriptor(version: str) -> dict[str, str]:
    return {
        "kind": "model",
        "content_hash": "sha256:" + version,
        "framework": "numpy",
        "version": version,
        "io_schema": "f64[n]->f64[n]",
    }


COMMUTATIVE = ["add", "mul", "maximum", "minimum"]
IDENTITIES = [("add", 0.0, "r"), ("add", 0.0, "l"), ("mul", 1.0, "r"), ("mul", 1.0, "l")]


@dataclass
class Built:
    store: GraphStore
    outputs: list[int]
    counts: dict[int, int] = field(default_factory=dict)


@st.composite
def pipelines(draw, max_nodes: int = 14) -> Built:
    """A random pipeline over NumPy partitions: every node kind, commuted twins, identities,
    broadcast one-partition inputs, and requested outputs with repeats."""
    g = GraphStore()
    counts: dict[int, int] = {}
    pairs: dict[int, tuple[str, int, int]] = {}  # commutative op -> (name, x, y)

    def node(nid: int, count: int) -> int:
        counts[nid] = count
        return nid

    node(g.add_source("col", {"seed": draw(st.integers(0, 3))}), PARTS)
    if draw(st.booleans()):
        node(g.add_source("one", {"seed": 7}), 1)
    if draw(st.booleans()):
        node(g.add_source("lit"), PARTS)
    ids = list(counts)

    def pick(want_count: int | None = None) -> int:
        choices = [i for i in ids if want_count is None or counts[i] in (1, want_count)]
        return draw(st.sampled_from(choices))

    def wide(*xs: int) -> int:
        return max(counts[x] for x in xs)

    for _ in range(draw(st.integers(2, max_nodes))):
        step = draw(
            st.sampled_from(
                ["comm", "comm", "twin", "sub", "unary", "identity", "scaled", "sum3", "reduce", "exchange", "external"]
            )
        )
        if step in ("comm", "twin"):
            twins = [i for i in ids if i in pairs] if step == "twin" else []
            if twins:
                a = draw(st.sampled_from(twins))
                name, y, x = pairs[a]
                nid = g.add_op(name, [x, y])
            else:
                x = pick()
                y = pick(counts[x] if counts[x] > 1 else None)
                name = draw(st.sampled_from(COMMUTATIVE))
                nid = g.add_op(name, [x, y])
                pairs[nid] = (name, x, y)
            node(nid, wide(x, y))
        elif step == "sub":
            x = pick()
            y = pick(counts[x] if counts[x] > 1 else None)
            node(g.add_op("sub", [x, y]), wide(x, y))
        elif step == "unary":
            x = pick()
            node(g.add_op(draw(st.sampled_from(["neg", "tanh"])), [x]), counts[x])
        elif step == "identity":
            x = pick()
            name, scalar, side = draw(st.sampled_from(IDENTITIES))
            node(g.add_op(name, [x], {"scalar": scalar, "side": side}), counts[x])
        elif step == "scaled":
            x = pick()
            node(g.add_op("mul", [x], {"scalar": draw(st.sampled_from([2.0, -0.5])), "side": "l"}), counts[x])
        elif step == "sum3":
            x = pick()
            y, z = pick(counts[x] if counts[x] > 1 else None), pick(counts[x] if counts[x] > 1 else None)
            node(g.add_op("add", [x, y, z]), wide(x, y, z))
        elif step == "reduce":
            node(g.add_reduction(draw(st.sampled_from(["sum", "mean"])), [pick()]), 1)
        elif step == "exchange":
            x = pick()
            n = draw(st.sampled_from([None, 1, PARTS]))
            params = {"scheme": "mask"} if n is None else {"scheme": "mask", "partitions": n}
            node(g.add_exchange([x], params), counts[x] if n is None else n)
        else:
            x = pick()
            params = draw(st.sampled_from([None, {"shift": 0.5}]))
            node(g.add_external(descriptor(draw(st.sampled_from(["2", "3"]))), [x], params), counts[x])
        ids = list(counts)
    outputs = draw(st.lists(st.sampled_from(ids[-6:]), min_size=1, max_size=4))
    if draw(st.booleans()):
        outputs.append(outputs[0])  # a repeated request
    return Built(g, outputs, counts)


# ---- backends ----


@dataclass(frozen=True)
class Backend:
    """One way to run a graph: ``run(store, registry, outputs, **options)`` takes what
    `vantrel.evaluate` takes (``reduce``, ``maximal_fusion``) and gives what it gives.
    ``needs`` names a module the backend imports (its tests are skipped without it)."""

    name: str
    run: Callable[..., list[list[Any]]]
    needs: str | None = None


def _dask(scheduler: str) -> Callable[..., list[list[Any]]]:
    def run(store, registry, outputs=None, **options):
        return vantrel.compute(store, registry, outputs, scheduler=scheduler, **options)

    return run


#: Every backend the runtime tests run on; a new backend is one more entry.
BACKENDS = [
    Backend("local", vantrel.evaluate),
    Backend("dask-sync", _dask("sync"), needs="dask"),
    Backend("dask-threads", _dask("threads"), needs="dask"),
]


def backends() -> list[Any]:
    """``BACKENDS`` as pytest parameters, each skipped when what it needs is missing."""
    return [
        pytest.param(
            b,
            id=b.name,
            marks=pytest.mark.skipif(
                b.needs is not None and importlib.util.find_spec(b.needs) is None, reason=f"needs {b.needs}"
            ),
        )
        for b in BACKENDS
    ]
