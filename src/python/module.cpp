// The extension module: multi-phase initialisation whose exec step adds the three classes
// and `version`, each also appended to `__all__`.
#include "errors.hpp"
#include "graph_store_type.hpp"

namespace vantrel::py {

namespace {

bool add_export(PyObject* module, const char* name, PyObject* value) {
  Ref hold = Ref::steal(value);
  if (!hold) return false;
  if (PyModule_AddObjectRef(module, name, hold.get()) < 0) return false;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  return text && PyList_Append(all.get(), text.get()) == 0;
}

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString("0.0.1"); }

PyMethodDef version_def = {"version", version, METH_NOARGS, "version()\n--\n\n"};

int exec_module(PyObject* module) {
  if (!init_internal_fault_type()) return -1;
  if (!add_export(module, "GraphStore", create_graph_store_type(module))) return -1;
  if (!add_export(module, "PayloadDescriptor", create_payload_descriptor_type(module))) return -1;
  if (!add_export(module, "IncrementalReducer", create_incremental_reducer_type(module))) return -1;
  if (!add_export(module, "version", PyCFunction_NewEx(&version_def, module, nullptr))) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr}  // sentinel
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vantrel_core",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace vantrel::py

PyMODINIT_FUNC PyInit_vantrel_core(void) { return PyModuleDef_Init(&vantrel::py::module_def); }
