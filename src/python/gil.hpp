#pragma once
// Long pure-C++ work without the interpreter lock, so that other Python threads keep running.
#include <exception>
#include <optional>
#include <utility>

#include "common/poison_mutex.hpp"
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

/// Runs `fn`, which takes a store's or reducer's lock, with the interpreter lock held when the
/// lock is free, as every uncontended call does; when it is held by another thread, `fn` is
/// run again from the start without the interpreter lock, so that the wait does not stop
/// other Python threads. `fn` must touch no Python object and must change nothing before its
/// lock attempts (a lock attempt that would wait throws before the lock is taken). This keeps
/// the lock order: no thread ever waits for the interpreter lock while it holds an object lock.
template <class Fn>
auto waiting_without_gil(Fn&& fn) -> decltype(fn()) {
  {
    NoWaitScope no_wait;
    try {
      return fn();
    } catch (const WouldWait&) {
    }
  }
  return without_gil(fn);
}

}  // namespace vantrel::py
