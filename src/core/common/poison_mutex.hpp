#pragma once
/// A mutex that remembers being abandoned by an exception. A holder that an exception leaves
/// while it holds the lock marks the mutex poisoned; every later lock attempt throws
/// InternalFault with the owner's message instead of touching half-updated state.
///
/// A shortage of memory (std::bad_alloc, or std::length_error for a size no container can
/// hold) does not poison through `locked`: every section run under a store's, reducer's or
/// symbol table's lock either makes its room before it changes anything or puts back what it
/// changed, so such a failure leaves the object whole and usable. A `Guard` cannot tell the
/// exception in flight: its holders release it early (`unlock`) for these two.
///
/// The lock is one atomic word (0 free, 1 held, 2 held with waiters), taken by a single
/// compare-and-swap when nobody else holds it. Stores and reducers take it once per call,
/// and most calls are short and uncontended, so the uncontended path is what matters; a
/// waiter spins briefly, then sleeps on the word (a futex on Linux) until it is released.
#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "common/fault.hpp"

namespace vantrel {

class PoisonMutex {
 public:
  explicit PoisonMutex(const char* poisoned_message) : message_(poisoned_message) {}
  PoisonMutex(const PoisonMutex&) = delete;
  PoisonMutex& operator=(const PoisonMutex&) = delete;

  /// Holds the lock for a scope. A guard destroyed while an exception unwinds through it
  /// poisons the mutex. (`locked` does the same without asking the runtime how many
  /// exceptions are in flight, which costs two calls per hold: prefer it on hot paths.)
  class Guard {
   public:
    explicit Guard(PoisonMutex& m) : m_(m), exceptions_(std::uncaught_exceptions()) {
      m_.lock();
      owns_ = true;
    }
    ~Guard() {
      if (!owns_) return;
      if (std::uncaught_exceptions() > exceptions_) m_.poisoned_ = true;
      m_.unlock();
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    /// Releases the lock early, before an exception that leaves the state whole: a guard
    /// that no longer holds the lock poisons nothing.
    void unlock() {
      if (!owns_) return;
      owns_ = false;
      m_.unlock();
    }

   private:
    PoisonMutex& m_;
    int exceptions_;
    bool owns_ = false;
  };

  /// Runs fn() with the lock held and returns its result. An exception that leaves fn
  /// poisons the mutex and goes on; a poisoned mutex throws before fn runs.
  template <class Fn>
  decltype(auto) locked(Fn&& fn) {
    lock();
    struct Release {
      PoisonMutex& m;
      ~Release() { m.unlock(); }
    } release{*this};
    try {
      return fn();
    } catch (const std::bad_alloc&) {
      throw;  // the section left its state whole (see above)
    } catch (const std::length_error&) {
      throw;
    } catch (...) {
      poisoned_ = true;  // still held: the lock is released as the exception leaves
      throw;
    }
  }

  /// Marks the mutex poisoned as if a holder had been abandoned (used by tests).
  void poison_for_testing() {
    lock();
    poisoned_ = true;
    unlock();
  }

 private:
  static constexpr std::uint32_t kFree = 0, kHeld = 1, kContended = 2;

  /// Takes the lock; throws (holding nothing) when the mutex is poisoned.
  void lock() {
    std::uint32_t expected = kFree;
    if (!state_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire, std::memory_order_relaxed)) {
      lock_contended();
    }
    if (poisoned_) {
      unlock();
      throw InternalFault(message_);
    }
  }

  void unlock() {
    if (state_.exchange(kFree, std::memory_order_release) == kContended) state_.notify_one();
  }

  // Out of line: keeps the uncontended path small enough to inline into every caller.
  [[gnu::noinline]] void lock_contended() {
    // A holder usually leaves within a few hundred cycles: spin a little before sleeping.
    for (int spin = 0; spin < 64; ++spin) {
      std::uint32_t expected = kFree;
      if (state_.load(std::memory_order_relaxed) == kFree &&
          state_.compare_exchange_weak(expected, kHeld, std::memory_order_acquire, std::memory_order_relaxed)) {
        return;
      }
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
    // Mark the lock contended, so that its holder wakes a sleeper when it leaves. Whoever
    // takes it from here on takes it as contended: at worst one needless wake-up.
    while (state_.exchange(kContended, std::memory_order_acquire) != kFree) state_.wait(kContended);
  }

  std::atomic<std::uint32_t> state_{kFree};
  bool poisoned_ = false;  // guarded by the lock
  const char* message_;
};

}  // namespace vantrel
