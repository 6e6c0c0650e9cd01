"""GraphStore persistence: the canonical blob (serialize / deserialize) and DOT text."""

import os
import struct
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from vantrel_core import GraphStore

EMPTY_BLOB = bytes.fromhex("564952310000000000000000")
WORKED_BLOB = bytes.fromhex(
    "56495231"
    "02000000"
    "00"
    "0100000078"
    "00000000"
    "01"
    "03000000616464"
    "01000000"
    "010000006b"
    "00"
    "0200000000000000"
    "01000000"
    "0000000000000000"
    "01000000"
    "0100000000000000"
)


def worked_example():
    g = GraphStore()
    x = g.add_source("x")
    g.add_op("add", [x], {"k": 2})
    return g


# --- hand-made blobs --------------------------------------------------------------------


def u8(v):
    return struct.pack("<B", v)


def u32(v):
    return struct.pack("<I", v)


def u64(v):
    return struct.pack("<Q", v)


def text(s):
    b = s.encode() if isinstance(s, str) else s
    return u32(len(b)) + b


def ids(xs):
    return u32(len(xs)) + b"".join(u64(x) for x in xs)


def source(name):
    return u8(0) + text(name) + u32(0)


def op(name, inputs):
    return u8(1) + text(name) + u32(0) + ids(inputs)


def stage(inputs, members):
    out = u8(4) + ids(inputs) + u32(len(members))
    for token, args in members:
        out += text(token) + u32(len(args)) + b"".join(u8(kind) + u32(index) for kind, index in args)
    return out


def blob(*records, outputs=()):
    return b"VIR1" + u32(len(records)) + b"".join(records) + ids(list(outputs))


STAGE_BLOB = blob(
    source("x"),
    source("y"),
    stage([0, 1], [("op|add|side=sr", [(0, 0), (0, 1)]), ("red|sum|axis=i0", [(1, 0)])]),
    outputs=[2],
)


# --- golden bytes and the outputs argument ------------------------------------------------


def test_empty_store():
    g = GraphStore()
    assert g.serialize() == EMPTY_BLOB
    back = GraphStore.deserialize(EMPTY_BLOB)
    assert back.node_count() == 0 and back.nodes() == [] and back.outputs() == []


def test_worked_example_bytes():
    g = worked_example()
    assert g.serialize(outputs=[1]) == WORKED_BLOB
    assert len(WORKED_BLOB) == 68
    back = GraphStore.deserialize(WORKED_BLOB)
    assert back.outputs() == [1]
    assert back.serialize() == WORKED_BLOB  # default: the stored marks


@pytest.mark.parametrize(
    "outputs, expected",
    [([], []), ([2, 0], [2, 0]), ((1,), [1]), (range(3), [0, 1, 2]), ([1, 1], [1])],
)
def test_explicit_outputs_are_written_as_given(outputs, expected):
    g = worked_example()
    g.add_source("z")
    marked = GraphStore.deserialize(g.serialize(outputs=[0]))
    data = marked.serialize(outputs=outputs)
    assert GraphStore.deserialize(data).outputs() == expected
    assert marked.outputs() == [0]  # the store's own marks are untouched


