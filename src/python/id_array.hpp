#pragma once
// Node inputs given as a two-dimensional array of ints (any object that exports such a
// buffer: a NumPy array, a cast memoryview): row i holds the inputs of node i.
#include <cstdint>
#include <span>
#include <vector>

#include "common/node_id.hpp"
#include "py_ref.hpp"

namespace vantrel::py {

class IdArray {
 public:
  /// Reads `obj` whole, when it exports a two-dimensional buffer of integers in this machine's
  /// byte order; false (nothing raised) for anything else, which the caller reads as a
  /// sequence. Sizes no store or memory could hold are false with ValueError (rows past the
  /// id limit) or MemoryError set. Reading stops at the first row holding a negative value: the rows before it
  /// are read, and `bad_row()` converts that row as a list of its values would convert,
  /// raising the same error.
  bool read(PyObject* obj, IdNarrowing& narrowing);

  Py_ssize_t rows() const { return rows_; }
  /// Rows read; `rows()` unless a row holds a negative value.
  Py_ssize_t rows_read() const { return width_ == 0 ? rows_ : static_cast<Py_ssize_t>(ids_.size() / width_); }
  /// The inputs of the rows read, all told.
  std::size_t inputs_read() const { return ids_.size(); }
  std::span<const NodeId> row(Py_ssize_t i) const {
    return std::span<const NodeId>(ids_).subspan(static_cast<std::size_t>(i) * width_, width_);
  }
  /// Converts the first row not read as `ids_from_py` converts a list of its values: false
  /// with that error set (or, should it convert, its ids in `out`).
  bool bad_row(NodeIds& out, IdNarrowing& narrowing) const;

 private:
  Py_ssize_t rows_ = 0;
  std::size_t width_ = 0;
  NodeIds ids_;                        // the rows read, one after another
  std::vector<std::int64_t> bad_row_;  // the values of the first row not read
};

}  // namespace vantrel::py
