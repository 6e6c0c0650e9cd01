"""The one walk over a plan that every backend shares.

A backend is an `Interpreter` subclass with one method per node kind. The walk visits the
plan's nodes in id order (inputs always come first), hands each method the node and what the
backend made of its inputs, and keeps each result only until its last reader has run, unless
it is a requested output. What a result is belongs to the backend: the local evaluator holds
lists of partitions, the Dask builder lists of task keys.

The methods are the places to change how one kind runs; `run` and `visit` need no change for
a new backend, and a new node kind is one entry in `METHODS` and one method here.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Generic, TypeVar

from ..types import NodeKind
from .plan import Plan, PlanNode

__all__ = ["METHODS", "Interpreter"]

R = TypeVar("R")

#: The method of `Interpreter` that runs each node kind.
METHODS: dict[NodeKind, str] = {
    "source": "source",
    "op": "op",
    "external": "external",
    "reduction": "reduction",
    "exchange": "exchange",
    "stage": "stage",
}


class Interpreter(Generic[R]):
    """Runs a checked plan node by node; ``R`` is what a node gives the nodes that read it.

    Subclasses implement the six kind methods. Each receives the plan node (its task object,
    partition count and inputs, see `vantrel.runtime.plan.PlanNode`) and ``args``, the results
    of its inputs in input order, and returns the node's result. A backend whose results are
    small and kept elsewhere anyway (task keys) sets ``releases_results`` false, and the walk
    then skips finding each result's last reader."""

    releases_results = True

    def __init__(self) -> None:
        methods: dict[str, Callable[[PlanNode, list[R]], R]] = {
            kind: getattr(self, name) for kind, name in METHODS.items()
        }
        self._methods = methods

    def run(self, plan: Plan) -> list[R]:
        """The results of the plan's requested outputs, in order, repeats included."""
        results: dict[int, R] = {}
        visit = self.visit
        if not self.releases_results:
            methods = self._methods  # `visit` inlined: this loop runs once per node of big graphs
            for node in plan.nodes.values():
                info = node.info
                results[info.id] = methods[info.kind](node, [results[x] for x in node.inputs])
            return [results[o] for o in plan.outputs]
        keep = set(plan.outputs)
        last = plan.last_uses()
        for node in plan.nodes.values():
            results[node.id] = visit(node, [results[x] for x in node.inputs])
            for x in set(node.inputs):
                if last[x] == node.id and x not in keep:
                    del results[x]
        return [results[o] for o in plan.outputs]

    def visit(self, node: PlanNode, args: list[R]) -> R:
        """The result of one node, from the method of its kind."""
        method = self._methods.get(node.kind)
        if method is None:
            raise AssertionError(f"unplanned kind {node.kind!r}")
        return method(node, args)

    def source(self, node: PlanNode, args: list[R]) -> R:
        """A source: ``node.parts`` holds the partitions when they were produced while
        planning; otherwise ``node.task`` (`SourceTask`) reads partition ``k`` of
        ``node.count``."""
        raise NotImplementedError

    def op(self, node: PlanNode, args: list[R]) -> R:
        """An op (`OpTask`), partition by partition; one-partition inputs are broadcast."""
        raise NotImplementedError

    def external(self, node: PlanNode, args: list[R]) -> R:
        """An external payload (`ExternalTask`), partition by partition, like an op."""
        raise NotImplementedError

    def reduction(self, node: PlanNode, args: list[R]) -> R:
        """A reduction (`ReductionTask`): chunks, the combine tree, finalize; one partition."""
        raise NotImplementedError

    def exchange(self, node: PlanNode, args: list[R]) -> R:
        """An exchange (`ExchangeTask`) of its one input into ``node.count`` partitions."""
        raise NotImplementedError

    def stage(self, node: PlanNode, args: list[R]) -> R:
        """A fused stage (`StageTask`): partition by partition when ``task.per_partition``,
        else whole over all partitions of its inputs."""
        raise NotImplementedError
