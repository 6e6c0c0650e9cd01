// GraphStore.add_ops: many op nodes of one name in one call. Nodes are converted a chunk at
// a time and each chunk is interned in one hold of the store lock, which is where the call
// saves over a loop of add_op (argument binding, one lock per node, and for one shared
// params dict its conversion and head lookup per node).
#include <algorithm>
#include <cstdint>
#include <vector>

#include "args.hpp"
#include "common/hash.hpp"
#include "common/open_table.hpp"
#include "convert.hpp"
#include "critical_section.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "graph_store_type.hpp"
#include "id_array.hpp"

namespace vantrel::py {

namespace {

/// Nodes converted before each lock hold: bounds the work under the lock and the memory of
/// the converted views. 128 spreads a hold's fixed cost (taking the lock, checking the
/// snapshot) over enough nodes to vanish, while one chunk's views stay small enough to sit in
/// the fast caches and another thread waits for the lock only briefly.
constexpr Py_ssize_t kChunk = 128;

/// Adds "add_ops: node I refused; the I nodes before it were added" to the pending
/// exception (PEP 678 notes, 3.11+); a failure to add the note is ignored.
void note_refused([[maybe_unused]] Py_ssize_t index) {
#if PY_VERSION_HEX >= 0x030B0000
  PyObject* exc = take_exception();
  if (exc != nullptr) {
    Ref note =
        Ref::steal(PyUnicode_FromFormat("add_ops: node %zd refused; the %zd nodes before it were added", index, index));
    Ref done = note ? Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get())) : Ref();
    if (!done) PyErr_Clear();
  }
  restore_exception(exc);
#endif
}

/// A sequence argument as a tuple the call owns (a str is refused like a list of ids is):
/// later items' conversions cannot change it under the walk.
Ref sequence_arg(PyObject* obj, const char* argname, const char* what) {
  if (PyUnicode_Check(obj)) {
    str_ids_error(obj, argname);
    return Ref();
  }
  if (PyTuple_CheckExact(obj)) return Ref::borrow(obj);
  if (!PySequence_Check(obj)) {
    arg_type_error(argname, std::string("'") + Py_TYPE(obj)->tp_name + "' object cannot be converted to 'Sequence'");
    return Ref();
  }
  if (!walkable_view(obj, argname, what)) return Ref();
  Ref tuple = Ref::steal(tuple_within_memory(obj));
  if (!tuple) prefix_type_error(argname);
  return tuple;
}

/// A params dict whose conversion runs no Python code: exact str keys, values of the exact
/// kinds. Only such conversions let a later node reuse one, since no code can have changed
/// the dict in between.
bool plain_params(PyObject* dict) {
  if (!PyDict_CheckExact(dict)) return false;
  // The borrowed keys and values are only looked at, with no code run, while no other
  // thread can change the dict.
  const CriticalSection locked(dict);
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    if (!PyUnicode_CheckExact(k)) return false;
    if (!(PyBool_Check(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyUnicode_CheckExact(v))) return false;
  }
  return true;
}

/// The heads of one chunk: each distinct params dict converted once while no Python code has
/// run, found again by the dict's identity.
class ChunkHeads {
 public:
  ChunkHeads(std::string_view name, std::size_t chunk) : name_(name) { views_.reserve(chunk); }

  /// The head index of node params `obj` (None or a dict); false with an exception set.
  /// `before_code()` is called before a conversion that may run Python code; false from it
  /// (with an exception set) refuses the node.
  template <class BeforeCode>
  bool add(PyObject* obj, bool& pure, std::uint32_t& head, BeforeCode&& before_code) {
    const std::uint64_t hash = mix64(reinterpret_cast<std::uintptr_t>(obj));
    if (kMemo && pure) {
      if (const Memo* seen = memo_.find(hash, obj)) {
        head = seen->head;
        return true;
      }
    }
    if (obj != Py_None && !(PyDict_Check(obj) && plain_params(obj))) {
      pure = false;
      if (!before_code()) return false;
    }
    views_.emplace_back();
    if (!views_.back().read(obj)) return false;
    head = static_cast<std::uint32_t>(heads_.size());
    heads_.emplace_back(NodeKey::kOp, name_, views_.back().entries());
    if (!pure) {
      if (memo_.size() != 0) memo_.clear();
    } else if (kMemo) {
      memo_.insert_new(hash, Memo{obj, head});
    }
    return true;
  }
  std::span<const NamedHeadView> heads() const { return heads_; }

