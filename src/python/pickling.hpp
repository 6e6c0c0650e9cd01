#pragma once
// Pickle, copy and deepcopy support. A GraphStore travels as its canonical blob (marks
// included) and a PayloadDescriptor as its six fields; each is rebuilt by a module-level
// function of vantrel_core, since the classes report "builtins" as their module. Rebuilding
// trusts pickled data only as far as the blob reader and the descriptor constructor trust
// their input. An IncrementalReducer follows one live store and is not picklable.
#include "py_ref.hpp"
#include "store/graph_store.hpp"

namespace vantrel::py {

/// `_store_from_blob(data)` and `_descriptor_from_fields(kind, content_hash, framework,
/// version, io_schema, preprocessing_ref)`, added to the module by its exec step.
extern PyMethodDef store_from_blob_def;
extern PyMethodDef descriptor_from_fields_def;

/// The store's blob with its marks as outputs (graph_store_persist.cpp); new bytes or nullptr.
PyObject* store_to_blob(const GraphStore& store);
/// A new store of class `type` read from `data` (bytes), as `GraphStore.deserialize` does.
PyObject* blob_to_store(PyTypeObject* type, PyObject* data);

/// `__reduce__` of PayloadDescriptor and IncrementalReducer (GraphStore's is declared with
/// its other methods).
PyObject* pd_reduce_for_pickle(PyObject* self, PyObject* unused);
PyObject* ir_reduce_for_pickle(PyObject* self, PyObject* unused);

}  // namespace vantrel::py