def test_repeated_output_collapses_and_shortens_the_next_blob():
    data = worked_example().serialize(outputs=[1, 1])
    again = GraphStore.deserialize(data).serialize()
    assert len(again) == len(data) - 8


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda g: g.serialize(outputs="0"), TypeError, "argument 'outputs': Can't extract `str` to `Vec`"),
        (lambda g: g.serialize(outputs=5), TypeError, "argument 'outputs': "),
        (lambda g: g.serialize(outputs=[0, "a"]), TypeError, "argument 'outputs': "),
        (lambda g: g.serialize(outputs=[-1]), OverflowError, None),
        (lambda g: g.serialize(outputs=[2**64]), OverflowError, None),
        (lambda g: g.serialize(outputs=[0, 3, 7]), ValueError, "no node with id 3"),
        (lambda g: g.serialize([0], [1]), TypeError, None),
        (lambda g: g.serialize(output=[0]), TypeError, None),
        (lambda g: GraphStore.deserialize(bytearray(EMPTY_BLOB)), TypeError, "argument 'data': "),
        (lambda g: GraphStore.deserialize(memoryview(EMPTY_BLOB)), TypeError, "argument 'data': "),
        (lambda g: GraphStore.deserialize("VIR1"), TypeError, "argument 'data': "),
        (lambda g: GraphStore.deserialize(), TypeError, None),
        (lambda g: g.to_dot(1), TypeError, None),
    ],
)
def test_argument_errors(call, exc, message):
    g = GraphStore()
    for name in "abc":
        g.add_source(name)
    with pytest.raises(exc) as info:
        call(g)
    if message is not None:
        assert str(info.value).startswith(message)
    assert g.node_count() == 3 and g.outputs() == []


def test_deserialize_on_an_instance_ignores_it():
    g = worked_example()
    back = g.deserialize(data=EMPTY_BLOB)
    assert back.node_count() == 0
    assert g.node_count() == 2 and back is not g


def test_bytes_subclass_is_accepted():
    class Blob(bytes):
        pass

    assert GraphStore.deserialize(Blob(WORKED_BLOB)).outputs() == [1]


def test_docstrings():
    assert GraphStore.to_dot.__doc__ is None or GraphStore.to_dot.__doc__ == ""
    assert GraphStore.serialize.__doc__.startswith("Serialize the IR to the canonical, versioned, byte-identical")
    assert "—" in GraphStore.serialize.__doc__
    assert GraphStore.deserialize.__doc__.startswith("Rebuild a store from canonical bytes.")
    import inspect

    assert str(inspect.signature(GraphStore.deserialize)) == "(data)"
    assert "outputs=None" in str(inspect.signature(GraphStore.serialize))


# --- decoding errors ----------------------------------------------------------------------

TRUNC = "truncated vantrel IR blob"


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", TRUNC),
        (b"VIR", TRUNC),
        (b"VIR2" + u32(0) + u32(0), "not a vantrel IR blob (bad magic/version)"),
        (b"VIR1abc", TRUNC),
        (b"VIR1" + u32(1) + u8(6), "invalid node tag 6"),
        (b"VIR1" + u32(1) + u8(0) + text("x") + u32(1) + text("k") + u8(4), "invalid param tag 4"),
        (b"VIR1" + u32(1) + u8(0) + text(b"\xff"), "invalid utf-8 in vantrel IR blob"),
        (b"VIR1" + u32(1) + u8(0) + text(b"\xed\xa0\x80"), "invalid utf-8 in vantrel IR blob"),
        (blob(source("x"), op("f", [1])), "node reference 1 out of range"),
        (blob(source("x"), op("f", [5])), "node reference 5 out of range"),
        (blob(source("x"), op("f", [0]), outputs=[2]), "node reference 2 out of range"),
        (blob(source("x"), stage([0], [("op|f", [(1, 0)])])), "node reference 0 out of range"),
        (blob(source("x"), stage([0], [("op|f", [(2, 0)])])), "invalid stage-ref tag 2"),
        (blob(source("x"), stage([0], [("op|f", [(0, 1)])])), "node reference 1 out of range"),
        (b"VIR1" + u32(0xFFFFFFFF) + b"\x00" * 6, TRUNC),
        (b"VIR1" + u32(0), TRUNC),
    ],
)
def test_decode_errors(data, message):
    with pytest.raises(ValueError) as info:
        GraphStore.deserialize(data)
    assert str(info.value) == message


def test_every_prefix_of_a_blob_is_truncated():
    data = STAGE_BLOB
    for n in range(len(data)):
        with pytest.raises(ValueError, match="^truncated vantrel IR blob$"):
            GraphStore.deserialize(data[:n])


