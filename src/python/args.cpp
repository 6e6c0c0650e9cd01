#include "args.hpp"

#include <string>
#include <vector>

namespace vantrel::py {

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

bool too_many_positional(const ArgSpec& spec, Py_ssize_t given) {
  const int lo = spec.required < spec.positional ? spec.required : spec.positional;
  std::string takes = lo == spec.positional ? std::to_string(spec.positional)
                                            : "from " + std::to_string(lo) + " to " + std::to_string(spec.positional);
  PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd %s given", spec.callable, takes.c_str(),
               spec.positional == 1 && lo == spec.positional ? "" : "s", given, given == 1 ? "was" : "were");
  return false;
}

int find_name(const ArgSpec& spec, PyObject* key) {
  for (int i = 0; i < spec.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, spec.names[i]) == 0) return i;
  }
  return -1;
}

bool bind_keyword(const ArgSpec& spec, PyObject* key, PyObject* value, PyObject** out) {
  if (!PyUnicode_Check(key)) {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    return false;
  }
  const int i = find_name(spec, key);
  if (i < 0) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.callable, key);
    return false;
  }
  if (out[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", spec.callable, spec.names[i]);
    return false;
  }
  out[i] = value;
  return true;
}

bool check_missing(const ArgSpec& spec, PyObject** out) {
  std::vector<const char*> positional, keyword_only;
  for (int i = 0; i < spec.required; ++i) {
    if (out[i] == nullptr) (i < spec.positional ? positional : keyword_only).push_back(spec.names[i]);
  }
  auto& missing = positional.empty() ? keyword_only : positional;
  if (missing.empty()) return true;
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required %s argument%s: %s", spec.callable, missing.size(),
               positional.empty() ? "keyword-only" : "positional", missing.size() == 1 ? "" : "s",
               quoted_list(missing).c_str());
  return false;
}

}  // namespace

bool bind_args_general(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                       PyObject** out) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  for (int i = 0; i < spec.count; ++i) out[i] = nullptr;
  if (nargs > spec.positional) return too_many_positional(spec, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!bind_keyword(spec, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return check_missing(spec, out);
}

bool bind_args_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
  for (int i = 0; i < spec.count; ++i) out[i] = nullptr;
  if (nargs > spec.positional) return too_many_positional(spec, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    // The kwargs dict is private to this call, so borrowed entries stay valid.
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(spec, key, value, out)) return false;
    }
  }
  return check_missing(spec, out);
}

}  // namespace vantrel::py
