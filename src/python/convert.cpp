#include "convert.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "critical_section.hpp"
#include "errors.hpp"

namespace vantrel::py {

bool arg_type_error(const char* argname, const std::string& message) {
  if (argname != nullptr) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %s", argname, message.c_str());
  } else {
    PyErr_SetString(PyExc_TypeError, message.c_str());
  }
  return false;
}

void prefix_type_error(const char* argname) {
  if (argname == nullptr || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
  Ref exc = Ref::steal(take_exception());
  Ref text = Ref::steal(exc ? PyObject_Str(exc.get()) : nullptr);
  if (!text) return;  // the new exception from PyObject_Str is pending
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", argname, text.get());
}

namespace {
std::string type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }
}  // namespace

bool str_ids_error(PyObject* obj, const char* argname) {
  arg_type_error(argname, "Can't extract `str` to `Vec`");
  add_note("expected a list of node ids (ints), got %s", Py_TYPE(obj)->tp_name);
  return false;
}

PyObject* tuple_within_memory(PyObject* obj) {
  if (!PyTuple_CheckExact(obj) && !PyList_CheckExact(obj)) {  // their lengths are items held already
    const Py_ssize_t claimed = PyObject_Size(obj);
    if (claimed < 0) {
      PyErr_Clear();  // no length: the items are read as they come
    } else if (claimed > (Py_ssize_t{1} << 20)) {
      // The C allocator refuses what the machine cannot hold, and maps (not touches) the rest.
      const auto items = static_cast<std::size_t>(claimed);
      void* probe = items > SIZE_MAX / sizeof(PyObject*) ? nullptr : std::malloc(items * sizeof(PyObject*));
      if (probe == nullptr) return PyErr_NoMemory();
      std::free(probe);
    }
  }
  return PySequence_Tuple(obj);
}

bool walkable_view(PyObject* obj, const char* argname, const char* what) {
  if (!PyMemoryView_Check(obj)) return true;
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_FULL_RO) != 0) {
    // A released view: the interpreter's own ValueError, with the argument named.
    Ref raised = Ref::steal(take_exception());
    Ref text = Ref::steal(raised ? PyObject_Str(raised.get()) : nullptr);
    if (text) PyErr_Format(PyExc_ValueError, "argument '%s': %U", argname, text.get());
    return false;
  }
  const int ndim = view.ndim;
  const std::string format = view.format != nullptr ? view.format : "B";
  PyBuffer_Release(&view);
  if (ndim == 1) return true;
  PyErr_Format(PyExc_TypeError, "argument '%s': cannot read a %d-dimensional memoryview of format '%s' as %s", argname,
               ndim, format.c_str(), what);
  return false;
}

bool str_view_from_py(PyObject* obj, const char* argname, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    return arg_type_error(argname, "'" + type_name(obj) + "' object cannot be converted to 'str'");
  }
  if (PyUnicode_IS_COMPACT_ASCII(obj)) {  // its own bytes are its UTF-8: no conversion, no call
    out = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
    return true;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool str_from_py(PyObject* obj, const char* argname, std::string& out) {
  std::string_view view;
  if (!str_view_from_py(obj, argname, view)) return false;
  out.assign(view);
  return true;
}

PyObject* str_to_py(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
}

namespace {

bool id_from_item(PyObject* item, const char* argname, NodeId& out, IdNarrowing& narrowing) {
  WideNodeId wide;
  if (PyLong_Check(item)) {
    wide = PyLong_AsUnsignedLongLong(item);
  } else {
    Ref index = Ref::steal(PyNumber_Index(item));
    if (!index) {
      prefix_type_error(argname);
      return false;
    }
    wide = PyLong_AsUnsignedLongLong(index.get());
  }
  if (wide == static_cast<WideNodeId>(-1) && PyErr_Occurred()) return false;
  out = narrowing.narrow(wide);
  return true;
}

}  // namespace

bool append_plain_ids(PyObject* obj, NodeIds& pool, IdNarrowing& narrowing) {
#ifdef Py_GIL_DISABLED
  (void)obj;
  (void)pool;
  (void)narrowing;
  return false;
#else
  PyObject* const* items;
  Py_ssize_t size;
  if (PyList_CheckExact(obj)) {
    items = PySequence_Fast_ITEMS(obj);
    size = PyList_GET_SIZE(obj);
  } else if (PyTuple_CheckExact(obj)) {
    items = PySequence_Fast_ITEMS(obj);
    size = PyTuple_GET_SIZE(obj);
  } else {
    return false;
  }
  const std::size_t mark = pool.size();
  const auto need = static_cast<std::size_t>(size);
  if (pool.capacity() - mark < need)
    pool.reserve(std::max(pool.capacity() * 2, mark + need));  // keeps growth geometric
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (!PyLong_Check(items[i])) break;
    const WideNodeId id = PyLong_AsUnsignedLongLong(items[i]);
    if (id == static_cast<WideNodeId>(-1) && PyErr_Occurred()) {
      PyErr_Clear();  // the general conversion raises it again
      break;
    }
    pool.push_back(narrowing.narrow(id));
  }
  if (pool.size() - mark == static_cast<std::size_t>(size)) return true;
  pool.resize(mark);
  return false;
#endif
}

