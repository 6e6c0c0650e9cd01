#include "id_array.hpp"

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
  ids.reserve(static_cast<std::size_t>(rows * width));
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
