"""Readable pictures of a `GraphStore`, drawn with Graphviz.

`GraphStore.to_dot()` is a fixed, minimal text meant for comparison. The pictures here are meant
for people: every node shows its id, kind, name and parameters (an ``int`` 1 reads ``1``, a
``float`` 1.0 reads ``1.0``, a ``str`` is quoted), edges into a node with several inputs carry
the input's position, a stage lists its members and their arguments inside its box, and marked
outputs have a double border. ``outputs=`` draws only what feeds the given nodes: large graphs
are unreadable whole.

Graphviz's ``dot`` program is optional. `dot_source` always works; `render` and
`render_side_by_side` return ``None`` when ``dot`` is not installed, and a store's notebook
picture (`repr_mimebundle`) is then simply absent.
"""
from __future__ import annotations

import shutil
import subprocess
from collections.abc import Iterable, Mapping, Sequence
from typing import Literal, Optional, Union, overload

from vantrel_core import GraphStore

from .types import NodeView, ParamValue, StageMember

__all__ = [
    "NOTEBOOK_NODE_LIMIT",
    "dot_source",
    "dot_source_side_by_side",
    "graphviz_available",
    "render",
    "render_side_by_side",
    "repr_mimebundle",
]

NOTEBOOK_NODE_LIMIT = 400
"""A store with more nodes than this shows no picture in a notebook (``dot`` would take long
and the picture would be unreadable); draw a part of it with ``outputs=`` instead."""

Format = Literal["svg", "png"]

_FILL = {
    "source": "#dbeafe",
    "op": "#ffffff",
    "reduction": "#fde68a",
    "external": "#e9d5ff",
    "stage": "#fef9c3",
    "exchange": "#fecaca",
}


def graphviz_available() -> bool:
    """Whether Graphviz's ``dot`` program is on the ``PATH``."""
    return shutil.which("dot") is not None


def format_param(value: ParamValue) -> str:
    """A parameter value as Python writes it: ``1`` (int), ``1.0`` (float), ``True``, ``'r'``."""
    return repr(value)


def _params(params: Mapping[str, ParamValue]) -> str:
    return ", ".join(f"{key}={format_param(value)}" for key, value in params.items())


def _member_line(index: int, member: StageMember) -> str:
    args = ", ".join(f"in{i}" if what == "input" else f"m{i}" for what, i in member["inputs"])
    prefix = "" if member["kind"] == "op" else "reduction "
    params = _params(member["params"])
    return f"m{index} = {prefix}{member['name']}({args})" + (f"  {{{params}}}" if params else "")


def _lines(node: NodeView) -> list[str]:
    head = f"n{node['id']}  {node['kind']}"
    if node["name"]:
        head += f" {node['name']}"
    lines = [head]
    if node["kind"] == "external":
        d = node["descriptor"]
        lines.append(f"{d['kind']}:{d['content_hash']} [{d['framework']} {d['version']}]")
        lines.append(f"io {d['io_schema']}")
        if d["preprocessing_ref"] is not None:
            lines.append(f"prep {d['preprocessing_ref']}")
    if node["params"]:
        lines.append(_params(node["params"]))
    if node["kind"] == "stage":
        count = node["n_members"]
        lines.append(f"{count} member{'' if count == 1 else 's'}:")
        lines.extend(_member_line(i, m) for i, m in enumerate(node["members"]))
    return lines


def _quote(text: str) -> str:
    return text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def _label(lines: Iterable[str]) -> str:
    # "\l" ends a left-aligned line in a Graphviz label.
    return "".join(_quote(line) + "\\l" for line in lines)


def _feeding(nodes: Sequence[NodeView], outputs: Optional[Sequence[int]]) -> list[NodeView]:
    if outputs is None:
        return list(nodes)
    keep = [False] * len(nodes)
    stack: list[int] = []
    for o in outputs:
        if not 0 <= o < len(nodes):
            raise ValueError(f"no node with id {o}")
        stack.append(o)
    while stack:  # no recursion: graph depth is unbounded
        i = stack.pop()
        if keep[i]:
            continue
        keep[i] = True
        stack.extend(nodes[i]["inputs"])
    return [n for n in nodes if keep[n["id"]]]


def _body(store: GraphStore, outputs: Optional[Sequence[int]], prefix: str, indent: str) -> list[str]:
    out: list[str] = []
    chosen = _feeding(store.nodes(), outputs)
    for node in chosen:
        peripheries = ", peripheries=2" if node["output"] else ""
        out.append(
            f'{indent}{prefix}{node["id"]} [label="{_label(_lines(node))}", '
            f'fillcolor="{_FILL[node["kind"]]}"{peripheries}];'
        )
    for node in chosen:
        inputs = node["inputs"]
        for position, source in enumerate(inputs):
            if node["kind"] == "stage":
                attrs = f' [label="in{position}"]'
            elif len(inputs) > 1:
                attrs = f' [label="{position}"]'
            else:
                attrs = ""
            out.append(f"{indent}{prefix}{source} -> {prefix}{node['id']}{attrs};")
    return out


