#pragma once
// The boundary between C++ and the interpreter: every entry point runs its body through
// `guarded`, so no C++ exception ever crosses into Python. Internal faults become the
// module's internal-fault exception (a direct subclass of BaseException), out-of-memory
// becomes MemoryError.
#include <new>
#include <string>

#include "common/fault.hpp"
#include "py_ref.hpp"
#include "store/graph_store.hpp"

namespace vantrel::py {

/// Creates the internal-fault exception class once per process; returns false with an
/// exception set on failure.
bool init_internal_fault_type();
/// Raises the internal-fault exception with this message; returns nullptr.
PyObject* raise_internal_fault(const std::string& message);
/// Raises ValueError "no node with id N"; returns nullptr.
PyObject* map_err(BadNodeId bad);

template <class Fn>
auto guarded(Fn&& fn) -> decltype(fn()) {
  try {
    return fn();
  } catch (const InternalFault& e) {
    raise_internal_fault(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_fault(e.what());
  } catch (...) {
    raise_internal_fault("unknown internal fault");
  }
  if constexpr (std::is_same_v<decltype(fn()), int>) {
    return -1;
  } else {
    return nullptr;
  }
}

}  // namespace vantrel::py

