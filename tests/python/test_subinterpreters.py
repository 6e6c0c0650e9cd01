"""The module and the builder's handles in subinterpreters (3.12+): each interpreter that
imports them gets its own classes, with a shared GIL and with a GIL of its own, while the main
interpreter keeps working with its objects. Each scenario runs in a fresh process."""

import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(sys.version_info < (3, 12), reason="subinterpreters need 3.12+")

SCENARIO = r'''
import pickle
import sys

import vantrel_core as vc

try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters


def create(own_gil):
    if interpreters.__name__ == "_interpreters":
        return interpreters.create(interpreters.new_config("isolated" if own_gil else "legacy"))
    return interpreters.create(isolated=own_gil)


def run(interp, code):
    failure = interpreters.run_string(interp, code)  # 3.12 raises, 3.13 returns the failure
    if failure is not None:
        raise AssertionError(failure)


main_store = vc.GraphStore()
x = main_store.add_source("x")
main_store.add_op("add", [x, x])
reducer = vc.IncrementalReducer()
assert reducer.step(main_store) == 2

SUB = """
import pickle
import vantrel_core as vc
g = vc.GraphStore()
x, y = g.add_source("x"), g.add_source("y")
a, b = g.add_op("add", [x, y]), g.add_op("add", [y, x])
reduced, report, ids = g.reduce_mapped(outputs=[a, b])
assert type(reduced) is vc.GraphStore and ids[0] == ids[1], ids
assert type(g.reduce()[0]) is vc.GraphStore
r = vc.IncrementalReducer()
assert r.step(g) == 4
assert type(r.finalize_mapped(g, outputs=[a])[0]) is vc.GraphStore
back = pickle.loads(BLOB)
assert type(back) is vc.GraphStore and back.serialize() == EXPECTED
assert type(pickle.loads(pickle.dumps(g))) is vc.GraphStore
try:
    r.step(vc.GraphStore())
except ValueError:
    pass
else:
    raise AssertionError("another store was accepted")
d = {"k": 1}
class Grow:
    def __index__(self):
        d["new"] = 0
        return 1
d["b"] = Grow()
try:
    g.add_source("z", d)
except BaseException as e:
    assert type(e).__mro__[1] is BaseException, type(e).__mro__
"""

for round_, own_gil in enumerate(OWN_GIL):
    interp = create(own_gil)
    run(interp, SUB.replace("BLOB", repr(pickle.dumps(main_store))).replace("EXPECTED", repr(main_store.serialize())))
    # The main interpreter's objects and classes are untouched by the other import.
    new = main_store.add_op("neg", [x], {"round": round_})
    assert new == main_store.node_count() - 1
    assert reducer.step(main_store) == 1
    reduced, report = main_store.reduce(outputs=[new])
    assert type(reduced) is vc.GraphStore
    assert type(reducer.finalize(main_store, outputs=[1])[0]) is vc.GraphStore
    assert type(pickle.loads(pickle.dumps(main_store))) is vc.GraphStore
    interpreters.destroy(interp)
    main_store = vc.GraphStore.deserialize(main_store.serialize(outputs=[0, 1]))
    x = 0
    reducer = vc.IncrementalReducer()
    assert reducer.step(main_store) == main_store.node_count()
    assert type(main_store.reduce_mapped(outputs=[1])[0]) is vc.GraphStore
print("ok")
'''


@pytest.mark.parametrize("own_gil", [[False], [True], [True, False, True]], ids=["shared-gil", "own-gil", "mixed"])
def test_module_in_subinterpreters(own_gil):
    script = SCENARIO.replace("OWN_GIL", repr(own_gil))
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


BUILDER = r'''
from vantrel import Pipeline

try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters

SUB = """
from vantrel import Node, Pipeline
p = Pipeline()
a = p.source("a")
s = a * 2.0 + a
assert type(s) is Node and (a * 2.0 + a) is s and p.node(s.id) is s and s.id == 2
"""

p = Pipeline()
a = p.source("a")
before = a * 2.0
for own_gil in OWN_GIL:
    if interpreters.__name__ == "_interpreters":
        interp = interpreters.create(interpreters.new_config("isolated" if own_gil else "legacy"))
    else:
        interp = interpreters.create(isolated=own_gil)
    failure = interpreters.run_string(interp, SUB)
    if failure is not None:
        raise AssertionError(failure)
    interpreters.destroy(interp)
    # The main interpreter's handles and classes are untouched by the other import.
    assert a * 2.0 is before and (before + a).op("f") is p.node((before + a).op("f").id)
print("ok")
'''


@pytest.mark.parametrize("own_gil", [[False], [True, False]], ids=["shared-gil", "mixed"])
def test_builder_in_subinterpreters(own_gil):
    script = BUILDER.replace("OWN_GIL", repr(own_gil))
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"
