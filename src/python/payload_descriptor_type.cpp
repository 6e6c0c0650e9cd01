// Python equivalent of the class defined here:
//
//   @final
//   class PayloadDescriptor:
//       def __new__(cls, *, kind: str, content_hash: str, framework: str, version: str,
//                   io_schema: str, preprocessing_ref: str | None = None): ...
//       kind: str               # read-only, like the other five fields
#include <new>

#include "args.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "graph_store_type.hpp"
#include "pickling.hpp"

namespace vantrel::py {

namespace {

struct DescriptorObject {
  PyObject_HEAD
  std::shared_ptr<const PayloadDescriptor> value;  // immutable, so nodes may share it
};

const char* const kFieldNames[] = {"kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref"};

PyObject* pd_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const ArgSpec spec{"PayloadDescriptor.__new__", kFieldNames, 6, 0, 5};
  PyObject* a[6];
  if (!bind_args_tuple(spec, args, kwargs, a)) return nullptr;
  return guarded(reinterpret_cast<PyObject*>(type), [&]() -> PyObject* {
    auto d = std::make_shared<PayloadDescriptor>();
    std::string* fields[] = {&d->kind, &d->content_hash, &d->framework, &d->version, &d->io_schema};
    for (int i = 0; i < 5; ++i) {
      if (!str_from_py(a[i], kFieldNames[i], *fields[i])) return nullptr;
    }
    if (a[5] != nullptr && a[5] != Py_None) {
      std::string ref;
      if (!str_from_py(a[5], "preprocessing_ref", ref)) return nullptr;
      d->preprocessing_ref = std::move(ref);
    }
    auto* self = reinterpret_cast<DescriptorObject*>(type->tp_alloc(type, 0));
    if (self == nullptr) return nullptr;
    new (&self->value) std::shared_ptr<const PayloadDescriptor>(std::move(d));
    return reinterpret_cast<PyObject*>(self);
  });
}

void pd_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<DescriptorObject*>(self)->value.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

const PayloadDescriptor& value_of(PyObject* self) { return *reinterpret_cast<DescriptorObject*>(self)->value; }

PyObject* get_kind(PyObject* self, void*) { return str_to_py(value_of(self).kind); }
PyObject* get_content_hash(PyObject* self, void*) { return str_to_py(value_of(self).content_hash); }
PyObject* get_framework(PyObject* self, void*) { return str_to_py(value_of(self).framework); }
PyObject* get_version(PyObject* self, void*) { return str_to_py(value_of(self).version); }
PyObject* get_io_schema(PyObject* self, void*) { return str_to_py(value_of(self).io_schema); }
PyObject* get_preprocessing_ref(PyObject* self, void*) {
  const auto& ref = value_of(self).preprocessing_ref;
  if (!ref) Py_RETURN_NONE;
  return str_to_py(*ref);
}

PyGetSetDef pd_getset[] = {
    {"kind", get_kind, nullptr, "", nullptr},
    {"content_hash", get_content_hash, nullptr, "", nullptr},
    {"framework", get_framework, nullptr, "", nullptr},
    {"version", get_version, nullptr, "", nullptr},
    {"io_schema", get_io_schema, nullptr, "", nullptr},
    {"preprocessing_ref", get_preprocessing_ref, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}  // sentinel
};

PyMethodDef pd_methods[] = {
    {"__reduce__", pd_reduce_for_pickle, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickle support: the descriptor travels as its six fields."},
    {nullptr, nullptr, 0, nullptr}  // sentinel
};

PyType_Slot pd_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(pd_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pd_dealloc)},
    {Py_tp_getset, pd_getset},
    {Py_tp_methods, pd_methods},
    {Py_tp_doc, const_cast<char*>("PayloadDescriptor(*, kind, content_hash, framework, version, io_schema, "
                                  "preprocessing_ref=None)\n--\n\nReproducibility metadata an External node "
                                  "carries (participates in the structural hash).")},
    {0, nullptr}  // sentinel
};

PyType_Spec pd_spec = {
    .name = "builtins.PayloadDescriptor",
    .basicsize = sizeof(DescriptorObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = pd_slots,
};

/// A dict field that must be a str, as a strong reference (null when the key is missing, and
/// then false with an exception set if the lookup failed). The reference is taken by the
/// lookup itself: another thread may replace the value at any moment after it.
bool dict_str(PyObject* dict, const char* key, Ref& found) {
  Ref k = Ref::steal(PyUnicode_FromString(key));
  if (!k) return false;
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(dict, k.get(), &value) < 0) return false;
  found = Ref::steal(value);
  return true;
#else
  // Under the global lock nothing runs between the lookup and the increment.
  found = Ref::borrow(PyDict_GetItemWithError(dict, k.get()));
  return found || !PyErr_Occurred();
#endif
}

}  // namespace

PyObject* create_payload_descriptor_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &pd_spec, nullptr);
}

const PayloadDescriptor& descriptor_value(PyObject* obj) { return value_of(obj); }

std::shared_ptr<const PayloadDescriptor> descriptor_from_py(PyTypeObject* type, PyObject* obj) {
  if (type != nullptr && Py_TYPE(obj) == type) return reinterpret_cast<DescriptorObject*>(obj)->value;
  if (!PyDict_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
    add_note("expected a vantrel_core.PayloadDescriptor or a dict of its fields, got %s", Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  auto d = std::make_shared<PayloadDescriptor>();
  Ref found;
  if (!dict_str(obj, "preprocessing_ref", found)) return nullptr;
  if (found && found.get() != Py_None) {
    std::string ref;
    if (!str_from_py(found.get(), nullptr, ref)) return nullptr;
    d->preprocessing_ref = std::move(ref);
  }
  std::string* fields[] = {&d->kind, &d->content_hash, &d->framework, &d->version, &d->io_schema};
  for (int i = 0; i < 5; ++i) {
    if (!dict_str(obj, kFieldNames[i], found)) return nullptr;
    if (!found) {
      PyErr_Format(PyExc_ValueError, "descriptor missing required field '%s'", kFieldNames[i]);
      return nullptr;
    }
    if (!str_from_py(found.get(), nullptr, *fields[i])) return nullptr;
  }
  return d;
}

}  // namespace vantrel::py