bool read_plain_ids(PyObject* obj, std::span<NodeId> room, std::size_t& n, IdNarrowing& narrowing) {
#ifdef Py_GIL_DISABLED
  (void)obj;
  (void)room;
  (void)n;
  (void)narrowing;
  return false;
#else
  Py_ssize_t size;
  if (PyList_CheckExact(obj)) {
    size = PyList_GET_SIZE(obj);
  } else if (PyTuple_CheckExact(obj)) {
    size = PyTuple_GET_SIZE(obj);
  } else {
    return false;
  }
  if (static_cast<std::size_t>(size) > room.size()) return false;
  PyObject* const* items = PySequence_Fast_ITEMS(obj);
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (!PyLong_Check(items[i])) return false;
    const WideNodeId id = PyLong_AsUnsignedLongLong(items[i]);
    if (id == static_cast<WideNodeId>(-1) && PyErr_Occurred()) {
      PyErr_Clear();  // the general conversion raises it again
      return false;
    }
    room[static_cast<std::size_t>(i)] = narrowing.narrow(id);
  }
  n = static_cast<std::size_t>(size);
  return true;
#endif
}

bool ids_from_py(PyObject* obj, const char* argname, NodeIds& out, IdNarrowing& narrowing) {
  out.clear();
  if (append_plain_ids(obj, out, narrowing)) return true;
  if (PyUnicode_Check(obj)) return str_ids_error(obj, argname);
  if (!PySequence_Check(obj)) {
    return arg_type_error(argname, "'" + type_name(obj) + "' object cannot be converted to 'Sequence'");
  }
  if (!walkable_view(obj, argname, "node ids")) return false;
#ifndef Py_GIL_DISABLED
  // Fast path: with the interpreter lock held and exact ints, no Python code runs between
  // item reads, so borrowed items stay valid.
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    const bool is_list = PyList_CheckExact(obj);
    out.reserve(static_cast<std::size_t>(is_list ? PyList_GET_SIZE(obj) : PyTuple_GET_SIZE(obj)));
    for (Py_ssize_t i = 0;; ++i) {
      const Py_ssize_t n = is_list ? PyList_GET_SIZE(obj) : PyTuple_GET_SIZE(obj);
      if (i >= n) return true;
      PyObject* item = is_list ? PyList_GET_ITEM(obj, i) : PyTuple_GET_ITEM(obj, i);
      Ref hold = Ref::borrow(item);  // __index__ of a non-int item may mutate the list
      NodeId id;
      if (!id_from_item(item, argname, id, narrowing)) return false;
      out.push_back(id);
    }
  }
#endif
  // Room for the items the sequence claims, made before any is read: a length no memory could
  // hold (a broadcast array claims any) is a MemoryError at once, not after hours of reading.
  if (const Py_ssize_t claimed = PyObject_Size(obj); claimed > 0) {
    try {
      out.reserve(static_cast<std::size_t>(claimed));
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return false;
    } catch (const std::length_error&) {
      PyErr_NoMemory();
      return false;
    }
  } else if (claimed < 0) {
    PyErr_Clear();  // no length: the items are read as they come
  }
  Ref it = Ref::steal(PyObject_GetIter(obj));
  if (!it) {
    prefix_type_error(argname);
    return false;
  }
  while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
    NodeId id;
    if (!id_from_item(item.get(), argname, id, narrowing)) return false;
    out.push_back(id);
  }
  if (PyErr_Occurred()) {
    prefix_type_error(argname);
    return false;
  }
  return true;
}

bool optional_ids_from_py(PyObject* obj, const char* argname, std::optional<NodeIds>& out, IdNarrowing& narrowing) {
  out.reset();
  if (obj == nullptr || obj == Py_None) return true;
  NodeIds ids;
  if (!ids_from_py(obj, argname, ids, narrowing)) return false;
  out = std::move(ids);
  return true;
}

