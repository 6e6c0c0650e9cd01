// GraphStore.node_table(): the same facts as nodes(), in columns, for programs that walk a
// whole graph (the runtime's planner). A fused graph holds thousands of stage members that
// repeat a few op tokens; here they cost a few bytes each instead of a dict, a list and a
// tuple per argument.
//
//   def node_table(self) -> tuple[bytes, list[str], list[dict], list[list[int]], list[int],
//                                 dict[int, dict], dict[int, tuple], list[tuple[str, str, dict]]]
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/fault.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "gc_pause.hpp"
#include "gil.hpp"
#include "graph_store_type.hpp"
#include "shared_names.hpp"

namespace vantrel::py {

namespace {

GraphStore& core(PyObject* self) { return *reinterpret_cast<GraphStoreObject*>(self)->store; }

/// Unsigned 32-bit values in the machine's order, as `memoryview(b).cast("I")` reads them.
class U32s {
 public:
  void push(std::uint64_t v) {
    if (v > std::numeric_limits<std::uint32_t>::max()) overflow_ = true;
    auto u = static_cast<std::uint32_t>(v);
    char bytes[sizeof u];
    std::memcpy(bytes, &u, sizeof u);
    data_.append(bytes, sizeof u);
  }
  void clear() {
    data_.clear();
    overflow_ = false;
  }
  bool overflow() const { return overflow_; }
  PyObject* to_py() const { return PyBytes_FromStringAndSize(data_.data(), static_cast<Py_ssize_t>(data_.size())); }

 private:
  std::string data_;
  bool overflow_ = false;
};

/// Builds the columns of one `node_table()` call from a snapshot that outlives it.
class NodeTableBuilder {
 public:
  bool init() {
    member_ops_ = Ref::steal(PyList_New(0));
    return static_cast<bool>(member_ops_);
  }

  PyObject* build(const StoreSnapshot& snap) {
    const std::size_t n = snap.nodes.size();
    std::string kinds(n, '\0');
    Ref names = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    Ref params = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    Ref inputs = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    Ref externals = Ref::steal(PyDict_New());
    Ref stages = Ref::steal(PyDict_New());
    if (!names || !params || !inputs || !externals || !stages) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
      const NodeKey& key = snap.nodes[i];
      kinds[i] = static_cast<char>(key.kind());
      Ref name = names_.get(key.name());
      Ref map = Ref::steal(params_to_py(key.params()));
      Ref ids = Ref::steal(ids_to_py(key.inputs()));
      if (!name || !map || !ids) return nullptr;
      const auto at = static_cast<Py_ssize_t>(i);
      PyList_SET_ITEM(names.get(), at, name.release());
      PyList_SET_ITEM(params.get(), at, map.release());
      PyList_SET_ITEM(inputs.get(), at, ids.release());
      Ref extra;
      PyObject* into = nullptr;
      if (const auto* ext = key.get_if<External>()) {
        extra = Ref::steal(descriptor_view_to_py(*ext->descriptor));
        into = externals.get();
      } else if (const auto* stage = key.get_if<Stage>()) {
        extra = stage_columns(*stage);
        into = stages.get();
      } else {
        continue;
      }
      Ref id = Ref::steal(id_to_py(i));
      if (!extra || !id || PyDict_SetItem(into, id.get(), extra.get()) < 0) return nullptr;
    }
    Ref kind_bytes = Ref::steal(PyBytes_FromStringAndSize(kinds.data(), static_cast<Py_ssize_t>(n)));
    Ref marks = Ref::steal(ids_to_py(snap.marked));
    if (!kind_bytes || !marks) return nullptr;
    return PyTuple_Pack(8, kind_bytes.get(), names.get(), params.get(), inputs.get(), marks.get(), externals.get(),
                        stages.get(), member_ops_.get());
  }

