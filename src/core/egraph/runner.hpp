#pragma once
/// `Runner`: equality saturation. Each iteration searches every rule against the same clean
/// e-graph, applies the matches rule by rule, and rebuilds; the run ends when an iteration
/// changes nothing or a limit (time, then nodes, then iterations) is reached.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "egraph/engine_config.hpp"
#include "egraph/scheduler.hpp"

namespace vantrel::egraph {

struct Saturated {
  friend bool operator==(const Saturated&, const Saturated&) = default;
};
struct IterationLimit {
  std::size_t count = 0;
  friend bool operator==(const IterationLimit&, const IterationLimit&) = default;
};
struct NodeLimit {
  std::size_t count = 0;
  friend bool operator==(const NodeLimit&, const NodeLimit&) = default;
};
struct TimeLimit {
  double seconds = 0;
  friend bool operator==(const TimeLimit&, const TimeLimit&) = default;
};
/// Why a run ended. A stop requested by a hook has no variant: the runner has no hooks.
using StopReason = std::variant<Saturated, IterationLimit, NodeLimit, TimeLimit>;

/// "Saturated", "IterationLimit(12)", ... for reports.
std::string describe(const StopReason& reason);

struct Iteration {
  std::size_t e_nodes_at_start = 0;
  std::size_t classes_at_start = 0;
  /// Rule name -> substitutions that merged two classes, in first-application order; only
  /// counts above zero appear.
  std::vector<std::pair<GlobalSymbol, std::size_t>> applied_counts;
  std::size_t rebuild_merges = 0;
  std::optional<StopReason> stop;
  // Informational timings, in seconds.
  double search_time = 0;
  double apply_time = 0;
  double rebuild_time = 0;
  double total_time = 0;
};

class Runner {
 public:
  using Clock = std::chrono::steady_clock;

  Runner() : scheduler(std::make_unique<BackoffScheduler>()) {}

  /// Runs to a stop reason. On return `outcome` is set, there is at least one record, and
  /// `e_graph` is clean.
  void run(const std::vector<Rewrite>& rules);
  /// Takes the limits and a fresh backoff scheduler from `config`, for a loaded graph of
  /// `loaded_nodes` nodes.
  void configure(const EngineConfig& config, std::size_t loaded_nodes);

  EGraph e_graph;
  std::vector<Iteration> iteration_records;
  std::optional<StopReason> outcome;
  std::size_t iteration_limit = 30;
  std::size_t e_node_limit = 10000;
  /// None: no time bound.
  std::optional<Clock::duration> time_budget = std::chrono::seconds(5);
  std::optional<Clock::time_point> started_at;
  std::unique_ptr<RewriteScheduler> scheduler;
  /// The monotonic clock behind the time budget (replaceable so a test can make time pass).
  std::function<Clock::time_point()> now = [] { return Clock::now(); };

 private:
  std::optional<StopReason> check_limits() const;
  // One reused list of matches per rule: an iteration allocates nothing per matched class.
  std::vector<FlatMatches> matches_;
  Iteration run_one(const std::vector<Rewrite>& rules, std::size_t i);
};

/// Writes the duplicate-name warning line to standard error when two rules share a name.
/// Returns true when it did.
bool check_rules(const std::vector<Rewrite>& rules);

}  // namespace vantrel::egraph
