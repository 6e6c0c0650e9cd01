"""Readable pictures of a `GraphStore`, drawn with Graphviz.

`GraphStore.to_dot()` is a fixed, minimal text meant for comparison. The pictures here are meant
for people: every node shows its id, kind, name and parameters (an ``int`` 1 reads ``1``, a
``float`` 1.0 reads ``1.0``, a ``str`` is quoted), edges into a node with several inputs carry
the input's position, a stage lists its members and their arguments inside its box, and marked
outputs have a double border. ``outputs=`` draws only what feeds the given nodes: large graphs
are unreadable whole.

Graphviz's ``dot`` program is optional. `dot_source` always works; `render` and
`render_side_by_side` return pictures that notebooks display (`Svg`, which is the SVG text,
or `Png`, the PNG bytes) and raise `GraphvizNotFoundError`, saying what to install, when
``dot`` is missing; a store's notebook picture (`repr_mimebundle`) is then that hint. Past
`DRAW_NODE_LIMIT` nodes `render` draws a summary unless asked for everything.
"""

from __future__ import annotations

import os
import pathlib
import shutil
import subprocess
from collections.abc import Iterable, Mapping, Sequence
from typing import Literal, Union, overload

from vantrel_core import GraphStore

from .types import NodeView, Origin, ParamValue, StageMember

__all__ = [
    "DRAW_NODE_LIMIT",
    "GraphvizNotFoundError",
    "NOTEBOOK_NODE_LIMIT",
    "Picture",
    "Png",
    "Svg",
    "dot_source",
    "dot_source_side_by_side",
    "graphviz_available",
    "render",
    "render_side_by_side",
    "repr_mimebundle",
]

DRAW_NODE_LIMIT = 400
"""`render` draws a summary of a part larger than this unless it is asked for every node."""

NOTEBOOK_NODE_LIMIT = 400
"""A store with more nodes than this shows its summary picture in a notebook."""

SUMMARY_FOCUS = 12
"""At most this many outputs are drawn in a summary."""

SUMMARY_NODES = 48
"""At most this many nodes are drawn in a summary, the outputs and their nearest inputs."""

Format = Literal["svg", "png"]
PathArg = Union[str, "os.PathLike[str]"]

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
    return text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n").replace("\0", "\\\\0")


def _label(lines: Iterable[str]) -> str:
    # "\l" ends a left-aligned line in a Graphviz label.
    return "".join(_quote(line) + "\\l" for line in lines)


def _feeding(nodes: Sequence[NodeView], outputs: Sequence[int] | None) -> list[NodeView]:
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


def _body(store: GraphStore, outputs: Sequence[int] | None, prefix: str, indent: str) -> list[str]:
    return _draw(_feeding(store.nodes(), outputs), prefix, indent)


def _draw(chosen: Sequence[NodeView], prefix: str, indent: str, hidden: Mapping[int, int] | None = None) -> list[str]:
    """Node and edge lines of ``chosen``; ``hidden[i]`` counts inputs of node i left out,
    drawn as one "..." mark feeding it."""
    out: list[str] = []
    for node in chosen:
        peripheries = ", peripheries=2" if node["output"] else ""
        out.append(
            f'{indent}{prefix}{node["id"]} [label="{_label(_lines(node))}", '
            f'fillcolor="{_FILL[node["kind"]]}"{peripheries}];'
        )
    drawn = {node["id"] for node in chosen} if hidden is not None else None
    for node in chosen:
        inputs = node["inputs"]
        for position, source in enumerate(inputs):
            if drawn is not None and source not in drawn:
                continue
            if node["kind"] == "stage":
                attrs = f' [label="in{position}"]'
            elif len(inputs) > 1:
                attrs = f' [label="{position}"]'
            else:
                attrs = ""
            out.append(f"{indent}{prefix}{source} -> {prefix}{node['id']}{attrs};")
    for node_id, count in (hidden or {}).items():
        out.append(f'{indent}{prefix}more{node_id} [label="... {count} more", shape=plaintext, style=""];')
        out.append(f"{indent}{prefix}more{node_id} -> {prefix}{node_id} [style=dashed];")
    return out


_HEADER = [
    "digraph vantrel {",
    '  graph [rankdir=TB, fontname="DejaVu Sans", fontsize=12];',
    '  node [shape=box, style="rounded,filled", fontname="DejaVu Sans Mono", fontsize=10];',
    '  edge [fontname="DejaVu Sans", fontsize=9, color="#555555"];',
]


