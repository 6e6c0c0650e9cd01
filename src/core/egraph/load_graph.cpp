#include "egraph/load_graph.hpp"

#include <cstdint>

#include "common/fault.hpp"
#include "common/open_table.hpp"
#include "egraph/page_in.hpp"

namespace vantrel::egraph {
namespace {

/// Keeps the first of each set of equal e-nodes, in order, at the front of `enodes` (their
/// children renumbered to kept positions) and returns, for every e-node, the position of
/// the kept one it equals. In place: e-node i reads only kept positions below i and is
/// moved to a position no greater than i. This is what adding one by one does with its
/// hash-cons, without the e-graph's other lists, so that the kept e-nodes can then load in
/// one pass.
std::vector<Id> keep_first_of_equal(std::vector<SymbolLang>& enodes) {
  struct Slot {
    std::uint32_t tag;  // the hash's high half: most mismatches are settled without the e-node
    std::uint32_t at;   // kept position + 1; 0 marks an empty slot
    bool empty() const { return at == 0; }
  };
  const auto tag_of = [](std::uint64_t h) { return static_cast<std::uint32_t>(h >> 32); };
  const std::size_t n = enodes.size();
  std::vector<Id> first = paged_list<Id>(n);
  OpenTable<Slot> table;
  auto rehash = [&](const Slot& s) { return hash_enode(enodes[s.at - 1]); };
  table.reserve(n, rehash);
  page_in_for_writing(table.storage(), table.memory_bytes());
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    SymbolLang& e = enodes[i];
    for (Id& c : e.children) c = first[c];
    const std::uint64_t h = hash_enode(e);
    Slot& s = table.find_or_empty(
        h, [&](const Slot& x) { return x.tag == tag_of(h) && enodes[x.at - 1] == e; }, rehash);
    if (!s.empty()) {
      first[i] = s.at - 1;
      continue;
    }
    if (kept != i) enodes[kept] = std::move(e);
    s = Slot{tag_of(h), static_cast<std::uint32_t>(kept + 1)};
    table.filled();
    first[i] = static_cast<Id>(kept++);
  }
  enodes.erase(enodes.begin() + static_cast<std::ptrdiff_t>(kept), enodes.end());
  return first;
}

}  // namespace

std::vector<Id> load_graph(EGraph& egraph, std::vector<SymbolLang>& enodes) {
  const std::size_t n = enodes.size();
  if (egraph.add_all_distinct(enodes)) {
    std::vector<Id> ids;
    reserve_paged(ids, n);
    for (std::size_t i = 0; i < n; ++i) ids.push_back(static_cast<Id>(i));
    return ids;
  }
  std::vector<Id> first = keep_first_of_equal(enodes);
  if (!egraph.add_all_distinct(enodes)) throw InternalFault("load_graph: kept e-nodes are not distinct");
  return first;
}

}  // namespace vantrel::egraph
