#pragma once
// The node handles of `vantrel.Pipeline`, made in C so that an operator on handles costs little
// more than the `GraphStore.add_op` call it makes. Python sees two base classes:
//
//   class PipelineBase:                  # vantrel.Pipeline derives from it
//       store: GraphStore                # read-only, set once by _bind
//       def _bind(self, store, plain_value) -> None: ...
//       def _handle(self, node_id: int) -> Node: ...   # the one handle of node_id
//
//   @final
//   class Node:                          # vantrel.Node; made only by a pipeline
//       id: int; store: GraphStore; pipeline: Pipeline   # read-only
//       def op(self, name, /, *others, **params) -> Node: ...
//       def maximum(self, other) -> Node: ...; def minimum(self, other) -> Node: ...
//       # the arithmetic, bitwise and comparison operators, -x, +x, ~x, abs(x)
//       def reduction(self, name, /, *others, **params) -> Node:   # and exchange, external:
//           return self.pipeline.reduction(name, self, *others, **params)
//
// The class is final and made here rather than derived in Python: a class statement makes a
// class whose instances the cycle collector tracks, whatever its base.
//
// Memory. A handle holds a strong reference to its pipeline, so a handle keeps its pipeline
// (and store) alive. The pipeline finds the handle of a node in a table indexed by node id.
// With the global interpreter lock the table holds borrowed pointers, which a handle's dealloc
// (or clear) removes: lookups and deallocs take turns under that lock, and dealloc clears its
// entry before it does anything that could run other code. The handles of a `vantrel.Pipeline`
// are then not tracked by the cycle collector, which would otherwise walk every handle of every
// pipeline at each collection: such a pipeline holds no handle (its outputs are ids), so no
// cycle runs through them. A subclass can hold handles in its own attributes, so the handles of
// a subclass's pipeline are tracked and such a cycle is freed.
// Without the global lock a lookup could take a reference to a handle whose count has already
// reached zero, so there the table holds strong references, taken under a critical section on
// the pipeline, and handles are tracked by the collector (a pipeline and its handles form a
// cycle that it frees).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantrel::nodes {

/// The interned strings the handles call the store with.
enum Name : int {
  kAddOp,
  kScalar,
  kSide,
  kLeft,
  kRight,
  kAdd,
  kSub,
  kMul,
  kTrueDiv,
  kFloorDiv,
  kMod,
  kPow,
  kAnd,
  kOr,
  kXor,
  kEq,
  kNe,
  kLt,
  kLe,
  kGt,
  kGe,
  kMaximum,
  kMinimum,
  kNeg,
  kPos,
  kInvert,
  kAbs,
  kReduction,
  kExchange,
  kExternal,
  kNode,
  kNameCount
};

struct ModuleState {
  PyTypeObject* node_type = nullptr;
  PyTypeObject* pipeline_base = nullptr;
  PyObject* names[kNameCount] = {};
};

struct PipelineObject {
  PyObject_HEAD
  PyObject* store;        // set once by _bind, then never changed
  PyObject* plain_value;  // turns a NumPy scalar into the Python value it stands for
  PyObject* module;       // keeps `state` alive
  ModuleState* state;
  PyObject** table;  // handle of node i at i, or null (borrowed pointers: see above)
  Py_ssize_t capacity;
  bool track_handles;  // with the global lock: whether this pipeline's handles are tracked
};

struct NodeObject {
  PyObject_HEAD
  PipelineObject* pipeline;  // strong; null only after the collector cleared a handle
  PyObject* id;              // the int the store returned
  Py_ssize_t index;          // the same id, as an index into the pipeline's table
};

/// The handle of the node `id` (an int the store returned) in `p`, made on first use; a new
/// reference, or null with an exception set.
PyObject* handle_of(PipelineObject* p, PyObject* id);

/// The pipeline of a handle, or null with RuntimeError (only a handle whose pipeline the
/// collector has already cleared has none).
PipelineObject* pipeline_of(NodeObject* node);

/// The life of the two objects (handle_table.cpp).
void node_dealloc(PyObject* self);
void pipeline_dealloc(PyObject* self);
int pipeline_traverse(PyObject* self, visitproc visit, void* arg);
int pipeline_clear(PyObject* self);
int node_traverse(PyObject* self, visitproc visit, void* arg);
int node_clear(PyObject* self);

PyObject* create_pipeline_base_type(PyObject* module);
PyObject* create_node_type(PyObject* module);

/// True when `obj` is a handle (Node is final: its instances are the objects it deallocates).
inline bool is_node(PyObject* obj) { return Py_TYPE(obj)->tp_dealloc == node_dealloc; }
ModuleState* state_of_module(PyObject* module);

}  // namespace vantrel::nodes
