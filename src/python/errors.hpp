#pragma once
// The boundary between C++ and the interpreter: every entry point runs its body through
// `guarded`, so no C++ exception ever crosses into Python. Internal faults become the
// module's internal-fault exception (a direct subclass of BaseException), out-of-memory
// becomes MemoryError.
#include <new>
#include <stdexcept>
#include <string>

#include "common/fault.hpp"
#include "common/poison_mutex.hpp"
#include "py_ref.hpp"
#include "store/graph_store.hpp"

namespace vantrel::py {

/// Creates the internal-fault exception class (one per module object); new reference or
/// nullptr.
PyObject* create_internal_fault_type();
/// Raises the internal-fault exception of the module that `owner` belongs to (see
/// `state_of`) with this message; returns nullptr.
PyObject* raise_internal_fault(PyObject* owner, const std::string& message);
/// Raises ValueError "no node with id N"; returns nullptr.
PyObject* map_err(BadNodeId bad);
/// The same for an id refused from a request narrowed by `given`: N is the id as given.
inline PyObject* map_err(BadNodeId bad, const IdNarrowing& given) { return map_err(BadNodeId{given.as_given(bad.id)}); }

/// Takes the pending exception out of the error indicator, normalized and carrying its
/// traceback; a new reference, or nullptr when none is pending.
PyObject* take_exception();
/// Makes `exc` (a reference this call takes over; nullptr does nothing) the pending exception.
void restore_exception(PyObject* exc);

/// Adds a note (PEP 678) to the pending exception, leaving its type and message as they are:
/// through the exception's `add_note` method where the interpreter has one, else appended to
/// its `__notes__` list as `add_note` would (3.10 has no `add_note` and prints no notes, but
/// code that reads them finds them). The text is made by PyUnicode_FromFormat. Nothing
/// pending does nothing; a note that cannot be added is dropped, and the original exception
/// stays pending.
void add_note(const char* format, ...);

/// Runs `fn`, turning C++ exceptions into Python ones. `owner` is the method's receiver,
/// which leads to the module whose internal-fault class is raised; it is looked up only then.
template <class Fn>
auto guarded(PyObject* owner, Fn&& fn) -> decltype(fn()) {
  try {
    return fn();
  } catch (const InternalFault& e) {
    raise_internal_fault(owner, e.what());
  } catch (const HeldAtFork& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();  // a size no container can hold: memory that cannot be had
  } catch (const std::exception& e) {
    raise_internal_fault(owner, e.what());
  } catch (...) {
    raise_internal_fault(owner, "unknown internal fault");
  }
  if constexpr (std::is_same_v<decltype(fn()), int>) {
    return -1;
  } else {
    return nullptr;
  }
}

}  // namespace vantrel::py
