#pragma once
// Long pure-C++ work without the interpreter lock, so that other Python threads keep running.
#include <exception>
#include <optional>
#include <utility>

#include "py_ref.hpp"

namespace vantrel::py {

/// Runs `fn` with the interpreter lock released and returns its result. `fn` must not touch
/// any Python object, and it must not wait for anything that a thread holding the
/// interpreter lock may hold while waiting for it: store and reducer locks qualify, since no
/// thread ever takes the interpreter lock while holding one of them. An exception thrown by
/// `fn` is rethrown once the lock is back.
template <class Fn>
auto without_gil(Fn&& fn) -> decltype(fn()) {
  std::optional<decltype(fn())> out;
  std::exception_ptr error;
  Py_BEGIN_ALLOW_THREADS
  try {
    out.emplace(fn());
  } catch (...) {
    error = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (error) std::rethrow_exception(error);
  return std::move(*out);
}

}  // namespace vantrel::py
