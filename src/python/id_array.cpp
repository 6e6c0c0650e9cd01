#include "id_array.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>

#include "convert.hpp"

namespace vantrel::py {

namespace {

/// The integer width and signedness of a buffer's format, or 0 when it is not one integer in
/// this machine's byte order ('?', floats, structs and foreign byte orders are refused).
int integer_format(const char* format, Py_ssize_t itemsize, bool& is_signed) {
  if (format == nullptr) format = "B";
  const bool little = std::endian::native == std::endian::little;
  switch (*format) {
    case '@':
    case '=': ++format; break;
    case '<':
      if (!little) return 0;
      ++format;
      break;
    case '>':
    case '!':
      if (little) return 0;
      ++format;
      break;
    default: break;
  }
  if (format[0] == '\0' || format[1] != '\0') return 0;
  if (std::strchr("bhilqn", format[0]) != nullptr) {
    is_signed = true;
  } else if (std::strchr("BHILQN", format[0]) != nullptr) {
    is_signed = false;
  } else {
    return 0;
  }
  return itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8 ? static_cast<int>(itemsize) : 0;
}

/// The most ids reserved before the rows are read (64 MiB of them): past it the ids grow as
/// the rows are read, so a claimed shape (see `read_rows`) never reserves more than that.
constexpr std::size_t kReserveAtMost = std::size_t{1} << 24;

template <class T>
T load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

/// Row by row, element by element, in one loop per element type.
template <class T>
void read_rows(const Py_buffer& view, std::vector<NodeId>& ids, std::vector<std::int64_t>& bad_row,
               IdNarrowing& narrowing) {
  const Py_ssize_t rows = view.shape[0], width = view.shape[1];
  const Py_ssize_t row_step = view.strides[0], step = view.strides[1];
  const char* base = static_cast<const char*>(view.buf);
  // The sizes come from the caller (a broadcast view claims any shape over one element): room
  // is made for a bounded part up front, the rest as rows are read, so that memory runs out
  // only if the rows really need it. The product fits: the caller bounds both sizes.
  ids.reserve(std::min(static_cast<std::size_t>(rows) * static_cast<std::size_t>(width), kReserveAtMost));
  for (Py_ssize_t i = 0; i < rows; ++i) {
    const char* row = base + i * row_step;
    bool negative = false;
    if constexpr (std::is_signed_v<T>) {
      for (Py_ssize_t j = 0; j < width; ++j) negative |= load<T>(row + j * step) < T{0};
    }
    if (negative) {
      for (Py_ssize_t j = 0; j < width; ++j) bad_row.push_back(static_cast<std::int64_t>(load<T>(row + j * step)));
      return;
    }
    for (Py_ssize_t j = 0; j < width; ++j) {
      ids.push_back(narrowing.narrow(static_cast<WideNodeId>(load<T>(row + j * step))));
    }
  }
}

/// False with ValueError set for more rows than a store can hold nodes, and with MemoryError
/// for more ids in all than memory could ever hold; nothing is reserved before this check.
bool sizes_possible(Py_ssize_t rows, Py_ssize_t width) {
  if (static_cast<std::uint64_t>(rows) > kMaxNodeCount) {
    PyErr_Format(PyExc_ValueError, "argument 'inputs': %zd rows are more nodes than a store can hold (%llu)", rows,
                 static_cast<unsigned long long>(kMaxNodeCount));
    return false;
  }
  if (width != 0 && static_cast<std::uint64_t>(rows) >
                        (std::uint64_t{1} << 60) / sizeof(NodeId) / static_cast<std::uint64_t>(width)) {
    PyErr_Format(PyExc_MemoryError, "argument 'inputs': %zd rows of %zd ids cannot be held in memory", rows, width);
    return false;
  }
  return true;
}

}  // namespace

bool IdArray::read(PyObject* obj, IdNarrowing& narrowing) {
  if (!PyObject_CheckBuffer(obj)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();  // an exporter that cannot give strides is read as a sequence
    return false;
  }
  bool is_signed = false;
  const int size = view.ndim == 2 ? integer_format(view.format, view.itemsize, is_signed) : 0;
  if (size != 0 && !sizes_possible(view.shape[0], view.shape[1])) {
    PyBuffer_Release(&view);
    return false;
  }
  if (size != 0) {
    rows_ = view.shape[0];
    width_ = static_cast<std::size_t>(view.shape[1]);
    switch (is_signed ? size : -size) {
      case 1: read_rows<std::int8_t>(view, ids_, bad_row_, narrowing); break;
      case 2: read_rows<std::int16_t>(view, ids_, bad_row_, narrowing); break;
      case 4: read_rows<std::int32_t>(view, ids_, bad_row_, narrowing); break;
      case 8: read_rows<std::int64_t>(view, ids_, bad_row_, narrowing); break;
      case -1: read_rows<std::uint8_t>(view, ids_, bad_row_, narrowing); break;
      case -2: read_rows<std::uint16_t>(view, ids_, bad_row_, narrowing); break;
      case -4: read_rows<std::uint32_t>(view, ids_, bad_row_, narrowing); break;
      default: read_rows<std::uint64_t>(view, ids_, bad_row_, narrowing); break;
    }
  }
  PyBuffer_Release(&view);
  return size != 0;
}

bool IdArray::bad_row(NodeIds& out, IdNarrowing& narrowing) const {
  Ref list = Ref::steal(list_of(bad_row_.size(), [&](std::size_t j) { return PyLong_FromLongLong(bad_row_[j]); }));
  return list && ids_from_py(list.get(), "inputs", out, narrowing);
}

}  // namespace vantrel::py
