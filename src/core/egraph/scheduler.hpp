#pragma once
/// Rewrite schedulers decide how much of a rule's matches an iteration uses.
/// `BackoffScheduler` bans a rule for a while when it matches more often than its threshold,
/// doubling the threshold and the next ban's length each time.
#include <cstdint>
#include <utility>
#include <vector>

#include "egraph/rewrite.hpp"

namespace vantrel::egraph {

class RewriteScheduler {
 public:
  virtual ~RewriteScheduler() = default;
  /// Asked only after an iteration applied nothing; false keeps the run going.
  virtual bool can_stop(std::size_t iteration) = 0;
  virtual std::vector<SearchMatches> search_rewrite(std::size_t iteration, const EGraph& egraph,
                                                    const Rewrite& rewrite) = 0;
  /// Returns the number of substitutions that merged two classes.
  virtual std::size_t apply_rewrite(std::size_t iteration, EGraph& egraph, const Rewrite& rewrite,
                                    const std::vector<SearchMatches>& matches) = 0;

  /// What the runner calls: the same search into a flat list it reuses, and the same
  /// application from it. The defaults go through the two calls above, so a scheduler that
  /// only implements those behaves the same either way.
  virtual void search_rewrite_flat(std::size_t iteration, const EGraph& egraph, const Rewrite& rewrite,
                                   FlatMatches& out) {
    out = FlatMatches::from(search_rewrite(iteration, egraph, rewrite));
  }
  virtual std::size_t apply_rewrite_flat(std::size_t iteration, EGraph& egraph, const Rewrite& rewrite,
                                         const FlatMatches& matches) {
    return apply_rewrite(iteration, egraph, rewrite, matches.to_matches());
  }
};

struct RuleStats {
  std::size_t applied_count = 0;           ///< iterations in which the rule was searched unbanned
  std::size_t banned_until_iteration = 0;  ///< skipped while the iteration is below this
  std::size_t ban_count = 0;
  std::size_t match_threshold = 0;
  std::size_t ban_span = 0;
};

class BackoffScheduler final : public RewriteScheduler {
 public:
  std::size_t default_match_threshold = 1000;
  std::size_t default_ban_span = 5;

  /// The entry for `name`, created with the defaults if missing (in first-use order).
  RuleStats& rule_stats(GlobalSymbol name);
  const std::vector<std::pair<GlobalSymbol, RuleStats>>& stats() const { return stats_; }

  bool can_stop(std::size_t iteration) override;
  std::vector<SearchMatches> search_rewrite(std::size_t iteration, const EGraph& egraph,
                                            const Rewrite& rewrite) override;
  std::size_t apply_rewrite(std::size_t iteration, EGraph& egraph, const Rewrite& rewrite,
                            const std::vector<SearchMatches>& matches) override;
  /// The search, with the matches whose instance is already in their class marked (see
  /// `Pattern::mark_present`); a banned rule leaves `out` empty.
  void search_rewrite_flat(std::size_t iteration, const EGraph& egraph, const Rewrite& rewrite,
                           FlatMatches& out) override;
  /// Applies flat matches, passing over the marked ones that would change nothing.
  std::size_t apply_rewrite_flat(std::size_t iteration, EGraph& egraph, const Rewrite& rewrite,
                                 const FlatMatches& matches) override;

 private:
  std::vector<std::pair<GlobalSymbol, RuleStats>> stats_;  // a handful of rules: linear lookup
  // The per-class form of a search goes through here.
  FlatMatches scratch_;
};

}  // namespace vantrel::egraph
