"""The module surface: exports, version, classes, docstrings, signatures, the internal fault."""

import inspect
import subprocess
import sys
import sysconfig
import weakref

import pytest
import vantrel_core
from vantrel_core import GraphStore, IncrementalReducer, PayloadDescriptor, version

CLASSES = [GraphStore, PayloadDescriptor, IncrementalReducer]


def internal_fault_class():
    """The internal-fault class, reached the only way Python can: by provoking one."""
    d = {"a": 1}

    class Grow:
        def __index__(self):
            d["new"] = 0
            return 1

    d["b"] = Grow()
    try:
        GraphStore().add_source("x", d)
    except BaseException as e:  # noqa: BLE001 - that is the point
        return type(e)
    raise AssertionError("mutating the params dict did not fail")


def test_all_in_fixed_order():
    assert vantrel_core.__all__ == ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]
    for name in vantrel_core.__all__:
        assert hasattr(vantrel_core, name)


def test_version_and_docstring():
    assert version() == "0.0.1"
    assert vantrel_core.__doc__ == ""
    with pytest.raises(TypeError):
        version(1)


def test_internal_fault_class_derives_directly_from_base_exception():
    cls = internal_fault_class()
    assert cls.__mro__ == (cls, BaseException, object)
    assert not issubclass(cls, Exception)
    assert cls.__name__ not in vantrel_core.__all__
    assert all(value is not cls for value in vars(vantrel_core).values())


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_identity(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})


DESCRIPTOR_ARGS = dict(kind="m", content_hash="h", framework="f", version="1", io_schema="s")


@pytest.mark.parametrize(
    "make", [GraphStore, lambda: PayloadDescriptor(**DESCRIPTOR_ARGS)], ids=["GraphStore", "PayloadDescriptor"]
)
def test_instances_take_no_attributes(make):
    obj = make()
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


def test_graph_store_constructor_takes_nothing():
    with pytest.raises(TypeError):
        GraphStore(1)
    with pytest.raises(TypeError):
        GraphStore(x=1)
    assert GraphStore() is not GraphStore()


GRAPH_STORE_DOC = (
    "GraphStore()\n--\n\nThread-safe interned graph store (frozen pyclass: interior mutability via a Mutex, safe to\n"
    "share across threads under the GIL and free-threaded 3.14t)."
)
DESCRIPTOR_DOC = (
    "PayloadDescriptor(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)\n--\n\n"
    "Reproducibility metadata an External node carries (participates in the structural hash)."
)
METHOD_DOCS = {
    "add_source": "add_source($self, name, params=None)\n--\n\n",
    "add_op": "add_op($self, name, inputs, params=None)\n--\n\n",
    "add_reduction": "add_reduction($self, name, inputs, params=None)\n--\n\n",
    "add_exchange": (
        "add_exchange($self, inputs, params=None)\n--\n\nRecord an `Exchange` boundary (plan M39 \u00a72.1). "
        "No `name` \u2014 an Exchange's identity is its\n`scheme` ParamMap (`params`) + its one logical input; "
        '`nodes()[i]["kind"] == "exchange"`.'
    ),
    "add_external": "add_external($self, descriptor, inputs, params=None)\n--\n\n",
    "nodes": (
        "nodes($self)\n--\n\nStructured, read-only view of every node in id order (plan M9: `inspect` renders the IR "
        "and\n`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n"
        "(source|op|reduction|external|stage), `name`, `params`, `inputs`, `output` (bool), plus a\n"
        "`descriptor` dict for external nodes and `n_members` for stage nodes."
    ),
    "outputs": (
        "outputs($self)\n--\n\nThe marked output node ids, in mark order (what an IR evaluator returns, in order)."
    ),
    "node_count": "node_count($self)\n--\n\n",
}


def raw_doc(name, obj):
    """The docstring as written in the extension: the interpreter splits it into
    __text_signature__ and __doc__ (None when nothing follows the signature)."""
    return f"{name}{obj.__text_signature__}\n--\n\n{obj.__doc__ or ''}"


@pytest.mark.parametrize("method", sorted(METHOD_DOCS))
def test_method_docstrings(method):
    assert raw_doc(method, getattr(GraphStore, method)) == METHOD_DOCS[method]


def test_class_and_function_docstrings():
    assert raw_doc("GraphStore", GraphStore) == GRAPH_STORE_DOC
    assert raw_doc("PayloadDescriptor", PayloadDescriptor) == DESCRIPTOR_DOC
    assert raw_doc("version", version) == "version()\n--\n\n"


@pytest.mark.parametrize(
    "obj, text",
    [
        (GraphStore, "()"),
        (GraphStore.add_source, "(self, /, name, params=None)"),
        (GraphStore.add_op, "(self, /, name, inputs, params=None)"),
        (GraphStore.add_reduction, "(self, /, name, inputs, params=None)"),
        (GraphStore.add_exchange, "(self, /, inputs, params=None)"),
        (GraphStore.add_external, "(self, /, descriptor, inputs, params=None)"),
        (GraphStore.nodes, "(self, /)"),
        (GraphStore.outputs, "(self, /)"),
        (GraphStore.node_count, "(self, /)"),
        (GraphStore().add_op, "(name, inputs, params=None)"),
        (PayloadDescriptor, "(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)"),
        (version, "()"),
    ],
    ids=lambda x: x if isinstance(x, str) else getattr(x, "__qualname__", repr(x)),
)
def test_signatures(obj, text):
    assert str(inspect.signature(obj)) == text


def test_import_is_silent_under_warnings_as_errors():
    out = subprocess.run([sys.executable, "-W", "error", "-c", "import vantrel_core"], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stderr == ""


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded interpreter")
def test_import_keeps_the_gil_disabled():
    out = subprocess.run(
        [sys.executable, "-c", "import sys, vantrel_core; print(sys._is_gil_enabled())"],
        capture_output=True,
        text=True,
        check=True,
    )
    assert out.stdout.strip() == "False"
