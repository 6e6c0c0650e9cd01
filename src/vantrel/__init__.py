"""Python-level companions of `vantrel_core`: pipelines written by hand with node handles and
named outputs (`vantrel.Pipeline`), the typed shapes of its values (`vantrel.types`),
readable pictures of graphs (`vantrel.render`), and running graphs: a registry that gives every
name in a graph its meaning, a local evaluator, and a partitioned runtime on Dask that runs on
the threads of one machine or on a cluster (`vantrel.runtime`; Dask is the optional extra
'dask'), and the algebra a reduction may use (`vantrel.algebra`)."""

from __future__ import annotations

from .algebra import Algebra, associative, commutative, idempotent, identity, involution, rewrite
from .pipeline import Node, Pipeline
from .registry import COMMUTATIVE_OPS, IDENTITY_FORMS, Descriptor, Registry
from .runtime import PartitionCountError, PlanError, UnregisteredNameError, compute, evaluate, reduce_outputs, to_dask

__all__ = [
    "Algebra",
    "COMMUTATIVE_OPS",
    "IDENTITY_FORMS",
    "Descriptor",
    "Node",
    "PartitionCountError",
    "Pipeline",
    "PlanError",
    "Registry",
    "UnregisteredNameError",
    "associative",
    "commutative",
    "compute",
    "evaluate",
    "idempotent",
    "identity",
    "involution",
    "reduce_outputs",
    "rewrite",
    "to_dask",
]
