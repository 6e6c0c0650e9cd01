#pragma once
// A per-object lock held for a scope, on interpreters without the global lock.
#include "py_ref.hpp"

namespace vantrel::py {

/// Locks `obj` for the scope, so that reading its items through borrowed pointers sees no
/// other thread's change. Other threads' changes can still come in while code run inside the
/// scope blocks (the interpreter suspends the lock then), so take strong references before
/// running code. With the global interpreter lock there is nothing to do. Leaving the scope by
/// an exception releases the lock too.
class CriticalSection {
 public:
#ifdef Py_GIL_DISABLED
  explicit CriticalSection(PyObject* obj) { PyCriticalSection_Begin(&section_, obj); }
  ~CriticalSection() { PyCriticalSection_End(&section_); }
#else
  explicit CriticalSection(PyObject*) {}
#endif
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
#ifdef Py_GIL_DISABLED
  PyCriticalSection section_;
#endif
};

}  // namespace vantrel::py
