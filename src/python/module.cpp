// The extension module: multi-phase initialisation whose exec step adds the three classes
// and `version`, each also appended to `__all__`, the two pickle reconstructors and
// `_default_rules` (module attributes, not exports). The classes and the internal-fault class live in the module's
// state, so every interpreter that imports the module gets its own.
#include "engine/rule_set.hpp"
#include "errors.hpp"
#include "graph_store_type.hpp"
#include "module_state.hpp"
#include "pickling.hpp"

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

/// Keeps a new reference to `value` in a state slot; false when value is null.
template <class T>
bool keep(T*& slot, PyObject* value) {
  slot = reinterpret_cast<T*>(value);
  return value != nullptr;
}

/// A module-level function whose __module__ is this module's name, so that pickle can find it.
PyObject* module_function(PyObject* module, PyMethodDef* def) {
  Ref name = Ref::steal(PyModule_GetNameObject(module));
  if (!name) return nullptr;
  return PyCFunction_NewEx(def, module, name.get());
}

// The build passes the version from pyproject.toml, where it is written once.
PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString(VANTREL_VERSION); }

PyMethodDef version_def = {"version", version, METH_NOARGS, "version()\n--\n\n"};

// The default rules as (name, lhs, rhs) texts: the pure-Python package states what they
// assume of op names, and reads them here instead of keeping a copy.
PyObject* default_rules(PyObject*, PyObject*) {
  const RuleSet& rules = default_rule_set();
  Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(rules.size())));
  if (!out) return nullptr;
  Py_ssize_t i = 0;
  for (const PatternRule& r : rules) {
    PyObject* entry =
        Py_BuildValue("(s#s#s#)", r.name.data(), static_cast<Py_ssize_t>(r.name.size()), r.lhs.data(),
                      static_cast<Py_ssize_t>(r.lhs.size()), r.rhs.data(), static_cast<Py_ssize_t>(r.rhs.size()));
    if (entry == nullptr) return nullptr;
    PyTuple_SET_ITEM(out.get(), i++, entry);
  }
  return out.release();
}

PyMethodDef default_rules_def = {"_default_rules", default_rules, METH_NOARGS, "_default_rules()\n--\n\n"};

int exec_module(PyObject* module) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (!keep(state->internal_fault, create_internal_fault_type())) return -1;
  if (!keep(state->graph_store_type, create_graph_store_type(module))) return -1;
  if (!keep(state->payload_descriptor_type, create_payload_descriptor_type(module))) return -1;
  if (!keep(state->incremental_reducer_type, create_incremental_reducer_type(module))) return -1;
  if (!keep(state->store_from_blob, module_function(module, &store_from_blob_def))) return -1;
  if (!keep(state->descriptor_from_fields, module_function(module, &descriptor_from_fields_def))) return -1;

  auto add = [&](const char* name, PyObject* borrowed) { return add_export(module, name, Py_NewRef(borrowed)); };
  if (!add("GraphStore", reinterpret_cast<PyObject*>(state->graph_store_type))) return -1;
  if (!add("PayloadDescriptor", reinterpret_cast<PyObject*>(state->payload_descriptor_type))) return -1;
  if (!add("IncrementalReducer", reinterpret_cast<PyObject*>(state->incremental_reducer_type))) return -1;
  if (!add_export(module, "version", PyCFunction_NewEx(&version_def, module, nullptr))) return -1;
  if (PyModule_AddObjectRef(module, store_from_blob_def.ml_name, state->store_from_blob) < 0) return -1;
  if (PyModule_AddObjectRef(module, descriptor_from_fields_def.ml_name, state->descriptor_from_fields) < 0) return -1;
  Ref rules = Ref::steal(PyCFunction_NewEx(&default_rules_def, module, nullptr));
  if (!rules || PyModule_AddObjectRef(module, default_rules_def.ml_name, rules.get()) < 0) return -1;
  return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  Py_VISIT(state->graph_store_type);
  Py_VISIT(state->payload_descriptor_type);
  Py_VISIT(state->incremental_reducer_type);
  Py_VISIT(state->internal_fault);
  Py_VISIT(state->store_from_blob);
  Py_VISIT(state->descriptor_from_fields);
  return 0;
}

int clear_module(PyObject* module) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  Py_CLEAR(state->graph_store_type);
  Py_CLEAR(state->payload_descriptor_type);
  Py_CLEAR(state->incremental_reducer_type);
  Py_CLEAR(state->internal_fault);
  Py_CLEAR(state->store_from_blob);
  Py_CLEAR(state->descriptor_from_fields);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // Everything Python-side lives in the module state; the core's only process-wide data
    // (the engine's symbol table and the shared default engine) is locked or immutable.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr}  // sentinel
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vantrel_core",
    .m_doc = "",
    .m_size = sizeof(ModuleState),
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = traverse_module,
    .m_clear = clear_module,
    .m_free = free_module,
};

}  // namespace

PyModuleDef* module_definition() { return &module_def; }

ModuleState* state_of_type(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
  PyObject* module = PyType_GetModuleByDef(type, &module_def);
#else
  // The classes cannot be subclassed, so the receiver's type is the defining class.
  PyObject* module = PyType_GetModule(type);
#endif
  if (module == nullptr) return nullptr;
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr || state->graph_store_type == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "the vantrel_core module has been cleared");
    return nullptr;
  }
  return state;
}

ModuleState* state_of(PyObject* owner) {
  if (PyModule_Check(owner)) {
    auto* state = static_cast<ModuleState*>(PyModule_GetState(owner));
    if (state == nullptr || state->graph_store_type == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "the vantrel_core module has been cleared");
      return nullptr;
    }
    return state;
  }
  if (PyType_Check(owner)) return state_of_type(reinterpret_cast<PyTypeObject*>(owner));
  return state_of_type(Py_TYPE(owner));
}

}  // namespace vantrel::py

PyMODINIT_FUNC PyInit_vantrel_core(void) { return PyModuleDef_Init(&vantrel::py::module_def); }
