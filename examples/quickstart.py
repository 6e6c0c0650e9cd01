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
mirrored = g.add_op("mul", [b, a])  # equal only up to commutativity
plus_zero = g.add_op("add", [scaled], {"scalar": 0.0, "side": "r"})  # x + 0
total = g.add_reduction("sum", [plus_zero, mirrored], {"axis": 0})
shuffled = g.add_exchange([total], {"scheme": "hash"})
model = vc.PayloadDescriptor(
    kind="model", content_hash="sha256:1f2e", framework="onnx", version="1.16", io_schema="f32[n]->f32[n]"
)
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

# The same kind of pipeline written with node handles, given a meaning and run.
# Partitions here are plain lists of floats; NumPy arrays and pandas frames work the same way.
from collections.abc import Callable  # noqa: E402

import vantrel  # noqa: E402

Part = list[float]


def scalar_op(fn: Callable[[float, float], float]) -> Callable[..., Part]:
    """An element-wise op over two partitions, or over one and the ``scalar`` parameter."""

    def op(xs: Part, ys: Part | None = None, scalar: float | None = None, side: str = "r") -> Part:
        if scalar is not None:
            return [fn(x, scalar) if side == "r" else fn(scalar, x) for x in xs]
        assert ys is not None
        return [fn(x, y) for x, y in zip(xs, ys)]

    return op


reg = (
    vantrel.Registry()
    .source("price", [[12.0, 7.5], [3.0, 40.0]])  # two partitions
    .source("quantity", [[2.0, 4.0], [10.0, 1.0]])
    .op("mul", scalar_op(lambda x, y: x * y))
    .op("sub", scalar_op(lambda x, y: x - y))
    .op("add", scalar_op(lambda x, y: x + y))
    .reduction("sum", chunk=sum, combine=sum)
)

p = vantrel.Pipeline(reg)
price, quantity = p.source("price"), p.source("quantity")
revenue = price * quantity
net = revenue * 0.8 - 1.0  # mul and sub with a scalar on the right
commuted = quantity * price + 0.0  # the same product, commuted, plus an identity
p.output("revenue", revenue)
p.output("net", net)
p.output("total", commuted.reduction("sum"))

result = p.run()
print("\npipeline outputs:", result)
assert result == p.run(reduce=True)  # the reduced graph answers the same
_, built = p.store.reduce(outputs=p.output_ids())
print(f"builder graph: {p.store.node_count()} nodes, reduced to {built['reduced_nodes']}")
