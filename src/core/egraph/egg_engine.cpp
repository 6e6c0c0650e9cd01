#include "egraph/egg_engine.hpp"

#include <array>
#include <limits>
#include <string>

#include "common/fault.hpp"

namespace vantrel::egraph {
namespace {

constexpr std::array<const char*, 8> kCommutative = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};

// x + 0 and x * 1, with the scalar on either side. Only these exact tokens match: a negative
// zero, an integer scalar or any extra parameter is a different symbol.
constexpr std::array<const char*, 4> kIdentities = {
    "op|add|scalar=f0000000000000000;side=sr",
    "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr",
    "op|mul|scalar=f3ff0000000000000;side=sl",
};

Rewrite make_rule(const std::string& name, const std::string& lhs, const std::string& rhs) {
  auto rule = Rewrite::make(name, pattern_from_text(lhs), pattern_from_text(rhs));
  if (!rule.ok()) throw InternalFault(rule.error());
  return std::move(rule).value();
}

constexpr Id kNone = std::numeric_limits<Id>::max();

}  // namespace

EggEngine::EggEngine() {
  rules_.reserve(kCommutative.size() + kIdentities.size());
  for (const char* op : kCommutative) {
    const std::string n(op);
    rules_.push_back(make_rule("commute-" + n, "(op|" + n + " ?a ?b)", "(op|" + n + " ?b ?a)"));
  }
  for (std::size_t k = 0; k < kIdentities.size(); ++k) {
    rules_.push_back(make_rule("identity-" + std::to_string(k), "(" + std::string(kIdentities[k]) + " ?x)", "?x"));
  }
}

EngineGraph EggEngine::canonicalize(const EngineGraph& graph) const { return canonicalize_with_stats(graph, nullptr); }

EngineGraph EggEngine::canonicalize_with_stats(const EngineGraph& graph, CanonicalizeStats* stats) const {
  if (!engine_graph_well_formed(graph)) throw InternalFault("canonicalize: engine graph is not well formed");
  const std::size_t n = graph.nodes.size();
  if (n >= kNone) throw InternalFault("canonicalize: graph too large for e-class ids");

  Runner runner;
  std::vector<Id> ids;
  ids.reserve(n);
  for (const EngineNode& node : graph.nodes) {
    SymbolLang enode;
    enode.symbol = GlobalSymbol::intern(node.op);
    for (std::uint64_t j : node.inputs) enode.children.push_back(ids[j]);
    ids.push_back(runner.e_graph.find_compress(runner.e_graph.add(std::move(enode))));
  }

  runner.iteration_limit = iteration_limit_;
  runner.e_node_limit = 4 * n + 1024;
  runner.run(rules_);
  const EGraph& eg = runner.e_graph;

  // Every class is represented by its earliest member; the e-graph's own choice of root
  // plays no part. Both tables are indexed by class id and only looked up.
  std::vector<Id> canon(n);
  std::vector<Id> first(eg.id_count(), kNone);
  for (std::size_t i = 0; i < n; ++i) {
    canon[i] = eg.find(ids[i]);
    if (first[canon[i]] == kNone) first[canon[i]] = static_cast<Id>(i);
  }

  EngineGraph out;
  std::vector<Id> pos(eg.id_count(), kNone);
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
  }
  return out;
}

}  // namespace vantrel::egraph
