"""The runtime without its optional dependencies: the registry and the local evaluator need
neither NumPy nor Dask, and the Dask entry points name the extra to install."""

import subprocess
import sys

from vantrel_core import GraphStore

from vantrel import Registry, evaluate, reduce_outputs


def plain_registry() -> Registry:
    reg = Registry()
    reg.source("nums", [[1, 2], [3, 4], [5, 6]])
    reg.op(
        "add",
        lambda *xs, scalar=None, side="r": (
            [a + scalar for a in xs[0]] if scalar is not None else [sum(t) for t in zip(*xs)]
        ),
    )
    reg.op(
        "mul",
        lambda *xs, scalar=None, side="r": (
            [a * scalar for a in xs[0]] if scalar is not None else [a * b for a, b in zip(*xs)]
        ),
    )
    reg.op("sub", lambda a, b: [x - b for x in a], commutative=False)  # b: a reduction's total
    reg.reduction("total", chunk=sum, combine=sum, fan_in=2)
    reg.exchange("swap", split=lambda part, n: [part[k::n] for k in range(n)], merge=lambda parts: sum(parts, []))
    reg.external("model", lambda d: lambda part, bias=0: [x * int(d.version) + bias for x in part])
    return reg


def test_plain_python_partitions_run_reduced_and_unreduced():
    g = GraphStore()
    x = g.add_source("nums")
    sq = g.add_op("mul", [x, x])
    same = g.add_op("mul", [g.add_op("add", [sq], {"scalar": 0.0, "side": "l"})], {"scalar": 1.0, "side": "r"})
    centred = g.add_op("sub", [sq, g.add_reduction("total", [x])])
    moved = g.add_exchange([centred], {"scheme": "swap", "partitions": 2})
    desc = {"kind": "model", "content_hash": "h", "framework": "py", "version": "3", "io_schema": "int"}
    scored = g.add_external(desc, [moved], {"bias": 1})
    outputs = [sq, same, scored, g.add_reduction("total", [scored]), sq]
    expected = [
        [[1, 4], [9, 16], [25, 36]],
        [[1.0, 4.0], [9.0, 16.0], [25.0, 36.0]],
        [[-59, -35, 13], [-50, -14, 46]],
        [-99],
        [[1, 4], [9, 16], [25, 36]],
    ]
    assert evaluate(g, plain_registry(), outputs) == expected
    reduced, _, ids = reduce_outputs(g, outputs)
    assert ids[0] == ids[1] == ids[4]
    assert evaluate(reduced, plain_registry(), ids) == [expected[0], expected[0]] + expected[2:]
    assert evaluate(g, plain_registry(), outputs, reduce=True, maximal_fusion=True)[2:] == expected[2:]


def test_dask_entry_points_name_the_extra_when_dask_is_missing():
    script = """
import sys
sys.modules["dask"] = None
sys.modules["distributed"] = None
import vantrel
from vantrel_core import GraphStore
g = GraphStore()
x = g.add_source("s")
reg = vantrel.Registry().source("s", [1])
assert vantrel.evaluate(g, reg, [x]) == [[1]]
for entry in (vantrel.to_dask, vantrel.compute):
    try:
        entry(g, reg, [x])
    except ImportError as exc:
        assert "pip install 'vantrel_core[dask]'" in str(exc), exc
    else:
        raise AssertionError("no ImportError")
print("ok")
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.stdout.strip() == "ok", done.stderr