 private:
  /// One stage as `(ops, members, arg_counts, args)`: the member-op table indices it uses in
  /// the order of first use, each member's position in `ops`, each member's argument count,
  /// and every argument as the slot it reads (input i is slot i, member j is slot
  /// n_inputs + j). Every stage of a store names only its inputs and earlier members: fusion
  /// builds them so and the blob reader refuses any other.
  Ref stage_columns(const Stage& stage) {
    std::vector<std::size_t> used;  // table indices in first-use order
    ++stamp_;
    members_.clear();
    counts_.clear();
    args_.clear();
    const std::uint64_t n_inputs = stage.inputs.size();
    for (std::size_t j = 0; j < stage.members.size(); ++j) {
      const StageOp& op = stage.members[j];
      const std::size_t t = op_index(op.op);
      if (t == kFailed) return Ref();
      if (t >= local_.size()) local_.resize(t + 1);
      Local& at = local_[t];
      if (at.stamp != stamp_) {
        at = {stamp_, used.size()};
        used.push_back(t);
      }
      members_.push(at.position);
      counts_.push(op.args.size());
      for (const StageRef& r : op.args) {
        const bool input = r.kind == StageRef::Input;
        if (input ? r.index >= n_inputs : r.index >= j) {
          throw InternalFault("a stage member refers to an input or member its stage lacks");
        }
        args_.push(input ? r.index : n_inputs + r.index);
      }
    }
    if (members_.overflow() || counts_.overflow() || args_.overflow()) {
      PyErr_SetString(PyExc_OverflowError, "a stage too large for node_table()");
      return Ref();
    }
    Ref ops = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(used.size())));
    if (!ops) return ops;
    for (std::size_t k = 0; k < used.size(); ++k) {
      PyObject* v = PyLong_FromSize_t(used[k]);
      if (v == nullptr) return Ref();
      PyTuple_SET_ITEM(ops.get(), static_cast<Py_ssize_t>(k), v);
    }
    Ref members = Ref::steal(members_.to_py());
    Ref counts = Ref::steal(counts_.to_py());
    Ref args = Ref::steal(args_.to_py());
    if (!members || !counts || !args) return Ref();
    return Ref::steal(PyTuple_Pack(4, ops.get(), members.get(), counts.get(), args.get()));
  }

  static constexpr std::size_t kFailed = static_cast<std::size_t>(-1);

  /// The position of a member token in the member-op table, parsed and added on first sight.
  std::size_t op_index(const std::string& token) {
    if (auto it = ops_.find(token); it != ops_.end()) return it->second;
    auto parsed = parse_op_token(token);
    if (!parsed) {
      PyErr_Format(PyExc_ValueError, "unparseable stage member token %s", quote_display(token).c_str());
      return kFailed;
    }
    Ref kind = Ref::steal(str_to_py(parsed->kind));
    Ref name = Ref::steal(str_to_py(parsed->name));
    Ref params = Ref::steal(params_to_py(parsed->params));
    if (!kind || !name || !params) return kFailed;
    Ref entry = Ref::steal(PyTuple_Pack(3, kind.get(), name.get(), params.get()));
    if (!entry || PyList_Append(member_ops_.get(), entry.get()) < 0) return kFailed;
    const auto index = static_cast<std::size_t>(PyList_GET_SIZE(member_ops_.get()) - 1);
    ops_.emplace(token, index);
    return index;
  }

  Ref member_ops_;
  SharedNames names_;  // the views point into the snapshot, which outlives this
  std::unordered_map<std::string, std::size_t> ops_;
  U32s members_, counts_, args_;  // scratch of the stage being read
  /// Per member-op table index, its position in the `ops` of the stage being read (valid
  /// when `stamp` is that stage's): no per-stage table as long as the whole one.
  struct Local {
    std::uint64_t stamp = 0;
    std::size_t position = 0;
  };
  std::vector<Local> local_;
  std::uint64_t stamp_ = 0;
};

}  // namespace

PyObject* gs_node_table(PyObject* self, PyObject*) {
  return guarded(self, [&]() -> PyObject* {
    const GraphStore& store = core(self);
    StoreSnapshot snap = waiting_without_gil([&] { return store.snapshot(); });
    [[maybe_unused]] const GcPause pause;  // nothing to pause without the global lock
    NodeTableBuilder builder;
    if (!builder.init()) return nullptr;
    return builder.build(snap);
  });
}

}  // namespace vantrel::py