def dot_source(
    store: GraphStore, *, outputs: Sequence[int] | None = None, full: bool = True, limit: int | None = None
) -> str:
    """The readable DOT text of a store, or of the part of it that feeds ``outputs``. With
    ``full=False``, a part of more than ``limit`` nodes (default `DRAW_NODE_LIMIT`) is drawn as
    a summary (see `render`)."""
    nodes = store.nodes()
    chosen = _feeding(nodes, outputs)
    if full or len(chosen) <= _limit(limit):
        body = _draw(chosen, "n", "  ")
    else:
        body = _summary(nodes, chosen, outputs)
    return "\n".join([*_HEADER, *body, "}"]) + "\n"


def _limit(limit: int | None) -> int:
    if limit is None:
        return DRAW_NODE_LIMIT
    if isinstance(limit, bool) or not isinstance(limit, int) or limit < 0:  # pyright: ignore[reportUnnecessaryIsInstance]
        raise ValueError(f"limit must be a non-negative int, not {limit!r}")
    return limit


def _focus(nodes: Sequence[NodeView], chosen: Sequence[NodeView], outputs: Sequence[int] | None) -> list[int]:
    """What a summary centres on: the given outputs, else the marked ones, else the last nodes
    that nothing reads."""
    if outputs is not None:
        return list(dict.fromkeys(outputs))
    marked = [n["id"] for n in chosen if n["output"]]
    if marked:
        return marked
    read = [False] * len(nodes)
    for node in chosen:
        for i in node["inputs"]:
            read[i] = True
    return [n["id"] for n in chosen if not read[n["id"]]][-SUMMARY_FOCUS:]


def _summary(nodes: Sequence[NodeView], chosen: Sequence[NodeView], outputs: Sequence[int] | None) -> list[str]:
    counts: dict[str, int] = {}
    for node in chosen:
        counts[node["kind"]] = counts.get(node["kind"], 0) + 1
    focus = _focus(nodes, chosen, outputs)
    shown_focus = focus[:SUMMARY_FOCUS]
    # Breadth first from the focus nodes, nearest first, until the budget is spent.
    keep: dict[int, None] = dict.fromkeys(shown_focus)
    frontier = list(shown_focus)
    while frontier and len(keep) < SUMMARY_NODES:
        following: list[int] = []
        for i in frontier:
            for j in nodes[i]["inputs"]:
                if j not in keep and len(keep) < SUMMARY_NODES:
                    keep[j] = None
                    following.append(j)
        frontier = following
    drawn = [nodes[i] for i in sorted(keep)]
    hidden: dict[int, int] = {}
    for node in drawn:
        missing = sum(1 for j in node["inputs"] if j not in keep)
        if missing:
            hidden[node["id"]] = missing
    kinds = ", ".join(f"{count:,} {kind}" for kind, count in sorted(counts.items(), key=lambda kc: -kc[1]))
    focus_name = "the outputs" if outputs is not None or any(n["output"] for n in chosen) else "the last unread nodes"
    lines = [
        f"summary of {len(chosen):,} nodes: {kinds}",
        f"drawn: {focus_name}"
        f" ({len(focus)}{'' if len(focus) == len(shown_focus) else f', the first {len(shown_focus)}'})"
        f" and the {len(drawn) - len(shown_focus)} nodes nearest them",
        "full=True draws every node",
    ]
    note = f'  summary [label="{_label(lines)}", shape=note, style=filled, fillcolor="#f3f4f6"];'
    return [note, *_draw(drawn, "n", "  ", hidden)]


def dot_source_side_by_side(
    before: GraphStore,
    after: GraphStore,
    *,
    outputs: Sequence[int] | None = None,
    titles: tuple[str, str] = ("pipeline", "reduced"),
    origins: Sequence[Origin] | None = None,
) -> str:
    """Two stores in one picture, each in its own frame: typically a pipeline and its reduced
    form. ``outputs`` (ids of ``before``) limits the left side to what feeds them; the right side
    is drawn whole. ``origins`` (what ``provenance=True`` of a mapped reduction returns) adds a
    dashed edge from each drawn node of ``before`` to the node of ``after`` that computes it,
    labelled with the member index when that is a stage member; a node that nothing computes
    any more gets none."""
    lines = list(_HEADER)
    for index, (store, title, chosen) in enumerate(((before, titles[0], outputs), (after, titles[1], None))):
        lines.append(f"  subgraph cluster_{index} {{")
        lines.append(f'    label="{_quote(title)}"; labeljust=l; style=dashed; color="#999999";')
        lines.extend(_body(store, chosen, f"g{index}n", "    "))
        lines.append("  }")
    if origins is not None:
        lines.extend(_origin_edges(before, after, outputs, origins))
    lines.append("}")
    return "\n".join(lines) + "\n"


