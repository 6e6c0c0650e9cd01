// The runner's flat path (reused match lists, matches already present passed over) against
// the per-class path a scheduler gets when it implements only `search_rewrite` and
// `apply_rewrite`: every iteration record, every merge and every root must be the same.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "egraph/runner.hpp"
#include "egraph_test_support.hpp"

namespace vantrel::egraph {
namespace {

using testing::default_rules;
using testing::random_graph;
using testing::rule;
using testing::sym;

// The old contract only: the runner reaches it through the defaults of the flat calls.
class PerClassScheduler final : public RewriteScheduler {
 public:
  bool can_stop(std::size_t i) override { return inner.can_stop(i); }
  std::vector<SearchMatches> search_rewrite(std::size_t i, const EGraph& g, const Rewrite& r) override {
    return inner.search_rewrite(i, g, r);
  }
  std::size_t apply_rewrite(std::size_t i, EGraph& g, const Rewrite& r, const std::vector<SearchMatches>& m) override {
    return inner.apply_rewrite(i, g, r, m);
  }
  BackoffScheduler inner;
};

struct Outcome {
  std::vector<Iteration> records;
  StopReason stop;
  std::size_t enodes = 0;
  std::size_t classes = 0;
  std::vector<Id> roots;
};

Outcome run(const std::vector<SymbolLang>& graph, bool per_class) {
  Runner r;
  r.iteration_limit = 12;
  r.e_node_limit = 4 * graph.size() + 1024;
  r.time_budget = std::chrono::hours(1);
  if (per_class) r.scheduler = std::make_unique<PerClassScheduler>();
  std::vector<Id> ids;
  for (SymbolLang n : graph) {
    for (Id& c : n.children) c = ids[c];
    ids.push_back(r.e_graph.add(std::move(n)));
  }
  r.run(default_rules());
  Outcome out{r.iteration_records, *r.outcome, r.e_graph.enode_count(), r.e_graph.class_count(), {}};
  for (Id id : ids) out.roots.push_back(r.e_graph.find(id));
  return out;
}

class FlatPathTest : public ::testing::TestWithParam<std::pair<std::uint64_t, std::size_t>> {};

TEST_P(FlatPathTest, SameRecordsMergesAndRootsAsThePerClassPath) {
  const auto [seed, n] = GetParam();
  const auto graph = random_graph(seed, n);
  const Outcome flat = run(graph, false);
  const Outcome per_class = run(graph, true);
  ASSERT_EQ(flat.records.size(), per_class.records.size());
  for (std::size_t i = 0; i < flat.records.size(); ++i) {
    const Iteration& a = flat.records[i];
    const Iteration& b = per_class.records[i];
    EXPECT_EQ(a.e_nodes_at_start, b.e_nodes_at_start) << "iteration " << i;
    EXPECT_EQ(a.classes_at_start, b.classes_at_start) << "iteration " << i;
    EXPECT_EQ(a.applied_counts, b.applied_counts) << "iteration " << i;
    EXPECT_EQ(a.rebuild_merges, b.rebuild_merges) << "iteration " << i;
    EXPECT_EQ(a.stop, b.stop) << "iteration " << i;
  }
  EXPECT_EQ(flat.stop, per_class.stop);
  EXPECT_EQ(flat.enodes, per_class.enodes);
  EXPECT_EQ(flat.classes, per_class.classes);
  EXPECT_EQ(flat.roots, per_class.roots);
  // The graphs are meant to exercise the rules: something merged.
  EXPECT_LT(flat.classes, n);
}

INSTANTIATE_TEST_SUITE_P(RandomGraphs, FlatPathTest,
                         ::testing::Values(std::pair<std::uint64_t, std::size_t>{1, 300},
                                           std::pair<std::uint64_t, std::size_t>{2, 3000},
                                           std::pair<std::uint64_t, std::size_t>{3, 6000},
                                           std::pair<std::uint64_t, std::size_t>{4, 20000},
                                           std::pair<std::uint64_t, std::size_t>{5, 40000}));

// Builds: leaves a, a2, b; x = add(a, b) and its swap in one class; y = add(x, b) and its swap;
// three users of a2, so that a merge of a with a2 keeps a2 as the root.
struct Scene {
  EGraph g;
  Id a, a2, b, x, y;
  Scene() {
    a = g.add(SymbolLang{sym("source|a"), {}});
    a2 = g.add(SymbolLang{sym("source|a2"), {}});
    b = g.add(SymbolLang{sym("source|b"), {}});
    for (const char* op : {"op|neg", "op|exp", "op|log"}) g.add(SymbolLang{sym(op), {a2}});
    x = g.add(SymbolLang{sym("op|add"), {a, b}});
    g.union_(x, g.add(SymbolLang{sym("op|add"), {b, a}}));
    y = g.add(SymbolLang{sym("op|add"), {x, b}});
    g.union_(y, g.add(SymbolLang{sym("op|add"), {b, x}}));
    g.rebuild();
  }
};

TEST(ApplyFlat, MarksOnlyInstancesAlreadyInTheirClass) {
  Scene s;
  const Rewrite r = rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)");
  FlatMatches m;
  r.lhs->search_flat(s.g, 100, m);
  r.rhs->mark_present(s.g, m);
  ASSERT_EQ(m.present.size(), 4u);
  for (std::uint8_t p : m.present) EXPECT_EQ(p, 1);
  // A right side that is not one operator over variables marks nothing.
  const Rewrite id = rule("identity", "(op|add ?a ?b)", "?a");
  id.rhs->mark_present(s.g, m);
  for (std::uint8_t p : m.present) EXPECT_EQ(p, 0);
}

TEST(ApplyFlat, AMarkedMatchWhoseIdsMergedSinceIsAppliedInFull) {
  // The same matches applied after a merge of a into a2: the instances add(b, a) now read a
  // non-canonical id, so they must be added (and merged) as the per-class path does.
  Scene flat_scene, old_scene;
  const Rewrite r = rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)");
  FlatMatches m;
  r.lhs->search_flat(flat_scene.g, 100, m);
  r.rhs->mark_present(flat_scene.g, m);
  const std::vector<SearchMatches> per_class = r.lhs->search_with_limit(old_scene.g, 100);
  flat_scene.g.union_(flat_scene.a2, flat_scene.a);
  old_scene.g.union_(old_scene.a2, old_scene.a);
  ASSERT_EQ(flat_scene.g.find(flat_scene.a), flat_scene.a2);
  const std::size_t ids_before = flat_scene.g.id_count();

