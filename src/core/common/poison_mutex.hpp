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
/// The lock is one atomic word: its low two bits say free (0), held (1) or held with waiters
/// (2), the rest names the process that took it. It is taken by a single compare-and-swap
/// when nobody else holds it. Stores and reducers take it once per call, and most calls are
/// short and uncontended, so the uncontended path is what matters; a waiter spins briefly,
/// then sleeps on the word (a futex on Linux) until it is released.
///
/// A process forked while another thread held the lock inherits a word held by a thread that
/// does not exist in it: a waiter that finds the lock held by another process throws
/// HeldAtFork instead of waiting for ever. A thread may also ask (`NoWaitScope`) to be told
/// with WouldWait instead of sleeping, so that it can wait elsewhere (the binding waits
/// without the interpreter lock).
#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "common/fault.hpp"

namespace vantrel {

/// The lock's owner is not in this process: it was held when this process was forked from
/// the one that holds it, and nothing here will ever release it.
class HeldAtFork : public std::runtime_error {
 public:
  HeldAtFork() : std::runtime_error("this object was in use by another thread when the process forked") {}
};

/// Thrown instead of sleeping, on a thread inside a `NoWaitScope`, before the lock is taken.
struct WouldWait {};

namespace detail {
inline std::atomic<std::uint32_t> process_tag_cache{0};
std::uint32_t process_tag_slow() noexcept;
}  // namespace detail

/// The tag of this process in a lock word (its id, kept current across forks): never 0.
inline std::uint32_t process_tag() noexcept {
  const std::uint32_t tag = detail::process_tag_cache.load(std::memory_order_relaxed);
  return tag != 0 ? tag : detail::process_tag_slow();
}

namespace detail {
inline thread_local int no_wait_depth = 0;
}

/// While one is alive, a lock attempt of this thread that would sleep throws WouldWait.
class NoWaitScope {
 public:
  NoWaitScope() { ++detail::no_wait_depth; }
  ~NoWaitScope() { --detail::no_wait_depth; }
  NoWaitScope(const NoWaitScope&) = delete;
  NoWaitScope& operator=(const NoWaitScope&) = delete;
};

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
    } catch (const WouldWait&) {
      throw;  // from a nested lock, before anything it guards changed
    } catch (const HeldAtFork&) {
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

  /// In a process forked while the lock was held by another thread: makes the lock free. Only
  /// for locks whose state is known to be whole at the fork (held by the forking thread
  /// itself, as the symbol table's are around a fork).
  void reset_after_fork() { state_.store(kFree, std::memory_order_relaxed); }

  /// For fork handlers: takes the lock whatever its poisoned flag says (waiting for its holder
  /// like any waiter, never throwing), and releases it.
  void lock_for_fork() noexcept {
    const std::uint32_t me = process_tag() << 2;
    for (;;) {
      std::uint32_t cur = state_.load(std::memory_order_relaxed);
      if (cur == kFree) {
        if (state_.compare_exchange_weak(cur, me | kContended, std::memory_order_acquire, std::memory_order_relaxed))
          return;
        continue;
      }
      const std::uint32_t sleeping = (cur & ~kStateBits) | kContended;
      if (cur != sleeping &&
          !state_.compare_exchange_weak(cur, sleeping, std::memory_order_relaxed, std::memory_order_relaxed)) {
        continue;
      }
      state_.wait(sleeping, std::memory_order_relaxed);
    }
  }
  void unlock_for_fork() noexcept { unlock(); }

 private:
  static constexpr std::uint32_t kFree = 0, kHeld = 1, kContended = 2, kStateBits = 3;

  /// Takes the lock; throws (holding nothing) when the mutex is poisoned.
  void lock() {
    const std::uint32_t me = process_tag() << 2;
    std::uint32_t expected = kFree;
    if (!state_.compare_exchange_strong(expected, me | kHeld, std::memory_order_acquire, std::memory_order_relaxed)) {
      lock_contended(me);
    }
    if (poisoned_) {
      unlock();
      throw InternalFault(message_);
    }
  }

  void unlock() {
    if ((state_.exchange(kFree, std::memory_order_release) & kStateBits) == kContended) state_.notify_one();
  }

  // Out of line: keeps the uncontended path small enough to inline into every caller.
  [[gnu::noinline]] void lock_contended(std::uint32_t me) {
    // A holder usually leaves within a few hundred cycles: spin a little before sleeping.
    for (int spin = 0; spin < 64; ++spin) {
      std::uint32_t expected = kFree;
      if (state_.load(std::memory_order_relaxed) == kFree &&
          state_.compare_exchange_weak(expected, me | kHeld, std::memory_order_acquire, std::memory_order_relaxed)) {
        return;
      }
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
    for (;;) {
      std::uint32_t cur = state_.load(std::memory_order_relaxed);
      if (cur == kFree) {
        // Taken as contended: whoever sleeps now or later is woken when it is released (at
        // worst one needless wake-up).
        if (state_.compare_exchange_weak(cur, me | kContended, std::memory_order_acquire, std::memory_order_relaxed)) {
          return;
        }
        continue;
      }
      if ((cur & ~kStateBits) != me) throw HeldAtFork();
      if (detail::no_wait_depth > 0) throw WouldWait{};
      const std::uint32_t sleeping = (cur & ~kStateBits) | kContended;
      if (cur != sleeping &&
          !state_.compare_exchange_weak(cur, sleeping, std::memory_order_relaxed, std::memory_order_relaxed)) {
        continue;
      }
      state_.wait(sleeping, std::memory_order_relaxed);
    }
  }

  std::atomic<std::uint32_t> state_{kFree};
  bool poisoned_ = false;  // guarded by the lock
  const char* message_;
};

}  // namespace vantrel
