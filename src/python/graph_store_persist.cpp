// GraphStore's persistence methods: DOT text, the canonical blob and its reader.
//
//   class GraphStore:
//       def to_dot(self) -> str: ...
//       def serialize(self, outputs=None) -> bytes: ...
//       @staticmethod
//       def deserialize(data: bytes) -> GraphStore: ...
#include "args.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "graph_store_type.hpp"
#include "module_state.hpp"
#include "pickling.hpp"
#include "serialize/reader.hpp"
#include "serialize/writer.hpp"

namespace vantrel::py {

namespace {

GraphStore& core(PyObject* self) { return *reinterpret_cast<GraphStoreObject*>(self)->store; }

PyObject* raise_encode_error(const EncodeError& e, const IdNarrowing& given) {
  if (const auto* unknown = std::get_if<EncodeError::UnknownOutput>(&e.v)) {
    return map_err(BadNodeId{unknown->id}, given);
  }
  PyErr_SetString(PyExc_ValueError, e.message().c_str());
  return nullptr;
}

/// Writes a measured blob straight into a new bytes object: one allocation, no extra copy.
/// The allocation happens between the two holds of the store lock, never under it.
PyObject* write_to_bytes(const GraphStore& store, const Result<BlobPlan, EncodeError>& plan, const IdNarrowing& given) {
  if (!plan) return raise_encode_error(plan.error(), given);
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plan.value().size)));
  if (!bytes) return nullptr;
  char* out = PyBytes_AS_STRING(bytes.get());
  waiting_without_gil([&] {
    write_blob(store, plan.value(), out);
    return 0;
  });
  return bytes.release();
}

const char* const kSerializeNames[] = {"outputs"};
const char* const kDeserializeNames[] = {"data"};

}  // namespace

PyObject* gs_to_dot(PyObject* self, PyObject*) {
  return guarded(self, [&]() -> PyObject* {
    const GraphStore& store = core(self);
    const std::string dot = waiting_without_gil([&] { return store.to_dot(); });
    return str_to_py(dot);
  });
}

PyObject* gs_serialize(VANTREL_FASTCALL_ARGS) {
  static const ArgSpec spec{"GraphStore.serialize", kSerializeNames, 1, 1, 0};
  PyObject* a[1];
  if (!bind_args(spec, args, nargsf, kwnames, a)) return nullptr;
  return guarded(self, [&]() -> PyObject* {
    std::optional<NodeIds> outputs;
    IdNarrowing given;
    if (!optional_ids_from_py(a[0], "outputs", outputs, given)) return nullptr;
    GraphStore& store = core(self);
    // Without `outputs=` the marks are the outputs; they are read together with the nodes.
    if (!outputs) return write_to_bytes(store, waiting_without_gil([&] { return plan_blob_marked(store); }), {});
    // The ids are checked in the given order against the node count the blob is planned
    // for ("no node with id N" for the first bad one); the store only grows, so they are
    // still valid when the nodes are written.
    return write_to_bytes(store, waiting_without_gil([&] { return plan_blob(store, *outputs); }), given);
  });
}

PyObject* gs_deserialize(VANTREL_FASTCALL_ARGS) {
  // static: `self` is the module (see graph_store_type.cpp), whether it is called on the class
  // or on an instance.
  static const ArgSpec spec{"GraphStore.deserialize", kDeserializeNames, 1, 1, 1};
  PyObject* a[1];
  if (!bind_args(spec, args, nargsf, kwnames, a)) return nullptr;
  ModuleState* state = state_of(self);
  if (state == nullptr) return nullptr;
  return blob_to_store(state->graph_store_type, a[0]);
}

PyObject* blob_to_store(PyTypeObject* type, PyObject* data) {
  if (!PyBytes_Check(data)) {
    arg_type_error("data", std::string("'") + Py_TYPE(data)->tp_name + "' object cannot be converted to 'bytes'");
    return nullptr;
  }
  return guarded(reinterpret_cast<PyObject*>(type), [&]() -> PyObject* {
    // bytes are immutable, so the buffer stays as it is while it is read.
    const std::string_view bytes(PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
    auto store = deserialize(bytes);
    if (!store) {
      PyErr_SetString(PyExc_ValueError, store.error().message().c_str());
      return nullptr;
    }
    return wrap_store(type, std::move(store).value());
  });
}

PyObject* store_to_blob(const GraphStore& store) {
  return write_to_bytes(store, waiting_without_gil([&] { return plan_blob_marked(store); }), IdNarrowing{});
}

}  // namespace vantrel::py
