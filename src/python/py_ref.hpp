#pragma once
// Owning holder for a PyObject* strong reference: the only place that pairs increments with
// decrements, so method bodies never do reference bookkeeping by hand.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <utility>

namespace vantrel::py {

class Ref {
 public:
  Ref() = default;
  /// Takes over a new (strong) reference; a null pointer means "failed, exception set".
  static Ref steal(PyObject* p) { return Ref(p); }
  /// Adds a strong reference to a borrowed pointer.
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  /// Hands the reference to the caller (e.g. as a method's return value).
  PyObject* release() { return std::exchange(p_, nullptr); }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace vantrel::py
