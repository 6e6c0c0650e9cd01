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

/// Fills out[0..count) with borrowed references (nullptr for an omitted optional argument).
/// Returns false with TypeError set when the call does not bind.
bool bind_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out);
/// The same for a tuple/dict call (constructors).
bool bind_args_tuple(const ArgSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace vantrel::py
