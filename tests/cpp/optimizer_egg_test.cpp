// The pipeline end to end with the real rewrite engine: commuted operands and scalar
// identities collapse, parameterised ops are left alone, and the incremental reducer finds
// the same equalities as a whole reduction.
#include <gtest/gtest.h>
#include <random>

#include "egraph_engine/egg_engine.hpp"
#include "optimizer/incremental.hpp"
#include "optimizer/reduced_store.hpp"
#include "optimizer_support.hpp"

namespace vantrel {
namespace {

using namespace vantrel::testing;

struct EggCase {
  const char* name;
  std::vector<NodeKey> nodes;
  NodeIds outputs;
  std::uint64_t canonical;
  std::vector<NodeKey> reduced;
};

std::vector<EggCase> egg_cases() {
  const ParamMap alpha = pmap({{"alpha", ParamValue::of_int(1)}});
  return {
      {"commuted_add",
       {src("x"), src("y"), op("add", {0, 1}), op("add", {1, 0}), op("mul", {2, 3})},
       {4},
       4,
       {src("x"), src("y"), stage({0, 1}, {member("op|add", {in(0), in(1)})}),
        stage({2}, {member("op|mul", {in(0), in(0)})})}},
      {"identities",
       {src("x"), add_zero(0), mul_one(1, "l"), op("exp", {2})},
       {3},
       2,
       {src("x"), stage({0}, {member("op|exp", {in(0)})})}},
      {"identity_left",
       {src("x"), add_zero(0, "l"), op("neg", {1})},
       {2},
       2,
       {src("x"), stage({0}, {member("op|neg", {in(0)})})}},
      {"parameterised_not_commuted",
       {src("x"), src("y"), op("add", {0, 1}, alpha), op("add", {1, 0}, alpha), op("sub", {2, 3})},
       {4},
       5,
       {src("x"), src("y"),
        stage({0, 1}, {member("op|add|alpha=i1", {in(0), in(1)}), member("op|add|alpha=i1", {in(1), in(0)}),
                       member("op|sub", {mem(0), mem(1)})})}},
      {"sub_not_commuted",
       {src("x"), src("y"), op("sub", {0, 1}), op("sub", {1, 0}), op("add", {2, 3})},
       {4},
       5,
       {src("x"), src("y"),
        stage({0, 1}, {member("op|sub", {in(0), in(1)}), member("op|sub", {in(1), in(0)}),
                       member("op|add", {mem(0), mem(1)})})}},
  };
}

class EggPipeline : public ::testing::TestWithParam<EggCase> {};

TEST_P(EggPipeline, ReducesToTheExpectedGraph) {
  const EggCase& c = GetParam();
  auto store = make_store(c.nodes);
  egraph::EggEngine engine;
  auto r = reduce_with_outputs(*store, c.outputs, engine, false);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().report.canonical_nodes, c.canonical);
  EXPECT_EQ(r.value().store->snapshot().nodes, c.reduced);

