// A store in a notebook: `_repr_mimebundle_` hands the drawing to the pure-Python
// `vantrel.render` (Graphviz is a Python-level concern). Without that package it returns None,
// so the notebook shows the plain text representation.
#include "graph_store_type.hpp"

namespace vantrel::py {

PyObject* gs_repr_mimebundle(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"include", "exclude", nullptr};
  PyObject* include = Py_None;
  PyObject* exclude = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:_repr_mimebundle_", const_cast<char**>(keywords), &include,
                                   &exclude)) {
    return nullptr;
  }
  Ref render = Ref::steal(PyImport_ImportModule("vantrel.render"));
  if (!render) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  Ref draw = Ref::steal(PyObject_GetAttrString(render.get(), "repr_mimebundle"));
  if (!draw) return nullptr;
  return PyObject_CallFunctionObjArgs(draw.get(), self, include, exclude, nullptr);
}

}  // namespace vantrel::py
