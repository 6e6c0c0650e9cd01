// GraphStore.add_ops: many op nodes of one name in one call. Nodes are converted a chunk at
// a time and each chunk is interned in one hold of the store lock, which is where the call
// saves over a loop of add_op (argument binding, one lock per node, and for one shared
// params dict its conversion and head lookup per node).
#include <vector>

#include "args.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "graph_store_type.hpp"

namespace vantrel::py {

namespace {

/// Nodes converted before each lock hold: bounds the work under the lock and the memory of
/// the converted views.
constexpr Py_ssize_t kChunk = 128;

/// Adds "add_ops: node I refused; the I nodes before it were added" to the pending
/// exception (PEP 678 notes, 3.11+); a failure to add the note is ignored.
void note_refused([[maybe_unused]] Py_ssize_t index) {
#if PY_VERSION_HEX >= 0x030B0000
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  if (value != nullptr) {
    Ref note = Ref::steal(
        PyUnicode_FromFormat("add_ops: node %zd refused; the %zd nodes before it were added", index, index));
    Ref done = note ? Ref::steal(PyObject_CallMethod(value, "add_note", "O", note.get())) : Ref();
    if (!done) PyErr_Clear();
  }
  PyErr_Restore(type, value, tb);
#endif
}

/// A sequence argument as a tuple the call owns (a str is refused like a list of ids is):
/// later items' conversions cannot change it under the walk.
Ref sequence_arg(PyObject* obj, const char* argname) {
  if (PyUnicode_Check(obj)) {
    arg_type_error(argname, "Can't extract `str` to `Vec`");
    return Ref();
  }
  if (PyTuple_CheckExact(obj)) return Ref::borrow(obj);
  if (!PySequence_Check(obj)) {
    arg_type_error(argname, std::string("'") + Py_TYPE(obj)->tp_name + "' object cannot be converted to 'Sequence'");
    return Ref();
  }
  Ref tuple = Ref::steal(PySequence_Tuple(obj));
  if (!tuple) prefix_type_error(argname);
  return tuple;
}

const char* const kNames[] = {"name", "inputs", "params"};

}  // namespace

PyObject* gs_add_ops(VANTREL_FASTCALL_ARGS) {
  static const ArgSpec spec{"GraphStore.add_ops", kNames, 3, 3, 2};
  PyObject* a[3];
  if (!bind_args(spec, args, nargsf, kwnames, a)) return nullptr;
  return guarded(self, [&]() -> PyObject* {
    GraphStore& store = *reinterpret_cast<GraphStoreObject*>(self)->store;
    // The call's shape is checked before any node is added.
    std::string_view name;
    if (!str_view_from_py(a[0], "name", name)) return nullptr;
    Ref inputs = sequence_arg(a[1], "inputs");
    if (!inputs) return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(inputs.get());
    PyObject* params_arg = a[2] == nullptr ? Py_None : a[2];
    const bool shared = params_arg == Py_None || PyDict_Check(params_arg);
    Ref params_list;
    ParamViews shared_views;
    if (shared) {
      if (!shared_views.read(params_arg)) return nullptr;
    } else {
      if (PyUnicode_Check(params_arg) || !PySequence_Check(params_arg)) {
        PyErr_SetString(PyExc_TypeError, "params must be a dict, None, or a sequence of them");
        return nullptr;
      }
      params_list = Ref::steal(PySequence_Tuple(params_arg));
      if (!params_list) return nullptr;
      if (PyTuple_GET_SIZE(params_list.get()) != count) {
        PyErr_Format(PyExc_ValueError, "params has %zd items but inputs has %zd", PyTuple_GET_SIZE(params_list.get()),
                     count);
        return nullptr;
      }
    }

    NodeIds ids;
    ids.reserve(static_cast<std::size_t>(count));
    NodeIds node_inputs, pool;
    std::vector<std::size_t> begin;
    std::vector<NamedHeadView> heads;
    if (shared) heads.emplace_back(NodeKey::kOp, name, shared_views.entries());
    for (Py_ssize_t start = 0; start < count; start += kChunk) {
      const Py_ssize_t end = std::min(count, start + kChunk);
      std::vector<ParamViews> views(shared ? 0 : static_cast<std::size_t>(end - start));
      pool.clear();
      begin.assign(1, 0);
      if (!shared) heads.clear();
      // Convert up to the first node that does not convert; the nodes before it are still
      // interned, as a loop of add_op would have done before reaching it.
      Py_ssize_t converted = start;
      for (; converted < end; ++converted) {
        if (!ids_from_py(PyTuple_GET_ITEM(inputs.get(), converted), "inputs", node_inputs)) break;
        if (!shared) {
          ParamViews& v = views[static_cast<std::size_t>(converted - start)];
          if (!v.read(PyTuple_GET_ITEM(params_list.get(), converted))) break;
          heads.emplace_back(NodeKey::kOp, name, v.entries());
        }
        pool.insert(pool.end(), node_inputs.begin(), node_inputs.end());
        begin.push_back(pool.size());
      }
      if (converted > start) {
        // A conversion error stays pending while the converted nodes are interned; the
        // store calls nothing in Python.
        auto result = store.intern_batch(heads, pool, begin, ids);
        if (!result) {
          PyErr_Clear();
          map_err(result.error());
          note_refused(static_cast<Py_ssize_t>(ids.size()));
          return nullptr;
        }
      }
      if (converted < end) {
        note_refused(converted);
        return nullptr;
      }
    }
    return ids_to_py(ids);
  });
}

}  // namespace vantrel::py
