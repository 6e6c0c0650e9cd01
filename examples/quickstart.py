"""A first pipeline graph: build it node by node, look at it, reduce it, store it."""
import pprint

import vantrel_core as vc

g = vc.GraphStore()

# Sources and element-wise operations; equal calls return the same node (hash-consing).
a = g.add_source("events", {"path": "s3://bucket/events", "format": "parquet"})
b = g.add_source("users")
scaled = g.add_op("mul", [a, b])
same = g.add_op("mul", [a, b])
assert scaled == same
mirrored = g.add_op("mul", [b, a])                       # equal only up to commutativity
plus_zero = g.add_op("add", [scaled], {"scalar": 0.0, "side": "r"})   # x + 0
total = g.add_reduction("sum", [plus_zero, mirrored], {"axis": 0})
shuffled = g.add_exchange([total], {"scheme": "hash"})
model = vc.PayloadDescriptor(kind="model", content_hash="sha256:1f2e", framework="onnx",
                             version="1.16", io_schema="f32[n]->f32[n]")
scored = g.add_external(model, [shuffled])

print(f"{g.node_count()} nodes")
pprint.pprint(g.nodes(), sort_dicts=False, width=100)

reduced, report = g.reduce(outputs=[scored])
print("\nreduction report:", report)
pprint.pprint(reduced.nodes(), sort_dicts=False, width=100)

blob = reduced.serialize()
again = vc.GraphStore.deserialize(blob)
assert again.serialize() == blob and again.nodes() == reduced.nodes()
print(f"\nblob: {len(blob)} bytes, round trip byte-identical")
print(reduced.to_dot())

# Follow the same graph incrementally while it grows.
inc = vc.IncrementalReducer()
inc.step(g)
print(f"incremental: {inc.watermark()} nodes consumed, canonical form of {inc.canonical_count()}")
_, inc_report = inc.finalize(g, outputs=[scored])
assert inc_report["reduced_nodes"] == report["reduced_nodes"]