_HEADER = [
    "digraph vantrel {",
    '  graph [rankdir=TB, fontname="DejaVu Sans", fontsize=12];',
    '  node [shape=box, style="rounded,filled", fontname="DejaVu Sans Mono", fontsize=10];',
    '  edge [fontname="DejaVu Sans", fontsize=9, color="#555555"];',
]


def dot_source(store: GraphStore, *, outputs: Optional[Sequence[int]] = None) -> str:
    """The readable DOT text of a store, or of the part of it that feeds ``outputs``."""
    return "\n".join([*_HEADER, *_body(store, outputs, "n", "  "), "}"]) + "\n"


def dot_source_side_by_side(
    before: GraphStore,
    after: GraphStore,
    *,
    outputs: Optional[Sequence[int]] = None,
    titles: tuple[str, str] = ("pipeline", "reduced"),
) -> str:
    """Two stores in one picture, each in its own frame: typically a pipeline and its reduced
    form. ``outputs`` (ids of ``before``) limits the left side to what feeds them; the right side
    is drawn whole."""
    lines = list(_HEADER)
    for index, (store, title, chosen) in enumerate(((before, titles[0], outputs), (after, titles[1], None))):
        lines.append(f"  subgraph cluster_{index} {{")
        lines.append(f'    label="{_quote(title)}"; labeljust=l; style=dashed; color="#999999";')
        lines.extend(_body(store, chosen, f"g{index}n", "    "))
        lines.append("  }")
    lines.append("}")
    return "\n".join(lines) + "\n"


def _run_dot(source: str, fmt: str) -> Union[str, bytes, None]:
    if fmt not in ("svg", "png"):
        raise ValueError(f"format must be 'svg' or 'png', not {fmt!r}")
    dot = shutil.which("dot")
    if dot is None:
        return None
    done = subprocess.run([dot, f"-T{fmt}"], input=source.encode(), capture_output=True, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"dot failed: {done.stderr.decode(errors='replace').strip()}")
    return done.stdout.decode() if fmt == "svg" else done.stdout


@overload
def render(
    store: GraphStore, *, outputs: Optional[Sequence[int]] = None, format: Literal["svg"] = "svg"
) -> Optional[str]: ...
@overload
def render(
    store: GraphStore, *, outputs: Optional[Sequence[int]] = None, format: Literal["png"]
) -> Optional[bytes]: ...
def render(
    store: GraphStore, *, outputs: Optional[Sequence[int]] = None, format: Format = "svg"
) -> Union[str, bytes, None]:
    """The picture of a store (or of what feeds ``outputs``): SVG text, or PNG bytes with
    ``format="png"``. ``None`` when Graphviz's ``dot`` is not installed."""
    source = dot_source(store, outputs=outputs)
    return _run_dot(source, format)


@overload
def render_side_by_side(
    before: GraphStore,
    after: GraphStore,
    *,
    outputs: Optional[Sequence[int]] = None,
    titles: tuple[str, str] = ("pipeline", "reduced"),
    format: Literal["svg"] = "svg",
) -> Optional[str]: ...
@overload
def render_side_by_side(
    before: GraphStore,
    after: GraphStore,
    *,
    outputs: Optional[Sequence[int]] = None,
    titles: tuple[str, str] = ("pipeline", "reduced"),
    format: Literal["png"],
) -> Optional[bytes]: ...
def render_side_by_side(
    before: GraphStore,
    after: GraphStore,
    *,
    outputs: Optional[Sequence[int]] = None,
    titles: tuple[str, str] = ("pipeline", "reduced"),
    format: Format = "svg",
) -> Union[str, bytes, None]:
    """A pipeline and its reduced form in one picture (see `dot_source_side_by_side`); ``None``
    when Graphviz's ``dot`` is not installed."""
    source = dot_source_side_by_side(before, after, outputs=outputs, titles=titles)
    return _run_dot(source, format)


def repr_mimebundle(
    store: GraphStore,
    include: Optional[Iterable[str]] = None,
    exclude: Optional[Iterable[str]] = None,
) -> Optional[dict[str, str]]:
    """What a notebook shows for a store: ``{"image/svg+xml": ...}``, or ``None`` (nothing) when
    Graphviz is missing, when the store is larger than `NOTEBOOK_NODE_LIMIT`, or when the
    notebook asked for other formats only."""
    wanted = "image/svg+xml"
    if include is not None and wanted not in include:
        return None
    if exclude is not None and wanted in exclude:
        return None
    if store.node_count() > NOTEBOOK_NODE_LIMIT or not graphviz_available():
        return None
    svg = render(store)
    return None if svg is None else {wanted: svg}
