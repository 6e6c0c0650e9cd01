"""Readable pictures: what the DOT text shows, what `outputs=` keeps, and that everything
degrades to nothing without Graphviz."""
import shutil

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
    assert f'n{ids["a"]}  source a\\lcached=True, path=\'x\\"y\', rows=10, scale=1.0\\l' in text
    assert f'n{ids["e"]}  op exp' in text


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
    assert f'n{ids["a"]} -> n{ids["e"]};' in text


def test_outputs_keep_only_what_feeds_them(pipeline):
    g, ids = pipeline
    text = render.dot_source(g, outputs=[ids["e"]])
    assert f'n{ids["e"]} [' in text and f'n{ids["a"]} [' in text
    for gone in ("b", "s", "unused"):
        assert f'n{ids[gone]} [' not in text
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
    d = vc.PayloadDescriptor(kind="model", content_hash="h1", framework="fw", version="2",
                             io_schema="f32", preprocessing_ref="prep")
    m = g.add_external(d, [x], {"batch": 8})
    text = render.dot_source(g)
    assert f"n{m}  external\\lmodel:h1 [fw 2]\\lio f32\\lprep prep\\lbatch=8\\l" in text


def test_side_by_side_frames_both_stores(pipeline):
    g, ids = pipeline
    reduced, _ = g.reduce(outputs=[ids["s"]])
    text = render.dot_source_side_by_side(g, reduced, outputs=[ids["s"]], titles=("before", "after"))
    assert 'label="before"' in text and 'label="after"' in text
    assert f'g0n{ids["unused"]} [' not in text
    assert "g1n0 [" in text


def test_deep_chain_needs_no_recursion():
    g = vc.GraphStore()
    node = g.add_source("x")
    for i in range(20000):
        node = g.add_op("f", [node], {"i": i})
    assert render.dot_source(g, outputs=[node]).count("->") == 20000


def test_without_graphviz_everything_degrades_to_nothing(pipeline, monkeypatch):
    g, ids = pipeline
    monkeypatch.setattr(shutil, "which", lambda name: None)
    assert not render.graphviz_available()
    assert render.render(g) is None
    assert render.render(g, format="png") is None
    assert render.render_side_by_side(g, g) is None
    assert render.repr_mimebundle(g) is None


def test_notebook_bundle_respects_size_and_requested_formats(pipeline, monkeypatch):
    g, _ = pipeline
    assert render.repr_mimebundle(g, include=["text/html"]) is None
    assert render.repr_mimebundle(g, exclude=["image/svg+xml"]) is None
    monkeypatch.setattr(render, "NOTEBOOK_NODE_LIMIT", 2)
    assert render.repr_mimebundle(g) is None


needs_dot = pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz dot is not installed")


@needs_dot
def test_render_svg_and_png(pipeline):
    g, ids = pipeline
    svg = render.render(g, outputs=[ids["s"]])
    assert svg is not None and svg.lstrip().startswith("<?xml") and "</svg>" in svg
    png = render.render_side_by_side(g, g.reduce(outputs=[ids["s"]])[0], format="png")
    assert png is not None and png.startswith(b"\x89PNG")
    bundle = render.repr_mimebundle(g)
    assert bundle is not None and "</svg>" in bundle["image/svg+xml"]


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
    assert g._repr_mimebundle_() is None
