"""PayloadDescriptor: the keyword-only constructor, read-only attributes, and descriptor
arguments given as instances or dicts."""

import pytest
from vantrel_core import GraphStore, PayloadDescriptor

FIELDS = ["kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref"]
DESC = dict(kind="model", content_hash="h", framework="fw", version="1", io_schema="s")


def external_view(descriptor):
    g = GraphStore()
    i = g.add_external(descriptor, [])
    return g.nodes()[i]["descriptor"]


# --- construction --------------------------------------------------------------------------


def test_fields_and_default_ref():
    d = PayloadDescriptor(**DESC)
    assert [getattr(d, f) for f in FIELDS] == ["model", "h", "fw", "1", "s", None]
    assert PayloadDescriptor(**DESC, preprocessing_ref=None).preprocessing_ref is None
    assert PayloadDescriptor(**DESC, preprocessing_ref="p").preprocessing_ref == "p"


def test_empty_and_unusual_texts_are_kept():
    values = dict(
        kind="", content_hash=" h ", framework="\u00e9|;=%", version="\x00", io_schema="", preprocessing_ref=""
    )
    d = PayloadDescriptor(**values)
    for f in FIELDS:
        assert getattr(d, f) == values[f]
        assert type(getattr(d, f)) is str


def test_str_subclasses_are_accepted():
    class S(str):
        pass

    d = PayloadDescriptor(**{k: S(v) for k, v in DESC.items()}, preprocessing_ref=S("p"))
    assert type(d.kind) is str and d.kind == "model"
    assert d.preprocessing_ref == "p"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: PayloadDescriptor("model", "h", "fw", "1", "s"), None),
        (lambda: PayloadDescriptor(kind="m"), "'content_hash'"),
        (
            lambda: PayloadDescriptor(**dict(DESC, x=1)),
            "PayloadDescriptor.__new__() got an unexpected keyword argument 'x'",
        ),
        (lambda: PayloadDescriptor(**dict(DESC, kind=1)), "argument 'kind': "),
        (lambda: PayloadDescriptor(**dict(DESC, io_schema=b"s")), "argument 'io_schema': "),
        (lambda: PayloadDescriptor(**DESC, preprocessing_ref=3), "argument 'preprocessing_ref': "),
        (lambda: PayloadDescriptor(**dict(DESC, kind=1, version=2)), "argument 'kind': "),
    ],
)
def test_constructor_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    if message is not None:
        text = str(info.value)
        assert text.startswith(message) or (message.startswith("'") and message in text), text


def test_missing_keywords_are_named():
    with pytest.raises(TypeError) as info:
        PayloadDescriptor(kind="m", framework="f", version="1")
    assert "'content_hash'" in str(info.value) and "'io_schema'" in str(info.value)
    assert "'framework'" not in str(info.value)


def test_lone_surrogate_field():
    with pytest.raises(UnicodeEncodeError):
        PayloadDescriptor(**dict(DESC, version="\udc80"))


@pytest.mark.parametrize("field", FIELDS)
def test_attributes_are_read_only(field):
    d = PayloadDescriptor(**DESC)
    with pytest.raises(AttributeError):
        setattr(d, field, "x")
    with pytest.raises(AttributeError):
        delattr(d, field)
    assert getattr(type(d), field).__doc__ in (None, "")


def test_identity_semantics_but_one_node():
    a, b = PayloadDescriptor(**DESC), PayloadDescriptor(**DESC)
    assert a != b and a == a
    assert hash(a) != hash(b) or a is not b
    assert repr(a) == object.__repr__(a)
    g = GraphStore()
    g.add_source("x")
    assert g.add_external(a, [0], {"k": 1}) == g.add_external(b, [0], {"k": 1})


# --- descriptor arguments ------------------------------------------------------------------


def test_view_of_instance_and_dict():
    want = dict(DESC, preprocessing_ref=None)
    assert external_view(PayloadDescriptor(**DESC)) == want
    assert list(external_view(DESC)) == FIELDS
    assert external_view(dict(DESC, preprocessing_ref="")) == dict(DESC, preprocessing_ref="")


def test_dict_subclass_is_accepted():
    class D(dict):
        pass

    g = GraphStore()
    assert g.add_external(D(DESC), []) == g.add_external(DESC, [])


@pytest.mark.parametrize(
    "descriptor, exc, message",
    [
        ({}, ValueError, "descriptor missing required field 'kind'"),
        (
            {k: v for k, v in DESC.items() if k not in ("kind", "io_schema")},
            ValueError,
            "descriptor missing required field 'kind'",
        ),
        (
            {k: v for k, v in DESC.items() if k != "framework"},
            ValueError,
            "descriptor missing required field 'framework'",
        ),
        (
            {k: v for k, v in DESC.items() if k != "io_schema"},
            ValueError,
            "descriptor missing required field 'io_schema'",
        ),
        (
            {k: v for k, v in DESC.items() if k != "kind"} | {"preprocessing_ref": 5},
            TypeError,
            "'int' object cannot be converted to 'str'",
        ),
        (dict(DESC, version=1.0), TypeError, "'float' object cannot be converted to 'str'"),
        (dict(DESC, kind=None), TypeError, "'NoneType' object cannot be converted to 'str'"),
        (dict(DESC, content_hash=1, framework=None), TypeError, "'int' object cannot be converted to 'str'"),
        (5, TypeError, "descriptor must be a PayloadDescriptor or dict"),
        (None, TypeError, "descriptor must be a PayloadDescriptor or dict"),
        (list(DESC.items()), TypeError, "descriptor must be a PayloadDescriptor or dict"),
        (PayloadDescriptor, TypeError, "descriptor must be a PayloadDescriptor or dict"),
    ],
    ids=lambda x: x if isinstance(x, str) else None,
)
def test_descriptor_argument_errors(descriptor, exc, message):
    g = GraphStore()
    with pytest.raises(exc) as info:
        g.add_external(descriptor, [])
    assert type(info.value) is exc
    assert str(info.value) == message
    assert g.node_count() == 0


def test_surrogate_in_dict_field_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        GraphStore().add_external(dict(DESC, preprocessing_ref="\ud800"), [])


def test_lookup_error_from_a_key_propagates():
    armed = False

    class Clash:
        """Hashes like "kind" and, once armed, refuses to be compared."""

        def __hash__(self):
            return hash("kind")

        def __eq__(self, other):
            if armed:
                raise LookupError("no comparing")
            return self is other

    d = {Clash(): 1}
    d.update(DESC)
    armed = True
    g = GraphStore()
    with pytest.raises(LookupError, match="no comparing"):
        g.add_external(d, [])
    assert g.node_count() == 0


def test_instance_is_copied_into_the_node():
    d = PayloadDescriptor(**DESC, preprocessing_ref="p")
    g = GraphStore()
    i = g.add_external(d, [])
    del d
    assert g.nodes()[i]["descriptor"]["preprocessing_ref"] == "p"
