// Instantiating a pattern under a substitution and merging the instance with its match.
#include <variant>
#include <vector>

#include "common/fault.hpp"
#include "egraph/pattern.hpp"

namespace vantrel::egraph {

Id Pattern::apply_pat(EGraph& egraph, const Subst& subst) const {
  const auto& nodes = ast_.nodes;
  if (nodes.size() == 1) {
    // The common shapes (a bare variable, a leaf) need no scratch list.
    if (const auto* v = std::get_if<Var>(&nodes[0])) {
      auto id = subst.get(*v);
      if (!id) throw InternalFault("substitution lacks a pattern variable");
      return *id;
    }
    return egraph.find_compress(egraph.add(std::get<SymbolLang>(nodes[0])));
  }
  // Patterns are small: the ids of their entries live on the stack unless they are not.
  constexpr std::size_t kStack = 16;
  Id stack_ids[kStack];
  std::vector<Id> heap_ids;
  Id* ids = stack_ids;
  if (nodes.size() > kStack) {
    heap_ids.resize(nodes.size());
    ids = heap_ids.data();
  }
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (const auto* v = std::get_if<Var>(&nodes[i])) {
      auto id = subst.get(*v);
      if (!id) throw InternalFault("substitution lacks a pattern variable");
      ids[i] = *id;
      continue;
    }
    SymbolLang n = std::get<SymbolLang>(nodes[i]);
    for (Id& c : n.children) c = ids[c];
    ids[i] = egraph.find_compress(egraph.add(std::move(n)));
  }
  return ids[nodes.size() - 1];
}

std::vector<Id> Pattern::apply_matches(EGraph& egraph, const std::vector<SearchMatches>& matches,
                                       GlobalSymbol /*rule_name*/) const {
  std::vector<Id> merged;
  // When the right side is one operator over variables, the hash-cons slot that applying a
  // match probes is known from the substitution alone: it is fetched a few matches ahead.
  // (A merge in between may make the guess stale; then the hint is merely wasted.)
  const auto& nodes = ast_.nodes;
  const auto* root = std::get_if<SymbolLang>(&nodes.back());
  bool hint = root != nullptr && root->children.size() <= 2;
  if (hint) {
    for (Id c : root->children) hint = hint && std::holds_alternative<Var>(nodes[c]);
  }
  constexpr std::size_t kAhead = 8;
  std::size_t mi = 0;  // the match kAhead ahead: matches[mi].substitutions[si]
  std::size_t si = 0;
  auto advance_hint = [&] {
    while (mi < matches.size() && si >= matches[mi].substitutions.size()) {
      ++mi;
      si = 0;
    }
    if (mi == matches.size()) return;
    const Subst& s = matches[mi].substitutions[si++];
    SymbolLang key;
    key.symbol = root->symbol;
    for (Id c : root->children) {
      const auto id = s.get(std::get<Var>(nodes[c]));
      if (!id) return;
      key.children.push_back(egraph.find(*id));
    }
    egraph.prefetch_add(key);
  };
  if (hint) {
    for (std::size_t k = 0; k < kAhead; ++k) advance_hint();
  }
  for (const SearchMatches& m : matches) {
    for (const Subst& s : m.substitutions) {
      if (hint) advance_hint();
      const Id instance = apply_pat(egraph, s);
      if (egraph.union_(instance, m.class_id)) merged.push_back(instance);
    }
  }
  return merged;
}

}  // namespace vantrel::egraph
