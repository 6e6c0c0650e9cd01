// Fusion hands back each distinct head once and the reduced store is built from that compact
// form: heads shared by stages with equal member lists and by equal boundary heads, equal
// stages in a record folded into one node, and on random graphs under both grouping rules the
// store equal to the one built by interning each key in turn.
#include <gtest/gtest.h>
#include <random>

#include "optimizer/reduced_store.hpp"
#include "optimizer/stage_fusion.hpp"
#include "optimizer_support.hpp"

namespace vantrel {
namespace {

using namespace vantrel::testing;

/// What a store looks like from outside: keys, head ids, marks.
struct StoreImage {
  std::vector<NodeKey> nodes;
  std::vector<std::uint32_t> head_ids;
  NodeIds marks;
  bool operator==(const StoreImage&) const = default;
};

StoreImage image_of(const GraphStore& s) {
  return s.with_view([](const GraphStore::View& v) {
    StoreImage out;
    for (NodeId i = 0; i < v.node_count(); ++i) {
      out.nodes.push_back(v.key(i));
      out.head_ids.push_back(v.head_id(i));
    }
    out.marks = v.marked();
    return out;
  });
}

/// The reduced store as interning each key in turn builds it, each input renumbered through
/// the ids the keys before it got; and the id of each output.
std::pair<StoreImage, NodeIds> key_by_key(const Reduced& r) {
  GraphStore s;
  NodeIds ids;
  const std::vector<NodeKey> keys = r.keys();
  for (const NodeKey& k : keys) {
    NodeIds inputs;
    for (NodeId p : k.inputs()) inputs.push_back(ids.at(p));
    ids.push_back(s.intern(k.with_inputs(std::move(inputs))).value());
  }
  NodeIds outputs;
  for (NodeId p : r.outputs) {
    EXPECT_TRUE(s.mark_output(ids.at(p)).ok());
    outputs.push_back(ids.at(p));
  }
  return {image_of(s), outputs};
}

void expect_store_as_key_by_key(const Reduced& r) {
  const auto [expected, expected_outputs] = key_by_key(r);
  ReducedStore built = from_reduced(r);
  EXPECT_EQ(image_of(*built.store), expected);
  EXPECT_EQ(built.output_ids, expected_outputs);
  EXPECT_EQ(built.report, r.report);
}

/// Each head of the compact form is used, and no two are equal.
void expect_heads_distinct_and_used(const FlatGraph& g) {
  std::vector<bool> used(g.heads.size());
  for (std::uint32_t h : g.head_of) used.at(h) = true;
  for (std::size_t a = 0; a < g.heads.size(); ++a) {
    EXPECT_TRUE(used[a]) << "head " << a;
    for (std::size_t b = a + 1; b < g.heads.size(); ++b) EXPECT_FALSE(same_head(g.heads[a], g.heads[b])) << a << b;
  }
}

TEST(FusedHeads, StagesWithEqualMembersShareOneHeadAndKeepTheirInputs) {
  IdentityEngine engine;
  const Reduced r =
      reduce_with_mode({src("a"), src("b"), op("exp", {0}), op("exp", {1}), op("neg", {2}), op("neg", {3})},
                       NodeIds{4, 5}, engine, false);
  const NodeKey chain = stage({}, {member("op|exp", {in(0)}), member("op|neg", {mem(0)})});
  EXPECT_EQ(r.keys(), (std::vector<NodeKey>{src("a"), src("b"), chain.with_inputs({0}), chain.with_inputs({1})}));
  ASSERT_EQ(r.graph.heads.size(), 3u);
  EXPECT_EQ(r.graph.head_of, (std::vector<std::uint32_t>{0, 1, 2, 2}));
  expect_store_as_key_by_key(r);
}

TEST(FusedHeads, BoundaryHeadsBetweenStagesAreSharedToo) {
  // a -> exp -> exchange -> exp -> exchange -> exp: three equal stages, two equal exchanges.
  IdentityEngine engine;
  const Reduced r = reduce_with_mode({src("a"), op("exp", {0}), exch({1}), op("exp", {2}), exch({3}), op("exp", {4})},
                                     NodeIds{5}, engine, false);
  const NodeKey one = stage({}, {member("op|exp", {in(0)})});
  EXPECT_EQ(r.keys(), (std::vector<NodeKey>{src("a"), one.with_inputs({0}), exch({1}), one.with_inputs({2}), exch({3}),
                                            one.with_inputs({4})}));
  EXPECT_EQ(r.graph.head_of, (std::vector<std::uint32_t>{0, 1, 2, 1, 2, 1}));
  expect_store_as_key_by_key(r);
}

TEST(FusedHeads, EqualStagesInARecordAreOneNode) {
  // Not something fusion emits: one stage head entered twice, and equal stages under it and
  // under its copy. The store keeps one node, and the users of the repeats read it.
  const NodeKey head = stage({}, {member("op|exp", {in(0)})});
  Reduced r;
  r.graph.heads = {src("a"), head, head, exch({})};
  r.graph.push(0, {});
  r.graph.push(1, NodeIds{0});
  r.graph.push(2, NodeIds{0});
  r.graph.push(1, NodeIds{0});
  r.graph.push(3, NodeIds{2});
  r.graph.push(3, NodeIds{3});
  r.outputs = {3, 5, 2, 4};
  ReducedStore built = from_reduced(r);
  EXPECT_EQ(image_of(*built.store).nodes, (std::vector<NodeKey>{src("a"), head.with_inputs({0}), exch({1})}));
  EXPECT_EQ(built.output_ids, (NodeIds{1, 2, 1, 2}));
  expect_store_as_key_by_key(r);
}

/// A random pipeline-shaped graph over a small vocabulary, so that member lists recur: ops
/// with fan-out and joins, reductions and exchanges between them, repeated and dead nodes.
std::vector<NodeKey> random_keys(std::mt19937_64& rng, std::uint64_t n) {
  auto below = [&](std::uint64_t k) { return static_cast<NodeId>(rng() % k); };
  const char* unary[] = {"exp", "neg", "log"};
  std::vector<NodeKey> keys = {src("a"), src("b")};
  while (keys.size() < n) {
    const auto m = static_cast<NodeId>(keys.size());
    const NodeId x = m - 1 - below(std::min<NodeId>(m, 4)), y = below(m);
    switch (rng() % 8) {
      case 0: keys.push_back(src(rng() % 2 ? "a" : "c")); break;
      case 1: keys.push_back(op("add", {x, y})); break;
      case 2: keys.push_back(rng() % 2 ? red("sum", {x}) : exch({x})); break;
      case 3: keys.push_back(add_zero(x)); break;
      default: keys.push_back(op(unary[rng() % 3], {x})); break;
    }
  }
  return keys;
}

class FusedHeadsRandom : public ::testing::TestWithParam<bool> {};

TEST_P(FusedHeadsRandom, StoreEqualsKeyByKeyAndHeadsAreDistinct) {
  const bool maximal = GetParam();
  std::mt19937_64 rng(maximal ? 5 : 6);
  IdentityEngine engine;
  for (int round = 0; round < 60; ++round) {
    const std::vector<NodeKey> keys = random_keys(rng, 3 + rng() % 80);
    GraphStore store;
    NodeIds ids;
    for (const NodeKey& k : keys) {
      NodeIds inputs;
      for (NodeId p : k.inputs()) inputs.push_back(ids[p]);
      ids.push_back(store.intern(k.with_inputs(std::move(inputs))).value());
    }
    const NodeIds outputs{ids.back(), ids[rng() % ids.size()], ids.back()};
    const Reduced r = reduce_flat(flat_snapshot(store, 0, false).graph, outputs, engine, maximal);
    expect_heads_distinct_and_used(r.graph);
    expect_store_as_key_by_key(r);
    // The store the reduction entry point builds is the same one.
    auto via_store = reduce_with_outputs(store, outputs, engine, maximal);
    ASSERT_TRUE(via_store.ok());
    EXPECT_EQ(image_of(*via_store.value().store), key_by_key(r).first);
  }
}

INSTANTIATE_TEST_SUITE_P(BothRules, FusedHeadsRandom, ::testing::Values(false, true),
                         [](const auto& p) { return std::string(p.param ? "maximal" : "single_use"); });

}  // namespace
}  // namespace vantrel