 private:
#ifdef Py_GIL_DISABLED
  // Another thread may change a dict between two of its nodes: each is read afresh.
  static constexpr bool kMemo = false;
#else
  static constexpr bool kMemo = true;
#endif
  struct Memo {
    PyObject* dict;
    std::uint32_t head;
    bool empty() const { return dict == nullptr; }
  };
  struct MemoKeys {  // a probe is the dict itself
    static std::uint64_t hash(const Memo& m) { return mix64(reinterpret_cast<std::uintptr_t>(m.dict)); }
    static bool equal(const Memo& m, const PyObject* dict) { return m.dict == dict; }
  };
  std::string_view name_;
  std::vector<ParamViews> views_;  // reserved up front: the heads point into its entries
  std::vector<NamedHeadView> heads_;
  // A chunk remembers at most kChunk dicts: the first array (half full at most) never grows.
  OpenTable<Memo, MemoKeys> memo_{2 * kChunk};
};

const char* const kNames[] = {"name", "inputs", "params"};

}  // namespace

PyObject* gs_add_ops(VANTREL_FASTCALL_ARGS) {
  static const ArgSpec spec{"GraphStore.add_ops", kNames, 3, 3, 2};
  PyObject* a[3];
  if (!bind_args(spec, args, nargsf, kwnames, a)) return nullptr;
  return guarded(self, [&]() -> PyObject* {
    GraphStore& store = *reinterpret_cast<GraphStoreObject*>(self)->store;
    // The call's shape is checked before any node is added.
    std::string_view name;
    if (!str_view_from_py(a[0], "name", name)) return nullptr;
    PyObject* params_arg = a[2] == nullptr ? Py_None : a[2];
    const bool shared = params_arg == Py_None || PyDict_Check(params_arg);
    IdNarrowing given;
    // A two-dimensional array of ints is read whole here, before any Python code can run.
    IdArray array;
    const bool from_array = array.read(a[1], given);
    if (!from_array && PyErr_Occurred()) return nullptr;
      // The inputs as the call walks them: a tuple it owns, so that Python code run by a
      // conversion cannot change them under the walk. An exact list is walked as it is (no
      // copy, no reference taken per node) when reading the params runs no code before the
      // walk, and for as long as every node converts without running code; see `freeze`.
#ifndef Py_GIL_DISABLED
    const bool live_list = !from_array && PyList_CheckExact(a[1]) &&
                           (shared ? params_arg == Py_None || plain_params(params_arg)
                                   : PyList_CheckExact(params_arg) || PyTuple_CheckExact(params_arg));
#else
    const bool live_list = false;  // another thread could change the list at any time
#endif
    Ref inputs = from_array || live_list ? Ref::borrow(a[1]) : sequence_arg(a[1], "inputs", "node inputs");
    if (!inputs) return nullptr;
    const Py_ssize_t count = from_array ? array.rows() : PySequence_Fast_GET_SIZE(inputs.get());
    Ref params_list;
    ParamViews shared_views;
    if (shared) {
      if (!shared_views.read(params_arg)) return nullptr;
    } else {
      if (PyUnicode_Check(params_arg) || !PySequence_Check(params_arg)) {
        PyErr_SetString(PyExc_TypeError, "params must be a dict, None, or a sequence of them");
        add_note("expected a dict or None (for every node) or a sequence of them (one per node), got %s",
                 Py_TYPE(params_arg)->tp_name);
        return nullptr;
      }
      if (!walkable_view(params_arg, "params", "params")) return nullptr;
      params_list = Ref::steal(tuple_within_memory(params_arg));
      if (!params_list) return nullptr;
      if (PyTuple_GET_SIZE(params_list.get()) != count) {
        PyErr_Format(PyExc_ValueError, "params has %zd items but inputs has %zd", PyTuple_GET_SIZE(params_list.get()),
                     count);
        return nullptr;
      }
    }
    // More nodes than ids can name is refused before anything is reserved or added.
    if (static_cast<std::uint64_t>(count) > kMaxNodeCount) {
      PyErr_Format(PyExc_ValueError, "argument 'inputs': %zd nodes are more than a store can hold (%llu)", count,
                   static_cast<unsigned long long>(kMaxNodeCount));
      return nullptr;
    }
    const NamedHeadView shared_head(NodeKey::kOp, name, shared_views.entries());
    // Room for every node up front (and for their inputs, when an array tells how many); with
    // one params dict, every node after the first of its head goes into the node index.
    waiting_without_gil([&] {
      store.reserve(static_cast<std::uint64_t>(count), from_array ? array.inputs_read() : 0,
                    shared ? static_cast<std::uint64_t>(count) : 0);
      return 0;
    });

    // Before the first conversion that may run Python code, a list walked as it is becomes a
    // copy of itself as it stands, which is the list as it was when the call began.
    auto freeze = [&]() -> bool {
      if (from_array || !PyList_CheckExact(inputs.get())) return true;
      inputs = Ref::steal(PySequence_Tuple(inputs.get()));
      return static_cast<bool>(inputs);
    };

    NodeIds ids;
    ids.reserve(std::min<std::size_t>(static_cast<std::size_t>(count), std::size_t{1} << 20));  // grows past that
    NodeIds node_inputs, pool;
    std::vector<std::size_t> begin;
    std::vector<std::uint32_t> head_of;
    for (Py_ssize_t start = 0; start < count; start += kChunk) {
      const Py_ssize_t end = std::min(count, start + kChunk);
      ChunkHeads chunk(name, shared ? 0 : static_cast<std::size_t>(end - start));
      bool pure = true;
      pool.clear();
      head_of.clear();
      begin.assign(1, 0);
      // Convert up to the first node that does not convert; the nodes before it are still
      // interned, as a loop of add_op would have done before reaching it.
      Py_ssize_t converted = start;
      for (; converted < end; ++converted) {
        if (from_array) {
          if (converted < array.rows_read()) {
            const std::span<const NodeId> row = array.row(converted);
            pool.insert(pool.end(), row.begin(), row.end());
          } else {
            if (!array.bad_row(node_inputs, given)) break;
            pool.insert(pool.end(), node_inputs.begin(), node_inputs.end());
          }
        } else if (PyObject* item = PySequence_Fast_GET_ITEM(inputs.get(), converted);
                   !append_plain_ids(item, pool, given)) {
          pure = false;
          if (!freeze()) break;
          item = PySequence_Fast_GET_ITEM(inputs.get(), converted);
          if (!ids_from_py(item, "inputs", node_inputs, given)) break;
          pool.insert(pool.end(), node_inputs.begin(), node_inputs.end());
        }
        std::uint32_t head = 0;
        if (!shared && !chunk.add(PyTuple_GET_ITEM(params_list.get(), converted), pure, head, freeze)) {
          pool.resize(begin.back());
          break;
        }
        head_of.push_back(head);
        begin.push_back(pool.size());
      }
      if (converted > start) {
        // A conversion error stays pending while the converted nodes are interned; the
        // store calls nothing in Python.
        const auto heads = shared ? std::span<const NamedHeadView>(&shared_head, 1) : chunk.heads();
        auto result = waiting_without_gil([&] { return store.intern_batch(heads, head_of, pool, begin, ids); });
        if (!result) {
          PyErr_Clear();
          map_err(result.error(), given);
          note_refused(static_cast<Py_ssize_t>(ids.size()));
          return nullptr;
        }
      }
      if (converted < end) {
        note_refused(converted);
        return nullptr;
      }
    }
    return ids_to_py(ids);
  });
}

}  // namespace vantrel::py
