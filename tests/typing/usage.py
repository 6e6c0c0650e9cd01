"""Every public name of vantrel_core used as a typed program would use it.

mypy --strict --warn-unused-ignores checks this file: the calls in `accepted()` must type-check,
and every line of `rejected()` must be refused with exactly the error code its ignore names (an
ignore that is not needed fails the check). The Python suite also runs `accepted()`, so the stubs
never promise something the module refuses.
"""

from __future__ import annotations

import array
import pickle
from typing import TYPE_CHECKING, Any

import vantrel_core as vc
from vantrel_core import GraphStore, IncrementalReducer, PayloadDescriptor

from vantrel.algebra import Algebra, associative, commutative
from vantrel.types import DescriptorDict, Explanation, Limits, NodeView, ReductionReport, StageMember

if TYPE_CHECKING:
    from typing_extensions import assert_type
else:

    def assert_type(value: Any, _type: Any) -> Any:  # typing.assert_type is 3.11+
        return value


def build() -> tuple[GraphStore, int]:
    g = GraphStore()
    x = g.add_source("x")
    y = g.add_source("y", {"rows": 10, "scale": 0.5, "cached": True, "path": "s3://b/y"})
    s = g.add_op("add", [x, y])
    t = g.add_op("add", (y, x), params=None)
    z = g.add_op("add", [s], {"scalar": 0.0, "side": "r"})
    r = g.add_reduction("sum", [z, t], {"axis": 0})
    e = g.add_exchange([r], {"scheme": "hash"})
    d = PayloadDescriptor(kind="model", content_hash="h", framework="fw", version="1", io_schema="f32")
    m = g.add_external(d, [e])
    as_dict: DescriptorDict = {
        "kind": "model",
        "content_hash": "h",
        "framework": "fw",
        "version": "1",
        "io_schema": "f32",
        "preprocessing_ref": None,
    }
    assert g.add_external(as_dict, inputs=[e]) == m
    many = g.add_ops("neg", [[x], (y,), [s]], {"k": 1})
    assert_type(many, list[int])
    assert g.add_ops("neg", [[x], [y]], [None, {"k": 2}])[0] == g.add_op("neg", [x])
    rows = memoryview(array.array("q", [x, y])).cast("B").cast("q", [2, 1])
    assert g.add_ops("neg", rows) == g.add_ops("neg", [[x], [y]])
    assert_type(m, int)
    return g, m


def accepted() -> None:
    assert_type(vc.version(), str)
    g, m = build()
    assert_type(g.node_count(), int)
    assert_type(g.outputs(), list[int])
    assert_type(g.to_dot(), str)

    for node in g.nodes():
        assert_type(node, NodeView)
        assert_type(node["id"], int)
        assert_type(node["inputs"], list[int])
        if node["kind"] == "external":
            ref = node["descriptor"]["preprocessing_ref"]
            assert_type(ref, str | None)

    reduced, report = g.reduce(outputs=[m])
    assert_type(report, ReductionReport)
    assert_type(report["stages"], int)
    for node in reduced.nodes():
        if node["kind"] == "stage":
            assert_type(node["n_members"], int)
            for member in node["members"]:
                assert_type(member, StageMember)
                for arg in member["inputs"]:
                    what, index = arg
                    assert what in ("input", "member")
                    assert_type(index, int)

    _, report = g.reduce(maximal_fusion=True, outputs=(m,))
    assert_type(g.reduction_report(outputs=[m]), ReductionReport)
    assert_type(g.reduce_incremental(), tuple[GraphStore, ReductionReport])

    blob = g.serialize(outputs=[m])
    assert_type(blob, bytes)
    again = GraphStore.deserialize(blob)
    assert_type(again, GraphStore)
    assert again.serialize() == g.serialize([m])

    marked = GraphStore.deserialize(g.serialize())
    assert_type(marked.mark_outputs([m, 0]), None)
    assert marked.outputs() == [m, 0]
    mapped, mapped_report, output_ids = g.reduce_mapped(outputs=[m, m], maximal_fusion=True)
    assert_type(mapped, GraphStore)
    assert_type(mapped_report, ReductionReport)
    assert_type(output_ids, list[int])
    assert output_ids[0] == output_ids[1]
    algebra = Algebra(commutative("plus"), associative("plus"))
    limits: Limits = {"iterations": 20, "nodes": 10_000, "time": None}
    by_algebra = g.reduce_mapped(outputs=[m], rules=algebra, limits=limits)
    assert_type(by_algebra, tuple[GraphStore, ReductionReport, list[int]])
    assert_type(g.reduce_mapped(outputs=[m], rules=algebra, extract="cost")[2], list[int])
    assert_type(g.reduce_mapped(outputs=[m], extract={"plus": 2})[2], list[int])
    explained = g.reduce_mapped(outputs=[m], rules=algebra, explain=True)
    assert_type(explained[3], Explanation)
    assert explained[3]["stop"] == "saturated"
    by_data = g.reduce_mapped(outputs=[m], rules=[("r", ["?x", ("neg", None, [0])], ["?x", ("abs", {}, [0])])])
    assert len(by_data[2]) == 1
    copied = pickle.loads(pickle.dumps(marked))
    assert isinstance(copied, GraphStore) and copied.serialize() == marked.serialize()

    r = IncrementalReducer()
    assert_type(r.step(g), int)
    assert_type(r.watermark(), int)
    assert_type(r.total_work(), int)
    assert_type(r.canonical_count(), int)
    assert_type(r.finalize(g, outputs=[m], maximal_fusion=False), tuple[GraphStore, ReductionReport])
    assert_type(r.finalize_mapped(g, outputs=[m]), tuple[GraphStore, ReductionReport, list[int]])
    assert_type(
        r.finalize_mapped(g, outputs=[m], rules=algebra, limits={"time": 1.5}),
        tuple[GraphStore, ReductionReport, list[int]],
    )
    assert_type(r.finalize_mapped(g, outputs=[m], explain=True)[3]["rules"], dict[str, int])

    d = PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v", io_schema="s", preprocessing_ref="p")
    assert_type(d.kind, str)
    assert_type(d.content_hash, str)
    assert_type(d.framework, str)
    assert_type(d.version, str)
    assert_type(d.io_schema, str)
    assert_type(d.preprocessing_ref, str | None)


