#include "egraph/runner.hpp"

#include <algorithm>
#include <cstdio>

namespace vantrel::egraph {
namespace {

double seconds_between(Runner::Clock::time_point a, Runner::Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

}  // namespace

std::string describe(const StopReason& reason) {
  struct Visitor {
    std::string operator()(const Saturated&) const { return "Saturated"; }
    std::string operator()(const IterationLimit& r) const { return "IterationLimit(" + std::to_string(r.count) + ")"; }
    std::string operator()(const NodeLimit& r) const { return "NodeLimit(" + std::to_string(r.count) + ")"; }
    std::string operator()(const TimeLimit& r) const { return "TimeLimit(" + std::to_string(r.seconds) + ")"; }
  };
  return std::visit(Visitor{}, reason);
}

bool check_rules(const std::vector<Rewrite>& rules) {
  std::vector<std::uint32_t> names;
  names.reserve(rules.size());
  for (const Rewrite& r : rules) names.push_back(r.name.value());
  std::sort(names.begin(), names.end());
  if (std::adjacent_find(names.begin(), names.end()) == names.end()) return false;
  std::fputs("WARNING: Duplicated rule names may affect rule reporting and scheduling.\n", stderr);
  return true;
}

std::optional<StopReason> Runner::check_limits() const {
  if (started_at && time_budget) {
    const auto elapsed = now() - *started_at;
    if (elapsed > *time_budget) return TimeLimit{std::chrono::duration<double>(elapsed).count()};
  }
  if (e_graph.enode_count() > e_node_limit) return NodeLimit{e_graph.enode_count()};
  if (iteration_records.size() >= iteration_limit) return IterationLimit{iteration_records.size()};
  return std::nullopt;
}

void Runner::configure(const EngineConfig& config, std::size_t loaded_nodes) {
  iteration_limit = config.iteration_limit;
  e_node_limit = config.node_limit(loaded_nodes);
  time_budget = config.time_budget;
  auto backoff = std::make_unique<BackoffScheduler>();
  backoff->default_match_threshold = config.match_threshold;
  backoff->default_ban_span = config.ban_span;
  scheduler = std::move(backoff);
}

void Runner::run(const std::vector<Rewrite>& rules) {
  check_rules(rules);
  // Let the e-graph keep, per rule root symbol, the classes a search has to visit.
  for (const Rewrite& rule : rules) {
    const auto& prog = rule.lhs->program().instructions;
    if (!prog.empty() && prog.front().kind == Instruction::Kind::Bind) e_graph.watch_symbol(prog.front().op);
  }
  e_graph.rebuild();
  for (;;) {
    Iteration record = run_one(rules, iteration_records.size());
    std::optional<StopReason> stop = record.stop;
    iteration_records.push_back(std::move(record));
    if (!stop) stop = check_limits();
    if (stop) {
      outcome = stop;
      return;
    }
  }
}

Iteration Runner::run_one(const std::vector<Rewrite>& rules, std::size_t i) {
  if (!started_at) started_at = now();
  const auto t0 = now();
  std::optional<StopReason> result = check_limits();

  Iteration it;
  it.e_nodes_at_start = e_graph.enode_count();
  it.classes_at_start = e_graph.class_count();

  // Every rule searches the same clean e-graph before any of them changes it.
  if (matches_.size() < rules.size()) matches_.resize(rules.size());
  if (!result) {
    for (std::size_t k = 0; k < rules.size(); ++k) {
      scheduler->search_rewrite_flat(i, e_graph, rules[k], matches_[k]);
      result = check_limits();
      if (result) break;
    }
  }
  const auto t1 = now();

  if (!result) {
    for (std::size_t k = 0; k < rules.size(); ++k) {
      const std::size_t n = scheduler->apply_rewrite_flat(i, e_graph, rules[k], matches_[k]);
      if (n > 0) {
        auto entry = std::find_if(it.applied_counts.begin(), it.applied_counts.end(),
                                  [&](const auto& p) { return p.first == rules[k].name; });
        if (entry == it.applied_counts.end()) {
          it.applied_counts.emplace_back(rules[k].name, n);
        } else {
          entry->second += n;
        }
      }
      result = check_limits();
      if (result) break;
    }
  }
  const auto t2 = now();

  it.rebuild_merges = e_graph.rebuild();
  const auto t3 = now();

  const bool saturated = it.applied_counts.empty() && scheduler->can_stop(i) &&
                         e_graph.enode_count() == it.e_nodes_at_start && e_graph.class_count() == it.classes_at_start;
  if (saturated && !result) result = Saturated{};
  it.stop = result;

  it.search_time = seconds_between(t0, t1);
  it.apply_time = seconds_between(t1, t2);
  it.rebuild_time = seconds_between(t2, t3);
  it.total_time = seconds_between(t0, t3);
  return it;
}

}  // namespace vantrel::egraph
