"""The IR of a dataflow pipeline as an interned, hash-consed graph: `GraphStore` builds it
node by node (equal nodes are one id), reduces it, stores it as a canonical blob and draws it
as DOT; `PayloadDescriptor` describes an external payload; `IncrementalReducer` follows a
store while it grows. `vantrel.Pipeline` writes graphs with node handles and named outputs.

Typed interface of the `vantrel_core` extension module.

The module is a single compiled file and cannot carry ``py.typed`` itself, so its types ship as
this stub-only package (PEP 561), installed beside it by the same wheel. The shapes of the
dicts it takes and returns live in `vantrel.types`, which exists at run time too.
"""

from collections.abc import Callable, Iterable, Sequence
from typing import Literal, NoReturn, final, overload

from typing_extensions import Buffer, Self

from vantrel.types import (
    DescriptorDict,
    Explanation,
    Extraction,
    Limits,
    NodeTable,
    NodeView,
    Origin,
    Params,
    ReductionReport,
    RuleData,
)

__all__ = ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]

@final
class PayloadDescriptor:
    def __new__(
        cls,
        *,
        kind: str,
        content_hash: str,
        framework: str,
        version: str,
        io_schema: str,
        preprocessing_ref: str | None = None,
    ) -> Self: ...
    @property
    def kind(self) -> str: ...
    @property
    def content_hash(self) -> str: ...
    @property
    def framework(self) -> str: ...
    @property
    def version(self) -> str: ...
    @property
    def io_schema(self) -> str: ...
    @property
    def preprocessing_ref(self) -> str | None: ...
    def __reduce__(
        self,
    ) -> tuple[
        Callable[[str, str, str, str, str, str | None], PayloadDescriptor], tuple[str, str, str, str, str, str | None]
    ]: ...

@final
class GraphStore:
    def __new__(cls) -> Self: ...
    def add_source(self, name: str, params: Params | None = None) -> int:
        """Add the source ``name`` with ``params`` (a dict of str to int, float, bool or str, or
        None) and return its id; an equal source already in the store returns its id."""
    def add_op(self, name: str, inputs: Sequence[int], params: Params | None = None) -> int:
        """Add the op ``name`` over ``inputs`` (node ids, in order, repeats kept) with
        ``params`` and return its id; an equal op already in the store returns its id. No
        commutativity or identity is applied here: that is the reduction's business."""
    def add_reduction(self, name: str, inputs: Sequence[int], params: Params | None = None) -> int:
        """Add the reduction ``name`` over ``inputs`` with ``params`` and return its id. A
        reduction is never rewritten and never fused into a stage."""
    def add_exchange(self, inputs: Sequence[int], params: Params | None = None) -> int: ...
    def add_external(
        self,
        descriptor: PayloadDescriptor | DescriptorDict,
        inputs: Sequence[int],
        params: Params | None = None,
    ) -> int:
        """Add an external payload (a model, say) described by ``descriptor`` (a
        PayloadDescriptor, or a dict with its fields) applied to ``inputs``, and return its
        id. The inputs are checked before the descriptor."""
    def add_ops(
        self,
        name: str,
        inputs: Sequence[Sequence[int]] | Buffer,
        params: Params | Sequence[Params | None] | None = None,
    ) -> list[int]: ...
    def nodes(self) -> list[NodeView]: ...
    def node_table(self) -> NodeTable:
        """The facts of ``nodes()`` in columns: ``(kinds, names, params, inputs, outputs,
        externals, stages, member_ops)``; a stage's members come as bytes of 32-bit ints."""
    def outputs(self) -> list[int]: ...
    def node_count(self) -> int:
        """The number of nodes; ids run from 0 to node_count() - 1."""
    def to_dot(self) -> str:
        """The whole store as fixed, minimal Graphviz DOT text, meant for comparing graphs;
        vantrel.render draws pictures for people."""
    def serialize(self, outputs: Sequence[int] | None = None) -> bytes: ...
    @staticmethod
    def deserialize(data: bytes) -> GraphStore: ...
    def reduce(
        self, *, maximal_fusion: bool = False, outputs: Sequence[int] | None = None
    ) -> tuple[GraphStore, ReductionReport]: ...
    def reduction_report(self, *, outputs: Sequence[int] | None = None) -> ReductionReport: ...
    def reduce_incremental(self, *, outputs: Sequence[int] | None = None) -> tuple[GraphStore, ReductionReport]: ...
    @overload
    def reduce_mapped(
        self,
        *,
        outputs: Sequence[int],
        maximal_fusion: bool = False,
        rules: Iterable[RuleData] | None = None,
        limits: Limits | None = None,
        extract: Extraction | None = None,
        explain: Literal[False] = False,
        provenance: Literal[False] = False,
    ) -> tuple[GraphStore, ReductionReport, list[int]]: ...
    @overload
    def reduce_mapped(
        self,
        *,
        outputs: Sequence[int],
        maximal_fusion: bool = False,
        rules: Iterable[RuleData] | None = None,
        limits: Limits | None = None,
        extract: Extraction | None = None,
        explain: Literal[True],
        provenance: Literal[False] = False,
    ) -> tuple[GraphStore, ReductionReport, list[int], Explanation]: ...
    @overload
    def reduce_mapped(
        self,
        *,
        outputs: Sequence[int],
        maximal_fusion: bool = False,
        rules: Iterable[RuleData] | None = None,
        limits: Limits | None = None,
        extract: Extraction | None = None,
        explain: Literal[False] = False,
        provenance: Literal[True],
    ) -> tuple[GraphStore, ReductionReport, list[int], list[Origin]]: ...
    @overload
    def reduce_mapped(
        self,
        *,
        outputs: Sequence[int],
        maximal_fusion: bool = False,
        rules: Iterable[RuleData] | None = None,
        limits: Limits | None = None,
        extract: Extraction | None = None,
        explain: Literal[True],
        provenance: Literal[True],
    ) -> tuple[GraphStore, ReductionReport, list[int], Explanation, list[Origin]]: ...
    def mark_outputs(self, ids: Sequence[int]) -> None: ...
    def __reduce__(self) -> tuple[Callable[[bytes], GraphStore], tuple[bytes]]: ...
    def _repr_mimebundle_(
        self, include: Iterable[str] | None = None, exclude: Iterable[str] | None = None
    ) -> dict[str, str] | None: ...

