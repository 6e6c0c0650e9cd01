#pragma once
// Conversions between Python values and core values. Each returns false (or nullptr) with a
// Python exception set when the value does not convert.
#include <span>
#include <string>
#include <vector>

#include "common/small_vec.hpp"
#include "ir/head_view.hpp"
#include "ir/node_key.hpp"
#include "py_ref.hpp"

namespace vantrel::py {

/// A `str` to UTF-8. Wrong type: TypeError, prefixed with "argument 'NAME': " when argname is
/// given; an unencodable str (lone surrogate) lets UnicodeEncodeError propagate.
bool str_from_py(PyObject* obj, const char* argname, std::string& out);
/// The same, viewing the str's own UTF-8 text (valid while the str lives).
bool str_view_from_py(PyObject* obj, const char* argname, std::string_view& out);
PyObject* str_to_py(std::string_view s);

/// A sequence of unsigned 64-bit ids (a `str` is refused), narrowed by `narrowing`. TypeErrors
/// carry the argument prefix; OverflowError for a negative or too large item propagates
/// unchanged.
bool ids_from_py(PyObject* obj, const char* argname, NodeIds& out, IdNarrowing& narrowing);
/// Appends the ids of an exact list or tuple of ints to `pool` without running any Python
/// code; false (nothing appended, nothing raised) when `obj` is anything else or an item
/// does not fit, and the caller takes the general conversion, which raises the right error.
bool append_plain_ids(PyObject* obj, NodeIds& pool, IdNarrowing& narrowing);
/// The same test for a short list or tuple, read into `room` (at most its size) with no
/// allocation; `n` is the count read. False (nothing raised) when `append_plain_ids` would
/// refuse it or it is longer than `room`.
bool read_plain_ids(PyObject* obj, std::span<NodeId> room, std::size_t& n, IdNarrowing& narrowing);
/// `None` or omitted (nullptr) gives no list.
bool optional_ids_from_py(PyObject* obj, const char* argname, std::optional<NodeIds>& out, IdNarrowing& narrowing);
PyObject* ids_to_py(std::span<const NodeId> ids);
/// A new list of `n` items, item i being the new reference `make_item(i)`; null with the
/// error set when one is null.
template <class MakeItem>
PyObject* list_of(std::size_t n, MakeItem&& make_item) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* v = make_item(i);
    if (v == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
  }
  return list.release();
}
/// One id as a Python int.
PyObject* id_to_py(NodeId id);

/// Exactly a Python bool.
bool bool_from_py(PyObject* obj, const char* argname, bool& out);

/// `params=`: None/omitted gives the empty map; otherwise a dict of str keys.
bool params_from_py(PyObject* obj, ParamMap& out);

/// The entries of a `params=` dict as views into its own key and value objects, which this
/// keeps alive; sorted by key like a map. Reading needs no allocation for small dicts.
class ParamViews {
 public:
  /// Same conversions and errors as `params_from_py`. The TypeErrors of a value of no
  /// supported kind and of a params argument that is not a dict carry a note saying what was
  /// expected and what was given (and, for a value, its key). A dict changed during the walk
  /// throws InternalFault, so callers run inside `guarded`.
  bool read(PyObject* obj);
  /// The same result, with no references taken when every key is an exact ASCII str and
  /// every value a bool or an exact int, float or ASCII str: reading such a dict runs no
  /// Python code. Only for a caller that runs no Python code before it is done with the
  /// views (the dict's own entries keep them alive until then).
  bool read_for_immediate_use(PyObject* obj);
  std::span<ParamEntryView> entries();
  ParamMap to_map();

 private:
  /// Params dicts hold a handful of entries: eight inline read nearly all of them with no
  /// allocation.
  static constexpr std::uint32_t kInline = 8;
  bool walk(PyObject* dict);
  bool read_plain(PyObject* dict);
  void push(const ParamEntryView& entry, Ref key, Ref value);

  const char* fault_ = nullptr;  ///< set when the dict changed during the walk
  SmallVec<ParamEntryView, kInline> entries_;
  SmallVec<Ref, 2 * kInline> holds_;  ///< each entry's key and value object
};
PyObject* params_to_py(const ParamMap& map);
PyObject* param_value_to_py(const ParamValue& value);

/// Raises TypeError "argument 'NAME': MESSAGE" (or just MESSAGE without a name).
bool arg_type_error(const char* argname, const std::string& message);
/// Refuses a str given where a list of node ids is expected (a str is a sequence, but of
/// characters): the fixed message, with a note saying what was expected and what was given.
bool str_ids_error(PyObject* obj, const char* argname);
/// Prefixes a pending TypeError with "argument 'NAME': "; other exceptions stay as they are.
void prefix_type_error(const char* argname);
/// True when `obj` may be walked item by item. A memoryview that is released, or that is not
/// one-dimensional (the interpreter cannot index it), is refused here with an error naming the
/// argument: ValueError for a released view, TypeError for the others; `what` says what the
/// items would have been read as.
bool walkable_view(PyObject* obj, const char* argname, const char* what);
/// The items of `obj` as a new tuple (PySequence_Tuple), refusing with MemoryError at once,
/// before any item is read, a claimed length whose references no memory could hold. A
/// broadcast array claims any length; some allocators (a free-threaded interpreter's among them)
/// grant such a block lazily, and the copy would then fill it until the system ran out.
PyObject* tuple_within_memory(PyObject* obj);

}  // namespace vantrel::py