def test_trailing_bytes_are_ignored():
    back = GraphStore.deserialize(WORKED_BLOB + b"\x00junk")
    assert back.serialize() == WORKED_BLOB


def test_lenient_bool_byte_and_reference_flag():
    bool_two = blob(u8(0) + text("x") + u32(1) + text("b") + u8(2) + u8(2))
    g = GraphStore.deserialize(bool_two)
    assert g.nodes()[0]["params"] == {"b": True}
    assert g.serialize() == bool_two.replace(u8(2) + u8(2), u8(2) + u8(1))

    flag_two = blob(u8(3) + b"".join(text(s) for s in "khfvs") + u8(2) + text("pre") + u32(0) + ids([]))
    d = GraphStore.deserialize(flag_two).nodes()[0]["descriptor"]
    assert d["preprocessing_ref"] == "pre"


def test_stage_from_a_blob():
    g = GraphStore.deserialize(STAGE_BLOB)
    node = g.nodes()[2]
    assert node["kind"] == "stage" and node["inputs"] == [0, 1] and node["n_members"] == 2
    assert node["members"][1] == {"kind": "red", "name": "sum", "params": {"axis": 0}, "inputs": [("member", 0)]}
    assert g.serialize() == STAGE_BLOB
    assert '  n2 [label="Stage[2 members]", shape=doublecircle];\n' in g.to_dot()


def test_duplicated_node_in_a_blob():
    g = GraphStore.deserialize(blob(source("x"), source("x"), op("f", [0]), outputs=[1]))
    assert g.node_count() == 2 and g.outputs() == [1]
    with pytest.raises(ValueError, match="^node reference 1 out of range$"):
        GraphStore.deserialize(blob(source("x"), source("x"), op("f", [1])))


# --- round trips over random graphs -------------------------------------------------------

texts = st.text(max_size=6) | st.sampled_from(["", "a|b", "x;y=z%", "日本", "e\u0301", '"\\\n'])
floats = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from(
    [-0.0, 0.0, struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000ABC))[0], 5e-324]
)
values = st.integers(-(2**63), 2**63 - 1) | floats | st.booleans() | texts
param_maps = st.dictionaries(texts, values, max_size=3)
descriptors = st.fixed_dictionaries(
    {"kind": texts, "content_hash": texts, "framework": texts, "version": texts, "io_schema": texts},
    optional={"preprocessing_ref": st.none() | texts},
)


@st.composite
def graphs(draw):
    g = GraphStore()
    for _ in range(draw(st.integers(0, 12))):
        n = g.node_count()
        inputs = draw(st.lists(st.integers(0, n - 1), max_size=3)) if n else []
        kind = draw(st.sampled_from(["source", "op", "reduction", "exchange", "external"]))
        params = draw(param_maps)
        if kind == "source" or n == 0:
            g.add_source(draw(texts), params)
        elif kind == "op":
            g.add_op(draw(texts), inputs, params)
        elif kind == "reduction":
            g.add_reduction(draw(texts), inputs, params)
        elif kind == "exchange":
            g.add_exchange(inputs, params)
        else:
            g.add_external(draw(descriptors), inputs, params)
    n = g.node_count()
    outputs = draw(st.lists(st.integers(0, n - 1), max_size=4, unique=True)) if n else []
    return g, outputs


def exact(value):
    """Floats by bit pattern (NaN payloads, -0.0), everything else as is."""
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    if isinstance(value, dict):
        return {k: exact(v) for k, v in value.items()}
    if isinstance(value, list):
        return [exact(v) for v in value]
    return value


def view(g):
    return [exact({k: v for k, v in node.items() if k != "output"}) for node in g.nodes()]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(graphs())
