// PipelineBase: what a pipeline keeps for its handles (its store, the class of its handles and
// the table of handles by node id). vantrel.Pipeline derives from it and does the rest.
#include "critical_section.hpp"
#include "nodes.hpp"
#include "py_ref.hpp"

namespace vantrel::nodes {

namespace {

using py::Ref;

/// `_bind(store, plain_value)`: set once, by Pipeline.__init__.
PyObject* pipeline_bind(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
  if (PyVectorcall_NARGS(nargsf) != 2 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
    PyErr_SetString(PyExc_TypeError, "_bind() takes 2 positional arguments: store, plain_value");
    return nullptr;
  }
  PyObject* module = PyType_GetModule(defining_class);
  if (module == nullptr) return nullptr;
  ModuleState* state = state_of_module(module);
  if (!PyCallable_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "plain_value must be callable");
    return nullptr;
  }
  auto* p = reinterpret_cast<PipelineObject*>(self);
  py::CriticalSection lock(self);
  if (p->store != nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the pipeline already has its store");
    return nullptr;
  }
  p->store = Py_NewRef(args[0]);
  p->plain_value = Py_NewRef(args[1]);
  p->module = Py_NewRef(module);
  p->state = state;
  // Only a subclass can hold a handle in the pipeline itself (an attribute, a slot), which with
  // the pipeline's handle holding the pipeline makes a cycle: its handles are collector-tracked.
  PyTypeObject* type = Py_TYPE(self);
  p->track_handles = type->tp_base != defining_class || type->tp_dictoffset != 0;
  Py_RETURN_NONE;
}

PyObject* pipeline_handle(PyObject* self, PyObject* node_id) {
  return handle_of(reinterpret_cast<PipelineObject*>(self), node_id);
}

PyObject* get_store(PyObject* self, void*) {
  PyObject* store = reinterpret_cast<PipelineObject*>(self)->store;
  if (store == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "the pipeline has no store: Pipeline.__init__ was not called");
    return nullptr;
  }
  return Py_NewRef(store);
}

PyGetSetDef pipeline_getset[] = {
    {"store", get_store, nullptr, "The vantrel_core.GraphStore the nodes live in.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}  // sentinel
};

PyMethodDef pipeline_methods[] = {
    {"_bind", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pipeline_bind)),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "_bind($self, store, plain_value, /)\n--\n\nSets the store and the converter of NumPy scalars (once)."},
    {"_handle", pipeline_handle, METH_O,
     "_handle($self, node_id, /)\n--\n\nThe one handle of the node ``node_id``, made on first use."},
    {nullptr, nullptr, 0, nullptr}  // sentinel
};

PyType_Slot pipeline_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pipeline_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(pipeline_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(pipeline_clear)},
    {Py_tp_getset, pipeline_getset},
    {Py_tp_methods, pipeline_methods},
    {Py_tp_doc, const_cast<char*>("The C part of a pipeline: its store and its handles. See vantrel.Pipeline.")},
    {0, nullptr}  // sentinel
};

PyType_Spec pipeline_spec = {
    .name = "vantrel._nodes.PipelineBase",
    .basicsize = sizeof(PipelineObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    .slots = pipeline_slots,
};

}  // namespace

PyObject* create_pipeline_base_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &pipeline_spec, nullptr);
}

}  // namespace vantrel::nodes
