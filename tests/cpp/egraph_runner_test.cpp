#include <gtest/gtest.h>
#include <string>

#include "egraph/runner.hpp"

namespace vantrel::egraph {
namespace {

GlobalSymbol sym(const char* t) { return GlobalSymbol::intern(t); }
SymbolLang leaf(const std::string& op) { return SymbolLang{GlobalSymbol::intern(op), {}}; }
SymbolLang node(const char* op, IdList kids) { return SymbolLang{sym(op), std::move(kids)}; }

Rewrite rule(const char* name, const char* lhs, const char* rhs) {
  auto r = Rewrite::make(name, pattern_from_text(lhs), pattern_from_text(rhs));
  EXPECT_TRUE(r.ok());
  return std::move(r).value();
}

Rewrite commute(const char* op) {
  const std::string o(op);
  return rule(("commute-" + o).c_str(), ("(op|" + o + " ?a ?b)").c_str(), ("(op|" + o + " ?b ?a)").c_str());
}

// Adds `count` distinct two-input `op` nodes over fresh leaves.
void add_pairs(EGraph& g, const char* op, int count) {
  for (int i = 0; i < count; ++i) {
    const Id a = g.add(leaf(std::string(op) + "-l" + std::to_string(i)));
    const Id b = g.add(leaf(std::string(op) + "-r" + std::to_string(i)));
    g.add(node(op, {a, b}));
  }
}

std::size_t applied(const Iteration& it, const char* name) {
  for (const auto& [n, c] : it.applied_counts) {
    if (n == sym(name)) return c;
  }
  return 0;
}

TEST(Runner, NoMatchesSaturatesAfterOneIteration) {
  Runner r;
  r.e_graph.add(leaf("only"));
  r.run({commute("add")});
  EXPECT_EQ(r.outcome, StopReason{Saturated{}});
  ASSERT_EQ(r.iteration_records.size(), 1u);
  EXPECT_TRUE(r.e_graph.clean());
}

TEST(Runner, CommutativitySaturatesAfterTwoIterations) {
  Runner r;
  add_pairs(r.e_graph, "op|add", 3);
  r.run({commute("add"), commute("mul")});
  EXPECT_EQ(r.outcome, StopReason{Saturated{}});
  ASSERT_EQ(r.iteration_records.size(), 2u);
  EXPECT_EQ(applied(r.iteration_records[0], "commute-add"), 3u);
  EXPECT_TRUE(r.iteration_records[1].applied_counts.empty());
  EXPECT_EQ(r.e_graph.class_count(), 9u);
  EXPECT_EQ(r.e_graph.enode_count(), 12u);
}

TEST(Runner, IterationLimitZeroStopsBeforeAnySearch) {
  Runner r;
  add_pairs(r.e_graph, "op|add", 2);
  r.iteration_limit = 0;
  r.run({commute("add")});
  EXPECT_EQ(r.outcome, StopReason{IterationLimit{0}});
  ASSERT_EQ(r.iteration_records.size(), 1u);
  EXPECT_EQ(r.iteration_records[0].stop, StopReason{IterationLimit{0}});
  EXPECT_TRUE(static_cast<BackoffScheduler&>(*r.scheduler).stats().empty());
  EXPECT_EQ(r.e_graph.enode_count(), 6u);
}

TEST(Runner, IterationLimitCountsFinishedIterations) {
  // f(x) = f(h(x)) keeps creating a new h-class under every f, so it never saturates.
  Runner r;
  r.e_graph.add(node("f", {r.e_graph.add(leaf("x"))}));
  r.iteration_limit = 3;
  r.e_node_limit = 1000000;
  r.run({rule("grow", "(f ?x)", "(f (h ?x))")});
  EXPECT_EQ(r.outcome, StopReason{IterationLimit{3}});
  ASSERT_EQ(r.iteration_records.size(), 3u);
  for (const Iteration& it : r.iteration_records) EXPECT_EQ(applied(it, "grow"), 1u);
  EXPECT_EQ(r.iteration_records[2].stop, std::nullopt);  // found by the check after the record
}

TEST(Runner, BannedRuleIsFastForwardedAndAppliedWithDoubledThreshold) {
  Runner r;
  r.e_node_limit = 1000000;
  add_pairs(r.e_graph, "op|add", 1500);
  r.run({commute("add")});
  auto& sched = static_cast<BackoffScheduler&>(*r.scheduler);
  const auto& recs = r.iteration_records;
  ASSERT_GE(recs.size(), 2u);
  // iteration 0: 1500 > 1000 matches, banned; nothing merges, and can_stop pulls the ban in
  EXPECT_TRUE(recs[0].applied_counts.empty());
  EXPECT_EQ(recs[0].stop, std::nullopt);
  // iteration 1: threshold 2000, all 1500 applied
  EXPECT_EQ(applied(recs[1], "commute-add"), 1500u);
  // iteration 2: 3000 matches > 2000, banned again; iteration 3: threshold 4000, no change
  ASSERT_EQ(recs.size(), 4u);
  EXPECT_TRUE(recs[2].applied_counts.empty());
  EXPECT_TRUE(recs[3].applied_counts.empty());
  EXPECT_EQ(r.outcome, StopReason{Saturated{}});
  const RuleStats& s = sched.rule_stats(sym("commute-add"));
  EXPECT_EQ(s.ban_count, 2u);
  EXPECT_EQ(s.applied_count, 2u);
}

TEST(BackoffScheduler, CanStopShiftsBansKeepingTheirDistances) {
  BackoffScheduler s;
  s.rule_stats(sym("r1")).banned_until_iteration = 9;
  s.rule_stats(sym("r2")).banned_until_iteration = 6;
  s.rule_stats(sym("r3")).banned_until_iteration = 2;
  EXPECT_FALSE(s.can_stop(3));
  EXPECT_EQ(s.rule_stats(sym("r1")).banned_until_iteration, 6u);
  EXPECT_EQ(s.rule_stats(sym("r2")).banned_until_iteration, 3u);
  EXPECT_EQ(s.rule_stats(sym("r3")).banned_until_iteration, 2u);
  EXPECT_FALSE(s.can_stop(3));  // r1 still ahead
  EXPECT_EQ(s.rule_stats(sym("r1")).banned_until_iteration, 3u);
  EXPECT_TRUE(s.can_stop(3));
  EXPECT_EQ(s.stats().front().first, sym("r1"));  // first-use order
}

TEST(BackoffScheduler, ExampleRuleBannedThenUsedNextIteration) {
  EGraph g;
  add_pairs(g, "op|mul", 1500);
  g.rebuild();
  BackoffScheduler s;
  const Rewrite r = commute("mul");
  EXPECT_TRUE(s.search_rewrite(0, g, r).empty());
  EXPECT_EQ(s.rule_stats(r.name).banned_until_iteration, 5u);
  EXPECT_EQ(s.rule_stats(r.name).ban_count, 1u);
  EXPECT_FALSE(s.can_stop(0));
  EXPECT_EQ(s.rule_stats(r.name).banned_until_iteration, 0u);
  const auto m = s.search_rewrite(1, g, r);
  std::size_t total = 0;
  for (const auto& x : m) total += x.substitutions.size();
  EXPECT_EQ(total, 1500u);
  EXPECT_EQ(s.rule_stats(r.name).applied_count, 1u);
  EXPECT_EQ(s.apply_rewrite(1, g, r, m), 1500u);
}

// A scheduler that lets the test act between the runner's steps.
class HookedScheduler final : public RewriteScheduler {
 public:
  std::function<void()> on_search = [] {};
  bool can_stop(std::size_t i) override { return inner.can_stop(i); }
  std::vector<SearchMatches> search_rewrite(std::size_t i, const EGraph& g, const Rewrite& r) override {
    on_search();
    return inner.search_rewrite(i, g, r);
  }
  std::size_t apply_rewrite(std::size_t i, EGraph& g, const Rewrite& r, const std::vector<SearchMatches>& m) override {
    return inner.apply_rewrite(i, g, r, m);
  }
  BackoffScheduler inner;
};

TEST(Runner, TimeBudgetSpentDuringSearchAppliesNothing) {
  Runner r;
  add_pairs(r.e_graph, "op|add", 3);
  Runner::Clock::time_point fake{};
  r.now = [&] { return fake; };
  auto sched = std::make_unique<HookedScheduler>();
  sched->on_search = [&] { fake += std::chrono::seconds(6); };
  r.scheduler = std::move(sched);
  r.run({commute("add"), commute("mul")});
  ASSERT_EQ(r.iteration_records.size(), 1u);
  ASSERT_TRUE(r.outcome.has_value());
  ASSERT_TRUE(std::holds_alternative<TimeLimit>(*r.outcome));
  EXPECT_DOUBLE_EQ(std::get<TimeLimit>(*r.outcome).seconds, 6.0);
  EXPECT_TRUE(r.iteration_records[0].applied_counts.empty());
  EXPECT_EQ(r.e_graph.enode_count(), 9u);
  EXPECT_TRUE(r.e_graph.clean());
}

TEST(Runner, NodeLimitAfterOneRuleSkipsTheRest) {
  Runner r;
  add_pairs(r.e_graph, "op|add", 2);
  add_pairs(r.e_graph, "op|mul", 2);
  r.e_node_limit = 13;  // 12 at the start; commuting the adds makes 14
  r.run({commute("add"), commute("mul")});
  EXPECT_EQ(r.outcome, StopReason{NodeLimit{14}});
  ASSERT_EQ(r.iteration_records.size(), 1u);
  EXPECT_EQ(applied(r.iteration_records[0], "commute-add"), 2u);
  EXPECT_EQ(applied(r.iteration_records[0], "commute-mul"), 0u);
}

struct LimitOrderCase {
  bool time, nodes, iterations;
  StopReason expected;
};

class LimitOrder : public ::testing::TestWithParam<LimitOrderCase> {};

TEST_P(LimitOrder, TimeThenNodesThenIterations) {
  const auto& c = GetParam();
  Runner r;
  add_pairs(r.e_graph, "op|add", 1);  // 3 e-nodes
  Runner::Clock::time_point fake{};
  r.now = [&] {
    if (c.time) fake += std::chrono::seconds(3);  // 3 s per reading: over budget by the first check
    return fake;
  };
  if (c.nodes) r.e_node_limit = 2;
  if (c.iterations) r.iteration_limit = 0;
  r.run({commute("add")});
  ASSERT_TRUE(r.outcome.has_value());
  EXPECT_EQ(r.outcome->index(), c.expected.index());
  if (!std::holds_alternative<TimeLimit>(c.expected)) {
    EXPECT_EQ(*r.outcome, c.expected);
  }
  EXPECT_EQ(r.iteration_records.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, LimitOrder,
                         ::testing::Values(LimitOrderCase{true, true, true, TimeLimit{}},
                                           LimitOrderCase{false, true, true, NodeLimit{3}},
                                           LimitOrderCase{false, false, true, IterationLimit{0}},
                                           LimitOrderCase{true, false, true, TimeLimit{}}));

TEST(Runner, DuplicateRuleNamesWarnOnce) {
  Runner r;
  r.e_graph.add(leaf("z"));
  testing::internal::CaptureStderr();
  r.run({commute("add"), commute("add")});
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n");
  Runner q;
  testing::internal::CaptureStderr();
  q.run({commute("add"), commute("mul")});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(q.outcome, StopReason{Saturated{}});
}

}  // namespace
}  // namespace vantrel::egraph