def _origin_edges(
    before: GraphStore, after: GraphStore, outputs: Sequence[int] | None, origins: Sequence[Origin]
) -> list[str]:
    if len(origins) != before.node_count():
        raise ValueError(
            f"origins: one entry per node of the store drawn on the left ({before.node_count()}), not {len(origins)}"
        )
    count = after.node_count()
    out: list[str] = []
    # Kept out of the ranking, so the two frames are laid out as they would be alone.
    style = 'style=dashed, color="#3366cc", constraint=false'
    for node in _feeding(before.nodes(), outputs):
        origin = origins[node["id"]]
        if origin is None:
            continue
        target, label = (origin, "") if isinstance(origin, int) else (origin[0], f', label="m{origin[1]}"')
        if not 0 <= target < count:
            raise ValueError(f"origins: entry {node['id']} names node {target}, which the reduced store does not have")
        out.append(f"  g0n{node['id']} -> g1n{target} [{style}{label}];")
    return out


class GraphvizNotFoundError(RuntimeError):
    """Drawing needs Graphviz's ``dot`` program, and it is not on the ``PATH``."""


MISSING_GRAPHVIZ = (
    "drawing needs Graphviz's `dot` program, which is not on the PATH: install Graphviz "
    "(`apt-get install graphviz` on Debian and Ubuntu, `dnf install graphviz`, `brew install graphviz` "
    "or `conda install graphviz`); vantrel.render.dot_source(store) gives the DOT text without it"
)


class Svg(str):
    """An SVG picture: the SVG text itself (a ``str``), which notebooks display as the picture.
    ``data`` is the text; `save` writes it to a file."""

    __slots__ = ()

    @property
    def data(self) -> str:
        return str(self)

    def _repr_svg_(self) -> str:
        return str(self)

    def __repr__(self) -> str:
        return f"<vantrel.render.Svg picture: {len(self):,} characters of SVG>"

    def save(self, filename: PathArg) -> None:
        """Write the SVG text to ``filename``."""
        pathlib.Path(filename).write_text(self, encoding="utf-8")


class Png(bytes):
    """A PNG picture: the PNG bytes themselves, which notebooks display as the picture.
    ``data`` is the bytes; `save` writes them to a file."""

    __slots__ = ()

    @property
    def data(self) -> bytes:
        return bytes(self)

    def _repr_png_(self) -> bytes:
        return bytes(self)

    def __repr__(self) -> str:
        return f"<vantrel.render.Png picture: {len(self):,} bytes of PNG>"

    def save(self, filename: PathArg) -> None:
        """Write the PNG bytes to ``filename``."""
        pathlib.Path(filename).write_bytes(self)


Picture = Svg | Png
"""What `render` and `render_side_by_side` return."""


def _format(fmt: str | None, filename: PathArg | None) -> str:
    if fmt is None:
        suffix = pathlib.Path(filename).suffix.lower() if filename is not None else ""
        fmt = "png" if suffix == ".png" else "svg"
    if fmt not in ("svg", "png"):
        raise ValueError(f"format must be 'svg' or 'png', not {fmt!r}")
    return fmt


def _run_dot(source: str, fmt: str, filename: PathArg | None) -> Picture:
    dot = shutil.which("dot")
    if dot is None:
        raise GraphvizNotFoundError(MISSING_GRAPHVIZ)
    done = subprocess.run([dot, f"-T{fmt}"], input=source.encode(), capture_output=True, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"dot failed: {done.stderr.decode(errors='replace').strip()}")
    picture: Picture = Svg(done.stdout.decode()) if fmt == "svg" else Png(done.stdout)
    if filename is not None:
        picture.save(filename)
    return picture