PyObject* id_to_py(NodeId id) {
  // The signed constructor has a short path for one-digit values, which most ids are.
  if constexpr (sizeof(long) > sizeof(NodeId)) {
    return PyLong_FromLong(static_cast<long>(id));
  } else {
    if (id <= static_cast<NodeId>(LONG_MAX)) return PyLong_FromLong(static_cast<long>(id));
    return PyLong_FromUnsignedLongLong(id);
  }
}

PyObject* ids_to_py(std::span<const NodeId> ids) {
  return list_of(ids.size(), [&](std::size_t i) { return id_to_py(ids[i]); });
}

bool bool_from_py(PyObject* obj, const char* argname, bool& out) {
  if (!PyBool_Check(obj)) {
    return arg_type_error(argname, "'" + type_name(obj) + "' object cannot be converted to 'bool'");
  }
  out = obj == Py_True;
  return true;
}

namespace {

/// Tries the value kinds in order (bool, 64-bit int, float, str); the errors of failed
/// attempts are discarded. A str value is viewed in place: the caller keeps it alive.
bool param_value_from_py(PyObject* v, ParamValueView& out) {
  auto bad_value = [] {
    PyErr_SetString(PyExc_TypeError, "param values must be int, float, bool, or str");
    return false;
  };
  auto set_str = [&out](PyObject* str) {
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
      out.kind = ParamValue::Str;
      out.s = std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                               static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
      return true;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) return false;
    out.kind = ParamValue::Str;
    out.s = std::string_view(data, static_cast<std::size_t>(size));
    return true;
  };
  if (PyBool_Check(v)) {
    out.kind = ParamValue::Bool;
    out.b = v == Py_True;
    return true;
  }
  // Exact int, float and str cannot have an __index__ or __float__ of their own, so they are
  // classified directly, with the result the trials below would give. This skips the
  // formatted exceptions of failed trials, which cost more than the rest of a call.
  if (PyLong_CheckExact(v)) {
    int overflow = 0;
    const long long i = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow == 0) {
      out.kind = ParamValue::Int;
      out.i = i;
      return true;
    }
    const double d = PyLong_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return bad_value();
    }
    out.kind = ParamValue::Float;
    out.f = d;
    return true;
  }
  if (PyFloat_CheckExact(v)) {
    out.kind = ParamValue::Float;
    out.f = PyFloat_AS_DOUBLE(v);
    return true;
  }
  if (PyUnicode_CheckExact(v)) {
    if (set_str(v)) return true;
    PyErr_Clear();
    return bad_value();
  }
  const long long i = PyLong_AsLongLong(v);
  if (!(i == -1 && PyErr_Occurred())) {
    out.kind = ParamValue::Int;
    out.i = i;
    return true;
  }
  PyErr_Clear();
  const double d = PyFloat_AsDouble(v);
  if (!(d == -1.0 && PyErr_Occurred())) {
    out.kind = ParamValue::Float;
    out.f = d;
    return true;
  }
  PyErr_Clear();
  if (PyUnicode_Check(v)) {
    if (set_str(v)) return true;
    PyErr_Clear();
  }
  return bad_value();
}

}  // namespace

namespace {

/// Notes on the pending TypeError of a bad value which key it was and what it held: the
/// fixed message names neither.
void note_bad_value(PyObject* key, PyObject* value) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  // The only ints and strs refused are those no parameter value can hold.
  if (PyLong_Check(value)) {
    add_note("params key %R: expected int, float, bool or str, got an int too large for a float", key);
  } else if (PyUnicode_Check(value)) {
    add_note("params key %R: expected int, float, bool or str, got a str that cannot be encoded as UTF-8", key);
  } else {
    add_note("params key %R: expected int, float, bool or str, got %s", key, Py_TYPE(value)->tp_name);
  }
}

}  // namespace

bool ParamViews::walk(PyObject* dict) {
  const Py_ssize_t initial = PyDict_Size(dict);
  Py_ssize_t pos = 0, seen = 0;
  PyObject *k, *v;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    // Strong references: a value's __index__/__float__ may mutate the dict, and the views
    // point into these objects' text.
    Ref key = Ref::borrow(k), value = Ref::borrow(v);
    if (++seen > initial) {
      fault_ = "dictionary keys changed during iteration";
      return false;
    }
    ParamEntryView entry;
    if (!str_view_from_py(key.get(), nullptr, entry.key)) return false;
    if (!param_value_from_py(value.get(), entry.value)) {
      note_bad_value(key.get(), value.get());
      return false;
    }
    if (PyDict_Size(dict) != initial) {
      fault_ = "dictionary changed size during iteration";
      return false;
    }
    push(entry, std::move(key), std::move(value));
  }
  return true;
}

void ParamViews::push(const ParamEntryView& entry, Ref key, Ref value) {
  entries_.push_back(entry);
  holds_.push_back(std::move(key));
  holds_.push_back(std::move(value));
}

