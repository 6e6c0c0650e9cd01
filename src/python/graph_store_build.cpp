// GraphStore's construction methods: convert the arguments (in a fixed order that decides
// which error a call with several bad arguments reports), build the key, intern it.
#include "args.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "graph_store_type.hpp"
#include "module_state.hpp"

namespace vantrel::py {

namespace {

PyObject* intern_key(PyObject* self, NodeKey key, const IdNarrowing& given) {
  GraphStore& store = *reinterpret_cast<GraphStoreObject*>(self)->store;
  auto result = waiting_without_gil([&] { return store.intern(NodeKey(key)); });
  if (!result) return map_err(result.error(), given);
  return id_to_py(result.value());
}

/// add_source / add_op / add_reduction share their shape: name, [inputs,] params.
template <NodeKey::Kind kKind>
PyObject* add_named(PyObject* self, const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  constexpr bool kHasInputs = kKind != NodeKey::kSource;
  PyObject* a[3];
  if (!bind_args(spec, args, nargsf, kwnames, a)) return nullptr;
  return guarded(self, [&]() -> PyObject* {
    // The name and the parameters are viewed in place; the store copies them only when the
    // node is new.
    std::string_view name;
    if (!str_view_from_py(a[0], "name", name)) return nullptr;
    // Short plain input lists are read onto the stack; anything else takes the general path.
    NodeId room[8];
    std::span<const NodeId> inputs;
    NodeIds general;
    IdNarrowing given;
    if constexpr (kHasInputs) {
      std::size_t n = 0;
      if (read_plain_ids(a[1], room, n, given)) {
        inputs = std::span<const NodeId>(room, n);
      } else {
        if (!ids_from_py(a[1], "inputs", general, given)) return nullptr;
        inputs = general;
      }
    }
    // No Python code runs from here to the end of the call.
    ParamViews params;
    if (!params.read_for_immediate_use(a[kHasInputs ? 2 : 1])) return nullptr;
    const NamedHeadView head(kKind, name, params.entries());
    GraphStore& store = *reinterpret_cast<GraphStoreObject*>(self)->store;
    auto result = waiting_without_gil([&] { return store.intern(head, inputs); });
    if (!result) return map_err(result.error(), given);
    return id_to_py(result.value());
  });
}

const char* const kSourceNames[] = {"name", "params"};
const char* const kNamedNames[] = {"name", "inputs", "params"};
const char* const kExchangeNames[] = {"inputs", "params"};
const char* const kExternalNames[] = {"descriptor", "inputs", "params"};
const char* const kMarkNames[] = {"ids"};

}  // namespace

PyObject* gs_add_source(VANTREL_FASTCALL_ARGS) {
  static const ArgSpec spec{"GraphStore.add_source", kSourceNames, 2, 2, 1};
  return add_named<NodeKey::kSource>(self, spec, args, nargsf, kwnames);
}

PyObject* gs_add_op(VANTREL_FASTCALL_ARGS) {
  static const ArgSpec spec{"GraphStore.add_op", kNamedNames, 3, 3, 2};
  return add_named<NodeKey::kOp>(self, spec, args, nargsf, kwnames);
}

PyObject* gs_add_reduction(VANTREL_FASTCALL_ARGS) {
  static const ArgSpec spec{"GraphStore.add_reduction", kNamedNames, 3, 3, 2};
  return add_named<NodeKey::kReduction>(self, spec, args, nargsf, kwnames);
}

PyObject* gs_add_exchange(VANTREL_FASTCALL_ARGS) {
  static const ArgSpec spec{"GraphStore.add_exchange", kExchangeNames, 2, 2, 1};
  PyObject* a[2];
  if (!bind_args(spec, args, nargsf, kwnames, a)) return nullptr;
  return guarded(self, [&]() -> PyObject* {
    Exchange key;
    IdNarrowing given;
    if (!ids_from_py(a[0], "inputs", key.inputs, given)) return nullptr;
    if (!params_from_py(a[1], key.params)) return nullptr;
    return intern_key(self, NodeKey(std::move(key)), given);
  });
}

PyObject* gs_add_external(VANTREL_FASTCALL_ARGS) {
  static const ArgSpec spec{"GraphStore.add_external", kExternalNames, 3, 3, 2};
  PyObject* a[3];
  if (!bind_args(spec, args, nargsf, kwnames, a)) return nullptr;
  return guarded(self, [&]() -> PyObject* {
    External key;
    // The inputs are converted before the descriptor, although the descriptor comes first.
    IdNarrowing given;
    if (!ids_from_py(a[1], "inputs", key.inputs, given)) return nullptr;
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    key.descriptor = descriptor_from_py(state->payload_descriptor_type, a[0]);
    if (!key.descriptor) return nullptr;
    if (!params_from_py(a[2], key.params)) return nullptr;
    return intern_key(self, NodeKey(std::move(key)), given);
  });
}

PyObject* gs_mark_outputs(VANTREL_FASTCALL_ARGS) {
  static const ArgSpec spec{"GraphStore.mark_outputs", kMarkNames, 1, 1, 1};
  PyObject* a[1];
  if (!bind_args(spec, args, nargsf, kwnames, a)) return nullptr;
  return guarded(self, [&]() -> PyObject* {
    NodeIds ids;
    IdNarrowing given;
    if (!ids_from_py(a[0], "ids", ids, given)) return nullptr;
    // Checked and marked in one hold of the store lock: a bad id marks nothing.
    GraphStore& store = *reinterpret_cast<GraphStoreObject*>(self)->store;
    auto marked = waiting_without_gil([&] { return store.mark_outputs(ids); });
    if (!marked) return map_err(marked.error(), given);
    Py_RETURN_NONE;
  });
}

}  // namespace vantrel::py
