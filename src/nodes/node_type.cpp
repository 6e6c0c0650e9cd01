// Node: the handle of one node of a pipeline. The operators, `op`, `maximum` and `minimum`
// build their node with the store's own `add_op` method, called as Python would call it, so
// that validation and messages are the store's; `reduction`, `exchange` and `external` are the
// pipeline's methods of the same names with this node as the first input.
#include <algorithm>
#include <memory>

#include "nodes.hpp"
#include "py_ref.hpp"

namespace vantrel::nodes {

namespace {

using py::Ref;

bool is_plain(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  return type == &PyFloat_Type || type == &PyLong_Type || type == &PyBool_Type || type == &PyUnicode_Type;
}

/// `value` as a parameter value: plain values and None as they are, anything else through the
/// pipeline's `plain_value` (a NumPy scalar becomes the Python value it stands for).
Ref param_value(PipelineObject* p, PyObject* value) {
  if (is_plain(value) || value == Py_None) return Ref::borrow(value);
  return Ref::steal(PyObject_CallOneArg(p->plain_value, value));
}

/// The constant operand `value` as the `scalar` parameter: true with `out` set, false with
/// `out` empty when `value` is no constant (the operator is then NotImplemented), or false with
/// an exception set.
bool scalar_of(PipelineObject* p, PyObject* value, Ref& out) {
  if (is_plain(value)) {
    out = Ref::borrow(value);
    return true;
  }
  if (value == Py_None) return false;
  Ref plain = Ref::steal(PyObject_CallOneArg(p->plain_value, value));
  if (!plain) return false;
  if (PyLong_Check(plain.get()) || PyFloat_Check(plain.get()) || PyUnicode_Check(plain.get())) out = std::move(plain);
  return bool(out);
}

/// `store.add_op(name, ids)`, with `params` as the third argument when given.
PyObject* add_op(PipelineObject* p, PyObject* name, PyObject* ids, PyObject* params) {
  PyObject* args[] = {nullptr, p->store, name, ids, params};
  size_t count = params == nullptr ? 3 : 4;
  Ref id = Ref::steal(
      PyObject_VectorcallMethod(p->state->names[kAddOp], args + 1, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!id) return nullptr;
  return handle_of(p, id.get());
}

/// The pipeline of `node` when it can still build nodes, else null with RuntimeError.
PipelineObject* building_pipeline(PyObject* node) {
  PipelineObject* p = pipeline_of(reinterpret_cast<NodeObject*>(node));
  if (p != nullptr && p->store == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the handle's pipeline has been freed");
    return nullptr;
  }
  return p;
}

PyObject* id_of(PyObject* node) { return reinterpret_cast<NodeObject*>(node)->id; }

/// The list of the ids of `first` and, when given, `second`.
Ref ids_of(PyObject* first, PyObject* second = nullptr) {
  Ref ids = Ref::steal(PyList_New(second == nullptr ? 1 : 2));
  if (!ids) return ids;
  PyList_SET_ITEM(ids.get(), 0, Py_NewRef(id_of(first)));
  if (second != nullptr) PyList_SET_ITEM(ids.get(), 1, Py_NewRef(id_of(second)));
  return ids;
}

/// `type(obj).__name__`, for messages.
Ref type_name(PyObject* obj) {
  return Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
}

/// The op `name` of the handle `self` and `other` (a handle of the same store, or a constant,
/// which becomes the `scalar` parameter on the side it was written).
PyObject* binary(Name name, PyObject* self, PyObject* other, bool reflected) {
  PipelineObject* p = building_pipeline(self);
  if (p == nullptr) return nullptr;
  PyObject* op = p->state->names[name];
  if (is_node(other)) {
    PipelineObject* q = reinterpret_cast<NodeObject*>(other)->pipeline;
    if (q == nullptr || q->store != p->store) {
      PyErr_Format(PyExc_ValueError, "%U: the two nodes belong to different pipelines", op);
      return nullptr;
    }
    Ref ids = reflected ? ids_of(other, self) : ids_of(self, other);
    if (!ids) return nullptr;
    return add_op(p, op, ids.get(), nullptr);
  }
  Ref scalar;
  if (!scalar_of(p, other, scalar)) {
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NOTIMPLEMENTED;
  }
  Ref ids = ids_of(self);
  Ref params = Ref::steal(PyDict_New());
  if (!ids || !params) return nullptr;
  PyObject* side = p->state->names[reflected ? kLeft : kRight];
  if (PyDict_SetItem(params.get(), p->state->names[kScalar], scalar.get()) < 0) return nullptr;
  if (PyDict_SetItem(params.get(), p->state->names[kSide], side) < 0) return nullptr;
  return add_op(p, op, ids.get(), params.get());
}

/// One number slot: Python calls it with the handle on the left, or on the right when the
/// left operand's own slot gave up.
template <Name name>
PyObject* number_slot(PyObject* left, PyObject* right) {
  if (is_node(left)) return binary(name, left, right, false);
  return binary(name, right, left, true);
}

PyObject* power_slot(PyObject* left, PyObject* right, PyObject* modulus) {
  if (modulus != Py_None) Py_RETURN_NOTIMPLEMENTED;
  return number_slot<kPow>(left, right);
}

/// Python mirrors a comparison itself (`2.0 < a` reaches `a > 2.0`), so the handle is `self`.
PyObject* node_richcompare(PyObject* self, PyObject* other, int op) {
  static constexpr Name kNames[] = {kLt, kLe, kEq, kNe, kGt, kGe};  // in the order of Py_LT..Py_GE
  if (op < Py_LT || op > Py_GE) Py_RETURN_NOTIMPLEMENTED;
  return binary(kNames[op], self, other, false);
}

template <Name name>
PyObject* unary_slot(PyObject* self) {
  PipelineObject* p = building_pipeline(self);
  if (p == nullptr) return nullptr;
  Ref ids = ids_of(self);
  if (!ids) return nullptr;
  return add_op(p, p->state->names[name], ids.get(), nullptr);
}

/// `maximum(other)` and `minimum(other)` are methods: an operand that is no constant is an
/// error there.
template <Name name>
PyObject* extremum(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  PipelineObject* p = building_pipeline(self);
  if (p == nullptr) return nullptr;
  if (nargs + nkw != 1 || (nkw == 1 && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "other") != 0)) {
    PyErr_Format(PyExc_TypeError, "%U() takes exactly one argument (other)", p->state->names[name]);
    return nullptr;
  }
  PyObject* other = args[0];
  PyObject* out = binary(name, self, other, false);
  if (out != Py_NotImplemented) return out;
  Py_DECREF(out);
  Ref type = type_name(other);
  if (type) {
    PyErr_Format(PyExc_TypeError, "%U: the operand must be a vantrel.Node or an int, float, bool or str, not %U",
                 p->state->names[name], type.get());
  }
  return nullptr;
}

/// `h.op(name, *others, **params)`: the op `name` of this node and `others`, in that order, with
/// the keyword arguments as its parameters.
PyObject* node_op(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs < 1) {
    PyErr_SetString(PyExc_TypeError, "op() missing 1 required positional argument: 'name'");
    return nullptr;
  }
  PipelineObject* p = building_pipeline(self);
  if (p == nullptr) return nullptr;
  Ref ids = Ref::steal(PyList_New(nargs));
  if (!ids) return nullptr;
  PyList_SET_ITEM(ids.get(), 0, Py_NewRef(id_of(self)));
  for (Py_ssize_t i = 1; i < nargs; ++i) {
    PyObject* other = args[i];
    if (!is_node(other)) {
      Ref name = type_name(other);
      if (name) PyErr_Format(PyExc_TypeError, "inputs must be vantrel.Node handles, not %U", name.get());
      return nullptr;
    }
    if (reinterpret_cast<NodeObject*>(other)->pipeline != p) {
      PyErr_Format(PyExc_ValueError, "node %S belongs to another pipeline", id_of(other));
      return nullptr;
    }
    PyList_SET_ITEM(ids.get(), i, Py_NewRef(id_of(other)));
  }
  Ref params = Ref::steal(PyDict_New());
  if (!params) return nullptr;
  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    Ref value = param_value(p, args[nargs + k]);
    if (!value || PyDict_SetItem(params.get(), PyTuple_GET_ITEM(kwnames, k), value.get()) < 0) return nullptr;
  }
  return add_op(p, args[0], ids.get(), params.get());
}

