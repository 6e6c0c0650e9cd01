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

/// Creates the class (called once per module object from the exec step); new reference or
/// nullptr.
PyObject* create_graph_store_type(PyObject* module);
/// Wraps a new core store in a new Python GraphStore of class `type`; nullptr with an
/// exception set.
PyObject* wrap_store(PyTypeObject* type, std::unique_ptr<GraphStore> store);
/// The core store of a Python GraphStore of class `type`, or nullptr when obj is not one.
GraphStore* store_of(PyTypeObject* type, PyObject* obj);

// Fast-call method signature: (self, args, nargsf, kwnames).
#define VANTREL_FASTCALL_ARGS PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames

// Building (graph_store_build.cpp)
PyObject* gs_add_source(VANTREL_FASTCALL_ARGS);
PyObject* gs_add_op(VANTREL_FASTCALL_ARGS);
PyObject* gs_add_reduction(VANTREL_FASTCALL_ARGS);
PyObject* gs_add_exchange(VANTREL_FASTCALL_ARGS);
PyObject* gs_add_external(VANTREL_FASTCALL_ARGS);
PyObject* gs_mark_outputs(VANTREL_FASTCALL_ARGS);
// Bulk building (graph_store_bulk.cpp)
PyObject* gs_add_ops(VANTREL_FASTCALL_ARGS);
// Views (graph_store_views.cpp)
PyObject* gs_nodes(PyObject* self, PyObject* unused);
PyObject* gs_outputs(PyObject* self, PyObject* unused);
PyObject* gs_node_count(PyObject* self, PyObject* unused);
/// The "descriptor" dict of an external node's view; new reference or nullptr.
PyObject* descriptor_view_to_py(const PayloadDescriptor& d);
// The columnar view (graph_store_table.cpp)
PyObject* gs_node_table(PyObject* self, PyObject* unused);
// Persistence (graph_store_persist.cpp)
PyObject* gs_to_dot(PyObject* self, PyObject* unused);
PyObject* gs_serialize(VANTREL_FASTCALL_ARGS);
PyObject* gs_deserialize(VANTREL_FASTCALL_ARGS);  // static: self is the module
// Reduction (graph_store_reduce.cpp)
PyObject* gs_reduce(VANTREL_FASTCALL_ARGS);
PyObject* gs_reduction_report(VANTREL_FASTCALL_ARGS);
PyObject* gs_reduce_one_shot(VANTREL_FASTCALL_ARGS);
// Notebook picture (graph_store_repr.cpp)
PyObject* gs_repr_mimebundle(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* gs_reduce_mapped(VANTREL_FASTCALL_ARGS);  // releases the interpreter lock while reducing
// Pickling (pickling.cpp)
PyObject* gs_reduce_for_pickle(PyObject* self, PyObject* unused);

/// The class IncrementalReducer (incremental_reducer_type.cpp); new reference or nullptr.
PyObject* create_incremental_reducer_type(PyObject* module);
/// The class PayloadDescriptor (payload_descriptor_type.cpp); new reference or nullptr.
PyObject* create_payload_descriptor_type(PyObject* module);
/// A descriptor argument (an instance of `type`, the module's PayloadDescriptor class, or a
/// dict) to a core record; nullptr with an exception set.
std::shared_ptr<const PayloadDescriptor> descriptor_from_py(PyTypeObject* type, PyObject* obj);
/// The six fields of a PayloadDescriptor instance (the caller checked its class).
const PayloadDescriptor& descriptor_value(PyObject* obj);

}  // namespace vantrel::py