@overload
def render(
    store: GraphStore,
    *,
    outputs: Sequence[int] | None = None,
    format: Literal["svg"],
    filename: PathArg | None = None,
    full: bool = False,
    limit: int | None = None,
) -> Svg: ...
@overload
def render(
    store: GraphStore,
    *,
    outputs: Sequence[int] | None = None,
    format: Literal["png"],
    filename: PathArg | None = None,
    full: bool = False,
    limit: int | None = None,
) -> Png: ...
@overload
def render(
    store: GraphStore,
    *,
    outputs: Sequence[int] | None = None,
    format: None = None,
    filename: None = None,
    full: bool = False,
    limit: int | None = None,
) -> Svg: ...
@overload
def render(
    store: GraphStore,
    *,
    outputs: Sequence[int] | None = None,
    format: None = None,
    filename: PathArg,
    full: bool = False,
    limit: int | None = None,
) -> Picture: ...
def render(
    store: GraphStore,
    *,
    outputs: Sequence[int] | None = None,
    format: Format | None = None,
    filename: PathArg | None = None,
    full: bool = False,
    limit: int | None = None,
) -> Picture:
    """The picture of a store (or of what feeds ``outputs``) as an `Svg` (the default) or, with
    ``format="png"``, a `Png`; notebooks display either. ``filename=`` also writes it there (a
    name ending in ``.png`` picks PNG when ``format`` is not given).

    A part of more than ``limit`` nodes (default `DRAW_NODE_LIMIT`) is drawn as a summary
    unless ``full=True``: its count of nodes of each kind, the outputs (the given ones, else
    the marked ones, else the last nodes nothing reads) and the nodes nearest them, with
    "... N more" where inputs are left out. Graphviz takes minutes over thousands of nodes,
    and such a picture cannot be read anyway.

    Raises `GraphvizNotFoundError` (a ``RuntimeError``) saying what to install when
    Graphviz's ``dot`` program is missing."""
    fmt = _format(format, filename)
    return _run_dot(dot_source(store, outputs=outputs, full=full, limit=limit), fmt, filename)


@overload
def render_side_by_side(
    before: GraphStore,
    after: GraphStore,
    *,
    outputs: Sequence[int] | None = None,
    titles: tuple[str, str] = ("pipeline", "reduced"),
    origins: Sequence[Origin] | None = None,
    format: Literal["svg"],
    filename: PathArg | None = None,
) -> Svg: ...
@overload
def render_side_by_side(
    before: GraphStore,
    after: GraphStore,
    *,
    outputs: Sequence[int] | None = None,
    titles: tuple[str, str] = ("pipeline", "reduced"),
    origins: Sequence[Origin] | None = None,
    format: Literal["png"],
    filename: PathArg | None = None,
) -> Png: ...
@overload
def render_side_by_side(
    before: GraphStore,
    after: GraphStore,
    *,
    outputs: Sequence[int] | None = None,
    titles: tuple[str, str] = ("pipeline", "reduced"),
    origins: Sequence[Origin] | None = None,
    format: None = None,
    filename: None = None,
) -> Svg: ...
@overload
def render_side_by_side(
    before: GraphStore,
    after: GraphStore,
    *,
    outputs: Sequence[int] | None = None,
    titles: tuple[str, str] = ("pipeline", "reduced"),
    origins: Sequence[Origin] | None = None,
    format: None = None,
    filename: PathArg,
) -> Picture: ...
def render_side_by_side(
    before: GraphStore,
    after: GraphStore,
    *,
    outputs: Sequence[int] | None = None,
    titles: tuple[str, str] = ("pipeline", "reduced"),
    origins: Sequence[Origin] | None = None,
    format: Format | None = None,
    filename: PathArg | None = None,
) -> Picture:
    """A pipeline and its reduced form in one picture (see `dot_source_side_by_side`, also for
    ``origins``), drawn whole, returned and saved as `render` does."""
    fmt = _format(format, filename)
    source = dot_source_side_by_side(before, after, outputs=outputs, titles=titles, origins=origins)
    return _run_dot(source, fmt, filename)


def repr_mimebundle(
    store: GraphStore,
    include: Iterable[str] | None = None,
    exclude: Iterable[str] | None = None,
) -> dict[str, str] | None:
    """What a notebook shows for a store: ``{"image/svg+xml": ...}``, its picture (a summary
    past `NOTEBOOK_NODE_LIMIT` nodes); when Graphviz is missing, ``{"text/plain": ...}``, a
    line saying what to install; ``None`` (the usual text) when the notebook asked for other
    formats only."""
    wanted = "image/svg+xml"
    if include is not None and wanted not in include:
        return None
    if exclude is not None and wanted in exclude:
        return None
    if not graphviz_available():
        return {
            "text/plain": f"<vantrel_core.GraphStore of {store.node_count():,} nodes; no picture: {MISSING_GRAPHVIZ}>"
        }
    return {wanted: str(render(store, limit=NOTEBOOK_NODE_LIMIT))}
