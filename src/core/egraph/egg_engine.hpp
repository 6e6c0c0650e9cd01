#pragma once
/// `EggEngine`: the system's rewrite engine. It proves nodes equal under commutativity of
/// eight two-input operators and the scalar identities x + 0 and x * 1, and collapses every
/// group of equal nodes onto its earliest member.
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "egraph/rewrite.hpp"
#include "egraph/runner.hpp"
#include "optimizer/engine.hpp"

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
  /// Builds the twelve rules in their fixed order; iteration limit 12.
  EggEngine();

  /// Requires a well-formed graph (inputs before users, outputs in range); a violation is an
  /// internal fault.
  EngineGraph canonicalize(const EngineGraph& graph) const override;
  /// `canonicalize`, also reporting how the saturation run went.
  EngineGraph canonicalize_with_stats(const EngineGraph& graph, CanonicalizeStats* stats) const;

  /// The compact form: the same run, reading label ids and an input pool and answering with
  /// them, so no per-node text or list is built either way. Never adds labels.
  LabelResult canonicalize_labels(const LabelGraph& graph) const override;
  LabelResult canonicalize_labels_with_stats(const LabelGraph& graph, CanonicalizeStats* stats) const;

  const std::vector<Rewrite>& rules() const { return rules_; }
  std::size_t iteration_limit() const { return iteration_limit_; }

 private:
  std::vector<Rewrite> rules_;
  // The symbol of every text the rules mention, keyed by that text (views into the symbol table).
  std::unordered_map<std::string_view, GlobalSymbol> rule_symbols_;
  std::size_t iteration_limit_ = 12;
};

}  // namespace vantrel::egraph
