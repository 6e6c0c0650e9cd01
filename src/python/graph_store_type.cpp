// Python equivalent of the class defined here:
//
//   @final
//   class GraphStore:
//       """Thread-safe interned graph store ..."""
//       def __init__(self) -> None: ...
//       def add_source(self, name, params=None) -> int: ...
//       ...                                  # see the method table below
#include "graph_store_type.hpp"

#include "args.hpp"
#include "errors.hpp"

namespace vantrel::py {

namespace {

PyObject* gs_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec{"GraphStore.__new__", nullptr, 0, 0, 0};
  if (!bind_args_tuple(spec, args, kwargs, nullptr)) return nullptr;
  return guarded(reinterpret_cast<PyObject*>(type), [&]() -> PyObject* {
    auto store = std::make_unique<GraphStore>();
    auto* self = reinterpret_cast<GraphStoreObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    self->store = store.release();
    return reinterpret_cast<PyObject*>(self);
  });
}

void gs_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<GraphStoreObject*>(self)->store;
  type->tp_free(self);
  Py_DECREF(type);
}

#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

PyMethodDef gs_methods[] = {
    {"add_source", FASTCALL(gs_add_source), METH_FASTCALL | METH_KEYWORDS,
     "add_source($self, name, params=None)\n--\n\n"},
    {"add_op", FASTCALL(gs_add_op), METH_FASTCALL | METH_KEYWORDS, "add_op($self, name, inputs, params=None)\n--\n\n"},
    {"add_reduction", FASTCALL(gs_add_reduction), METH_FASTCALL | METH_KEYWORDS,
     "add_reduction($self, name, inputs, params=None)\n--\n\n"},
    {"add_exchange", FASTCALL(gs_add_exchange), METH_FASTCALL | METH_KEYWORDS,
     "add_exchange($self, inputs, params=None)\n--\n\nRecord an `Exchange` boundary (plan M39 \xc2\xa7"
     "2.1). No `name` \xe2\x80\x94 an Exchange's identity is its\n`scheme` ParamMap (`params`) + its one logical "
     "input; `nodes()[i][\"kind\"] == \"exchange\"`."},
    {"add_external", FASTCALL(gs_add_external), METH_FASTCALL | METH_KEYWORDS,
     "add_external($self, descriptor, inputs, params=None)\n--\n\n"},
    {"add_ops", FASTCALL(gs_add_ops), METH_FASTCALL | METH_KEYWORDS,
     "add_ops($self, name, inputs, params=None)\n--\n\n"
     "Add many op nodes named `name` in one call: node i has the inputs `inputs[i]` and the\n"
     "parameters `params` when that is a dict or None (shared by every node), or `params[i]`\n"
     "when it is a sequence of dicts or None as long as `inputs`. Returns the list of the\n"
     "nodes' ids, exactly the ids that `add_op(name, inputs[i], p)` called for each i in turn\n"
     "would return; a node may consume nodes added earlier in the same call. `inputs` may\n"
     "also be a two-dimensional array of ints (a NumPy array, a memoryview cast to two\n"
     "dimensions), one row of input ids per node, read straight from its memory.\n\n"
     "First the call's shape is checked: `name` a str, `inputs` a sequence (not a str),\n"
     "`params` None, a dict or such a sequence of the right length (ValueError otherwise);\n"
     "a shared dict is converted here. On any error so far no node is added. Then the nodes\n"
     "are converted and added in order. The first node that is refused (its inputs or params\n"
     "do not convert, or an input is not a node) raises the error `add_op` would raise for it,\n"
     "with the note \"add_ops: node I refused; the I nodes before it were added\" (Python\n"
     "3.11+): nodes 0 to I-1 are in the store, node I and every node after it are not."},
    {"nodes", gs_nodes, METH_NOARGS,
     "nodes($self)\n--\n\nStructured, read-only view of every node in id order (plan M9: `inspect` renders the IR "
     "and\n`reproduce` interprets it). Each entry is a dict with `id`, `kind`\n(source|op|reduction|external|stage), "
     "`name`, `params`, `inputs`, `output` (bool), plus a\n`descriptor` dict for external nodes and `n_members` for "
     "stage nodes."},
    {"node_table", gs_node_table, METH_NOARGS,
     "node_table($self)\n--\n\nThe facts of `nodes()` in columns, for programs that walk a whole graph: a tuple\n"
     "`(kinds, names, params, inputs, outputs, externals, stages, member_ops)`. `kinds` is a bytes\n"
     "object with one kind code per node (0 source, 1 op, 2 reduction, 3 external, 4 stage,\n"
     "5 exchange); `names`, `params` and `inputs` are lists in id order as in `nodes()` (equal names\n"
     "share one str); `outputs` the marks; `externals` maps each external node to its descriptor\n"
     "dict; `stages` maps each stage node to `(ops, members, arg_counts, args)`; and\n"
     "`member_ops` lists each distinct stage member once as `(kind, name, params)`, kind \"op\"\n"
     "or \"red\".\n\n"
     "Of a stage: `ops` is the tuple of the `member_ops` positions it uses, in the order of first\n"
     "use; `members`, `arg_counts` and `args` are bytes of unsigned 32-bit ints in the machine's\n"
     "order (`memoryview(b).cast(\"I\")`): per member its position in `ops` and its argument\n"
     "count, and per argument, member after member, the slot it reads: input i is slot i and\n"
     "member j is slot `len(inputs) + j`. An unparseable member token raises ValueError as\n"
     "`nodes()` does."},
    {"outputs", gs_outputs, METH_NOARGS,
     "outputs($self)\n--\n\nThe marked output node ids, in mark order (what an IR evaluator returns, in order)."},
    {"node_count", gs_node_count, METH_NOARGS, "node_count($self)\n--\n\n"},
    {"to_dot", gs_to_dot, METH_NOARGS, "to_dot($self)\n--\n\n"},
    {"serialize", FASTCALL(gs_serialize), METH_FASTCALL | METH_KEYWORDS,
     "serialize($self, outputs=None)\n--\n\nSerialize the IR to the canonical, versioned, byte-identical durable "
     "form (plan M8 / A.3.1:\nthe serializable IR \xe2\x80\x94 not cloudpickle \xe2\x80\x94 is the canonical "
     "durable representation). With\n`outputs=` the bytes flag EXACTLY that set, ignoring stored marks (M22: "
     "outputs are a\nproperty of the compile request); the default keeps the marks-based behavior."},
    {"reduce", FASTCALL(gs_reduce), METH_FASTCALL | METH_KEYWORDS,
     "reduce($self, *, maximal_fusion=False, outputs=None)\n--\n\nReduce via the M4 optimizer (DCE + CSE + "
     "equality-saturation stage fusion behind\nRewriteEngine). Returns the reduced store and a report dict. "
     "`maximal_fusion=True` opts in\nto fusing fan-out ops whose consumers all land in one stage (the default "
     "single-use rule is\npinned by the frozen M4 suite)."},
    {"reduction_report", FASTCALL(gs_reduction_report), METH_FASTCALL | METH_KEYWORDS,
     "reduction_report($self, *, outputs=None)\n--\n\nThe reduction report for the current graph, without keeping "
     "the reduced store."},
    {"reduce_incremental", FASTCALL(gs_reduce_one_shot), METH_FASTCALL | METH_KEYWORDS,
     "reduce_incremental($self, *, outputs=None)\n--\n\nOne-shot incremental reduction of the current graph (same "
     "result as `reduce`). For genuine\nstep-by-step reduction while building, use `IncrementalReducer`."},
    {"_repr_mimebundle_", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(gs_repr_mimebundle)),
     METH_VARARGS | METH_KEYWORDS,
     "_repr_mimebundle_($self, include=None, exclude=None)\n--\n\nThe store's picture in a notebook "
     "(vantrel.render.repr_mimebundle); None without Graphviz."},
    {"reduce_mapped", FASTCALL(gs_reduce_mapped), METH_FASTCALL | METH_KEYWORDS,
     "reduce_mapped($self, *, outputs, maximal_fusion=False, rules=None, limits=None, extract=None, "
     "explain=False, provenance=False)\n--\n\nReduce "
     "against "
     "exactly `outputs` (required; "
     "converted and checked as `reduce` does) and say\nwhere each one went. Returns `(reduced_store, report, "
     "output_ids)`: the store and the report equal\nwhat `reduce(outputs=outputs, maximal_fusion=maximal_fusion)` "
     "returns, and `output_ids` is a\nlist aligned with `outputs`, repeats included: `output_ids[i]` is the id in "
     "`reduced_store` of\nthe node that computes `outputs[i]`. `reduced_store.outputs()` lists each such node once, "
     "so\noutputs that are repeated or proved equal do not keep their positions there; `output_ids`\ndoes.\n\n"
     "Other threads keep running while it reduces (the interpreter lock is released around the\nreduction and the "
     "construction of the new store): threaded programs should use it rather\nthan `reduce`, which holds the lock "
     "throughout.\n\n`rules=` proves equality by another rule set (an iterable of (name, lhs, rhs) rules over flat "
     "\npatterns, such as a `vantrel.Algebra`) and `limits=` bounds the engine's run (a dict of\n`iterations`, "
     "`nodes` and `time` in seconds, None for no wall-clock bound). `extract=\"cost\"` reads\nevery class back as its "
     "cheapest term (weighed by `rules.costs`, or a dict given as\n`extract`), which may be a node the rules built. "
     "Without them the result is that of `reduce`.\n`explain=True` appends a dict of what the "
     "engine did: its iterations, why it stopped,\nthe e-graph's final size and the merges of each rule. "
     "`provenance=True` appends, last, a list\nwith one entry per node of this store: the id of the reduced node "
     "that computes its value,\na (stage id, member index) tuple for an op that is a member of a stage, or None "
     "when no\noutput needs it."},
    {"mark_outputs", FASTCALL(gs_mark_outputs), METH_FASTCALL | METH_KEYWORDS,
     "mark_outputs($self, ids)\n--\n\nMark the nodes `ids` as outputs, in order, after the marks already there; a "
     "node marked\nbefore keeps its first position. Every id is checked first: an id that is not a node of\nthis "
     "store raises ValueError \"no node with id N\" and marks nothing. Returns None."},
    {"__reduce__", gs_reduce_for_pickle, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickle support: the store travels as its canonical blob, marks included, and is "
     "rebuilt\nwith the same ids, keys and marked outputs."},
    {nullptr, nullptr, 0, nullptr}  // sentinel
};

