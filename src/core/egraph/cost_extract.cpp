#include "egraph/cost_extract.hpp"

#include <algorithm>
#include <queue>
#include <string_view>
#include <unordered_map>
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

ExtractedGraph extract_terms(const EGraph& egraph, const CostChoices& choices, std::span<const Id> roots,
                             std::vector<Id>* class_positions) {
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
  static_assert(kUnplaced == kNoId);  // an unplaced class reads as no position
  if (class_positions != nullptr) *class_positions = std::move(pos);
  return out;
}

namespace {

/// The cost of one node with token `text`.
std::uint64_t token_cost(std::string_view text, std::span<const std::pair<std::string, std::uint64_t>> op_costs) {
  if (!is_op_token(text)) return 1;
  const std::string_view name = text.substr(3, text.find('|', 3) - 3);
  const auto it = std::lower_bound(op_costs.begin(), op_costs.end(), name,
                                   [](const auto& entry, std::string_view key) { return entry.first < key; });
  return it != op_costs.end() && it->first == name ? it->second : 1;
}

}  // namespace

LabelResult read_back_by_cost(const EGraph& egraph, const LabelGraph& graph,
                              std::span<const GlobalSymbol> label_symbols, std::span<const Id> ids,
                              std::span<const std::pair<std::string, std::uint64_t>> op_costs) {
  // A local symbol is numbered by its label; a rule's symbol maps to the label that has its
  // text, if the graph has one.
  std::unordered_map<std::uint32_t, std::uint32_t> label_of;
  std::vector<std::uint64_t> label_cost(graph.labels.size());
  for (std::size_t l = 0; l < graph.labels.size(); ++l) {
    label_cost[l] = token_cost(graph.labels[l], op_costs);
    if (!label_symbols[l].is_local()) label_of.emplace(label_symbols[l].value(), static_cast<std::uint32_t>(l));
  }
  constexpr std::uint32_t kIndexMask = GlobalSymbol::kLocalCount - 1;
  std::unordered_map<std::uint32_t, std::uint64_t> symbol_cost;
  auto cost_of = [&](GlobalSymbol s) -> std::uint64_t {
    if (s.is_local()) return label_cost[s.value() & kIndexMask];
    auto [it, fresh] = symbol_cost.try_emplace(s.value(), 0);
    if (fresh) it->second = token_cost(s.text(), op_costs);
    return it->second;
  };
  const CostChoices choices = choose_by_cost(egraph, cost_of);

  std::vector<Id> roots;
  roots.reserve(graph.outputs.size());
  for (NodeId o : graph.outputs) roots.push_back(ids[o]);
  std::vector<Id> class_positions;
  const ExtractedGraph terms = extract_terms(egraph, choices, roots, graph.with_positions ? &class_positions : nullptr);

  LabelResult out;
  std::uint64_t inputs = 0;
  for (const SymbolLang& node : terms.nodes) inputs += node.children.size();
  out.nodes.reserve(terms.nodes.size(), inputs);
  std::unordered_map<std::uint32_t, std::uint32_t> added;
  for (const SymbolLang& node : terms.nodes) {
    std::uint32_t label;
    if (node.symbol.is_local()) {
      label = node.symbol.value() & kIndexMask;
    } else if (auto known = label_of.find(node.symbol.value()); known != label_of.end()) {
      label = known->second;
    } else {
      auto [it, fresh] = added.try_emplace(node.symbol.value(), 0);
      if (fresh) {
        it->second = static_cast<std::uint32_t>(graph.labels.size() + out.added_labels.size());
        out.added_labels.emplace_back(node.symbol.text());
      }
      label = it->second;
    }
    out.nodes.label.push_back(label);
    for (Id child : node.children) out.nodes.input_pool.push_back(child);
    out.nodes.input_begin.push_back(out.nodes.input_pool.size());
  }
  out.outputs.assign(terms.roots.begin(), terms.roots.end());
  if (graph.with_positions) {
    out.positions.reserve(ids.size());
    for (Id id : ids) out.positions.push_back(class_positions[egraph.find(id)]);
  }
  return out;
}

}  // namespace vantrel::egraph