def rejected(g: GraphStore, d: PayloadDescriptor, r: IncrementalReducer) -> None:
    g.add_source(1)  # type: ignore[arg-type]
    g.add_op("add", "01")  # type: ignore[arg-type]
    g.add_op("add", [0.5])  # type: ignore[list-item]
    g.add_ops("neg", [0, 1])  # type: ignore[list-item]
    g.add_op("add", [0], {"k": None})  # type: ignore[dict-item]
    g.add_op("add", [0], {1: 2})  # type: ignore[dict-item]
    g.add_op("add", [0], [("a", 1)])  # type: ignore[arg-type]
    g.add_external(5, [0])  # type: ignore[arg-type]
    g.add_external({"kind": "model"}, [0])  # type: ignore[arg-type]
    g.reduce(True)  # type: ignore[call-arg]
    g.reduce(maximal_fusion=1)  # type: ignore[arg-type]
    g.reduction_report(maximal_fusion=True)  # type: ignore[call-arg]
    g.serialize(outputs="0")  # type: ignore[arg-type]
    g.reduce_mapped()  # type: ignore[call-overload]
    g.reduce_mapped(outputs=[0], limits={"time": "1"})  # type: ignore[call-overload]
    g.reduce_mapped(outputs=[0], extract="fast")  # type: ignore[call-overload]
    g.reduce_mapped([0])  # type: ignore[call-overload]
    g.mark_outputs("0")  # type: ignore[arg-type]
    r.finalize_mapped(g)  # type: ignore[call-overload]
    GraphStore.deserialize("VIR1")  # type: ignore[arg-type]
    GraphStore(1)  # type: ignore[call-arg]
    PayloadDescriptor("model", "h", "f", "1", "s")  # type: ignore[call-arg]
    PayloadDescriptor(kind="m", content_hash="h", framework="f", version="1")  # type: ignore[call-arg]
    PayloadDescriptor(kind=1, content_hash="h", framework="f", version="1", io_schema="s")  # type: ignore[arg-type]
    d.kind = "x"  # type: ignore[misc]
    r.step(d)  # type: ignore[arg-type]
    r.watermark = 3  # type: ignore[method-assign, assignment]
    report = g.reduction_report()
    report["no_such_count"]  # type: ignore[typeddict-item]
    node = g.nodes()[0]
    node["members"]  # type: ignore[typeddict-item]

    class Derived(GraphStore):  # type: ignore[misc]
        pass


if __name__ == "__main__":
    accepted()
