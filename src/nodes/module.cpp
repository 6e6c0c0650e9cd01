// The extension module vantrel._nodes: multi-phase initialisation whose exec step adds Node
// and PipelineBase and interns the strings the handles call the store with, all kept in the
// module's state so that every interpreter that imports the module has its own.
#include "nodes.hpp"
#include "py_ref.hpp"

namespace vantrel::nodes {

namespace {

using py::Ref;

// In the order of the Name enumeration.
const char* const kNameTexts[kNameCount] = {
    "add_op",  "scalar", "side", "l",      "r",   "add",       "sub",      "mul",      "truediv", "floordiv", "mod",
    "pow",     "and",    "or",   "xor",    "eq",  "ne",        "lt",       "le",       "gt",      "ge",       "maximum",
    "minimum", "neg",    "pos",  "invert", "abs", "reduction", "exchange", "external", "node",
};

bool add_type(PyObject* module, const char* name, PyObject* type, PyTypeObject*& slot) {
  slot = reinterpret_cast<PyTypeObject*>(type);
  return type != nullptr && PyModule_AddObjectRef(module, name, type) == 0;
}

int exec_module(PyObject* module) {
  ModuleState* state = state_of_module(module);
  for (int i = 0; i < kNameCount; ++i) {
    state->names[i] = PyUnicode_InternFromString(kNameTexts[i]);
    if (state->names[i] == nullptr) return -1;
  }
  if (!add_type(module, "Node", create_node_type(module), state->node_type)) return -1;
  if (!add_type(module, "PipelineBase", create_pipeline_base_type(module), state->pipeline_base)) return -1;
  return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = state_of_module(module);
  if (state == nullptr) return 0;
  Py_VISIT(state->node_type);
  Py_VISIT(state->pipeline_base);
  return 0;
}

int clear_module(PyObject* module) {
  ModuleState* state = state_of_module(module);
  if (state == nullptr) return 0;
  Py_CLEAR(state->node_type);
  Py_CLEAR(state->pipeline_base);
  for (PyObject*& name : state->names) Py_CLEAR(name);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // Everything lives in the module state and in the objects.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr}  // sentinel
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vantrel._nodes",
    .m_doc = "The node handles of vantrel.Pipeline, made in C for speed.",
    .m_size = sizeof(ModuleState),
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = traverse_module,
    .m_clear = clear_module,
    .m_free = free_module,
};

}  // namespace

ModuleState* state_of_module(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

}  // namespace vantrel::nodes

PyMODINIT_FUNC PyInit__nodes() { return PyModuleDef_Init(&vantrel::nodes::module_def); }
