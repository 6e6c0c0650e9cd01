// GraphStore's read-only views: the structured node list, the marks and the size. The
// store is copied under its lock in one acquisition; Python objects are built outside it.
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "convert.hpp"
#include "errors.hpp"
#include "gc_pause.hpp"
#include "gil.hpp"
#include "graph_store_type.hpp"
#include "shared_names.hpp"

namespace vantrel::py {

namespace {

GraphStore& core(PyObject* self) { return *reinterpret_cast<GraphStoreObject*>(self)->store; }

bool set_item(PyObject* dict, const char* key, Ref value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

Ref optional_str(const std::optional<std::string>& s) { return s ? Ref::steal(str_to_py(*s)) : Ref::borrow(Py_None); }

/// Builds the node dicts of one `nodes()` call. Objects that recur from node to node are
/// made once per call and shared, as immutable values may be: the dict keys, the kind
/// names, each distinct name, and each distinct stage member token, parsed once (a fused
/// graph repeats the same few member tokens thousands of times), and each member argument
/// tuple. Every dict and list stays the caller's own.
class NodeViewBuilder {
 public:
  bool init() {
    static constexpr const char* kTexts[kTextCount] = {"id",        "output",   "inputs", "kind",    "name",   "params",
                                                       "n_members", "members",  "input",  "member",  "source", "op",
                                                       "reduction", "external", "stage",  "exchange"};
    for (int i = 0; i < kTextCount; ++i) {
      text_[i] = Ref::steal(PyUnicode_InternFromString(kTexts[i]));
      if (!text_[i]) return false;
    }
    return true;
  }

  Ref node(NodeId id, const NodeKey& key, bool output) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return dict;
    if (!put(dict, kId, Ref::steal(id_to_py(id))) || !put(dict, kOutput, Ref::borrow(output ? Py_True : Py_False)) ||
        !put(dict, kInputs, Ref::steal(ids_to_py(key.inputs()))) ||
        !put(dict, kKind, Ref::borrow(text_[kKindNames + static_cast<int>(key.kind())].get())) ||
        !put(dict, kName, names_.get(key.name())) || !put(dict, kParams, Ref::steal(params_to_py(key.params())))) {
      return Ref();
    }
    // Every kind is named, so a new one does not compile until its view is decided.
    switch (key.kind()) {
      case NodeKey::kSource:
      case NodeKey::kOp:
      case NodeKey::kReduction:
      case NodeKey::kExchange: return dict;
      case NodeKey::kExternal: {
        const auto& ext = *key.get_if<External>();
        if (!set_item(dict.get(), "descriptor", Ref::steal(descriptor_view_to_py(*ext.descriptor)))) return Ref();
        return dict;
      }
      case NodeKey::kStage: {
        const auto& stage = *key.get_if<Stage>();
        if (!put(dict, kNMembers, Ref::steal(PyLong_FromSize_t(stage.members.size())))) return Ref();
        Ref members = Ref::steal(PyList_New(static_cast<Py_ssize_t>(stage.members.size())));
        if (!members) return members;
        for (std::size_t i = 0; i < stage.members.size(); ++i) {
          Ref m = member(stage.members[i]);
          if (!m) return m;
          PyList_SET_ITEM(members.get(), static_cast<Py_ssize_t>(i), m.release());
        }
        if (!put(dict, kMembers, std::move(members))) return Ref();
        return dict;
      }
    }
    return dict;
  }

 private:
  enum Text { kId, kOutput, kInputs, kKind, kName, kParams, kNMembers, kMembers, kInputRef, kMemberRef, kKindNames };
  /// The six kind names follow kKindNames in the order of `NodeKey::Kind`'s values.
  static constexpr int kTextCount = kKindNames + static_cast<int>(NodeKey::kExchange) + 1;

  /// A member token's parts as Python objects; `params` is a template each member copies.
  struct ParsedMember {
    Ref kind, name, params;
  };

  bool put(const Ref& dict, Text key, Ref value) {
    return value && PyDict_SetItem(dict.get(), text_[key].get(), value.get()) == 0;
  }

  const ParsedMember* parse(const std::string& token) {
    if (auto it = members_.find(token); it != members_.end()) return &it->second;
    auto parsed = parse_op_token(token);
    if (!parsed) {
      PyErr_Format(PyExc_ValueError, "unparseable stage member token %s", quote_display(token).c_str());
      return nullptr;
    }
    ParsedMember out{Ref::steal(str_to_py(parsed->kind)), Ref::steal(str_to_py(parsed->name)),
                     Ref::steal(params_to_py(parsed->params))};
    if (!out.kind || !out.name || !out.params) return nullptr;
    return &members_.emplace(token, std::move(out)).first->second;
  }

  /// The shared `("input", k)` or `("member", k)` tuple of a member argument: a fused graph
  /// repeats the same few thousand of them across all its members.
  Ref stage_ref(const StageRef& r) {
    std::vector<Ref>& shared = refs_[r.kind == StageRef::Input ? 0 : 1];
    if (r.index < shared.size() && shared[r.index]) return Ref::borrow(shared[r.index].get());
    Ref index = Ref::steal(PyLong_FromUnsignedLongLong(r.index));
    Ref tuple = Ref::steal(PyTuple_New(2));
    if (!index || !tuple) return Ref();
    PyObject* which = text_[r.kind == StageRef::Input ? kInputRef : kMemberRef].get();
    Py_INCREF(which);
    PyTuple_SET_ITEM(tuple.get(), 0, which);
    PyTuple_SET_ITEM(tuple.get(), 1, index.release());
    // An index is below the member count of its stage, so the table stays that small.
    if (r.index >= shared.size()) shared.resize(static_cast<std::size_t>(r.index) + 1);
    shared[r.index] = Ref::borrow(tuple.get());
    return tuple;
  }

  Ref member(const StageOp& op) {
    const ParsedMember* parsed = parse(op.op);
    if (parsed == nullptr) return Ref();
    Ref args = Ref::steal(PyList_New(static_cast<Py_ssize_t>(op.args.size())));
    if (!args) return args;
    for (std::size_t i = 0; i < op.args.size(); ++i) {
      Ref t = stage_ref(op.args[i]);
      if (!t) return t;
      PyList_SET_ITEM(args.get(), static_cast<Py_ssize_t>(i), t.release());
    }
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return dict;
    if (!put(dict, kKind, Ref::borrow(parsed->kind.get())) || !put(dict, kName, Ref::borrow(parsed->name.get())) ||
        !put(dict, kParams, Ref::steal(PyDict_Copy(parsed->params.get()))) || !put(dict, kInputs, std::move(args))) {
      return Ref();
    }
    return dict;
  }

  Ref text_[kTextCount];
  SharedNames names_;  // the views point into the snapshot, which outlives this
  std::unordered_map<std::string, ParsedMember> members_;
  std::vector<Ref> refs_[2];  // shared argument tuples: inputs, members
};

}  // namespace

PyObject* descriptor_view_to_py(const PayloadDescriptor& d) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  if (!set_item(dict.get(), "kind", Ref::steal(str_to_py(d.kind))) ||
      !set_item(dict.get(), "content_hash", Ref::steal(str_to_py(d.content_hash))) ||
      !set_item(dict.get(), "framework", Ref::steal(str_to_py(d.framework))) ||
      !set_item(dict.get(), "version", Ref::steal(str_to_py(d.version))) ||
      !set_item(dict.get(), "io_schema", Ref::steal(str_to_py(d.io_schema))) ||
      !set_item(dict.get(), "preprocessing_ref", optional_str(d.preprocessing_ref))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* gs_nodes(PyObject* self, PyObject*) {
  return guarded(self, [&]() -> PyObject* {
    const GraphStore& store = core(self);
    StoreSnapshot snap = waiting_without_gil([&] { return store.snapshot(); });
    std::unordered_set<NodeId> marked(snap.marked.begin(), snap.marked.end());
    [[maybe_unused]] const GcPause pause;  // nothing to pause without the global lock
    NodeViewBuilder builder;
    if (!builder.init()) return nullptr;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(snap.nodes.size())));
    if (!list) return nullptr;
    for (NodeId i = 0; i < snap.nodes.size(); ++i) {  // a store's count fits in a node id
      Ref node = builder.node(i, snap.nodes[i], marked.count(i) != 0);
      if (!node) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), node.release());
    }
    return list.release();
  });
}

PyObject* gs_outputs(PyObject* self, PyObject*) {
  return guarded(self, [&]() -> PyObject* {
    const GraphStore& store = core(self);
    return ids_to_py(waiting_without_gil([&] { return store.outputs(); }));
  });
}

PyObject* gs_node_count(PyObject* self, PyObject*) {
  return guarded(self, [&]() -> PyObject* {
    const GraphStore& store = core(self);
    return PyLong_FromUnsignedLongLong(waiting_without_gil([&] { return store.node_count(); }));
  });
}

}  // namespace vantrel::py
