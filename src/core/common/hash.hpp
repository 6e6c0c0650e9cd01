#pragma once
/// A small streaming hash for in-memory tables. Seeded tables (stores, reducers) pass a
/// per-process seed; tables whose iteration order must be the same on every run pass 0.
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "common/node_id.hpp"

namespace vantrel {

inline std::uint64_t mix64(std::uint64_t x) {
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ULL;
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ULL;
  x ^= x >> 32;
  return x;
}

class Hasher {
 public:
  explicit Hasher(std::uint64_t seed = 0) : h_(seed ^ 0x9e3779b97f4a7c15ULL) {}

  void add(std::uint64_t v) {
    h_ = (h_ ^ v) * 0x100000001b3ULL;
    h_ = (h_ << 29) | (h_ >> 35);
    h_ *= 0xbf58476d1ce4e5b9ULL;
  }

  void add_bytes(std::string_view s) {
    add(s.size());
    const char* p = s.data();
    std::size_t n = s.size();
    while (n >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      add(w);
      p += 8;
      n -= 8;
    }
    if (n > 0) {
      std::uint64_t w = 0;
      std::memcpy(&w, p, n);
      add(w);
    }
  }

  std::uint64_t finish() const { return mix64(h_); }

 private:
  std::uint64_t h_;
};

/// The hash of a node given by its head's id and its inputs' ids, under which every index of
/// nodes (a store's, a reducer's, the deduplication pass's) files it.
inline std::uint64_t hash_node(std::uint32_t head, std::span<const NodeId> inputs, std::uint64_t seed) {
  Hasher h(seed);
  h.add(head);
  for (NodeId id : inputs) h.add(id);
  return h.finish();
}

/// One random seed per process for tables that may be seeded (never for anything that
/// leaves the process or decides an iteration order).
std::uint64_t process_hash_seed();

}  // namespace vantrel
