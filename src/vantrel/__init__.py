"""Python-level companions of `vantrel_core`: the typed shapes of its values (`vantrel.types`),
readable pictures of graphs (`vantrel.render`), and running graphs: a registry that gives every
name in a graph its meaning, a local evaluator, and a partitioned runtime on Dask that runs on
the threads of one machine or on a cluster (`vantrel.runtime`; Dask is the optional extra
'dask')."""
from __future__ import annotations

from .registry import COMMUTATIVE_OPS, IDENTITY_FORMS, Descriptor, Registry
from .runtime import (PartitionCountError, PlanError, UnregisteredNameError, compute, evaluate,
                      reduce_outputs, to_dask)

__all__ = ["COMMUTATIVE_OPS", "IDENTITY_FORMS", "Descriptor", "PartitionCountError", "PlanError", "Registry",
           "UnregisteredNameError", "compute", "evaluate", "reduce_outputs", "to_dask"]
