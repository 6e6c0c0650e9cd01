// The per-pipeline table of handles, and the life of a handle (see nodes.hpp for why the
// table's pointers are borrowed with the global interpreter lock and strong without it).
#include <algorithm>

#include "critical_section.hpp"
#include "nodes.hpp"

namespace vantrel::nodes {

namespace {

/// Makes room for the handle of node `index` (new entries are null).
bool grow(PipelineObject* p, Py_ssize_t index) {
  constexpr Py_ssize_t kFirst = 16;
  if (index >= PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(2 * sizeof(PyObject*))) {
    PyErr_NoMemory();
    return false;
  }
  Py_ssize_t capacity = std::max({index + 1, 2 * p->capacity, kFirst});
  auto* table = static_cast<PyObject**>(PyMem_Realloc(p->table, static_cast<size_t>(capacity) * sizeof(PyObject*)));
  if (table == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  std::fill(table + p->capacity, table + capacity, nullptr);
  p->table = table;
  p->capacity = capacity;
  return true;
}

PyObject* make_handle(PipelineObject* p, PyObject* id, Py_ssize_t index) {
  if (p->state == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the pipeline has no store: Pipeline.__init__ was not called");
    return nullptr;
  }
  if (index >= p->capacity && !grow(p, index)) return nullptr;
  PyTypeObject* type = p->state->node_type;
  // Made untracked, and tracked once whole where the pipeline's handles are (see nodes.hpp).
  NodeObject* node = PyObject_GC_New(NodeObject, type);
  if (node == nullptr) return nullptr;
  node->pipeline = reinterpret_cast<PipelineObject*>(Py_NewRef(p));
  node->id = Py_NewRef(id);
  node->index = index;
  auto* made = reinterpret_cast<PyObject*>(node);
#ifdef Py_GIL_DISABLED
  PyObject_GC_Track(made);
#else
  if (p->track_handles) PyObject_GC_Track(made);
#endif
  PyObject* known = p->table[index];
  if (known != nullptr) {
    // Without the global lock the critical section is suspended if the allocation blocks, and
    // another thread may have made this node's handle meanwhile: that one stays the only one.
    Py_DECREF(made);
    return Py_NewRef(known);
  }
#ifdef Py_GIL_DISABLED
  p->table[index] = Py_NewRef(made);
#else
  p->table[index] = made;
#endif
  return made;
}

}  // namespace

PyObject* handle_of(PipelineObject* p, PyObject* id) {
  Py_ssize_t index = PyLong_AsSsize_t(id);
  if (index < 0) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "no node with id %R", id);
    return nullptr;
  }
  py::CriticalSection lock(reinterpret_cast<PyObject*>(p));
  if (index < p->capacity && p->table[index] != nullptr) return Py_NewRef(p->table[index]);
  return make_handle(p, id, index);
}

PipelineObject* pipeline_of(NodeObject* node) {
  if (node->pipeline == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the handle's pipeline has been freed");
  }
  return node->pipeline;
}

namespace {

/// Drops the handle's pipeline; with the global lock, first its entry in the table, since
/// dropping the pipeline may run other code, which must not find this handle there.
void drop_pipeline(NodeObject* node) {
#ifndef Py_GIL_DISABLED
  PipelineObject* p = node->pipeline;
  auto* self = reinterpret_cast<PyObject*>(node);
  if (p != nullptr && node->index < p->capacity && p->table[node->index] == self) p->table[node->index] = nullptr;
#endif
  Py_CLEAR(node->pipeline);
}

}  // namespace

void node_dealloc(PyObject* self) {
  auto* node = reinterpret_cast<NodeObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);  // nothing when it was never tracked
  drop_pipeline(node);
  Py_CLEAR(node->id);
  type->tp_free(self);
  Py_DECREF(type);
}

int node_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<NodeObject*>(self)->pipeline);
  return 0;
}

int node_clear(PyObject* self) {
  drop_pipeline(reinterpret_cast<NodeObject*>(self));
  return 0;
}

int pipeline_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* p = reinterpret_cast<PipelineObject*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(p->store);
  Py_VISIT(p->plain_value);
  Py_VISIT(p->module);
#ifdef Py_GIL_DISABLED
  for (Py_ssize_t i = 0; i < p->capacity; ++i) Py_VISIT(p->table[i]);
#endif
  return 0;
}

int pipeline_clear(PyObject* self) {
  auto* p = reinterpret_cast<PipelineObject*>(self);
#ifdef Py_GIL_DISABLED
  for (Py_ssize_t i = 0; i < p->capacity; ++i) Py_CLEAR(p->table[i]);
#endif
  Py_CLEAR(p->store);
  Py_CLEAR(p->plain_value);
  p->state = nullptr;
  Py_CLEAR(p->module);
  return 0;
}

void pipeline_dealloc(PyObject* self) {
  auto* p = reinterpret_cast<PipelineObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  pipeline_clear(self);
  PyMem_Free(p->table);
  p->table = nullptr;
  p->capacity = 0;
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace vantrel::nodes
