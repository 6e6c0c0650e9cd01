// The class pass after merges visits only the classes that can have changed. After every
// rebuild of real runs, the e-graph must look exactly as a pass over every class leaves it.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "egraph/runner.hpp"
#include "egraph_test_support.hpp"

namespace vantrel::egraph {
namespace {

using testing::default_rules;
using testing::random_graph;
using testing::sym;

// What a full pass guarantees, checked from scratch: every class list canonical, sorted and
// without duplicates; the kind list is every class in table order; each watched list is
// every class holding its symbol, in table order.
void expect_as_after_a_full_pass(const EGraph& g, const std::vector<GlobalSymbol>& watched) {
  std::vector<Id> all;
  std::vector<std::vector<Id>> with(watched.size());
  g.for_each_class([&](const EClass& c) {
    ASSERT_EQ(g.find(c.id), c.id);
    for (std::uint32_t k = 0; k < c.enodes.size(); ++k) {
      for (Id child : c.enodes[k].children) {
        ASSERT_EQ(g.find(child), child) << "class " << c.id;
      }
      if (k > 0) {
        ASSERT_TRUE(c.enodes[k - 1] < c.enodes[k]) << "class " << c.id;
      }
    }
    all.push_back(c.id);
    for (std::size_t w = 0; w < watched.size(); ++w) {
      if (std::any_of(c.enodes.begin(), c.enodes.end(), [&](const SymbolLang& n) { return n.symbol == watched[w]; }))
        with[w].push_back(c.id);
    }
  });
  ASSERT_EQ(g.classes_by_kind(), all);
  for (std::size_t w = 0; w < watched.size(); ++w) {
    const std::vector<Id>* list = g.classes_with_symbol(watched[w]);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(*list, with[w]) << "symbol " << watched[w].text();
  }
}

// Checks the clean e-graph before each search, that is after each rebuild.
class CheckingScheduler final : public RewriteScheduler {
 public:
  explicit CheckingScheduler(std::vector<GlobalSymbol> watched) : watched_(std::move(watched)) {}
  bool can_stop(std::size_t i) override { return inner_.can_stop(i); }
  std::vector<SearchMatches> search_rewrite(std::size_t i, const EGraph& g, const Rewrite& r) override {
    return inner_.search_rewrite(i, g, r);
  }
  std::size_t apply_rewrite(std::size_t i, EGraph& g, const Rewrite& r, const std::vector<SearchMatches>& m) override {
    return inner_.apply_rewrite(i, g, r, m);
  }
  void search_rewrite_flat(std::size_t i, const EGraph& g, const Rewrite& r, FlatMatches& out) override {
    expect_as_after_a_full_pass(g, watched_);
    ++checks;
    inner_.search_rewrite_flat(i, g, r, out);
  }
  std::size_t apply_rewrite_flat(std::size_t i, EGraph& g, const Rewrite& r, const FlatMatches& m) override {
    return inner_.apply_rewrite_flat(i, g, r, m);
  }
  std::size_t checks = 0;

 private:
  std::vector<GlobalSymbol> watched_;
  BackoffScheduler inner_;
};

class ClassPassTest : public ::testing::TestWithParam<std::pair<std::uint64_t, std::size_t>> {};

TEST_P(ClassPassTest, EveryRebuildLeavesTheStateOfAFullPass) {
  const auto [seed, n] = GetParam();
  const std::vector<Rewrite> rules = default_rules();
  std::vector<GlobalSymbol> roots;
  for (const Rewrite& r : rules) roots.push_back(r.lhs->program().instructions.front().op);
  Runner runner;
  runner.iteration_limit = 12;
  runner.e_node_limit = 4 * n + 1024;
  runner.time_budget = std::chrono::hours(1);
  auto scheduler = std::make_unique<CheckingScheduler>(roots);
  CheckingScheduler& checking = *scheduler;
  runner.scheduler = std::move(scheduler);
  std::vector<Id> ids;
  for (SymbolLang node : random_graph(seed, n)) {
    for (Id& c : node.children) c = ids[c];
    ids.push_back(runner.e_graph.add(std::move(node)));
  }
  runner.run(rules);
  expect_as_after_a_full_pass(runner.e_graph, roots);
  EXPECT_GT(checking.checks, rules.size());
  std::size_t merges = 0;
  for (const Iteration& it : runner.iteration_records) merges += it.rebuild_merges;
  EXPECT_GT(merges, 0u);  // congruence had work to do
}

INSTANTIATE_TEST_SUITE_P(RandomGraphs, ClassPassTest,
                         ::testing::Values(std::pair<std::uint64_t, std::size_t>{11, 400},
                                           std::pair<std::uint64_t, std::size_t>{12, 5000},
                                           std::pair<std::uint64_t, std::size_t>{13, 30000}));

TEST(ClassPass, AMergeBetweenRebuildsWithoutRulesKeepsTheLists) {
  // Merges made directly (no runner), with a watched symbol and a class created after the
  // last pass that is merged before the next one.
  EGraph g;
  const GlobalSymbol add = sym("op|add");
  const Id a = g.add(SymbolLang{sym("source|a"), {}});
  const Id b = g.add(SymbolLang{sym("source|b"), {}});
  const Id c = g.add(SymbolLang{sym("source|c"), {}});
  const Id ab = g.add(SymbolLang{add, {a, b}});
  const Id cb = g.add(SymbolLang{add, {c, b}});
  g.watch_symbol(add);
  g.rebuild();
  expect_as_after_a_full_pass(g, {add});
  const Id neg = g.add(SymbolLang{sym("op|neg"), {ab}});
  g.union_(neg, b);
  g.union_(a, c);  // add(a, b) and add(c, b) become congruent
  g.rebuild();
  expect_as_after_a_full_pass(g, {add});
  EXPECT_EQ(g.find(ab), g.find(cb));
  EXPECT_EQ(g.classes_with_symbol(add)->size(), 1u);
}

}  // namespace
}  // namespace vantrel::egraph
