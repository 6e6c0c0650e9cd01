#pragma once
// Conversions between Python values and core values. Each returns false (or nullptr) with a
// Python exception set when the value does not convert.
#include <string>

#include "ir/node_key.hpp"
#include "py_ref.hpp"

namespace vantrel::py {

/// A `str` to UTF-8. Wrong type: TypeError, prefixed with "argument 'NAME': " when argname is
/// given; an unencodable str (lone surrogate) lets UnicodeEncodeError propagate.
bool str_from_py(PyObject* obj, const char* argname, std::string& out);
PyObject* str_to_py(std::string_view s);

/// A sequence of unsigned 64-bit ids (a `str` is refused). TypeErrors carry the argument
/// prefix; OverflowError for a negative or too large item propagates unchanged.
bool ids_from_py(PyObject* obj, const char* argname, NodeIds& out);
/// `None` or omitted (nullptr) gives no list.
bool optional_ids_from_py(PyObject* obj, const char* argname, std::optional<NodeIds>& out);
PyObject* ids_to_py(std::span<const NodeId> ids);

/// Exactly a Python bool.
bool bool_from_py(PyObject* obj, const char* argname, bool& out);

/// `params=`: None/omitted gives the empty map; otherwise a dict of str keys.
bool params_from_py(PyObject* obj, ParamMap& out);
PyObject* params_to_py(const ParamMap& map);
PyObject* param_value_to_py(const ParamValue& value);

/// Raises TypeError "argument 'NAME': MESSAGE" (or just MESSAGE without a name).
bool arg_type_error(const char* argname, const std::string& message);
/// Prefixes a pending TypeError with "argument 'NAME': "; other exceptions stay as they are.
void prefix_type_error(const char* argname);

}  // namespace vantrel::py
