#include "egraph/cost_extract.hpp"

#include <algorithm>
#include <queue>
#include <utility>

#include "common/fault.hpp"

namespace vantrel::egraph {

namespace {

/// Sums saturate one below kNoCost, which marks a class not fixed yet.
constexpr std::uint64_t kMaxCost = kNoCost - 1;
std::uint64_t add_costs(std::uint64_t a, std::uint64_t b) { return a > kMaxCost - b ? kMaxCost : a + b; }

constexpr Id kUnplaced = ~Id{0};
constexpr Id kOnPath = kUnplaced - 1;

}  // namespace

CostChoices choose_by_cost(const EGraph& egraph, const std::function<std::uint64_t(GlobalSymbol)>& cost_of) {
  // Every e-node is the e-node some id was added under, with its children canonicalized now;
  // the id is its place in the order of addition.
  const std::size_t n = egraph.id_count();
  CostChoices out;
  out.cost.assign(n, kNoCost);
  out.chosen.assign(n, 0);

  // The users of each class, one entry per child occurrence (CSR layout).
  std::vector<std::size_t> begin(n + 1, 0);
  for (std::size_t k = 0; k < n; ++k) {
    for (Id c : egraph.added(static_cast<Id>(k)).children) ++begin[egraph.find(c) + 1];
  }
  for (std::size_t c = 0; c < n; ++c) begin[c + 1] += begin[c];
  std::vector<Id> users(begin[n]);
  std::vector<std::size_t> fill(begin.begin(), begin.end() - 1);
  std::vector<std::uint32_t> pending(n);
  std::vector<std::uint64_t> sum(n, 0);
  std::vector<std::uint64_t> own(n);

  using Entry = std::pair<std::uint64_t, Id>;  // (term cost, id added under): cheapest, then earliest
  std::priority_queue<Entry, std::vector<Entry>, std::greater<>> ready;
  for (std::size_t k = 0; k < n; ++k) {
    const SymbolLang& e = egraph.added(static_cast<Id>(k));
    own[k] = std::min(cost_of(e.symbol), kMaxCost);
    pending[k] = static_cast<std::uint32_t>(e.children.size());
    for (Id c : e.children) users[fill[egraph.find(c)]++] = static_cast<Id>(k);
    if (pending[k] == 0) ready.emplace(own[k], static_cast<Id>(k));
  }

  while (!ready.empty()) {
    const auto [cost, k] = ready.top();
    ready.pop();
    const Id c = egraph.find(k);
    if (out.cost[c] != kNoCost) continue;  // fixed by a cheaper (or equal and earlier) e-node
    out.cost[c] = cost;
    out.chosen[c] = k;
    for (std::size_t u = begin[c]; u < begin[c + 1]; ++u) {
      const Id user = users[u];
      sum[user] = add_costs(sum[user], cost);
      if (--pending[user] == 0) ready.emplace(add_costs(own[user], sum[user]), user);
    }
  }
  return out;
}

ExtractedGraph extract_terms(const EGraph& egraph, const CostChoices& choices, std::span<const Id> roots) {
  ExtractedGraph out;
  std::vector<Id> pos(choices.cost.size(), kUnplaced);
  std::vector<std::pair<Id, std::uint32_t>> stack;  // (class, next child to visit)
  auto chosen_of = [&](Id c) -> const SymbolLang& {
    if (choices.cost[c] == kNoCost) throw InternalFault("cost extraction: a class has no finite term");
    return egraph.added(choices.chosen[c]);
  };
  for (Id root : roots) {
    const Id r = egraph.find(root);
    if (pos[r] == kUnplaced) {
      pos[r] = kOnPath;
      stack.emplace_back(r, 0);
    }
    while (!stack.empty()) {
      auto& [c, next] = stack.back();
      const SymbolLang& e = chosen_of(c);
      if (next < e.children.size()) {
        const Id child = egraph.find(e.children[next++]);
        if (pos[child] == kOnPath) throw InternalFault("cost extraction: the chosen terms form a cycle");
        if (pos[child] == kUnplaced) {
          pos[child] = kOnPath;
          stack.emplace_back(child, 0);
        }
        continue;
      }
      SymbolLang node{e.symbol, {}};
      for (Id child : e.children) node.children.push_back(pos[egraph.find(child)]);
      pos[c] = static_cast<Id>(out.nodes.size());
      out.nodes.push_back(std::move(node));
      stack.pop_back();
    }
    out.roots.push_back(pos[r]);
  }
  return out;
}

}  // namespace vantrel::egraph
