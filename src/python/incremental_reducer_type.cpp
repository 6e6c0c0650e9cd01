// The Python class IncrementalReducer (placeholder until the reducer is wired in).
#include "errors.hpp"
#include "graph_store_type.hpp"

namespace vantrel::py {

namespace {

struct ReducerObject {
  PyObject_HEAD
};

PyObject* ir_new(PyTypeObject* type, PyObject*, PyObject*) { return type->tp_alloc(type, 0); }

void ir_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot ir_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ir_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ir_dealloc)},
    {0, nullptr}  // sentinel
};

PyType_Spec ir_spec = {
    .name = "IncrementalReducer",
    .basicsize = sizeof(ReducerObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = ir_slots,
};

}  // namespace

PyObject* create_incremental_reducer_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &ir_spec, nullptr); }

}  // namespace vantrel::py
