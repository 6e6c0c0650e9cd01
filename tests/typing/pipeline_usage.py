"""The pipeline builder used as a typed program would use it.

mypy --strict --warn-unused-ignores checks this file as it checks usage.py: `accepted()` must
type-check (and runs in the Python suite), every line of `rejected()` must be refused with the
error code its ignore names.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from vantrel_core import GraphStore

from vantrel import Node, Pipeline, Registry, render
from vantrel.render import Picture

if TYPE_CHECKING:
    from typing_extensions import assert_type
else:

    def assert_type(value: Any, _type: Any) -> Any:  # typing.assert_type is 3.11+
        return value


def twice(xs: list[float], scalar: float = 1.0, side: str = "r") -> list[float]:
    return [x * scalar for x in xs]


def accepted() -> None:
    reg = Registry()
    assert_type(reg.source("x", [[1.0, 2.0], [3.0]]), Registry)
    assert_type(reg.op("mul", twice), Registry)
    deco = reg.op("neg")
    assert deco(twice) is twice
    assert_type(reg.reduction("sum", chunk=sum, combine=sum), Registry)
    assert_type(reg.join(str, "".join), Registry)
    p = Pipeline(reg)
    x = p.source("x")
    assert_type(x, Node)
    assert_type(x * 2.0, Node)
    assert_type(2 * x, Node)
    assert_type(x == 1.0, Node)
    assert_type(-x, Node)
    assert_type(x.op("neg", scale=2).reduction("sum"), Node)
    assert_type(p.op("mul", x, x), Node)
    assert_type(x.id, int)
    assert_type(p.store, GraphStore)
    assert_type(p.output("y", x * 2.0), Node)
    result = p.run()
    assert_type(result, dict[str, Any])
    assert result["y"] == [2.0, 4.0, 6.0]
    assert_type(p.output_ids(), list[int])
    if render.graphviz_available():
        assert_type(p.render(), Picture)


def rejected(p: Pipeline, x: Node) -> None:
    x + None  # type: ignore[operator]
    x + [1]  # type: ignore[operator]
    p.op("f", 0)  # type: ignore[arg-type]
    p.output(1, x)  # type: ignore[arg-type]
    p.source(name="x")  # type: ignore[call-arg]
    Pipeline(store=1)  # type: ignore[arg-type]


if __name__ == "__main__":
    accepted()