/// `self.pipeline.<method>(args[0], self, *args[1:], **kwargs)`: the pipeline's method of
/// that name with this node as its first input. `max_others` bounds the further inputs.
PyObject* forward(Name method, const char* what, PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                  PyObject* kwnames, Py_ssize_t max_others) {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument", what);
    return nullptr;
  }
  if (max_others >= 0 && nargs - 1 > max_others) {
    PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given", what, nargs);
    return nullptr;
  }
  PipelineObject* p = building_pipeline(self);
  if (p == nullptr) return nullptr;
  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  // [pipeline, first, self, others..., keyword values...]
  Py_ssize_t count = nargs + nkw + 2;
  PyObject* small[16];
  std::unique_ptr<PyObject*[], void (*)(void*)> large(nullptr, PyMem_Free);
  PyObject** call = small;
  if (count > 16) {
    large.reset(PyMem_New(PyObject*, static_cast<size_t>(count)));
    if (!large) return PyErr_NoMemory();
    call = large.get();
  }
  call[0] = reinterpret_cast<PyObject*>(p);
  call[1] = args[0];
  call[2] = self;
  std::copy(args + 1, args + nargs + nkw, call + 3);
  return PyObject_VectorcallMethod(p->state->names[method], call, static_cast<size_t>(nargs + 2), kwnames);
}

