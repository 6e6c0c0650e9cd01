// Stage fusion under both grouping rules: the three worked graphs as golden results, and the
// edges of the grouping (outputs, opaque consumers, fan-out, repeated uses).
#include <gtest/gtest.h>

#include "optimizer/stage_fusion.hpp"
#include "optimizer_support.hpp"

namespace vantrel {
namespace {

using namespace vantrel::testing;

/// Fuses `keys` as if they were the canonical graph (labels from a token table, inputs as
/// given).
FusionResult fuse(const std::vector<NodeKey>& keys, const NodeIds& outputs, bool maximal) {
  TokenTable tokens;
  std::vector<EngineNode> nodes;
  for (const NodeKey& k : keys) {
    const auto in = k.inputs();
    nodes.push_back(EngineNode{tokens.label(tokens.add(k)), NodeIds(in.begin(), in.end()), k.kind() != NodeKey::kOp});
  }
  return stage_fusion(nodes, outputs, maximal, tokens);
}

struct Golden {
  const char* name;
  std::vector<NodeKey> keys;
  NodeIds outputs;
  bool maximal;
  std::vector<NodeKey> nodes;
  NodeIds result_outputs;
  std::uint64_t stages, boundary;
};

std::vector<Golden> golden_cases() {
  // 1: sources a, b; exp [0]; add [2, 1]. Both rules agree.
  std::vector<NodeKey> g1 = {src("a"), src("b"), op("exp", {0}), op("add", {2, 1})};
  std::vector<NodeKey> r1 = {src("a"), src("b"),
                             stage({0, 1}, {member("op|exp", {in(0)}), member("op|add", {mem(0), in(1)})})};
  // 2: fan-out of exp into neg and log, joined by add.
  std::vector<NodeKey> g2 = {src("a"), op("exp", {0}), op("neg", {1}), op("log", {1}), op("add", {2, 3})};
  std::vector<NodeKey> r2_default = {
      src("a"), stage({0}, {member("op|exp", {in(0)})}),
      stage({1}, {member("op|neg", {in(0)}), member("op|log", {in(0)}), member("op|add", {mem(0), mem(1)})})};
  std::vector<NodeKey> r2_maximal = {
      src("a"), stage({0}, {member("op|exp", {in(0)}), member("op|neg", {mem(0)}), member("op|log", {mem(0)}),
                            member("op|add", {mem(1), mem(2)})})};
  // 3: one consumer using its producer twice.
  std::vector<NodeKey> g3 = {src("a"), op("exp", {0}), op("mul", {1, 1})};
  std::vector<NodeKey> r3_default = {src("a"), stage({0}, {member("op|exp", {in(0)})}),
                                     stage({1}, {member("op|mul", {in(0), in(0)})})};
  std::vector<NodeKey> r3_maximal = {src("a"),
                                     stage({0}, {member("op|exp", {in(0)}), member("op|mul", {mem(0), mem(0)})})};
  return {
      {"example1_default", g1, {3}, false, r1, {2}, 1, 2},
      {"example1_maximal", g1, {3}, true, r1, {2}, 1, 2},
      {"example2_default", g2, {4}, false, r2_default, {2}, 2, 1},
      {"example2_maximal", g2, {4}, true, r2_maximal, {1}, 1, 1},
      {"example3_default", g3, {2}, false, r3_default, {2}, 2, 1},
      {"example3_maximal", g3, {2}, true, r3_maximal, {1}, 1, 1},
  };
}

class FusionGolden : public ::testing::TestWithParam<Golden> {};

TEST_P(FusionGolden, MatchesWorkedResult) {
  const Golden& g = GetParam();
  FusionResult r = fuse(g.keys, g.outputs, g.maximal);
  EXPECT_EQ(r.keys(), g.nodes);
  EXPECT_EQ(r.outputs, g.result_outputs);
  EXPECT_EQ(r.stages, g.stages);
  EXPECT_EQ(r.boundary_nodes, g.boundary);
  EXPECT_EQ(r.reduced_nodes, g.nodes.size());
}

INSTANTIATE_TEST_SUITE_P(WorkedExamples, FusionGolden, ::testing::ValuesIn(golden_cases()),
                         [](const auto& p) { return std::string(p.param.name); });

class FusionBothRules : public ::testing::TestWithParam<bool> {};

TEST_P(FusionBothRules, OutputOpNeverAbsorbsItsConsumer) {
  FusionResult r = fuse({src("a"), op("exp", {0}), op("neg", {1})}, {2, 1}, GetParam());
  std::vector<NodeKey> expected = {src("a"), stage({0}, {member("op|exp", {in(0)})}),
                                   stage({1}, {member("op|neg", {in(0)})})};
  EXPECT_EQ(r.keys(), expected);
  EXPECT_EQ(r.outputs, (NodeIds{2, 1}));
}

TEST_P(FusionBothRules, OpConsumedByOpaqueNodeIsSingleStage) {
  const std::vector<NodeKey> opaque_users = {red("sum", {1}), exch({1}),
                                             ext(PayloadDescriptor{"m", "h", "f", "1", "s", std::nullopt}, {1}),
                                             stage({1}, {member("op|neg", {in(0)})})};
  for (const NodeKey& user : opaque_users) {
    FusionResult r = fuse({src("a"), op("exp", {0}), user}, {2}, GetParam());
    ASSERT_EQ(r.keys().size(), 3u);
    EXPECT_EQ(r.keys()[1], stage({0}, {member("op|exp", {in(0)})}));
    EXPECT_EQ(r.keys()[2], user);
    EXPECT_EQ(r.stages, 1u);
    EXPECT_EQ(r.boundary_nodes, 2u);
  }
}

TEST_P(FusionBothRules, ForeignNodeUsedManyTimesIsOneInput) {
  // b and a feed several members of one stage: each is listed once, in order of first use.
  FusionResult r = fuse({src("a"), src("b"), op("sub", {1, 0}), op("mul", {2, 0}), op("add", {3, 1})}, {4}, GetParam());
  std::vector<NodeKey> expected = {src("a"), src("b"),
                                   stage({1, 0}, {member("op|sub", {in(0), in(1)}), member("op|mul", {mem(0), in(1)}),
                                                  member("op|add", {mem(1), in(0)})})};
  EXPECT_EQ(r.keys(), expected);
}

TEST_P(FusionBothRules, EmptyGraph) {
  FusionResult r = fuse({}, {}, GetParam());
  EXPECT_TRUE(r.keys().empty());
  EXPECT_TRUE(r.outputs.empty());
  EXPECT_EQ(r.stages + r.boundary_nodes + r.reduced_nodes, 0u);
}

TEST_P(FusionBothRules, OpaqueNodesAreNeverMembers) {
  // exp feeds a reduction that feeds neg: the reduction splits the chain into two stages.
  FusionResult r = fuse({src("a"), op("exp", {0}), red("sum", {1}), op("neg", {2})}, {3}, GetParam());
  std::vector<NodeKey> expected = {src("a"), stage({0}, {member("op|exp", {in(0)})}), red("sum", {1}),
                                   stage({2}, {member("op|neg", {in(0)})})};
  EXPECT_EQ(r.keys(), expected);
  EXPECT_EQ(r.outputs, NodeIds{3});
}

INSTANTIATE_TEST_SUITE_P(Rules, FusionBothRules, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? std::string("maximal") : std::string("single_use"); });

TEST(FusionMaximal, FanOutIntoDifferentGroupsStaysAlone) {
  // exp feeds neg and log; both are outputs, so they sit in different groups and exp stays alone.
  FusionResult r = fuse({src("a"), op("exp", {0}), op("neg", {1}), op("log", {1})}, {2, 3}, true);
  std::vector<NodeKey> expected = {src("a"), stage({0}, {member("op|exp", {in(0)})}),
                                   stage({1}, {member("op|neg", {in(0)})}), stage({1}, {member("op|log", {in(0)})})};
  EXPECT_EQ(r.keys(), expected);
  EXPECT_EQ(r.stages, 3u);
}

TEST(FusionMaximal, FanOutIntoOpaqueConsumerStaysAlone) {
  FusionResult r = fuse({src("a"), op("exp", {0}), op("neg", {1}), red("sum", {1}), op("add", {2, 3})}, {4}, true);
  EXPECT_EQ(r.keys()[1], stage({0}, {member("op|exp", {in(0)})}));
  EXPECT_EQ(r.stages, 2u);
}

TEST(FusionSingleUse, DeepChainIsOneStage) {
  // A long chain fuses into one stage without recursion.
  const NodeId n = 200000;
  std::vector<NodeKey> keys = {src("a")};
  for (NodeId i = 1; i < n; ++i) keys.push_back(op(i % 2 ? "exp" : "neg", {i - 1}));
  FusionResult r = fuse(keys, {n - 1}, false);
  ASSERT_EQ(r.keys().size(), 2u);
  const NodeKey last = r.graph.key(1);
  const Stage* s = last.get_if<Stage>();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->members.size(), n - 1);
  EXPECT_EQ(s->members.back().args, StageArgs{mem(n - 3)});
}

}  // namespace
}  // namespace vantrel
