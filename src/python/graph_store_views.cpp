// GraphStore's read-only views: the structured node list, the marks and the size. The
// store is copied under its lock in one acquisition; Python objects are built outside it.
#include <unordered_set>

#include "convert.hpp"
#include "errors.hpp"
#include "graph_store_type.hpp"

namespace vantrel::py {

namespace {

GraphStore& core(PyObject* self) { return *reinterpret_cast<GraphStoreObject*>(self)->store; }

const char* kind_name(NodeKey::Kind kind) {
  switch (kind) {
    case NodeKey::kSource: return "source";
    case NodeKey::kOp: return "op";
    case NodeKey::kReduction: return "reduction";
    case NodeKey::kExternal: return "external";
    case NodeKey::kStage: return "stage";
    case NodeKey::kExchange: return "exchange";
  }
  return "";
}

bool set_item(PyObject* dict, const char* key, Ref value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

Ref optional_str(const std::optional<std::string>& s) { return s ? Ref::steal(str_to_py(*s)) : Ref::borrow(Py_None); }

Ref descriptor_to_py(const PayloadDescriptor& d) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return dict;
  if (!set_item(dict.get(), "kind", Ref::steal(str_to_py(d.kind))) ||
      !set_item(dict.get(), "content_hash", Ref::steal(str_to_py(d.content_hash))) ||
      !set_item(dict.get(), "framework", Ref::steal(str_to_py(d.framework))) ||
      !set_item(dict.get(), "version", Ref::steal(str_to_py(d.version))) ||
      !set_item(dict.get(), "io_schema", Ref::steal(str_to_py(d.io_schema))) ||
      !set_item(dict.get(), "preprocessing_ref", optional_str(d.preprocessing_ref))) {
    return Ref();
  }
  return dict;
}

Ref stage_ref_to_py(const StageRef& r) {
  return Ref::steal(
      Py_BuildValue("(sK)", r.kind == StageRef::Input ? "input" : "member", static_cast<unsigned long long>(r.index)));
}

Ref member_to_py(const StageOp& member) {
  auto parsed = parse_op_token(member.op);
  if (!parsed) {
    PyErr_Format(PyExc_ValueError, "unparseable stage member token %s", quote_display(member.op).c_str());
    return Ref();
  }
  Ref args = Ref::steal(PyList_New(static_cast<Py_ssize_t>(member.args.size())));
  if (!args) return args;
  for (std::size_t i = 0; i < member.args.size(); ++i) {
    Ref t = stage_ref_to_py(member.args[i]);
    if (!t) return t;
    PyList_SET_ITEM(args.get(), static_cast<Py_ssize_t>(i), t.release());
  }
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return dict;
  if (!set_item(dict.get(), "kind", Ref::steal(str_to_py(parsed->kind))) ||
      !set_item(dict.get(), "name", Ref::steal(str_to_py(parsed->name))) ||
      !set_item(dict.get(), "params", Ref::steal(params_to_py(parsed->params))) ||
      !set_item(dict.get(), "inputs", std::move(args))) {
    return Ref();
  }
  return dict;
}

Ref node_to_py(NodeId id, const NodeKey& key, bool output) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return dict;
  if (!set_item(dict.get(), "id", Ref::steal(PyLong_FromUnsignedLongLong(id))) ||
      !set_item(dict.get(), "output", Ref::borrow(output ? Py_True : Py_False)) ||
      !set_item(dict.get(), "inputs", Ref::steal(ids_to_py(key.inputs()))) ||
      !set_item(dict.get(), "kind", Ref::steal(PyUnicode_FromString(kind_name(key.kind())))) ||
      !set_item(dict.get(), "name", Ref::steal(str_to_py(key.name()))) ||
      !set_item(dict.get(), "params", Ref::steal(params_to_py(key.params())))) {
    return Ref();
  }
  if (const auto* ext = key.get_if<External>()) {
    if (!set_item(dict.get(), "descriptor", descriptor_to_py(*ext->descriptor))) return Ref();
  } else if (const auto* stage = key.get_if<Stage>()) {
    if (!set_item(dict.get(), "n_members", Ref::steal(PyLong_FromSize_t(stage->members.size())))) return Ref();
    Ref members = Ref::steal(PyList_New(static_cast<Py_ssize_t>(stage->members.size())));
    if (!members) return members;
    for (std::size_t i = 0; i < stage->members.size(); ++i) {
      Ref m = member_to_py(stage->members[i]);
      if (!m) return m;
      PyList_SET_ITEM(members.get(), static_cast<Py_ssize_t>(i), m.release());
    }
    if (!set_item(dict.get(), "members", std::move(members))) return Ref();
  }
  return dict;
}

}  // namespace

PyObject* gs_nodes(PyObject* self, PyObject*) {
  return guarded(self, [&]() -> PyObject* {
    StoreSnapshot snap = core(self).snapshot();
    std::unordered_set<NodeId> marked(snap.marked.begin(), snap.marked.end());
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(snap.nodes.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < snap.nodes.size(); ++i) {
      Ref node = node_to_py(i, snap.nodes[i], marked.count(i) != 0);
      if (!node) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), node.release());
    }
    return list.release();
  });
}

PyObject* gs_outputs(PyObject* self, PyObject*) {
  return guarded(self, [&]() -> PyObject* { return ids_to_py(core(self).outputs()); });
}

PyObject* gs_node_count(PyObject* self, PyObject*) {
  return guarded(self, [&]() -> PyObject* { return PyLong_FromUnsignedLongLong(core(self).node_count()); });
}

}  // namespace vantrel::py