@final
class IncrementalReducer:
    def __new__(cls) -> Self: ...
    def step(self, store: GraphStore) -> int: ...
    def finalize(
        self, store: GraphStore, *, maximal_fusion: bool = False, outputs: Sequence[int] | None = None
    ) -> tuple[GraphStore, ReductionReport]: ...
    @overload
    def finalize_mapped(
        self,
        store: GraphStore,
        *,
        outputs: Sequence[int],
        maximal_fusion: bool = False,
        rules: Iterable[RuleData] | None = None,
        limits: Limits | None = None,
        extract: Extraction | None = None,
        explain: Literal[False] = False,
        provenance: Literal[False] = False,
    ) -> tuple[GraphStore, ReductionReport, list[int]]: ...
    @overload
    def finalize_mapped(
        self,
        store: GraphStore,
        *,
        outputs: Sequence[int],
        maximal_fusion: bool = False,
        rules: Iterable[RuleData] | None = None,
        limits: Limits | None = None,
        extract: Extraction | None = None,
        explain: Literal[True],
        provenance: Literal[False] = False,
    ) -> tuple[GraphStore, ReductionReport, list[int], Explanation]: ...
    @overload
    def finalize_mapped(
        self,
        store: GraphStore,
        *,
        outputs: Sequence[int],
        maximal_fusion: bool = False,
        rules: Iterable[RuleData] | None = None,
        limits: Limits | None = None,
        extract: Extraction | None = None,
        explain: Literal[False] = False,
        provenance: Literal[True],
    ) -> tuple[GraphStore, ReductionReport, list[int], list[Origin]]: ...
    @overload
    def finalize_mapped(
        self,
        store: GraphStore,
        *,
        outputs: Sequence[int],
        maximal_fusion: bool = False,
        rules: Iterable[RuleData] | None = None,
        limits: Limits | None = None,
        extract: Extraction | None = None,
        explain: Literal[True],
        provenance: Literal[True],
    ) -> tuple[GraphStore, ReductionReport, list[int], Explanation, list[Origin]]: ...
    def __reduce__(self) -> NoReturn: ...
    def watermark(self) -> int: ...
    def total_work(self) -> int: ...
    def canonical_count(self) -> int: ...

def version() -> str: ...
def _default_rules() -> tuple[tuple[str, str, str], ...]: ...
def _store_from_blob(data: bytes, /) -> GraphStore: ...
def _descriptor_from_fields(
    kind: str, content_hash: str, framework: str, version: str, io_schema: str, preprocessing_ref: str | None, /
) -> PayloadDescriptor: ...
