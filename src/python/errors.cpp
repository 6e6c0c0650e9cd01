#include "errors.hpp"

namespace vantrel::py {

namespace {
PyObject* g_internal_fault = nullptr;  // process-wide, never freed
}

bool init_internal_fault_type() {
  if (g_internal_fault != nullptr) return true;
  g_internal_fault = PyErr_NewExceptionWithDoc(
      "vantrel_core.InternalFault",
      "An internal invariant of vantrel_core was broken (for example a lock poisoned by an earlier "
      "failure). Not an ordinary error: the object involved should no longer be used.",
      PyExc_BaseException, nullptr);
  return g_internal_fault != nullptr;
}

PyObject* raise_internal_fault(const std::string& message) {
  PyErr_SetString(g_internal_fault ? g_internal_fault : PyExc_SystemError, message.c_str());
  return nullptr;
}

PyObject* map_err(BadNodeId bad) {
  PyErr_Format(PyExc_ValueError, "no node with id %llu", static_cast<unsigned long long>(bad.id));
  return nullptr;
}

}  // namespace vantrel::py

