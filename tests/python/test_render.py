"""Readable pictures: what the DOT text shows, what `outputs=` keeps, the summary of large
graphs, the picture objects, and what is said when Graphviz is missing."""

import shutil
import subprocess

import pytest
import vantrel_core as vc

from vantrel import render


@pytest.fixture
def pipeline():
    g = vc.GraphStore()
    a = g.add_source("a", {"rows": 10, "scale": 1.0, "cached": True, "path": 'x"y'})
    b = g.add_source("b")
    e = g.add_op("exp", [a])
    s = g.add_op("sub", [e, b])
    unused = g.add_op("neg", [b])
    return g, {"a": a, "b": b, "e": e, "s": s, "unused": unused}


def test_labels_show_ids_kinds_and_typed_params(pipeline):
    g, ids = pipeline
    text = render.dot_source(g)
    assert f"n{ids['a']}  source a\\lcached=True, path='x\\\"y', rows=10, scale=1.0\\l" in text
    assert f"n{ids['e']}  op exp" in text


def test_int_and_float_params_read_differently():
    g = vc.GraphStore()
    x = g.add_source("x")
    i = g.add_op("add", [x], {"scalar": 0, "side": "r"})
    f = g.add_op("add", [x], {"scalar": 0.0, "side": "r"})
    text = render.dot_source(g)
    assert f"n{i}  op add\\lscalar=0, side='r'" in text
    assert f"n{f}  op add\\lscalar=0.0, side='r'" in text


def test_edges_carry_input_positions_when_a_node_has_several(pipeline):
    g, ids = pipeline
    text = render.dot_source(g)
    assert f'n{ids["e"]} -> n{ids["s"]} [label="0"];' in text
    assert f'n{ids["b"]} -> n{ids["s"]} [label="1"];' in text
    assert f"n{ids['a']} -> n{ids['e']};" in text


def test_outputs_keep_only_what_feeds_them(pipeline):
    g, ids = pipeline
    text = render.dot_source(g, outputs=[ids["e"]])
    assert f"n{ids['e']} [" in text and f"n{ids['a']} [" in text
    for gone in ("b", "s", "unused"):
        assert f"n{ids[gone]} [" not in text
    with pytest.raises(ValueError, match="no node with id 99"):
        render.dot_source(g, outputs=[99])


def test_stage_lists_members_and_marks_outputs(pipeline):
    g, ids = pipeline
    reduced, _ = g.reduce(outputs=[ids["s"]])
    text = render.dot_source(reduced)
    assert "2 members:\\lm0 = exp(in0)\\lm1 = sub(m0, in1)\\l" in text
    assert "peripheries=2" in text
    assert '[label="in0"]' in text and '[label="in1"]' in text


def test_reduction_members_and_externals_are_named():
    g = vc.GraphStore()
    x = g.add_source("x")
    d = vc.PayloadDescriptor(
        kind="model", content_hash="h1", framework="fw", version="2", io_schema="f32", preprocessing_ref="prep"
    )
    m = g.add_external(d, [x], {"batch": 8})
    text = render.dot_source(g)
    assert f"n{m}  external\\lmodel:h1 [fw 2]\\lio f32\\lprep prep\\lbatch=8\\l" in text


def test_side_by_side_frames_both_stores(pipeline):
    g, ids = pipeline
    reduced, _ = g.reduce(outputs=[ids["s"]])
    text = render.dot_source_side_by_side(g, reduced, outputs=[ids["s"]], titles=("before", "after"))
    assert 'label="before"' in text and 'label="after"' in text
    assert f"g0n{ids['unused']} [" not in text
    assert "g1n0 [" in text


def test_deep_chain_needs_no_recursion():
    g = vc.GraphStore()
    node = g.add_source("x")
    for i in range(20000):
        node = g.add_op("f", [node], {"i": i})
    assert render.dot_source(g, outputs=[node]).count("->") == 20000


def test_without_graphviz_drawing_says_what_to_install(pipeline, monkeypatch, tmp_path):
    g, ids = pipeline
    monkeypatch.setattr(shutil, "which", lambda name: None)
    assert not render.graphviz_available()
    for draw in (
        lambda: render.render(g),
        lambda: render.render(g, format="png"),
        lambda: render.render_side_by_side(g, g),
        lambda: render.render(g, filename=tmp_path / "x.svg"),
    ):
        with pytest.raises(render.GraphvizNotFoundError, match="apt-get install graphviz"):
            draw()
    assert not (tmp_path / "x.svg").exists()
    assert issubclass(render.GraphvizNotFoundError, RuntimeError)
    (text,) = render.repr_mimebundle(g).values()
    assert "5 nodes; no picture" in text and "install Graphviz" in text
    assert render.dot_source(g).startswith("digraph vantrel {")


def test_notebook_bundle_respects_requested_formats(pipeline):
    g, _ = pipeline
    assert render.repr_mimebundle(g, include=["text/html"]) is None
    assert render.repr_mimebundle(g, exclude=["image/svg+xml"]) is None


