"""Draw what each fusion rule makes of an op with fan-out.

    python examples/render_fusion.py [OUTPUT_FOLDER]

writes fusion-single-use.svg and fusion-maximal.svg into OUTPUT_FOLDER (default: a new
temporary folder, printed): the pipeline on the left, its reduced form under that rule on the
right. Without Graphviz's `dot` program nothing is drawn, and it says what to install.
"""

import pathlib
import sys
import tempfile

import vantrel_core as vc

from vantrel import render

g = vc.GraphStore()
a = g.add_source("a")
e = g.add_op("exp", [a])  # used twice: by neg and by log
n = g.add_op("neg", [e])
lg = g.add_op("log", [e])
out = g.add_op("add", [n, lg])

out_dir = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="vantrel-"))
out_dir.mkdir(parents=True, exist_ok=True)
for name, maximal in [("single-use", False), ("maximal", True)]:
    reduced, report = g.reduce(outputs=[out], maximal_fusion=maximal)
    print(f"{name}: {report['stages']} stages, {report['reduced_nodes']} nodes")
    if render.graphviz_available():
        render.render_side_by_side(
            g, reduced, titles=("pipeline", f"{name} rule"), filename=out_dir / f"fusion-{name}.svg"
        )
        print("wrote", out_dir / f"fusion-{name}.svg")
if not render.graphviz_available():
    print("no pictures:", render.MISSING_GRAPHVIZ)
