#include "egraph/scheduler.hpp"

#include <algorithm>
#include <limits>

#include "common/fault.hpp"

namespace vantrel::egraph {
namespace {

std::size_t shifted(std::size_t base, std::size_t bans) {
  if (bans >= 64) throw InternalFault("backoff shift count out of range");
  return base << bans;
}

}  // namespace

RuleStats& BackoffScheduler::rule_stats(GlobalSymbol name) {
  for (auto& [n, s] : stats_) {
    if (n == name) return s;
  }
  RuleStats s;
  s.match_threshold = default_match_threshold;
  s.ban_span = default_ban_span;
  stats_.emplace_back(name, s);
  return stats_.back().second;
}

void BackoffScheduler::search_rewrite_flat(std::size_t iteration, const EGraph& egraph, const Rewrite& rewrite,
                                           FlatMatches& out) {
  RuleStats& s = rule_stats(rewrite.name);
  if (iteration < s.banned_until_iteration) {
    out.clear();
    return;
  }
  // The list already holds every match of this rule in the e-graph as it is now (nothing was
  // added or merged since it was searched): the search would find them again, and they were
  // within a threshold that has only grown since.
  const FlatMatches::Complete now{rewrite.lhs.get(), rewrite.rhs.get(), egraph.identity(), egraph.version()};
  if (egraph.clean() && out.complete == now) {
    s.applied_count += 1;
    return;
  }
  out.clear();

  const std::size_t threshold = shifted(s.match_threshold, s.ban_count);
  // One match beyond the threshold is enough to know the rule must be banned.
  const std::size_t limit = threshold == std::numeric_limits<std::size_t>::max() ? threshold : threshold + 1;
  rewrite.lhs->search_flat(egraph, limit, out);
  const std::size_t total = out.substitutions.size();

  if (total > threshold) {
    const std::size_t span = shifted(s.ban_span, s.ban_count);
    s.ban_count += 1;
    s.banned_until_iteration = iteration + span;
    out.clear();
    return;
  }
  s.applied_count += 1;
  rewrite.rhs->mark_present(egraph, out);
  out.complete = now;
}

std::vector<SearchMatches> BackoffScheduler::search_rewrite(std::size_t iteration, const EGraph& egraph,
                                                            const Rewrite& rewrite) {
  search_rewrite_flat(iteration, egraph, rewrite, scratch_);
  return scratch_.to_matches();
}

std::size_t BackoffScheduler::apply_rewrite(std::size_t /*iteration*/, EGraph& egraph, const Rewrite& rewrite,
                                            const std::vector<SearchMatches>& matches) {
  return rewrite.apply_matches(egraph, matches).size();
}

std::size_t BackoffScheduler::apply_rewrite_flat(std::size_t /*iteration*/, EGraph& egraph, const Rewrite& rewrite,
                                                 const FlatMatches& matches) {
  return rewrite.rhs->apply_flat(egraph, matches, nullptr);
}

bool BackoffScheduler::can_stop(std::size_t iteration) {
  // Nothing was applied. Rather than idle through the bans, bring them forward so that the
  // next iteration searches the rule whose ban ends soonest again (with its raised threshold).
  std::size_t soonest = std::numeric_limits<std::size_t>::max();
  bool any = false;
  for (const auto& [name, s] : stats_) {
    if (s.banned_until_iteration > iteration) {
      any = true;
      soonest = std::min(soonest, s.banned_until_iteration);
    }
  }
  if (!any) return true;
  const std::size_t delta = soonest - iteration;
  for (auto& [name, s] : stats_) {
    if (s.banned_until_iteration > iteration) s.banned_until_iteration -= delta;
  }
  return false;
}

}  // namespace vantrel::egraph
