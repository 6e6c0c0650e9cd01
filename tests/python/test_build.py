"""Building graphs: hash-consing and ids, every argument error with its message and the
conversion order, the store unchanged after errors, and concurrent building."""

import threading

import pytest
from vantrel_core import GraphStore, PayloadDescriptor

DESC = dict(kind="model", content_hash="h", framework="fw", version="1", io_schema="s")


def two_nodes():
    g = GraphStore()
    g.add_source("a")
    g.add_source("b")
    return g


# --- hash-consing and ids ------------------------------------------------------------------


def test_sources_are_hash_consed(store):
    assert store.add_source("x") == 0
    assert store.add_source("x") == 0
    assert store.node_count() == 1
    assert store.add_source("x", {"k": 1}) == 1
    assert store.add_source(name="x", params={"k": 1}) == 1
    assert store.add_source("") == 2
    assert store.node_count() == 3


def test_duplicate_inputs_are_kept(store):
    store.add_source("x")
    i = store.add_op("add", [0, 0])
    assert store.add_op("add", [0, 0]) == i
    assert store.add_op("add", [0]) != i
    assert store.nodes()[i]["inputs"] == [0, 0]


def test_op_and_reduction_are_different_nodes():
    g = two_nodes()
    assert g.add_op("sum", [0, 1]) != g.add_reduction("sum", [0, 1])
    assert g.node_count() == 4


def test_no_commutativity_at_build_time():
    g = two_nodes()
    assert g.add_op("add", [0, 1]) != g.add_op("add", [1, 0])


@pytest.mark.parametrize("inputs", [(0,), [0], range(1), bytearray(b"\x00"), memoryview(b"\x00"), [False]], ids=repr)
def test_any_sequence_of_ints_is_accepted(inputs):
    g = two_nodes()
    assert g.add_op("f", [0]) == 2
    assert g.add_op("f", inputs) == 2


def test_index_objects_as_ids():
    class Id:
        def __index__(self):
            return 1

    g = two_nodes()
    assert g.add_op("f", [Id(), 0]) == g.add_op("f", [1, 0])


def test_list_mutated_by_an_items_index():
    g = two_nodes()
    ids = [0, None, 1]

    class Shrinks:
        def __index__(self):
            ids.clear()
            return 0

    ids[1] = Shrinks()
    i = g.add_op("f", ids)  # must not read freed items; the result is whatever was read
    assert g.nodes()[i]["inputs"][:2] == [0, 0]


def test_exchange():
    g = two_nodes()
    i = g.add_exchange([0], {"scheme": "hash"})
    assert g.add_exchange([0], {"scheme": "hash"}) == i
    assert g.add_exchange(inputs=[0], params={"scheme": "hash"}) == i
    assert g.add_exchange([]) != i
    assert g.add_exchange([0, 0]) != i
    assert g.add_exchange([0]) != i
    assert g.node_count() == 6


def test_external_instance_and_dict_are_one_node():
    g = two_nodes()
    a = g.add_external(DESC, [0])
    assert g.add_external(PayloadDescriptor(**DESC), [0]) == a
    assert g.add_external(dict(DESC, preprocessing_ref=None), [0]) == a
    assert g.add_external(dict(DESC, extra=object()), [0]) == a
    assert g.add_external(dict(DESC, preprocessing_ref=""), [0]) != a
    assert g.add_external(DESC, [1]) != a
    assert g.add_external(DESC, [0], {"p": 1}) != a


def test_kinds_are_distinct_nodes(store):
    ids = [
        store.add_source("n"),
        store.add_op("n", []),
        store.add_reduction("n", []),
        store.add_exchange([]),
        store.add_external(DESC, []),
    ]
    assert ids == [0, 1, 2, 3, 4]


def test_ids_are_dense_topological():
    g = GraphStore()
    prev = g.add_source("s")
    for i in range(1, 500):
        node = g.add_op("f", [prev, i - 1], {"i": i})
        assert node == i
        prev = node
    assert g.node_count() == 500
    for node in g.nodes():
        assert all(j < node["id"] for j in node["inputs"])


# --- errors --------------------------------------------------------------------------------

