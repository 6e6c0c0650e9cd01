#pragma once
/// `EggEngine`: the system's rewrite engine. It proves nodes equal under the rule set it is
/// given (by default commutativity of eight two-input operators and the scalar identities
/// x + 0 and x * 1) and collapses every group of equal nodes onto its earliest member.
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/result.hpp"
#include "egraph/engine_config.hpp"
#include "egraph/rewrite.hpp"
#include "egraph/runner.hpp"
#include "engine/rewrite_engine.hpp"
#include "engine/rule_set.hpp"

namespace vantrel::egraph {

/// What a canonicalize run did, for benchmarks and tests (the interface returns none of it).
struct CanonicalizeStats {
  std::size_t iterations = 0;
  StopReason stop;
  std::size_t enode_count = 0;
  std::size_t class_count = 0;
  std::vector<Iteration> records;
  /// The final union-find root of every input node's class, in input order.
  std::vector<Id> roots;
  /// Wall-clock seconds spent loading the graph, running the rules, and reading classes back.
  double load_time = 0;
  double run_time = 0;
  double readback_time = 0;
};

class EggEngine final : public RewriteEngine {
 public:
  /// Compiles `rules` in their order; a rule that does not compile is an internal fault
  /// (the default rules always compile). The defaults are the system's engine.
  explicit EggEngine(RuleSet rules = default_rule_set(), EngineConfig config = {});
  /// The same, with a rule that does not compile reported as its error text.
  static Result<EggEngine, std::string> make(RuleSet rules, EngineConfig config = {});

  /// Requires a well-formed graph (inputs before users, outputs in range); a violation is an
  /// internal fault.
  EngineGraph canonicalize(const EngineGraph& graph) const override;
  /// `canonicalize`, also reporting how the saturation run went.
  EngineGraph canonicalize_with_stats(const EngineGraph& graph, CanonicalizeStats* stats) const;

  /// The compact form: the same run, reading label ids and an input pool and answering with
  /// them, so no per-node text or list is built either way. Never adds labels.
  LabelResult canonicalize_labels(const LabelGraph& graph) const override;
  LabelResult canonicalize_labels_with_stats(const LabelGraph& graph, CanonicalizeStats* stats) const;

  /// The compiled rules, in rule set order.
  const std::vector<Rewrite>& rules() const { return rules_; }
  /// The rule set, when classes are read back as their earliest members; with extraction by
  /// cost the engine does more than merge, and declares nothing.
  const RuleSet* rule_set() const override {
    return config_.extraction == EngineConfig::Extraction::kEarliest ? &rule_set_ : nullptr;
  }
  const EngineConfig& config() const { return config_; }

 private:
  EggEngine(RuleSet rules, std::vector<Rewrite> compiled, EngineConfig config);

  RuleSet rule_set_;
  std::vector<Rewrite> rules_;
  // The symbol of every text the rules mention, keyed by that text (views into the symbol table).
  std::unordered_map<std::string_view, GlobalSymbol> rule_symbols_;
  EngineConfig config_;
};

}  // namespace vantrel::egraph
