#include "egraph_engine/egg_engine.hpp"

#include <span>
#include <string>
#include <string_view>

#include "common/fault.hpp"
#include "common/page_in.hpp"
#include "egraph/cost_extract.hpp"
#include "egraph/load_graph.hpp"

namespace vantrel::egraph {
namespace {

Result<std::vector<Rewrite>, std::string> compile(const RuleSet& rules) {
  std::vector<Rewrite> out;
  out.reserve(rules.size());
  for (const PatternRule& r : rules) {
    auto lhs = parse_pattern(r.lhs);
    if (!lhs.ok()) return Err{"rule " + r.name + ": left side does not parse: " + r.lhs};
    auto rhs = parse_pattern(r.rhs);
    if (!rhs.ok()) return Err{"rule " + r.name + ": right side does not parse: " + r.rhs};
    auto rule = Rewrite::make(r.name, Pattern(lhs.value()), Pattern(rhs.value()));
    if (!rule.ok()) return Err{rule.error()};
    out.push_back(std::move(rule).value());
  }
  return out;
}

/// Leaves in `first` (earliest member by class) only the classes the outputs reach through
/// earliest members; the others get kNoId. An earliest member reads only earlier nodes, whose
/// classes' earliest members are earlier still, so one downward sweep reaches every class
/// before its representative is visited.
void drop_unreached(const LabelledNodes& nodes, std::span<const NodeId> outputs, std::span<const Id> canon,
                    std::span<Id> first) {
  std::vector<std::uint8_t> reached(first.size(), 0);
  for (NodeId o : outputs) reached[canon[o]] = 1;
  for (std::size_t i = nodes.size(); i-- > 0;) {
    const Id c = canon[i];
    if (first[c] != i) continue;
    if (!reached[c]) {
      first[c] = kNoId;
      continue;
    }
    for (NodeId j : nodes.inputs(i)) reached[canon[j]] = 1;
  }
}

std::vector<Rewrite> compile_or_fault(const RuleSet& rules) {
  auto compiled = compile(rules);
  if (!compiled.ok()) throw InternalFault(compiled.error());
  return std::move(compiled).value();
}

}  // namespace

EggEngine::EggEngine(RuleSet rules, EngineConfig config) : EggEngine(rules, compile_or_fault(rules), config) {}

Result<EggEngine, std::string> EggEngine::make(RuleSet rules, EngineConfig config) {
  auto compiled = compile(rules);
  if (!compiled.ok()) return Err{compiled.error()};
  return EggEngine(std::move(rules), std::move(compiled).value(), config);
}

EggEngine::EggEngine(RuleSet rules, std::vector<Rewrite> compiled, EngineConfig config)
    : rule_set_(std::move(rules)), rules_(std::move(compiled)), config_(config) {
  for (const Rewrite& rule : rules_) {
    for (const Pattern* side : {rule.lhs.get(), rule.rhs.get()}) {
      for (const ENodeOrVar& n : side->ast().nodes) {
        if (const auto* e = std::get_if<SymbolLang>(&n)) rule_symbols_.emplace(e->symbol.text(), e->symbol);
      }
    }
  }
}

EngineGraph EggEngine::canonicalize(const EngineGraph& graph) const { return canonicalize_with_stats(graph, nullptr); }

EngineGraph EggEngine::canonicalize_with_stats(const EngineGraph& graph, CanonicalizeStats* stats) const {
  if (!engine_graph_well_formed(graph)) throw InternalFault("canonicalize: engine graph is not well formed");
  std::vector<std::string> labels;
  const LabelGraph compact = to_label_graph(graph, labels);
  const LabelResult result = canonicalize_labels_with_stats(compact, stats);
  EngineGraph out;
  out.nodes.reserve(result.nodes.size());
  for (std::uint64_t i = 0; i < result.nodes.size(); ++i) {
    // A label past the graph's own names a text a rule built (extraction by cost).
    const std::uint32_t l = result.nodes.label[i];
    const std::string& text = l < labels.size() ? labels[l] : result.added_labels.at(l - labels.size());
    auto in = result.nodes.inputs(i);
    out.nodes.push_back(EngineNode{text, NodeIds(in.begin(), in.end()), !is_op_token(text)});
  }
  out.outputs = result.outputs;
  return out;
}

LabelResult EggEngine::canonicalize_labels(const LabelGraph& graph) const {
  return canonicalize_labels_with_stats(graph, nullptr);
}

LabelResult EggEngine::canonicalize_labels_with_stats(const LabelGraph& graph, CanonicalizeStats* stats) const {
  const LabelledNodes& nodes = graph.nodes;
  if (!label_graph_well_formed(nodes, graph.outputs))
    throw InternalFault("canonicalize: engine graph is not well formed");
  const std::size_t n = nodes.size();
  if (n >= kNoId) throw InternalFault("canonicalize: graph too large for e-class ids");
  if (graph.labels.size() >= GlobalSymbol::kLocalCount) throw InternalFault("canonicalize: too many labels");

  const auto t0 = Runner::Clock::now();
  Runner runner;
  // The rules add about one e-node for every four loaded ones; room for that up front.
  runner.e_graph.reserve(n + n / 4);
  // A label the rules mention has the rules' symbol. Any other only needs to differ from the
  // other labels: it gets the local symbol of its label id, so the process-wide symbol table
  // neither takes a lock and a lookup for it nor keeps its text for the life of the process
  // (a long-running program reducing graphs with fresh source names would grow the table
  // with every one of them).
  std::vector<GlobalSymbol> symbols(graph.labels.size());
  for (std::size_t l = 0; l < graph.labels.size(); ++l) {
    const auto rule = rule_symbols_.find(graph.labels[l]);
    symbols[l] = rule != rule_symbols_.end() ? rule->second : GlobalSymbol::local(static_cast<std::uint32_t>(l));
  }
  // Filled in the e-graph's own reserved list, which loading takes back.
  std::vector<SymbolLang> enodes = runner.e_graph.take_enode_room();
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t l = nodes.label[i];
    if (l >= symbols.size()) throw InternalFault("canonicalize: label id out of range");
    enodes.push_back(SymbolLang{symbols[l], IdList(nodes.inputs(i))});
  }
  // Node i becomes class i when no two nodes are equal (every graph a store hands over);
  // otherwise an equal node joins the earlier one's class.
  const std::vector<Id> ids = load_graph(runner.e_graph, enodes, graph.likely_distinct);

