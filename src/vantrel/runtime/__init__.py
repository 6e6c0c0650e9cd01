"""Running graphs: a local evaluator (no dependencies) and a Dask runtime (the extra 'dask').

The same registry serves both. `evaluate` runs in the calling thread; `to_dask` builds a Dask
collection and `compute` runs it on any Dask scheduler ("sync", "threads", "processes" or a
``distributed.Client``). Both return one list of partitions per requested output, in order,
repeats included. `reduce_outputs` reduces a store and maps every requested output to the
reduced node that answers it, so a reduced graph runs for the same request.

Both are backends of one `Interpreter`, which walks a checked `Plan` and calls one method per
node kind; a new backend is one subclass (see the page "Writing a backend").
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from vantrel_core import GraphStore

from ..registry import Registry
from ..types import Extraction, Limits, RuleData
from ._deps import require_dask
from .ids import OutputIds
from .interpreter import Interpreter
from .kernels import clear_payload_cache
from .local import evaluate, evaluate_plan
from .output_map import Reduction, for_run, reduce_outputs
from .plan import PartitionCountError, Plan, PlanError, UnregisteredNameError, build_plan

if TYPE_CHECKING:
    from .dask_graph import DaskRun

__all__ = [
    "Interpreter",
    "PartitionCountError",
    "Plan",
    "PlanError",
    "UnregisteredNameError",
    "build_plan",
    "clear_payload_cache",
    "compute",
    "evaluate",
    "evaluate_plan",
    "reduce_outputs",
    "to_dask",
]


def to_dask(
    store: GraphStore,
    registry: Registry,
    outputs: OutputIds | None = None,
    *,
    reduce: bool = False,
    maximal_fusion: bool = False,
    rules: Iterable[RuleData] | None = None,
    limits: Limits | None = None,
    extract: Extraction | None = None,
) -> DaskRun:
    """The Dask collection that computes ``outputs`` (default: the store's marks) of
    ``store``; with ``reduce=True``, of the reduced graph, which answers the same request
    (``maximal_fusion`` picks the fusion rule; ``rules``, ``limits`` and ``extract`` are those
    of `vantrel_core.GraphStore.reduce_mapped`, and without ``rules`` a registry that declares
    laws or op costs reduces by its algebra). See `vantrel.runtime.dask_graph.DaskRun`.
    Needs the extra 'dask'."""
    require_dask()
    from .dask_graph import to_dask as build

    reduction = Reduction(maximal_fusion, rules, limits, extract, registry)
    store, outputs = for_run(store, outputs, reduce, reduction)
    return build(store, registry, outputs)


def compute(
    store: GraphStore,
    registry: Registry,
    outputs: OutputIds | None = None,
    *,
    reduce: bool = False,
    maximal_fusion: bool = False,
    rules: Iterable[RuleData] | None = None,
    limits: Limits | None = None,
    extract: Extraction | None = None,
    scheduler: Any = None,
) -> list[list[Any]]:
    """Compute ``outputs`` of ``store`` (reduced first with ``reduce=True``, as `to_dask`
    reduces) on a Dask scheduler: "sync", "threads", "processes", a ``distributed.Client``,
    or None for Dask's default. One list of partitions per requested output, in order,
    repeats included. Needs the extra 'dask'."""
    run = to_dask(
        store,
        registry,
        outputs,
        reduce=reduce,
        maximal_fusion=maximal_fusion,
        rules=rules,
        limits=limits,
        extract=extract,
    )
    return run.compute(scheduler=scheduler)
