// Instantiating a pattern under a substitution and merging the instance with its match.
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
  std::vector<Id> ids(nodes.size());
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
  return ids.back();
}

std::vector<Id> Pattern::apply_matches(EGraph& egraph, const std::vector<SearchMatches>& matches,
                                       GlobalSymbol /*rule_name*/) const {
  std::vector<Id> merged;
  for (const SearchMatches& m : matches) {
    for (const Subst& s : m.substitutions) {
      const Id instance = apply_pat(egraph, s);
      if (egraph.union_(instance, m.class_id)) merged.push_back(instance);
    }
  }
  return merged;
}

}  // namespace vantrel::egraph