  IncrementalReducer inc;
  ASSERT_TRUE(inc.step(store->snapshot().nodes).ok());
  auto f = inc.finalize(c.outputs, engine, false);
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(f.value().keys(), c.reduced);
}

INSTANTIATE_TEST_SUITE_P(Rules, EggPipeline, ::testing::ValuesIn(egg_cases()),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(EggPipeline, IncrementalFinalizeMatchesWholeReduction) {
  std::mt19937_64 rng(7);
  egraph::EggEngine engine;
  const char* binary[] = {"add", "mul", "sub", "maximum"};
  for (int trial = 0; trial < 40; ++trial) {
    GraphStore store;
    ASSERT_TRUE(store.intern(src("a")).ok());
    ASSERT_TRUE(store.intern(src("b")).ok());
    const int n = 5 + static_cast<int>(rng() % 60);
    for (int i = 0; i < n; ++i) {
      const auto c = static_cast<NodeId>(store.node_count());
      const auto x = static_cast<NodeId>(rng() % c), y = static_cast<NodeId>(rng() % c);
      switch (rng() % 4) {
        case 0: ASSERT_TRUE(store.intern(op(binary[rng() % 4], {x, y})).ok()); break;
        case 1: ASSERT_TRUE(store.intern(rng() % 2 ? add_zero(x) : mul_one(x, "l")).ok()); break;
        case 2: ASSERT_TRUE(store.intern(op(rng() % 2 ? "exp" : "neg", {x})).ok()); break;
        default: ASSERT_TRUE(store.intern(red("sum", {x})).ok()); break;
      }
    }
    const auto count = static_cast<NodeId>(store.node_count());
    const NodeIds outputs = {count - 1, count / 2};
    auto whole = reduce_with_outputs(store, outputs, engine, false);
    ASSERT_TRUE(whole.ok());
    IncrementalReducer inc;
    ASSERT_TRUE(inc.step(store.snapshot().nodes).ok());
    auto f = inc.finalize(outputs, engine, false);
    ASSERT_TRUE(f.ok());
    // The two may order equal nodes differently (the engine keeps a class's earliest member,
    // the reducer a node's first arrival), but they find the same equalities.
    const ReductionReport& a = f.value().report;
    const ReductionReport& b = whole.value().report;
    EXPECT_EQ(a.canonical_nodes, b.canonical_nodes) << "trial " << trial;
    EXPECT_EQ(a.reduced_nodes, b.reduced_nodes) << "trial " << trial;
    EXPECT_EQ(a.boundary_nodes, b.boundary_nodes) << "trial " << trial;
  }
}

TEST(EggPipeline, OriginsNameWhereEveryNodeIsComputed) {
  // x, y, add(x, y), add(y, x), mul(2, 3), exp(x) dead, x + 0 (which is x itself)
  const std::vector<NodeKey> nodes = {src("x"),          src("y"),       op("add", {0, 1}), op("add", {1, 0}),
                                      op("mul", {2, 3}), op("exp", {0}), add_zero(0),       op("neg", {6})};
  const auto store = make_store(nodes);
  egraph::EggEngine engine;
  auto plain = reduce_with_outputs(*store, NodeIds{4, 7}, engine, false);
  auto traced = reduce_with_outputs(*store, NodeIds{4, 7}, engine, false, nullptr, true);
  ASSERT_TRUE(plain.ok() && traced.ok());
  EXPECT_TRUE(plain.value().origins.empty());
  EXPECT_EQ(traced.value().store->snapshot().nodes, plain.value().store->snapshot().nodes);
  const std::vector<Origin>& o = traced.value().origins;
  const NodeIds& ids = traced.value().output_ids;
  ASSERT_EQ(o.size(), nodes.size());
  EXPECT_EQ(o[0], (Origin{0, kNoId}));
  EXPECT_EQ(o[1], (Origin{1, kNoId}));
  // The two adds are one node, which mul reads twice: a stage of its own.
  EXPECT_EQ(o[2].member, 0u);
  EXPECT_NE(o[2].node, ids[0]);
  EXPECT_EQ(o[3], o[2]);
  EXPECT_EQ(o[4], (Origin{ids[0], 0}));
  EXPECT_EQ(o[5], Origin{});  // no output needs it
  EXPECT_EQ(o[6], o[0]);      // x + 0 is x
  EXPECT_EQ(o[7], (Origin{ids[1], 0}));

  IncrementalReducer inc;
  ASSERT_TRUE(inc.step(store->snapshot().nodes).ok());
  auto f = inc.finalize_default(NodeIds{4, 7}, engine, false, nullptr, true);
  ASSERT_TRUE(f.ok());
  ASSERT_EQ(f.value().origins.size(), nodes.size());
  EXPECT_EQ(f.value().origins[5], Origin{});
  EXPECT_EQ(f.value().origins[6], f.value().origins[0]);
  EXPECT_EQ(f.value().origins[2], f.value().origins[3]);
}

}  // namespace
}  // namespace vantrel