ERRORS = [
    # (call on a two-node store, exception type, exact message)
    (lambda g: g.add_op("f", [5]), ValueError, "no node with id 5"),
    (lambda g: g.add_op("f", [1, 7, 9]), ValueError, "no node with id 7"),
    (lambda g: g.add_op("f", [0, 3]), ValueError, "no node with id 3"),
    (lambda g: g.add_reduction("f", [0, 2**64 - 1]), ValueError, "no node with id 18446744073709551615"),
    (lambda g: g.add_exchange([3]), ValueError, "no node with id 3"),
    (lambda g: g.add_external(DESC, [4]), ValueError, "no node with id 4"),
    (lambda g: g.add_op("f", [-1]), OverflowError, None),
    (lambda g: g.add_op("f", [2**64]), OverflowError, None),
    (lambda g: g.add_op("f", "01"), TypeError, "argument 'inputs': Can't extract `str` to `Vec`"),
    (lambda g: g.add_exchange(""), TypeError, "argument 'inputs': Can't extract `str` to `Vec`"),
    (lambda g: g.add_op("f", 5), TypeError, "argument 'inputs': 'int' object cannot be converted to 'Sequence'"),
    (lambda g: g.add_op("f", {0: 0}), TypeError, "argument 'inputs': 'dict' object cannot be converted to 'Sequence'"),
    (lambda g: g.add_op("f", {0}), TypeError, "argument 'inputs': 'set' object cannot be converted to 'Sequence'"),
    (lambda g: g.add_op("f", iter([0])), TypeError, None),
    (
        lambda g: g.add_op("f", [0.0]),
        TypeError,
        "argument 'inputs': 'float' object cannot be interpreted as an integer",
    ),
    (lambda g: g.add_op("f", ["0"]), TypeError, "argument 'inputs': 'str' object cannot be interpreted as an integer"),
    (lambda g: g.add_op("f", [None]), TypeError, None),
    (lambda g: g.add_source(1), TypeError, "argument 'name': 'int' object cannot be converted to 'str'"),
    (lambda g: g.add_op(b"f", [0]), TypeError, "argument 'name': 'bytes' object cannot be converted to 'str'"),
    (
        lambda g: g.add_reduction(None, [0]),
        TypeError,
        "argument 'name': 'NoneType' object cannot be converted to 'str'",
    ),
    (lambda g: g.add_source("\ud800"), UnicodeEncodeError, None),
    (lambda g: g.add_source("x", 5), TypeError, "params must be a dict or None"),
    (lambda g: g.add_op("f", [0], {"k": None}), TypeError, "param values must be int, float, bool, or str"),
    (lambda g: g.add_external(5, [0]), TypeError, "descriptor must be a PayloadDescriptor or dict"),
    (lambda g: g.add_external([("kind", "m")], [0]), TypeError, "descriptor must be a PayloadDescriptor or dict"),
    (lambda g: g.add_external({}, [0]), ValueError, "descriptor missing required field 'kind'"),
    (lambda g: g.add_external(dict(DESC, kind=1), [0]), TypeError, "'int' object cannot be converted to 'str'"),
    # conversion order: name, inputs, params / inputs before descriptor
    (lambda g: g.add_op(1, "x", 5), TypeError, "argument 'name': 'int' object cannot be converted to 'str'"),
    (lambda g: g.add_op("f", "x", 5), TypeError, "argument 'inputs': Can't extract `str` to `Vec`"),
    (lambda g: g.add_op("f", [9], 5), TypeError, "params must be a dict or None"),
    (lambda g: g.add_source(1, 5), TypeError, "argument 'name': 'int' object cannot be converted to 'str'"),
    (lambda g: g.add_exchange("x", 5), TypeError, "argument 'inputs': Can't extract `str` to `Vec`"),
    (lambda g: g.add_exchange([9], 5), TypeError, "params must be a dict or None"),
    (lambda g: g.add_external(5, "x"), TypeError, "argument 'inputs': Can't extract `str` to `Vec`"),
    (lambda g: g.add_external(5, [9], 5), TypeError, "descriptor must be a PayloadDescriptor or dict"),
    (lambda g: g.add_external({}, [9], 5), ValueError, "descriptor missing required field 'kind'"),
    (lambda g: g.add_external(DESC, [9], 5), TypeError, "params must be a dict or None"),
    # binding
    (lambda g: g.add_op("f"), TypeError, "GraphStore.add_op() missing 1 required positional argument: 'inputs'"),
    (
        lambda g: g.add_op(),
        TypeError,
        "GraphStore.add_op() missing 2 required positional arguments: 'name' and 'inputs'",
    ),
    (
        lambda g: g.add_external(),
        TypeError,
        "GraphStore.add_external() missing 2 required positional arguments: 'descriptor' and 'inputs'",
    ),
    (
        lambda g: g.add_source("x", None, 1),
        TypeError,
        "GraphStore.add_source() takes from 1 to 2 positional arguments but 3 were given",
    ),
    (
        lambda g: g.add_op("f", [0], None, None),
        TypeError,
        "GraphStore.add_op() takes from 2 to 3 positional arguments but 4 were given",
    ),
    (lambda g: g.add_op("f", [0], foo=1), TypeError, "GraphStore.add_op() got an unexpected keyword argument 'foo'"),
    (lambda g: g.add_op("f", [0], name="g"), TypeError, "GraphStore.add_op() got multiple values for argument 'name'"),
    (
        lambda g: g.add_exchange(params=None),
        TypeError,
        "GraphStore.add_exchange() missing 1 required positional argument: 'inputs'",
    ),
    (
        lambda g: g.add_source(**{"name": "x", "": 1}),
        TypeError,
        "GraphStore.add_source() got an unexpected keyword argument ''",
    ),
]


