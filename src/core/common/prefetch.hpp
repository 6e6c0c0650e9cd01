#pragma once
/// `prefetch_line`: a hint that the cache line at an address is read soon.
///
/// The compiler treats the prefetch builtin as having no effect, so a small function whose
/// only work is such a hint (a table's "fetch the slot of this key") is inferred to be free
/// of side effects, and calls to it are deleted whole. The empty volatile statement that
/// takes the address keeps the hint and everything computing it.
namespace vantrel {

inline void prefetch_line(const void* address) {
  __builtin_prefetch(address);
  asm volatile("" : : "r"(address));
}

}  // namespace vantrel