std::span<ParamEntryView> ParamViews::entries() { return {entries_.data(), entries_.size()}; }

bool ParamViews::read(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyDict_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "params must be a dict or None");
    add_note("expected a dict of str keys to int, float, bool or str values, or None; got %s", Py_TYPE(obj)->tp_name);
    return false;
  }
  bool ok;
  {
    const CriticalSection locked(obj);  // released on every way out, a thrown bad_alloc's too
    ok = walk(obj);
  }
  // A dict changed by a value's own conversion is a caller's programming error, reported as
  // an internal fault (thrown outside the critical section).
  if (fault_ != nullptr) throw InternalFault(fault_);
  if (ok) sort_entries(entries());
  return ok;
}

bool ParamViews::read_for_immediate_use(PyObject* obj) {
  if (obj != nullptr && read_plain(obj)) return true;  // already in key order
  return read(obj);
}

#ifndef Py_GIL_DISABLED  // read_plain walks borrowed items only under the global lock
namespace {
/// `a.key < b.key`, deciding most pairs by their first bytes without a library call.
bool key_before(const ParamEntryView& a, const ParamEntryView& b) {
  if (!a.key.empty() && !b.key.empty() && a.key[0] != b.key[0]) {
    return static_cast<unsigned char>(a.key[0]) < static_cast<unsigned char>(b.key[0]);
  }
  return a.key < b.key;
}
}  // namespace
#endif

bool ParamViews::read_plain(PyObject* dict) {
#ifdef Py_GIL_DISABLED
  (void)dict;
  return false;
#else
  if (!PyDict_CheckExact(dict)) return false;
  auto ascii = [](PyObject* s) {
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(s)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)));
  };
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    ParamEntryView e;
    bool plain = PyUnicode_CheckExact(k) && PyUnicode_IS_COMPACT_ASCII(k);
    if (plain) {
      e.key = ascii(k);
      if (PyBool_Check(v)) {
        e.value.kind = ParamValue::Bool;
        e.value.b = v == Py_True;
      } else if (PyLong_CheckExact(v)) {
        int overflow = 0;
        e.value.kind = ParamValue::Int;
        e.value.i = PyLong_AsLongLongAndOverflow(v, &overflow);
        plain = overflow == 0;
      } else if (PyFloat_CheckExact(v)) {
        e.value.kind = ParamValue::Float;
        e.value.f = PyFloat_AS_DOUBLE(v);
      } else if (PyUnicode_CheckExact(v) && PyUnicode_IS_COMPACT_ASCII(v)) {
        e.value.kind = ParamValue::Str;
        e.value.s = ascii(v);
      } else {
        plain = false;
      }
    }
    if (!plain) {
      entries_.clear();
      return false;
    }
    // Kept in key order as they come (a dict's keys are distinct, so no ties): this is
    // `sort_entries` for the few entries params have, without a second pass.
    std::size_t at = entries_.size();
    if (at < kInsertionSortMax) {  // past it, sorted below, without quadratic insertion
      while (at > 0 && key_before(e, entries_[at - 1])) --at;
    }
    entries_.push_back(e);
    if (at + 1 < entries_.size()) {
      ParamEntryView* data = entries_.data();
      std::move_backward(data + at, data + entries_.size() - 1, data + entries_.size());
      data[at] = e;
    }
  }
  if (entries_.size() > kInsertionSortMax) sort_entries(entries());
  return true;
#endif
}

ParamMap ParamViews::to_map() {
  std::vector<ParamEntry> owned;
  owned.reserve(entries_.size());
  for (const ParamEntryView& e : entries()) owned.push_back(ParamEntry{std::string(e.key), e.value.to_value()});
  return ParamMap::make(std::move(owned));
}

bool params_from_py(PyObject* obj, ParamMap& out) {
  ParamViews views;
  if (!views.read(obj)) return false;
  out = views.to_map();
  return true;
}

PyObject* param_value_to_py(const ParamValue& value) {
  switch (value.kind()) {
    case ParamValue::Int: return PyLong_FromLongLong(value.as_int());
    case ParamValue::Float: return PyFloat_FromDouble(value.as_float());
    case ParamValue::Bool: return PyBool_FromLong(value.as_bool());
    case ParamValue::Str: return str_to_py(value.as_str());
  }
  Py_RETURN_NONE;
}

PyObject* params_to_py(const ParamMap& map) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const ParamEntry& e : map.entries()) {
    Ref key = Ref::steal(str_to_py(e.key));
    Ref value = Ref::steal(param_value_to_py(e.value));
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace vantrel::py