PyObject* node_reduction(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return forward(kReduction, "reduction", self, args, nargsf, kwnames, -1);
}

PyObject* node_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return forward(kExchange, "exchange", self, args, nargsf, kwnames, 0);
}

PyObject* node_external(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return forward(kExternal, "external", self, args, nargsf, kwnames, -1);
}

/// Pickled or copied, a handle is the handle of the same node in the pipeline as pickled or
/// copied: ``(type(pipeline).node, (pipeline, id))``.
PyObject* node_reduce(PyObject* self, PyObject*) {
  PipelineObject* p = building_pipeline(self);
  if (p == nullptr) return nullptr;
  Ref node = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(p)), p->state->names[kNode]));
  if (!node) return nullptr;
  return Py_BuildValue("(O(OO))", node.get(), reinterpret_cast<PyObject*>(p), id_of(self));
}

PyObject* node_repr(PyObject* self) { return PyUnicode_FromFormat("<vantrel.Node %S>", id_of(self)); }

int node_bool(PyObject*) {
  PyErr_SetString(PyExc_TypeError,
                  "a vantrel.Node has no truth value: `a == b` builds an 'eq' node; "
                  "compare `a.id == b.id` to ask whether two handles are one node");
  return -1;
}

/// By identity, as `object` hashes: a pipeline hands out one handle per node.
Py_hash_t node_hash(PyObject* self) { return PyBaseObject_Type.tp_hash(self); }

PyObject* get_id(PyObject* self, void*) { return Py_NewRef(id_of(self)); }

PyObject* get_pipeline(PyObject* self, void*) {
  PipelineObject* p = pipeline_of(reinterpret_cast<NodeObject*>(self));
  return p == nullptr ? nullptr : Py_NewRef(reinterpret_cast<PyObject*>(p));
}

PyObject* get_store(PyObject* self, void*) {
  PipelineObject* p = building_pipeline(self);
  return p == nullptr ? nullptr : Py_NewRef(p->store);
}