def test_round_trip_keeps_ids_marks_and_bytes(case):
    g, outputs = case
    data = g.serialize(outputs=outputs)
    assert g.serialize(outputs=outputs) == data
    back = GraphStore.deserialize(data)
    assert view(back) == view(g)
    assert back.outputs() == outputs
    assert back.serialize() == data
    assert back.to_dot() == GraphStore.deserialize(back.serialize()).to_dot()


@settings(max_examples=60, deadline=None)
@given(param_maps)
def test_param_bits_survive(params):
    g = GraphStore()
    g.add_source("s", params)
    back = GraphStore.deserialize(g.serialize())
    assert exact(back.nodes()[0]["params"]) == exact(g.nodes()[0]["params"])


BUILD_SCRIPT = textwrap.dedent(
    """
    from vantrel_core import GraphStore
    g = GraphStore()
    x = g.add_source("x", {"n": float("nan"), "z": -0.0, "s": "日本", "e": ""})
    y = g.add_op("add", [x, x], {"k": 2, "b": True})
    d = {"kind": "model", "content_hash": "h", "framework": "fw", "version": "1", "io_schema": "s"}
    e = g.add_external(d, [y], {"w": 1.5})
    g.add_exchange([e, x], {"scheme": "hash"})
    g.add_reduction("sum", [3], {"axis": 0})
    print(g.serialize(outputs=[4, 2]).hex())
    """
)


def test_same_bytes_in_another_process():
    local = {}
    exec(BUILD_SCRIPT.replace("print(", "result = ("), local)
    here = local["result"]
    for seed in ("0", "12345"):
        out = subprocess.run(
            [sys.executable, "-c", BUILD_SCRIPT],
            check=True,
            capture_output=True,
            text=True,
            # The rest of the environment is passed on: a sanitized run preloads its runtime.
            env={**os.environ, "PYTHONHASHSEED": seed},
        )
        assert out.stdout.strip() == here


# --- DOT -----------------------------------------------------------------------------------


def test_dot_worked_example():
    g = GraphStore.deserialize(worked_example().serialize(outputs=[0]))
    assert g.to_dot() == (
        "digraph vantrel {\n"
        '  n0 [label="Source x", shape=doublecircle];\n'
        '  n1 [label="Op add {k=2}"];\n'
        "  n0 -> n1;\n"
        "}\n"
    )
    assert GraphStore().to_dot() == "digraph vantrel {\n}\n"


@pytest.mark.parametrize(
    "build, line",
    [
        (lambda g: g.add_source('a"b'), r'  n0 [label="Source a\"b"];'),
        (lambda g: g.add_source("a\\b"), r'  n0 [label="Source a\\b"];'),
        (lambda g: g.add_op("f", [], {"mode": "fast"}), r'  n0 [label="Op f {mode=\"fast\"}"];'),
        (lambda g: g.add_exchange([]), '  n0 [label="Exchange"];'),
        (lambda g: g.add_reduction("sum", [], {"x": 1.0}), '  n0 [label="Reduction sum {x=1}"];'),
        (
            lambda g: g.add_external(
                {"kind": "m", "content_hash": "h", "framework": "fw", "version": "2", "io_schema": "io"}, []
            ),
            '  n0 [label="External m:h [fw 2]"];',
        ),
    ],
)
def test_dot_labels(build, line):
    g = GraphStore()
    build(g)
    assert g.to_dot().splitlines()[1] == line


def test_dot_repeated_inputs():
    g = GraphStore()
    a = g.add_source("a")
    m = g.add_op("mul", [a, a])
    assert g.to_dot().endswith(f"  n{a} -> n{m};\n  n{a} -> n{m};\n}}\n")


def test_long_chain():
    g = GraphStore()
    prev = g.add_source("x")
    for _ in range(200_000):
        prev = g.add_op("f", [prev])
    data = g.serialize(outputs=[prev])
    back = GraphStore.deserialize(data)
    assert back.node_count() == 200_001 and back.serialize() == data
    assert back.to_dot().endswith(f"  n{prev - 1} -> n{prev};\n}}\n")
