"""Draw a pipeline and its reduced form side by side.

    python examples/render_reduction.py [OUTPUT_FOLDER]

writes reduction.svg and reduction.png (and reduction.dot, the text they are drawn from) into
OUTPUT_FOLDER (default: a new temporary folder, printed). Without Graphviz's `dot` program
only the .dot file is written, and it says what to install.
"""

import pathlib
import sys
import tempfile

import vantrel_core as vc

from vantrel import render

g = vc.GraphStore()
events = g.add_source("events", {"format": "parquet", "partitions": 16})
users = g.add_source("users")
clicks = g.add_op("exp", [events])
weighted = g.add_op("mul", [clicks, users])  # mul is commutative ...
mirrored = g.add_op("mul", [users, clicks])  # ... so this is the same value
unscaled = g.add_op("mul", [weighted], {"scalar": 1.0, "side": "l"})  # x * 1.0 (float): identity
not_identity = g.add_op("mul", [weighted], {"scalar": 1, "side": "l"})  # int 1: not an identity
both = g.add_op("add", [unscaled, mirrored])
total = g.add_reduction("sum", [both], {"axis": 0})
shuffled = g.add_exchange([total], {"scheme": "hash"})
g.add_op("neg", [not_identity])  # feeds no output: dropped

reduced, report = g.reduce(outputs=[shuffled])
print("report:", dict(sorted(report.items())))

out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="vantrel-"))
out.mkdir(parents=True, exist_ok=True)
(out / "reduction.dot").write_text(render.dot_source_side_by_side(g, reduced))
try:
    render.render_side_by_side(g, reduced, filename=out / "reduction.svg")
    render.render_side_by_side(g, reduced, filename=out / "reduction.png")
    print("wrote", out / "reduction.svg", "and", out / "reduction.png")
except render.GraphvizNotFoundError as missing:
    print(f"wrote only {out / 'reduction.dot'}: {missing}")
