// Pickling: `__reduce__` of the three classes and the two reconstructors they name.
#include "pickling.hpp"

#include "convert.hpp"
#include "errors.hpp"
#include "graph_store_type.hpp"
#include "module_state.hpp"

namespace vantrel::py {

namespace {

const char* const kFieldNames[] = {"kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref"};

PyObject* store_from_blob(PyObject* module, PyObject* data) {
  ModuleState* state = state_of(module);
  if (state == nullptr) return nullptr;
  return blob_to_store(state->graph_store_type, data);
}

/// Rebuilds a descriptor through the class's own constructor, so a pickle whose fields have
/// the wrong types fails with the constructor's TypeError.
PyObject* descriptor_from_fields(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 6) {
    PyErr_Format(PyExc_TypeError, "_descriptor_from_fields() takes 6 positional arguments but %zd were given", nargs);
    return nullptr;
  }
  ModuleState* state = state_of(module);
  if (state == nullptr) return nullptr;
  Ref names = Ref::steal(PyTuple_New(6));
  if (!names) return nullptr;
  for (Py_ssize_t i = 0; i < 6; ++i) {
    PyObject* name = PyUnicode_InternFromString(kFieldNames[i]);
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(names.get(), i, name);
  }
  return PyObject_Vectorcall(reinterpret_cast<PyObject*>(state->payload_descriptor_type), args, 0, names.get());
}

}  // namespace

PyMethodDef store_from_blob_def = {
    "_store_from_blob", store_from_blob, METH_O,
    "_store_from_blob(data, /)\n--\n\nRebuild a pickled GraphStore from its blob (what `GraphStore.deserialize` "
    "does)."};

PyMethodDef descriptor_from_fields_def = {
    "_descriptor_from_fields", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(descriptor_from_fields)),
    METH_FASTCALL,
    "_descriptor_from_fields(kind, content_hash, framework, version, io_schema, preprocessing_ref, /)\n--\n\n"
    "Rebuild a pickled PayloadDescriptor from its six fields."};

PyObject* gs_reduce_for_pickle(PyObject* self, PyObject*) {
  return guarded(self, [&]() -> PyObject* {
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    Ref blob = Ref::steal(store_to_blob(*reinterpret_cast<GraphStoreObject*>(self)->store));
    if (!blob) return nullptr;
    return Py_BuildValue("(O(O))", state->store_from_blob, blob.get());
  });
}

PyObject* pd_reduce_for_pickle(PyObject* self, PyObject*) {
  return guarded(self, [&]() -> PyObject* {
    ModuleState* state = state_of(self);
    if (state == nullptr) return nullptr;
    const PayloadDescriptor& d = descriptor_value(self);
    Ref fields = Ref::steal(PyTuple_New(6));
    if (!fields) return nullptr;
    const std::string* texts[] = {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema};
    for (Py_ssize_t i = 0; i < 5; ++i) {
      PyObject* text = str_to_py(*texts[i]);
      if (text == nullptr) return nullptr;
      PyTuple_SET_ITEM(fields.get(), i, text);
    }
    PyObject* ref = d.preprocessing_ref ? str_to_py(*d.preprocessing_ref) : Py_NewRef(Py_None);
    if (ref == nullptr) return nullptr;
    PyTuple_SET_ITEM(fields.get(), 5, ref);
    return PyTuple_Pack(2, state->descriptor_from_fields, fields.get());
  });
}

PyObject* ir_reduce_for_pickle(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError,
                  "cannot pickle 'IncrementalReducer' object: a reducer follows one live GraphStore and holds "
                  "positions into it; pickle the store and build a new reducer instead");
  return nullptr;
}

}  // namespace vantrel::py