  const auto t1 = Runner::Clock::now();
  runner.configure(config_, n);
  runner.run(rules_);
  const EGraph& eg = runner.e_graph;
  const auto t2 = Runner::Clock::now();
  // The run's statistics, once the result has been read back; `roots` is each node's class.
  const auto record = [&](std::vector<Id> roots) {
    stats->iterations = runner.iteration_records.size();
    stats->stop = *runner.outcome;
    stats->enode_count = eg.enode_count();
    stats->class_count = eg.class_count();
    stats->records = std::move(runner.iteration_records);
    stats->roots = std::move(roots);
    stats->load_time = std::chrono::duration<double>(t1 - t0).count();
    stats->run_time = std::chrono::duration<double>(t2 - t1).count();
    stats->readback_time = std::chrono::duration<double>(Runner::Clock::now() - t2).count();
  };

  if (config_.extraction == EngineConfig::Extraction::kCost) {
    LabelResult out = read_back_by_cost(eg, graph, symbols, ids, config_.op_costs);
    if (stats != nullptr) {
      std::vector<Id> roots(n);
      for (std::size_t i = 0; i < n; ++i) roots[i] = eg.find(ids[i]);
      record(std::move(roots));
    }
    return out;
  }

  // Every class is represented by its earliest member; the e-graph's own choice of root
  // plays no part. Both tables are indexed by class id and only looked up; like the other
  // graph-sized lists, their pages come in with one call each.
  std::vector<Id> canon = paged_list<Id>(n);
  std::vector<Id> first = paged_list<Id>(eg.id_count(), kNoId);
  for (std::size_t i = 0; i < n; ++i) {
    canon[i] = eg.find(ids[i]);
    if (first[canon[i]] == kNoId) first[canon[i]] = static_cast<Id>(i);
  }
  if (!config_.keep_unreached) drop_unreached(nodes, graph.outputs, canon, first);
  std::size_t kept = 0;
  std::uint64_t kept_inputs = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (first[canon[i]] != i) continue;
    ++kept;
    kept_inputs += nodes.input_begin[i + 1] - nodes.input_begin[i];
  }

  // Sized once: growing it would move every node and touch twice its memory.
  LabelResult out;
  out.nodes.reserve(kept, kept_inputs);
  std::vector<Id> pos(eg.id_count(), kNoId);
  for (std::size_t i = 0; i < n; ++i) {
    const Id c = canon[i];
    if (first[c] != i) continue;
    pos[c] = static_cast<Id>(out.nodes.size());
    out.nodes.label.push_back(nodes.label[i]);
    for (NodeId j : nodes.inputs(i)) out.nodes.input_pool.push_back(pos[canon[j]]);
    out.nodes.input_begin.push_back(out.nodes.input_pool.size());
  }
  out.outputs.reserve(graph.outputs.size());
  for (NodeId o : graph.outputs) out.outputs.push_back(pos[canon[o]]);
  if (graph.with_positions) {
    out.positions.resize(n);
    for (std::size_t i = 0; i < n; ++i) out.positions[i] = pos[canon[i]];  // kNoId for a dropped class
  }

  if (stats != nullptr) record(std::move(canon));
  return out;
}

}  // namespace vantrel::egraph
