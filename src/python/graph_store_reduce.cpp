// GraphStore's reduction methods.
#include "errors.hpp"
#include "graph_store_type.hpp"

namespace vantrel::py {

namespace {
PyObject* not_yet() {
  PyErr_SetString(PyExc_NotImplementedError, "reduction is not available yet");
  return nullptr;
}
}  // namespace

PyObject* gs_reduce(VANTREL_FASTCALL_ARGS) {
  (void)self, (void)args, (void)nargsf, (void)kwnames;
  return not_yet();
}
PyObject* gs_reduction_report(VANTREL_FASTCALL_ARGS) {
  (void)self, (void)args, (void)nargsf, (void)kwnames;
  return not_yet();
}
PyObject* gs_reduce_incremental(VANTREL_FASTCALL_ARGS) {
  (void)self, (void)args, (void)nargsf, (void)kwnames;
  return not_yet();
}

}  // namespace vantrel::py
