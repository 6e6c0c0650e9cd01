// GraphStore's persistence methods: DOT text, the canonical blob and its reader.
#include "errors.hpp"
#include "graph_store_type.hpp"

namespace vantrel::py {

PyObject* gs_to_dot(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "to_dot is not available yet");
  return nullptr;
}

PyObject* gs_serialize(VANTREL_FASTCALL_ARGS) {
  (void)self, (void)args, (void)nargsf, (void)kwnames;
  PyErr_SetString(PyExc_NotImplementedError, "serialize is not available yet");
  return nullptr;
}

PyObject* gs_deserialize(VANTREL_FASTCALL_ARGS) {
  (void)self, (void)args, (void)nargsf, (void)kwnames;
  PyErr_SetString(PyExc_NotImplementedError, "deserialize is not available yet");
  return nullptr;
}

}  // namespace vantrel::py
