#include "errors.hpp"

#include <cstdarg>

#include "module_state.hpp"

namespace vantrel::py {

PyObject* create_internal_fault_type() {
  return PyErr_NewExceptionWithDoc(
      "vantrel_core.InternalFault",
      "An internal invariant of vantrel_core was broken (for example a lock poisoned by an earlier "
      "failure). Not an ordinary error: the object involved should no longer be used.",
      PyExc_BaseException, nullptr);
}

PyObject* raise_internal_fault(PyObject* owner, const std::string& message) {
  ModuleState* state = owner != nullptr ? state_of(owner) : nullptr;
  PyErr_Clear();  // a failed lookup must not hide the fault itself
  PyObject* type = state != nullptr && state->internal_fault != nullptr ? state->internal_fault : PyExc_SystemError;
  PyErr_SetString(type, message.c_str());
  return nullptr;
}

PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  // Before 3.12 the indicator holds a type, value and traceback that may be unnormalized.
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
#endif
}

void restore_exception(PyObject* exc) {
  if (exc == nullptr) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
#endif
}

namespace {

/// `obj.name` in `out`, left empty with nothing raised when there is no such attribute; false
/// on any other error.
bool optional_attr(PyObject* obj, const char* name, Ref& out) {
  out = Ref::steal(PyObject_GetAttrString(obj, name));
  if (out) return true;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
  PyErr_Clear();
  return true;
}

bool attach_note(PyObject* exc, PyObject* note) {
  Ref method;
  if (!optional_attr(exc, "add_note", method)) return false;
  if (method) return static_cast<bool>(Ref::steal(PyObject_CallOneArg(method.get(), note)));
  // No add_note (before 3.11): the list it would append to.
  Ref notes;
  if (!optional_attr(exc, "__notes__", notes)) return false;
  if (!notes) {
    notes = Ref::steal(PyList_New(0));
    if (!notes || PyObject_SetAttrString(exc, "__notes__", notes.get()) < 0) return false;
  }
  return PyList_Check(notes.get()) && PyList_Append(notes.get(), note) == 0;
}

}  // namespace

void add_note(const char* format, ...) {
  if (!PyErr_Occurred()) return;
  PyObject* exc = take_exception();
  if (exc != nullptr) {
    va_list args;
    va_start(args, format);
    Ref note = Ref::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    if (!note || !attach_note(exc, note.get())) PyErr_Clear();
  }
  restore_exception(exc);
}

PyObject* map_err(BadNodeId bad) {
  PyErr_Format(PyExc_ValueError, "no node with id %llu", static_cast<unsigned long long>(bad.id));
  return nullptr;
}

}  // namespace vantrel::py
