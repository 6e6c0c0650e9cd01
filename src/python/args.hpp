#pragma once
// Binding of vectorcall arguments to named parameters, with the interpreter's usual
// messages for missing, unexpected, repeated and surplus arguments.
#include "py_ref.hpp"

namespace vantrel::py {

struct ArgSpec {
  const char* callable;      ///< "GraphStore.add_op", used in messages as "GraphStore.add_op()"
  const char* const* names;  ///< parameter names, positional-or-keyword first, then keyword-only
  int count;                 ///< number of parameters
  int positional;            ///< how many of them may be passed by position
  int required;              ///< the first `required` parameters have no default
};

/// The general binding behind `bind_args`.
bool bind_args_general(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                       PyObject** out);

/// Fills out[0..count) with borrowed references (nullptr for an omitted optional argument).
/// Returns false with TypeError set when the call does not bind.
inline bool bind_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                      PyObject** out) {
  // The common call passes every required argument by position and nothing by keyword: it
  // binds by copying, and cannot fail.
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (kwnames != nullptr || nargs < spec.required || nargs > spec.positional) {
    return bind_args_general(spec, args, nargsf, kwnames, out);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  for (Py_ssize_t i = nargs; i < spec.count; ++i) out[i] = nullptr;
  return true;
}
/// The same for a tuple/dict call (constructors).
bool bind_args_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace vantrel::py
