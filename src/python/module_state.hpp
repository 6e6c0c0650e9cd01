#pragma once
// What the module keeps per module object (and so per interpreter): its three classes, the
// internal-fault exception class and the two functions that pickled objects are rebuilt by.
// Nothing Python-side is process-global, so subinterpreters each get their own.
#include "py_ref.hpp"

namespace vantrel::py {

struct ModuleState {
  PyTypeObject* graph_store_type;
  PyTypeObject* payload_descriptor_type;
  PyTypeObject* incremental_reducer_type;
  PyObject* internal_fault;          // derives directly from BaseException; not a module attribute
  PyObject* store_from_blob;         // the pickle reconstructor of GraphStore
  PyObject* descriptor_from_fields;  // the pickle reconstructor of PayloadDescriptor
};

/// The module's definition (module.cpp), used to find the module from one of its types.
PyModuleDef* module_definition();

/// The state of the module that defined `type` (one of this module's classes); nullptr with
/// an exception set when it cannot be found.
ModuleState* state_of_type(PyTypeObject* type);
/// The state reachable from a method's receiver: an instance of one of the classes, one of
/// the classes itself (static methods receive the class), or the module (its functions).
ModuleState* state_of(PyObject* owner);

}  // namespace vantrel::py