// `deserialize` is a static method whose function is bound to the module (as the module's own
// functions are), so that it finds its module's class, and so the right interpreter's; the
// interpreter's own static methods receive nothing. `create_graph_store_type` adds it.
PyMethodDef gs_deserialize_def = {
    "deserialize", FASTCALL(gs_deserialize), METH_FASTCALL | METH_KEYWORDS,
    "deserialize(data)\n--\n\nRebuild a store from canonical bytes. A round trip reproduces the same node ids, "
    "so\n`serialize` of the result is byte-identical to the input (plan M8 determinism gate)."};

PyType_Slot gs_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(gs_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(gs_dealloc)},
    {Py_tp_methods, gs_methods},
    {Py_tp_doc, const_cast<char*>(
                    "GraphStore()\n--\n\nThread-safe interned graph store (frozen pyclass: interior mutability via a "
                    "Mutex, safe to\nshare across threads under the GIL and free-threaded 3.14t).")},
    {0, nullptr}  // sentinel
};

PyType_Spec gs_spec = {
    .name = "builtins.GraphStore",
    .basicsize = sizeof(GraphStoreObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = gs_slots,
};

}  // namespace

PyObject* create_graph_store_type(PyObject* module) {
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &gs_spec, nullptr));
  if (!type) return nullptr;
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  Ref function = Ref::steal(PyCFunction_NewEx(&gs_deserialize_def, module, name.get()));
  if (!function) return nullptr;
  Ref method = Ref::steal(PyStaticMethod_New(function.get()));
  if (!method) return nullptr;
  // The class is immutable from Python; completing it here, before anyone sees it, is not a
  // mutation anyone can observe.
  auto* t = reinterpret_cast<PyTypeObject*>(type.get());
  if (PyDict_SetItemString(t->tp_dict, "deserialize", method.get()) < 0) return nullptr;
  PyType_Modified(t);
  return type.release();
}

GraphStore* store_of(PyTypeObject* type, PyObject* obj) {
  if (obj == nullptr || type == nullptr || Py_TYPE(obj) != type) return nullptr;
  return reinterpret_cast<GraphStoreObject*>(obj)->store;
}

PyObject* wrap_store(PyTypeObject* type, std::unique_ptr<GraphStore> store) {
  auto* self = reinterpret_cast<GraphStoreObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  self->store = store.release();
  return reinterpret_cast<PyObject*>(self);
}

}  // namespace vantrel::py
