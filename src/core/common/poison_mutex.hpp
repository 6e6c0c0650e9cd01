#pragma once
/// A mutex that remembers being abandoned by an exception. A guard that is destroyed while
/// an exception unwinds through it marks the mutex poisoned; every later lock attempt
/// throws InternalFault with the owner's message instead of touching half-updated state.
#include <exception>
#include <mutex>
#include <string>

#include "common/fault.hpp"

namespace vantrel {

class PoisonMutex {
 public:
  explicit PoisonMutex(const char* poisoned_message) : message_(poisoned_message) {}

  class Guard {
   public:
    explicit Guard(PoisonMutex& m) : m_(m), lock_(m.mutex_), exceptions_(std::uncaught_exceptions()) {
      if (m_.poisoned_) {
        lock_.unlock();
        throw InternalFault(m_.message_);
      }
    }
    ~Guard() {
      if (lock_.owns_lock() && std::uncaught_exceptions() > exceptions_) m_.poisoned_ = true;
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    /// Releases the lock early, before an exception that leaves the state whole: a guard
    /// that no longer holds the lock poisons nothing.
    void unlock() { lock_.unlock(); }

   private:
    PoisonMutex& m_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_;
  };

  /// Marks the mutex poisoned as if a holder had been abandoned (used by tests).
  void poison_for_testing() {
    std::lock_guard<std::mutex> lock(mutex_);
    poisoned_ = true;
  }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;  // guarded by mutex_
  const char* message_;
};

}  // namespace vantrel
