#pragma once
// The Python class GraphStore: one core GraphStore per object. Its methods live in files by
// concern (building, views, persistence, reduction) and are wired into one method table in
// graph_store_type.cpp.
#include <memory>

#include "py_ref.hpp"
#include "store/graph_store.hpp"

namespace vantrel::py {

struct GraphStoreObject {
  PyObject_HEAD
  GraphStore* store;  // owned; never null once constructed
};

/// Creates the class (called once from the module's exec step); new reference or nullptr.
PyObject* create_graph_store_type(PyObject* module);
/// Wraps a new core store in a new Python GraphStore; nullptr with an exception set.
PyObject* wrap_store(std::unique_ptr<GraphStore> store);
/// The core store of a Python GraphStore, or nullptr when obj is not one.
GraphStore* store_of(PyObject* obj);

// Fast-call method signature: (self, args, nargsf, kwnames).
#define VANTREL_FASTCALL_ARGS PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames

// Building (graph_store_build.cpp)
PyObject* gs_add_source(VANTREL_FASTCALL_ARGS);
PyObject* gs_add_op(VANTREL_FASTCALL_ARGS);
PyObject* gs_add_reduction(VANTREL_FASTCALL_ARGS);
PyObject* gs_add_exchange(VANTREL_FASTCALL_ARGS);
PyObject* gs_add_external(VANTREL_FASTCALL_ARGS);
// Views (graph_store_views.cpp)
PyObject* gs_nodes(PyObject* self, PyObject* unused);
PyObject* gs_outputs(PyObject* self, PyObject* unused);
PyObject* gs_node_count(PyObject* self, PyObject* unused);
// Persistence (graph_store_persist.cpp)
PyObject* gs_to_dot(PyObject* self, PyObject* unused);
PyObject* gs_serialize(VANTREL_FASTCALL_ARGS);
PyObject* gs_deserialize(VANTREL_FASTCALL_ARGS);  // static: self is null
// Reduction (graph_store_reduce.cpp)
PyObject* gs_reduce(VANTREL_FASTCALL_ARGS);
PyObject* gs_reduction_report(VANTREL_FASTCALL_ARGS);
PyObject* gs_reduce_one_shot(VANTREL_FASTCALL_ARGS);
// Notebook picture (graph_store_repr.cpp)
PyObject* gs_repr_mimebundle(PyObject* self, PyObject* args, PyObject* kwargs);

/// The class IncrementalReducer (incremental_reducer_type.cpp); new reference or nullptr.
PyObject* create_incremental_reducer_type(PyObject* module);
/// The class PayloadDescriptor (payload_descriptor_type.cpp); new reference or nullptr.
PyObject* create_payload_descriptor_type(PyObject* module);
/// A descriptor argument (PayloadDescriptor instance or dict) to a core record.
std::shared_ptr<const PayloadDescriptor> descriptor_from_py(PyObject* obj);

}  // namespace vantrel::py
