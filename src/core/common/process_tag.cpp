#include <mutex>

#include "common/poison_mutex.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#include <unistd.h>
#endif

namespace vantrel::detail {

namespace {

std::uint32_t current_tag() noexcept {
#if defined(__unix__) || defined(__APPLE__)
  // Process ids stay below 2^22 on Linux; 30 bits leave room for any, and 0 never occurs.
  const auto tag = static_cast<std::uint32_t>(getpid()) & 0x3FFFFFFFu;
  return tag != 0 ? tag : 1;
#else
  return 1;
#endif
}

void after_fork_in_child() { process_tag_cache.store(current_tag(), std::memory_order_relaxed); }

}  // namespace

std::uint32_t process_tag_slow() noexcept {
  static std::once_flag registered;
  std::call_once(registered, [] {
#if defined(__unix__) || defined(__APPLE__)
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
#endif
  });
  const std::uint32_t tag = current_tag();
  process_tag_cache.store(tag, std::memory_order_relaxed);
  return tag;
}

}  // namespace vantrel::detail
