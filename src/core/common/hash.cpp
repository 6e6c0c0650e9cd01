#include "common/hash.hpp"

#include <chrono>
#include <random>

namespace vantrel {

std::uint64_t process_hash_seed() {
  static const std::uint64_t seed = [] {
    std::random_device rd;
    std::uint64_t s = (std::uint64_t{rd()} << 32) ^ rd();
    s ^= static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return mix64(s);
  }();
  return seed;
}

}  // namespace vantrel