  std::vector<Id> merged;
  r.rhs->apply_flat(flat_scene.g, m, &merged);
  EXPECT_EQ(merged, r.apply_matches(old_scene.g, per_class));
  EXPECT_EQ(flat_scene.g.enode_count(), old_scene.g.enode_count());
  EXPECT_EQ(flat_scene.g.id_count(), old_scene.g.id_count());
  EXPECT_GT(flat_scene.g.id_count(), ids_before);  // add(b, a2) was new
  flat_scene.g.rebuild();
  old_scene.g.rebuild();
  for (Id id = 0; id < flat_scene.g.id_count(); ++id) EXPECT_EQ(flat_scene.g.find(id), old_scene.g.find(id));
}

TEST(ApplyFlat, MarksOfAnotherLengthAreAFault) {
  Scene s;
  const Rewrite r = rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)");
  FlatMatches m;
  r.lhs->search_flat(s.g, 100, m);
  m.present.assign(1, 1);
  EXPECT_THROW(r.rhs->apply_flat(s.g, m, nullptr), InternalFault);
}

}  // namespace
}  // namespace vantrel::egraph

namespace vantrel::egraph {
namespace {

std::size_t total(const FlatMatches& m) { return m.substitutions.size(); }

TEST(SearchReuse, AListIsReusedOnlyForItsRuleInAnUnchangedEGraph) {
  Scene s;
  BackoffScheduler sched;
  const Rewrite add = testing::rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)");
  const Rewrite mul = testing::rule("commute-mul", "(op|mul ?a ?b)", "(op|mul ?b ?a)");
  FlatMatches m;
  sched.search_rewrite_flat(0, s.g, add, m);
  EXPECT_EQ(total(m), 4u);
  sched.search_rewrite_flat(1, s.g, add, m);  // unchanged: the same four
  EXPECT_EQ(total(m), 4u);
  EXPECT_EQ(m.present, std::vector<std::uint8_t>(4, 1));
  sched.search_rewrite_flat(2, s.g, mul, m);  // another rule: searched afresh
  EXPECT_EQ(total(m), 0u);

  sched.search_rewrite_flat(3, s.g, add, m);
  // A new matching e-node: the next search must see it.
  const Id z = s.g.add(SymbolLang{sym("op|add"), {s.a2, s.b}});
  s.g.rebuild();
  sched.search_rewrite_flat(4, s.g, add, m);
  EXPECT_EQ(total(m), 5u);
  EXPECT_EQ(m.present.back(), 0);
  // A merge: z's class now holds add(b, a) as well, so its match is present.
  s.g.union_(z, s.g.add(SymbolLang{sym("op|add"), {s.b, s.a2}}));
  s.g.rebuild();
  sched.search_rewrite_flat(5, s.g, add, m);
  EXPECT_EQ(total(m), 6u);
  EXPECT_EQ(m.present, std::vector<std::uint8_t>(6, 1));
  EXPECT_EQ(sched.rule_stats(add.name).applied_count, 5u);
}

TEST(SearchReuse, AListIsNotReusedForAnotherEGraphOfTheSameVersion) {
  Scene s;
  // Ten ids and two merges, as in the scene, but two matches instead of four.
  EGraph other;
  std::vector<Id> leaves;
  for (int i = 0; i < 8; ++i) leaves.push_back(other.add(SymbolLang{sym("source|l" + std::to_string(i)), {}}));
  other.add(SymbolLang{sym("op|add"), {leaves[0], leaves[1]}});
  other.add(SymbolLang{sym("op|add"), {leaves[2], leaves[3]}});
  other.union_(leaves[4], leaves[5]);
  other.union_(leaves[6], leaves[7]);
  other.rebuild();
  ASSERT_EQ(other.version(), s.g.version());
  BackoffScheduler sched;
  const Rewrite add = testing::rule("commute-add", "(op|add ?a ?b)", "(op|add ?b ?a)");
  FlatMatches m;
  sched.search_rewrite_flat(0, s.g, add, m);
  EXPECT_EQ(total(m), 4u);
  sched.search_rewrite_flat(1, other, add, m);
  EXPECT_EQ(total(m), 2u);
}

}  // namespace
}  // namespace vantrel::egraph
