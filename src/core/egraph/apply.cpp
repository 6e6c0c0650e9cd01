// Instantiating a pattern under a substitution and merging the instance with its match.
#include <algorithm>
#include <variant>
#include <vector>

#include "common/fault.hpp"
#include "egraph/pattern.hpp"

namespace vantrel::egraph {
namespace {

// The instance of a pattern of one operator over variables under `s`, each variable's id
// read through `id_of`; false when a variable is unbound.
template <class IdOf>
bool instance_of(const std::vector<ENodeOrVar>& nodes, const SymbolLang& root, const Subst& s, IdOf&& id_of,
                 SymbolLang& key) {
  key.symbol = root.symbol;
  key.children = IdList();  // at most two children: never on the heap
  for (Id c : root.children) {
    const auto id = s.get(std::get<Var>(nodes[c]));
    if (!id) return false;
    key.children.push_back(id_of(*id));
  }
  return true;
}

// Whether every id `s` binds is still the root of its class.
bool still_canonical(const EGraph& egraph, const Subst& s) {
  for (std::size_t b = 0; b < s.size(); ++b) {
    if (egraph.find(s[b].second) != s[b].second) return false;
  }
  return true;
}

}  // namespace

const SymbolLang* Pattern::operator_over_vars() const {
  const auto& nodes = ast_.nodes;
  const auto* root = std::get_if<SymbolLang>(&nodes.back());
  if (root == nullptr || root->children.size() > 2) return nullptr;
  for (Id c : root->children) {
    if (!std::holds_alternative<Var>(nodes[c])) return nullptr;
  }
  return root;
}

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
  apply_flat(egraph, FlatMatches::from(matches), &merged);
  return merged;
}

void Pattern::mark_present(const EGraph& egraph, FlatMatches& matches) const {
  matches.present.assign(matches.substitutions.size(), 0);
  const SymbolLang* root = operator_over_vars();
  if (root == nullptr) return;
  if (!egraph.clean()) throw InternalFault("presence marks need a clean e-graph");
  // The matches were read off the class lists of this clean e-graph, so their ids are
  // canonical and compare directly with the children in those lists.
  const auto as_is = [](Id id) { return id; };
  SymbolLang key;
  std::size_t begin = 0;
  for (std::size_t c = 0; c < matches.classes.size(); ++c) {
    // The search read these classes a while ago; at a million classes they have left the cache.
    if (c + kFetchAhead < matches.classes.size()) egraph.prefetch_class(matches.classes[c + kFetchAhead]);
    const auto& enodes = egraph.canonical_class(matches.classes[c]).enodes;
    for (std::size_t k = begin; k < matches.ends[c]; ++k) {
      if (!instance_of(ast_.nodes, *root, matches.substitutions[k], as_is, key)) continue;
      matches.present[k] = std::find(enodes.begin(), enodes.end(), key) != enodes.end();
    }
    begin = matches.ends[c];
  }
}

std::size_t Pattern::apply_flat(EGraph& egraph, const FlatMatches& matches, std::vector<Id>* merged) const {
  const std::size_t n = matches.substitutions.size();
  const bool marked = !matches.present.empty();
  if (marked && matches.present.size() != n) throw InternalFault("presence marks do not match the substitutions");
  // An instance that was in its class when searched, with ids that are still canonical, is
  // still in the hash-cons under the same key (entries are never removed), mapped to an id of
  // that class (or of what it has since merged into): adding it changes nothing and the merge
  // joins nothing, so neither is done.
  auto passed_over = [&](std::size_t k) {
    return marked && matches.present[k] && still_canonical(egraph, matches.substitutions[k]);
  };
  // When the right side is one operator over variables, the hash-cons slot that applying a
  // match probes is known from the substitution alone: it is fetched a few matches ahead.
  // (A merge in between may make the guess stale; then the hint is merely wasted.)
  const SymbolLang* root = operator_over_vars();
  const auto root_of = [&](Id id) { return egraph.find(id); };
  SymbolLang key;
  auto hint = [&](std::size_t k) {
    if (k >= n || (marked && matches.present[k])) return;
    if (!instance_of(ast_.nodes, *root, matches.substitutions[k], root_of, key)) return;
    egraph.prefetch_add(key);
    // A new instance is entered in its children's `users`.
    for (Id child : key.children) egraph.prefetch_class(child);
  };
  // When the right side is a bare variable, the merge reads the class of the id it binds,
  // from anywhere in the table: that class is fetched a few matches ahead.
  const auto* bare = ast_.nodes.size() == 1 ? std::get_if<Var>(&ast_.nodes[0]) : nullptr;
  auto hint_bare = [&](std::size_t k) {
    if (k >= n) return;
    if (const auto id = matches.substitutions[k].get(*bare)) egraph.prefetch_class(egraph.find(*id));
  };
  // Further ahead still, the union-find entries the hint reads to canonicalize the ids.
  auto early = [&](std::size_t k) {
    if (k >= n || (marked && matches.present[k])) return;
    const Subst& s = matches.substitutions[k];
    for (std::size_t b = 0; b < s.size(); ++b) egraph.prefetch_find(s[b].second);
  };
  const bool hinted = root != nullptr || bare != nullptr;
  if (hinted) {
    for (std::size_t k = 0; k < 2 * kFetchAhead; ++k) early(k);
    for (std::size_t k = 0; k < kFetchAhead; ++k) root != nullptr ? hint(k) : hint_bare(k);
  }
  std::size_t count = 0;
  std::size_t begin = 0;
  for (std::size_t c = 0; c < matches.classes.size(); ++c) {
    // The matched class is read again by the merge.
    if (c + kFetchAhead < matches.classes.size()) egraph.prefetch_class(matches.classes[c + kFetchAhead]);
    for (std::size_t k = begin; k < matches.ends[c]; ++k) {
      if (hinted) {
        early(k + 2 * kFetchAhead);
        root != nullptr ? hint(k + kFetchAhead) : hint_bare(k + kFetchAhead);
      }
      if (passed_over(k)) continue;
      const Id instance = apply_pat(egraph, matches.substitutions[k]);
      if (!egraph.union_(instance, matches.classes[c])) continue;
      ++count;
      if (merged != nullptr) merged->push_back(instance);
    }
    begin = matches.ends[c];
  }
  return count;
}

}  // namespace vantrel::egraph
