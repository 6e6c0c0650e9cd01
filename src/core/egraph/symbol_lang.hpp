#pragma once
/// `SymbolLang`: an e-node, an operator symbol applied to an ordered list of e-class ids.
#include <cstdint>

#include "egraph/id_list.hpp"
#include "egraph/symbol.hpp"

namespace vantrel::egraph {

struct SymbolLang {
  GlobalSymbol symbol;
  IdList children;

  /// Same operator and the same number of children; the child ids are not compared.
  bool matches(const SymbolLang& other) const {
    return symbol == other.symbol && children.size() == other.children.size();
  }

  friend bool operator==(const SymbolLang& a, const SymbolLang& b) {
    return a.symbol == b.symbol && a.children == b.children;
  }
  /// By symbol, then children lexicographically (a shorter prefix first).
  friend bool operator<(const SymbolLang& a, const SymbolLang& b) {
    if (a.symbol != b.symbol) return a.symbol < b.symbol;
    return a.children < b.children;
  }
};

/// A fixed multiply-and-rotate hash over the symbol, the child count and the children. It is
/// unseeded so that tables keyed by e-nodes lay out the same way on every run. This form takes
/// the parts, for tables that keep e-nodes in another shape.
inline std::uint64_t hash_enode(std::uint32_t symbol, const Id* children, std::uint32_t count) {
  constexpr std::uint64_t k = 0x9e3779b97f4a7c15ULL;
  std::uint64_t h = (std::uint64_t{symbol} << 32 | count) * k;
  for (std::uint32_t i = 0; i < count; ++i) {
    h = ((h << 26) | (h >> 38)) ^ children[i];
    h *= k;
  }
  // Finish so that the low bits (which pick the slot) depend on every input bit.
  h ^= h >> 32;
  h *= 0xd6e8feb86659fd93ULL;
  return h ^ (h >> 32);
}

inline std::uint64_t hash_enode(const SymbolLang& n) {
  return hash_enode(n.symbol.value(), n.children.data(), n.children.size());
}

}  // namespace vantrel::egraph