PyGetSetDef node_getset[] = {
    {"id", get_id, nullptr, "The node's id in ``store``.", nullptr},
    {"pipeline", get_pipeline, nullptr, "The pipeline that made this handle.", nullptr},
    {"store", get_store, nullptr, "The store the node lives in (``pipeline.store``).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}  // sentinel
};

PyMethodDef node_methods[] = {
    {"op", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node_op)), METH_FASTCALL | METH_KEYWORDS,
     "op($self, name, /, *others, **params)\n--\n\nThe op ``name`` with this node and ``others`` as its inputs, in "
     "that order, and\nthe keyword arguments as its parameters."},
    {"maximum", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(extremum<kMaximum>)),
     METH_FASTCALL | METH_KEYWORDS,
     "maximum($self, other)\n--\n\nThe element-wise ``maximum`` op (a rule commutes it)."},
    {"minimum", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(extremum<kMinimum>)),
     METH_FASTCALL | METH_KEYWORDS,
     "minimum($self, other)\n--\n\nThe element-wise ``minimum`` op (a rule commutes it)."},
    {"reduction", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node_reduction)),
     METH_FASTCALL | METH_KEYWORDS,
     "reduction($self, name, /, *others, **params)\n--\n\nThe reduction ``name`` of this node (and ``others``): "
     "one partition."},
    {"exchange", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node_exchange)),
     METH_FASTCALL | METH_KEYWORDS,
     "exchange($self, scheme, /, **params)\n--\n\nThis node's rows redistributed by the exchange ``scheme`` (the "
     "``scheme``\nparameter), with the other keyword arguments as further parameters (``partitions``\namong them)."},
    {"external", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(node_external)),
     METH_FASTCALL | METH_KEYWORDS,
     "external($self, descriptor, /, *others, **params)\n--\n\nThe external payload ``descriptor`` applied to "
     "this node (and ``others``)."},
    {"__reduce__", node_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}  // sentinel
};

#define VANTREL_NUMBER(slot_id, name) \
  { slot_id, reinterpret_cast<void*>(&number_slot<name>) }

PyType_Slot node_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(node_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(node_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(node_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(node_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(node_richcompare)},
    {Py_tp_getset, node_getset},
    {Py_tp_methods, node_methods},
    {Py_nb_bool, reinterpret_cast<void*>(node_bool)},
    VANTREL_NUMBER(Py_nb_add, kAdd),
    VANTREL_NUMBER(Py_nb_subtract, kSub),
    VANTREL_NUMBER(Py_nb_multiply, kMul),
    VANTREL_NUMBER(Py_nb_true_divide, kTrueDiv),
    VANTREL_NUMBER(Py_nb_floor_divide, kFloorDiv),
    VANTREL_NUMBER(Py_nb_remainder, kMod),
    {Py_nb_power, reinterpret_cast<void*>(power_slot)},
    VANTREL_NUMBER(Py_nb_and, kAnd),
    VANTREL_NUMBER(Py_nb_or, kOr),
    VANTREL_NUMBER(Py_nb_xor, kXor),
    {Py_nb_negative, reinterpret_cast<void*>(&unary_slot<kNeg>)},
    {Py_nb_positive, reinterpret_cast<void*>(&unary_slot<kPos>)},
    {Py_nb_invert, reinterpret_cast<void*>(&unary_slot<kInvert>)},
    {Py_nb_absolute, reinterpret_cast<void*>(&unary_slot<kAbs>)},
    {Py_tp_doc,
     const_cast<char*>("One node of a `Pipeline`: ``id`` is its id in ``store`` (``pipeline.store``).\n\n"
                       "Operators on handles and constants build ops (see `vantrel.pipeline`); ``op``,\n"
                       "``reduction``, ``exchange`` and ``external`` build the other nodes that read this one.\n"
                       "Handles are made by their pipeline, one per node, in C for speed.")},
    {0, nullptr}  // sentinel
};

#undef VANTREL_NUMBER

PyType_Spec node_spec = {
    .name = "vantrel.pipeline.Node",  // vantrel.pipeline exports the class: pickle finds it there
    .basicsize = sizeof(NodeObject),
    .itemsize = 0,
    // Collector-aware everywhere; whether a handle is tracked is decided per pipeline (nodes.hpp).
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    .slots = node_slots,
};

}  // namespace

PyObject* create_node_type(PyObject* module) {
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &node_spec, nullptr));
  if (!type) return nullptr;
  // Operators of NumPy values leave a handle operand to the handle's own reflected slot. The
  // class is immutable from Python; completing it before anyone sees it is no mutation.
  auto* t = reinterpret_cast<PyTypeObject*>(type.get());
  if (PyDict_SetItemString(t->tp_dict, "__array_ufunc__", Py_None) < 0) return nullptr;
  // Python's messages about operands ("unsupported operand type(s) for +: 'Node' and ...") use
  // tp_name, which a class written in Python holds without its module; the name is a constant
  // here too, and __module__ and __qualname__ do not depend on it.
  t->tp_name = "Node";
  PyType_Modified(t);
  return type.release();
}

}  // namespace vantrel::nodes
