"""Reduction for running: the reduced store together with, for every requested output, the
node of the reduced store that computes it (a reduced store merges equal outputs and keeps
one mark per node, so its marks alone do not answer the request)."""

from __future__ import annotations

from collections.abc import Iterable

from vantrel_core import GraphStore

from ..registry import Registry
from ..types import Extraction, Limits, ReductionReport, RuleData
from .ids import OutputIds, check_store, output_ids

__all__ = ["Reduction", "for_run", "reduce_outputs"]


class Reduction:
    """How a runtime entry point reduces: the fusion rule and the ``rules``, ``limits`` and
    ``extract`` of `vantrel_core.GraphStore.reduce_mapped`. A request without them reduces
    exactly as ``reduce_mapped`` does without them. Without ``rules``, a ``registry`` that
    declares laws or op costs beyond the default rules gives its algebra (anything but a
    registry is left for the plan to refuse)."""

    __slots__ = ("maximal_fusion", "rules", "limits", "extract", "registry")
    maximal_fusion: bool
    rules: Iterable[RuleData] | None
    limits: Limits | None
    extract: Extraction | None
    registry: object

    def __init__(
        self,
        maximal_fusion: bool = False,
        rules: Iterable[RuleData] | None = None,
        limits: Limits | None = None,
        extract: Extraction | None = None,
        registry: object = None,
    ) -> None:
        self.maximal_fusion = maximal_fusion
        self.rules = rules
        self.limits = limits
        self.extract = extract
        self.registry = registry

    def chosen_rules(self) -> Iterable[RuleData] | None:
        """The rules to hand on: the caller's, else the registry's algebra when it says more
        than the defaults, else none."""
        if self.rules is not None or not isinstance(self.registry, Registry):
            return self.rules
        algebra = self.registry.algebra()
        return None if algebra.is_default and not algebra.costs else algebra

    def run(self, store: GraphStore, outputs: list[int]) -> tuple[GraphStore, ReductionReport, list[int]]:
        # None is what reduce_mapped takes for an argument left out.
        reduced, report, ids = store.reduce_mapped(
            outputs=outputs,
            maximal_fusion=self.maximal_fusion,
            rules=self.chosen_rules(),
            limits=self.limits,
            extract=self.extract,
        )
        return reduced, report, list(ids)


def reduce_outputs(
    store: GraphStore,
    outputs: OutputIds | None = None,
    *,
    maximal_fusion: bool = False,
    rules: Iterable[RuleData] | None = None,
    limits: Limits | None = None,
    extract: Extraction | None = None,
) -> tuple[GraphStore, ReductionReport, list[int]]:
    """Reduce ``store`` for ``outputs`` (default: its marks). Returns ``(reduced_store,
    report, output_ids)``, in the order of `vantrel_core.GraphStore.reduce_mapped`:
    ``output_ids[i]`` is the node of ``reduced_store`` that answers ``outputs[i]``, so running
    ``reduced_store`` for ``output_ids`` gives what running ``store`` for ``outputs`` gives.
    ``rules``, ``limits`` and ``extract`` are those of ``reduce_mapped`` (an algebra, its
    bounds, and how classes are read back)."""
    store, wanted = requested(store, outputs)
    return Reduction(maximal_fusion, rules, limits, extract).run(store, wanted)


def requested(store: object, outputs: OutputIds | None) -> tuple[GraphStore, list[int]]:
    """The checked store and output ids of a request (default: the store's marks)."""
    checked = check_store(store)
    return checked, output_ids(checked.outputs() if outputs is None else outputs, checked.node_count())


def for_run(
    store: GraphStore, outputs: OutputIds | None, reduce: bool, reduction: Reduction
) -> tuple[GraphStore, list[int]]:
    """The store and output ids to run: the given ones, or the reduced store and the ids that
    answer the given outputs when ``reduce`` is true."""
    store, wanted = requested(store, outputs)
    if not reduce:
        return store, wanted
    reduced, _, ids = reduction.run(store, wanted)
    return reduced, ids
