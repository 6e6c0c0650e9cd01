#pragma once
// Holds off the cycle collector while a view builds many containers that form no cycles.
#include "py_ref.hpp"

namespace vantrel::py {

/// Building a large view allocates a few containers per node and frees none; every few
/// hundred of them the collector would otherwise walk the whole growing heap, which takes more
/// than half the build time, to find nothing. The pause changes nothing another thread could
/// see: the builder keeps the interpreter lock and runs no Python code. A free-threaded build
/// has no such lock, so there the collector is left alone.
class GcPause {
 public:
#ifdef Py_GIL_DISABLED
  GcPause() = default;
#else
  GcPause() : was_enabled_(PyGC_Disable() != 0) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  bool was_enabled_;
#endif
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;
};

}  // namespace vantrel::py