@pytest.mark.parametrize("call, exc, message", ERRORS, ids=[str(i) for i in range(len(ERRORS))])
def test_errors_leave_the_store_unchanged(call, exc, message):
    g = two_nodes()
    g.add_op("keep", [0, 1], {"k": 1})
    before = g.nodes()
    with pytest.raises(exc) as info:
        call(g)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    elif exc is TypeError:
        assert str(info.value).startswith("argument 'inputs': ")
    assert g.nodes() == before
    assert g.node_count() == 3


def test_id_errors_name_the_first_bad_id_not_the_largest():
    g = GraphStore()
    for name in "abc":
        g.add_source(name)
    with pytest.raises(ValueError, match=r"^no node with id 5$"):
        g.add_op("f", [0, 5, 7])
    with pytest.raises(ValueError, match=r"^no node with id 0$"):
        GraphStore().add_op("f", [0])


def test_self_reference_is_refused(store):
    store.add_source("x")
    with pytest.raises(ValueError, match=r"^no node with id 1$"):
        store.add_op("f", [1])
    assert store.add_op("f", [0]) == 1


# --- threads -------------------------------------------------------------------------------


def test_concurrent_building_gives_dense_consistent_ids():
    g = GraphStore()
    root = g.add_source("root")
    n_threads, n_shared, n_own = 8, 300, 150
    barrier = threading.Barrier(n_threads)
    shared = [None] * n_threads
    own = [None] * n_threads
    errors = []

    def work(t):
        try:
            barrier.wait()
            mine, theirs = [], []
            prev = root
            for i in range(n_shared):
                prev = g.add_op("step", [prev], {"i": i})
                theirs.append(prev)
                if i < n_own:
                    mine.append(g.add_op(f"own{t}", [prev, root], {"i": i, "mode": "fast"}))
                    g.add_exchange([prev], {"scheme": "hash"})  # shared again, from every thread
            shared[t] = theirs
            own[t] = mine
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(n_threads)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not errors
    assert all(s == shared[0] for s in shared)
    every = {root, *shared[0], *(i for ids in own for i in ids)}
    exchanges = n_own
    total = 1 + n_shared + n_threads * n_own + exchanges
    assert g.node_count() == total
    assert len(every) == total - exchanges
    assert sorted(every) == sorted(set(range(total)) - {n["id"] for n in g.nodes() if n["kind"] == "exchange"})
    nodes = g.nodes()
    for t in range(n_threads):
        for i, node_id in enumerate(own[t]):
            node = nodes[node_id]
            assert node["name"] == f"own{t}"
            assert node["inputs"] == [shared[t][i], root]
            assert node["params"] == {"i": i, "mode": "fast"}
    for node in nodes:
        assert node["id"] < total and all(j < node["id"] for j in node["inputs"])
