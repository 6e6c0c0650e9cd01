#include "egraph/egg_engine.hpp"

#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "common/fault.hpp"
#include "common/open_table.hpp"
#include "optimizer/rule_table.hpp"

namespace vantrel::egraph {
namespace {

Rewrite make_rule(const std::string& name, const std::string& lhs, const std::string& rhs) {
  auto rule = Rewrite::make(name, pattern_from_text(lhs), pattern_from_text(rhs));
  if (!rule.ok()) throw InternalFault(rule.error());
  return std::move(rule).value();
}

// A per-call map from token text to symbol: open addressing over a cheap hash of the bytes.
// Unique texts (source names) pass through to the global table; their entries cost little.
class SymbolCache {
 public:
  GlobalSymbol intern(std::string_view text) {
    const std::uint64_t h = hash(text);
    Slot& s = table_.find_or_empty(
        h, [&](const Slot& x) { return x.hash == h && x.text == text; }, [](const Slot& x) { return x.hash; });
    if (s.empty()) {
      s = Slot{text, h, GlobalSymbol::intern(text)};
      table_.filled();
    }
    return s.symbol;
  }

 private:
  struct Slot {
    std::string_view text;  // borrowed from the graph, which outlives the cache; null: empty
    std::uint64_t hash;
    GlobalSymbol symbol;
    bool empty() const { return text.data() == nullptr; }
  };

  static std::uint64_t hash(std::string_view text) {
    std::uint64_t h = 0x9e3779b97f4a7c15ULL ^ text.size();
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
      std::uint64_t w;
      std::memcpy(&w, text.data() + i, 8);
      h = (h ^ w) * 0xbf58476d1ce4e5b9ULL;
      h ^= h >> 29;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, text.data() + i, text.size() - i);
    h = (h ^ tail) * 0x94d049bb133111ebULL;
    return h ^ (h >> 31);
  }

  OpenTable<Slot> table_{64};
};

}  // namespace

EggEngine::EggEngine() {
  rules_.reserve(kCommutativeOps.size() + kIdentityTokens.size());
  for (std::string_view op : kCommutativeOps) {
    const std::string n(op);
    const std::string token = std::string(kOpTokenPrefix) + n;
    rules_.push_back(make_rule("commute-" + n, "(" + token + " ?a ?b)", "(" + token + " ?b ?a)"));
  }
  for (std::size_t k = 0; k < kIdentityTokens.size(); ++k) {
    rules_.push_back(make_rule("identity-" + std::to_string(k), "(" + std::string(kIdentityTokens[k]) + " ?x)", "?x"));
  }
}

EngineGraph EggEngine::canonicalize(const EngineGraph& graph) const { return canonicalize_with_stats(graph, nullptr); }

EngineGraph EggEngine::canonicalize_with_stats(const EngineGraph& graph, CanonicalizeStats* stats) const {
  if (!engine_graph_well_formed(graph)) throw InternalFault("canonicalize: engine graph is not well formed");
  const std::size_t n = graph.nodes.size();
  if (n >= kNoId) throw InternalFault("canonicalize: graph too large for e-class ids");

  const auto t0 = Runner::Clock::now();
  Runner runner;
  // The rules add about one e-node for every four loaded ones; room for that up front.
  runner.e_graph.reserve(n + n / 4);
  std::vector<Id> ids;
  ids.reserve(n);
  // Tokens repeat (every parameterless add is "op|add"), so each distinct text is interned
  // once per call; the shared table is locked and hashed only for those.
  SymbolCache symbols;
  for (const EngineNode& node : graph.nodes) {
    SymbolLang enode;
    enode.symbol = symbols.intern(node.op);
    for (std::uint64_t j : node.inputs) enode.children.push_back(ids[j]);
    ids.push_back(runner.e_graph.find_compress(runner.e_graph.add(std::move(enode))));
  }

  const auto t1 = Runner::Clock::now();
  runner.iteration_limit = iteration_limit_;
  runner.e_node_limit = 4 * n + 1024;
  runner.run(rules_);
  const EGraph& eg = runner.e_graph;
  const auto t2 = Runner::Clock::now();

  // Every class is represented by its earliest member; the e-graph's own choice of root
  // plays no part. Both tables are indexed by class id and only looked up.
  std::vector<Id> canon(n);
  std::vector<Id> first(eg.id_count(), kNoId);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    canon[i] = eg.find(ids[i]);
    if (first[canon[i]] == kNoId) {
      first[canon[i]] = static_cast<Id>(i);
      ++kept;
    }
  }

  // Sized once: growing it would move every node and touch twice its memory.
  EngineGraph out;
  out.nodes.reserve(kept);
  std::vector<Id> pos(eg.id_count(), kNoId);
  for (std::size_t i = 0; i < n; ++i) {
    const Id c = canon[i];
    if (first[c] != i) continue;
    EngineNode node;
    node.op = graph.nodes[i].op;
    node.inputs.reserve(graph.nodes[i].inputs.size());
    for (std::uint64_t j : graph.nodes[i].inputs) node.inputs.push_back(pos[canon[j]]);
    node.opaque = !is_op_token(node.op);
    pos[c] = static_cast<Id>(out.nodes.size());
    out.nodes.push_back(std::move(node));
  }
  out.outputs.reserve(graph.outputs.size());
  for (std::uint64_t o : graph.outputs) out.outputs.push_back(pos[canon[o]]);

  if (stats != nullptr) {
    stats->iterations = runner.iteration_records.size();
    stats->stop = *runner.outcome;
    stats->enode_count = eg.enode_count();
    stats->class_count = eg.class_count();
    stats->records = std::move(runner.iteration_records);
    stats->roots = canon;
    stats->load_time = std::chrono::duration<double>(t1 - t0).count();
    stats->run_time = std::chrono::duration<double>(t2 - t1).count();
    stats->readback_time = std::chrono::duration<double>(Runner::Clock::now() - t2).count();
  }
  return out;
}

}  // namespace vantrel::egraph