def chain(n):
    g = vc.GraphStore()
    node = g.add_source("x")
    for i in range(n):
        node = g.add_op("f", [node], {"i": i})
    return g, node


def test_large_parts_are_summarised_unless_every_node_is_asked_for():
    g, last = chain(3000)
    text = render.dot_source(g, full=False)
    assert "summary of 3,001 nodes: 3,000 op, 1 source" in text
    assert "the last unread nodes (1)" in text
    assert text.count(" -> ") == render.SUMMARY_NODES  # the chain drawn, plus the "more" mark
    assert f"n{last} [" in text and f"n{last - render.SUMMARY_NODES + 1} [" in text
    assert f"n{last - render.SUMMARY_NODES + 1}  op f" in text and "... 1 more" in text
    assert render.dot_source(g, full=False, limit=5000) == render.dot_source(g)
    mid = render.dot_source(g, outputs=[100, 2000], full=False)
    assert "summary of 2,001 nodes" in mid and "the outputs (2)" in mid
    assert "n100 [" in mid and "n2000 [" in mid and "n2500 [" not in mid
    with pytest.raises(ValueError, match="limit must be"):
        render.dot_source(g, full=False, limit=-1)


def test_summary_centres_on_marked_outputs():
    g, last = chain(500)
    g.mark_outputs([250])
    text = render.dot_source(g, full=False)
    assert "summary of 501 nodes" in text and "the outputs (1)" in text
    assert "n250 [" in text and f"n{last} [" not in text


needs_dot = pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz dot is not installed")


@needs_dot
def test_render_svg_and_png(pipeline, tmp_path):
    g, ids = pipeline
    svg = render.render(g, outputs=[ids["s"]])
    assert isinstance(svg, render.Svg) and svg.lstrip().startswith("<?xml") and "</svg>" in svg
    assert svg.data == str(svg) == svg._repr_svg_() and type(svg.data) is str
    assert repr(svg).startswith("<vantrel.render.Svg picture")
    png = render.render_side_by_side(g, g.reduce(outputs=[ids["s"]])[0], format="png")
    assert isinstance(png, render.Png) and png.startswith(b"\x89PNG") and png._repr_png_() == png.data
    bundle = render.repr_mimebundle(g)
    assert bundle is not None and "</svg>" in bundle["image/svg+xml"]
    saved = render.render(g, filename=tmp_path / "g.png")
    assert isinstance(saved, render.Png) and (tmp_path / "g.png").read_bytes() == saved
    svg.save(tmp_path / "g.svg")
    assert (tmp_path / "g.svg").read_text() == svg
    render.render(g, format="svg", filename=str(tmp_path / "forced.png"))
    assert (tmp_path / "forced.png").read_text().lstrip().startswith("<?xml")


@needs_dot
def test_large_store_in_a_notebook_shows_its_summary(monkeypatch):
    g, _ = chain(50)
    monkeypatch.setattr(render, "NOTEBOOK_NODE_LIMIT", 10)
    svg = render.repr_mimebundle(g)["image/svg+xml"]
    assert "summary of 51 nodes" in svg


def test_unknown_format_is_refused(pipeline, monkeypatch):
    g, _ = pipeline
    monkeypatch.setattr(shutil, "which", lambda name: "/bin/true")
    with pytest.raises(ValueError, match="format must be 'svg' or 'png'"):
        render.render(g, format="gif")  # type: ignore[call-overload]


def test_store_shows_its_picture_in_a_notebook(pipeline, monkeypatch):
    g, _ = pipeline
    assert g._repr_mimebundle_(include=["text/plain"]) is None
    assert g._repr_mimebundle_() == render.repr_mimebundle(g)
    monkeypatch.setattr(shutil, "which", lambda name: None)
    assert "install Graphviz" in g._repr_mimebundle_()["text/plain"]


def nul_store():
    g = vc.GraphStore()
    a = g.add_source("a\0b", {"k\0": "v\0"})
    desc = vc.PayloadDescriptor(
        kind="m\0", content_hash="h", framework="f\0", version="1", io_schema="s", preprocessing_ref="p\0"
    )
    g.mark_outputs([g.add_external(desc, [a])])
    return g


@pytest.mark.parametrize("dot_text", [lambda g: g.to_dot(), render.dot_source], ids=["to_dot", "dot_source"])
def test_nul_is_written_escaped(dot_text):
    g = nul_store()
    text = dot_text(g)
    assert "\0" not in text
    assert "a\\\\0b" in text and "m\\\\0" in text
    assert dot_text(g) == text


@needs_dot
def test_nul_in_names_renders():
    g = nul_store()
    assert "</svg>" in str(render.render(g))
    done = subprocess.run(["dot", "-Tsvg"], input=g.to_dot().encode(), capture_output=True)
    assert done.returncode == 0, done.stderr
