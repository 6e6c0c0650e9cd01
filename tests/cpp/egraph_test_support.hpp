#pragma once
// Helpers shared by the e-graph tests: symbols from text, a small seeded generator that every
// platform draws alike, the default engine's rules, and random pipeline-like graphs.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "egraph/rewrite.hpp"
#include "egraph/symbol.hpp"
#include "egraph_engine/egg_engine.hpp"
#include "engine/rule_set.hpp"

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

inline Rewrite rule(const std::string& name, const std::string& lhs, const std::string& rhs) {
  auto r = Rewrite::make(name, pattern_from_text(lhs), pattern_from_text(rhs));
  if (!r.ok()) throw InternalFault("bad test rule " + name);
  return std::move(r).value();
}

// The rules the default engine runs, in its order: the engine's own list.
inline const std::vector<Rewrite>& default_rules() {
  static const EggEngine engine;
  return engine.rules();
}

// The root tokens of the default identity rules.
inline std::vector<std::string> identity_tokens() {
  std::vector<std::string> tokens;
  for (const PatternRule& r : default_rule_set()) {
    const RuleFold f = fold_shape(r);
    if (f.shape == FoldShape::kIdentity) tokens.emplace_back(f.token);
  }
  return tokens;
}

// A random pipeline-like graph: leaves, commutative ops (often both operand orders of one
// pair), identity ops that fold into their input, and plain ops. Sizes above the backoff
// threshold make rules apply in different iterations, so one rule's merges land between
// another rule's search and its application.
inline std::vector<SymbolLang> random_graph(std::uint64_t seed, std::size_t n) {
  Lcg rng{seed};
  std::vector<SymbolLang> nodes;
  const char* commutative[] = {"op|add", "op|mul", "op|maximum"};
  const std::vector<std::string> identities = identity_tokens();
  for (std::size_t i = 0; i < n; ++i) {
    if (i < 8 || rng.below(10) == 0) {
      nodes.push_back(SymbolLang{sym("source|s" + std::to_string(rng.below(40))), {}});
      continue;
    }
    const auto pick = [&] { return static_cast<Id>(i - 1 - rng.below(std::min<std::size_t>(i, 30))); };
    const std::uint64_t kind = rng.below(10);
    if (kind < 5) {
      const Id a = pick(), b = pick();
      const GlobalSymbol op = sym(commutative[rng.below(kind < 3 ? 1 : 3)]);
      nodes.push_back(SymbolLang{op, {a, b}});
      if (rng.below(3) == 0) nodes.push_back(SymbolLang{op, {b, a}});
    } else if (kind < 7) {
      nodes.push_back(SymbolLang{sym(identities[rng.below(identities.size())]), {pick()}});
    } else {
      nodes.push_back(SymbolLang{sym(rng.below(2) ? "op|neg" : "op|exp"), {pick()}});
    }
  }
  return nodes;
}

}  // namespace vantrel::egraph::testing
