#pragma once
// Helpers shared by the e-graph tests: symbols from text, and a small seeded generator for
// random graphs that every platform draws alike.
#include <cstdint>
#include <string>

#include "egraph/symbol.hpp"

namespace vantrel::egraph::testing {

inline GlobalSymbol sym(const std::string& t) { return GlobalSymbol::intern(t); }

/// A linear congruential generator: the same sequence from the same seed everywhere.
struct Lcg {
  std::uint64_t s;
  std::uint64_t below(std::uint64_t n) {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return (s >> 33) % n;
  }
};

}  // namespace vantrel::egraph::testing
