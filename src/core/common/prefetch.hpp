#pragma once
/// `prefetch_line`: a hint that the cache line at an address is read soon, and how far ahead
/// the loops over tables larger than the caches fetch what they will read.
///
/// The compiler treats the prefetch builtin as having no effect, so a small function whose
/// only work is such a hint (a table's "fetch the slot of this key") is inferred to be free
/// of side effects, and calls to it are deleted whole. The empty volatile statement that
/// takes the address keeps the hint and everything computing it.
#include <cstddef>

namespace vantrel {

/// How far ahead the loops over classes, e-nodes and table slots scattered in memory fetch what
/// they will read: far enough to hide a miss, near enough that the line is still in the cache.
inline constexpr std::size_t kFetchAhead = 8;
/// The same for loops that do so little per item (the e-graph search matching a pattern's
/// root against a class's e-nodes) that eight items ahead the fetch is not back yet.
inline constexpr std::size_t kFetchFarAhead = 32;

inline void prefetch_line(const void* address) {
  __builtin_prefetch(address);
  asm volatile("" : : "r"(address));
}

}  // namespace vantrel
