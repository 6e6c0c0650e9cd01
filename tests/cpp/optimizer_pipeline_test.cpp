// The reduction pipeline through the engine interface: the worked example, dead-code
// elimination, CSE after the engine, the labels the engine sees, and how stages and external
// nodes whose tokens collide are kept apart.
#include <gtest/gtest.h>

#include "common/fault.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/token_table.hpp"
#include "optimizer_support.hpp"

namespace vantrel {
namespace {

using namespace vantrel::testing;

ReductionReport counts(std::uint64_t in, std::uint64_t reach, std::uint64_t canon, std::uint64_t stages,
                       std::uint64_t reduced, std::uint64_t boundary) {
  return {in, reach, canon, stages, reduced, boundary};
}

TEST(Pipeline, WorkedExample) {
  std::vector<NodeKey> nodes = {src("a"), src("b"), op("exp", {0}), op("exp", {1}), op("add", {2, 1})};
  IdentityEngine engine;
  Reduced r = reduce_with_mode(nodes, NodeIds{4}, engine, false);

  EngineGraph seen{{{"src|a", {}, true}, {"src|b", {}, true}, {"op|exp", {0}, false}, {"op|add", {2, 1}, false}}, {3}};
  EXPECT_EQ(engine.last, seen);
  std::vector<NodeKey> expected = {src("a"), src("b"),
                                   stage({0, 1}, {member("op|exp", {in(0)}), member("op|add", {mem(0), in(1)})})};
  EXPECT_EQ(r.keys(), expected);
  EXPECT_EQ(r.outputs, NodeIds{2});
  EXPECT_EQ(r.report, counts(5, 4, 4, 1, 3, 2));
}

TEST(Pipeline, ReportMapNamesTheSixCounts) {
  auto m = report_to_map(counts(1, 2, 3, 4, 5, 6));
  std::vector<std::pair<std::string, std::uint64_t>> expected = {{"input_nodes", 1},     {"reachable_nodes", 2},
                                                                 {"canonical_nodes", 3}, {"stages", 4},
                                                                 {"reduced_nodes", 5},   {"boundary_nodes", 6}};
  EXPECT_EQ(m, expected);
}

TEST(Pipeline, EmptyOutputsOrEmptyGraph) {
  IdentityEngine engine;
  Reduced r = reduce_with_mode({src("a"), op("exp", {0})}, NodeIds{}, engine, false);
  EXPECT_TRUE(r.keys().empty());
  EXPECT_TRUE(r.outputs.empty());
  EXPECT_EQ(r.report, counts(2, 0, 0, 0, 0, 0));
  EXPECT_EQ(reduce_with_mode({}, NodeIds{}, engine, true).report, counts(0, 0, 0, 0, 0, 0));
}

TEST(Pipeline, RepeatedOutputsKeepTheirRepeats) {
  IdentityEngine engine;
  Reduced r = reduce_with_mode({src("a"), op("exp", {0}), op("neg", {0})}, NodeIds{2, 1, 2}, engine, false);
  ASSERT_EQ(r.outputs.size(), 3u);
  EXPECT_EQ(r.outputs[0], r.outputs[2]);
  EXPECT_NE(r.outputs[0], r.outputs[1]);
}

TEST(Pipeline, DeadNodesOfEveryKindAreDropped) {
  std::vector<NodeKey> nodes = {src("a"), src("dead"), exch({0}),
                                ext(PayloadDescriptor{"m", "h", "f", "1", "s", {}}, {0}), op("exp", {0})};
  IdentityEngine engine;
  Reduced r = reduce_with_mode(nodes, NodeIds{4}, engine, false);
  EXPECT_EQ(r.report.reachable_nodes, 2u);
  EXPECT_EQ(r.keys(), (std::vector<NodeKey>{src("a"), stage({0}, {member("op|exp", {in(0)})})}));
}

TEST(Pipeline, SameTokenDifferentInputsBothSurvive) {
  // Two sum reductions share one token-table entry; each keeps its own inputs.
  std::vector<NodeKey> nodes = {src("a"), src("b"), red("sum", {0}), red("sum", {1}), op("add", {2, 3})};
  IdentityEngine engine;
  Reduced r = reduce_with_mode(nodes, NodeIds{4}, engine, false);
  EXPECT_EQ(r.keys()[2], red("sum", {0}));
  EXPECT_EQ(r.keys()[3], red("sum", {1}));
}

TEST(Pipeline, CseRespectsInputOrder) {
  std::vector<NodeKey> nodes = {src("a"), src("b"), op("add", {0, 1}), op("add", {1, 0}), op("mul", {2, 3})};
  IdentityEngine engine;
  EXPECT_EQ(reduce_with_mode(nodes, NodeIds{4}, engine, false).report.canonical_nodes, 5u);
}

TEST(Pipeline, CseMergesWhatTheEngineMadeEqual) {
  // The engine proves 3 equal to 2; their two consumers then have equal labels and inputs,
  // and CSE merges them.
  std::vector<NodeKey> nodes = {src("a"),       src("b"),       op("add", {0, 1}), op("add", {1, 0}),
                                op("exp", {2}), op("exp", {3}), op("mul", {4, 5})};
  MergeEngine engine(std::map<std::uint64_t, std::uint64_t>{{3, 2}});
  Reduced r = reduce_with_mode(nodes, NodeIds{6}, engine, false);
  EXPECT_EQ(r.report, counts(7, 7, 5, 2, 4, 2));
  std::vector<NodeKey> expected = {src("a"), src("b"),
                                   stage({0, 1}, {member("op|add", {in(0), in(1)}), member("op|exp", {mem(0)})}),
                                   stage({2}, {member("op|mul", {in(0), in(0)})})};
  EXPECT_EQ(r.keys(), expected);
}

TEST(Pipeline, CseMergesDuplicatesBehindAWideFanOut) {
  // Thirty ops read source 0 first (some also read source 1 or another op), far more than a
  // handful; the engine hands back the graph followed by a full copy of itself, so every node
  // of the copy (sources included) must merge onto its original, whatever the fan-out.
  constexpr NodeId kNoSecond = ~NodeId{0};
  std::vector<NodeKey> nodes = {src("a"), src("b")};
  const char* names[] = {"exp", "neg", "log", "abs", "sqrt"};
  for (std::uint64_t k = 0; k < 30; ++k) {
    const NodeId second = k % 3 == 0 ? 1 : (k % 3 == 1 ? static_cast<NodeId>(nodes.size() - 1) : kNoSecond);
    if (second == kNoSecond) {
      nodes.push_back(op(names[k % 5], {0}, pmap({{"k", ParamValue::of_int(static_cast<std::int64_t>(k / 5))}})));
    } else {
      nodes.push_back(op(names[k % 5], {0, second}));
    }
  }
  NodeIds inputs;
  for (NodeId i = 2; i < nodes.size(); ++i) inputs.push_back(i);
  nodes.push_back(op("sum_all", inputs));
  const NodeIds outputs{static_cast<NodeId>(nodes.size() - 1), 5, 2};

  IdentityEngine identity;
  const Reduced expected = reduce_with_mode(nodes, outputs, identity, false);
  FnEngine doubled([](const EngineGraph& g) {
    EngineGraph out = g;
    const auto n = static_cast<NodeId>(g.nodes.size());
    for (const EngineNode& node : g.nodes) {
      EngineNode copy = node;
      for (auto& x : copy.inputs) x += n;
      out.nodes.push_back(std::move(copy));
    }
    for (auto& o : out.outputs) o += n;
    return out;
  });
  const Reduced r = reduce_with_mode(nodes, outputs, doubled, false);
  EXPECT_EQ(r.report, expected.report);
  EXPECT_EQ(r.keys(), expected.keys());
  EXPECT_EQ(r.outputs, expected.outputs);
}

TEST(Pipeline, MaximalFusionChangesOnlyFanOut) {
  std::vector<NodeKey> nodes = {src("a"), op("exp", {0}), op("neg", {1}), op("log", {1}), op("add", {2, 3})};
  IdentityEngine engine;
  EXPECT_EQ(reduce_with_mode(nodes, NodeIds{4}, engine, false).report.stages, 2u);
  EXPECT_EQ(reduce_with_mode(nodes, NodeIds{4}, engine, true).report.stages, 1u);
}

TEST(Pipeline, MillionLongChainReducesWithoutRecursion) {
  const NodeId n = 1000000;
  std::vector<NodeKey> nodes;
  nodes.reserve(n);
  nodes.push_back(src("x"));
  for (NodeId i = 1; i < n; ++i) nodes.push_back(i % 1000 == 0 ? red("sum", {i - 1}) : op("neg", {i - 1}));
  IdentityEngine engine;
  Reduced r = reduce_with_mode(nodes, NodeIds{n - 1}, engine, false);
  EXPECT_EQ(r.report.reachable_nodes, n);
  EXPECT_EQ(r.report.boundary_nodes, 1000u);  // the source and 999 reductions
  EXPECT_EQ(r.report.stages, 1000u);
}

TEST(Pipeline, OnlyLiveNodesMustReadEarlierNodes) {
  IdentityEngine engine;
  // A graph in compact form is checked as dead-code elimination walks it: a dead node is
  // never read, whatever it names; a live one is checked whether or not it is an output.
  const FlatGraph dead_reads_later = as_graph({src("a"), op("neg", {2}), op("exp", {0}), op("log", {2})});
  EXPECT_EQ(reduce_flat(dead_reads_later, NodeIds{3}, engine, false).report.reachable_nodes, 3u);
  const FlatGraph live_reads_later = as_graph({src("a"), op("neg", {2}), op("exp", {0}), op("log", {1})});
  EXPECT_THROW(reduce_flat(live_reads_later, NodeIds{3}, engine, false), InternalFault);
  EXPECT_THROW(reduce_flat(as_graph({src("a"), op("neg", {1})}), NodeIds{1}, engine, false), InternalFault);
}

TEST(Pipeline, BrokenPreconditionsAreInternalFaults) {
  IdentityEngine identity;
  EXPECT_THROW(reduce_with_mode({src("a")}, NodeIds{1}, identity, false), InternalFault);
  EXPECT_THROW(reduce_with_mode({src("a"), op("neg", {1})}, NodeIds{1}, identity, false), InternalFault);

  auto forward = FnEngine([](const EngineGraph& g) {
    EngineGraph out = g;
    out.nodes[0].inputs = {1};
    return out;
  });
  auto unknown_label = FnEngine([](const EngineGraph& g) {
    EngineGraph out = g;
    out.nodes[0].op = "src|nowhere";
    return out;
  });
  auto lost_output = FnEngine([](const EngineGraph& g) {
    EngineGraph out = g;
    out.outputs.clear();
    return out;
  });
  std::vector<NodeKey> nodes = {src("a"), op("neg", {0})};
  EXPECT_THROW(reduce_with_mode(nodes, NodeIds{1}, forward, false), InternalFault);
  EXPECT_THROW(reduce_with_mode(nodes, NodeIds{1}, unknown_label, false), InternalFault);
  EXPECT_THROW(reduce_with_mode(nodes, NodeIds{1}, lost_output, false), InternalFault);
}

// ---- Keys whose tokens collide ----

PayloadDescriptor desc(std::string kind, std::string hash, std::optional<std::string> pref = std::nullopt) {
  return PayloadDescriptor{std::move(kind), std::move(hash), "fw", "1", "s", std::move(pref)};
}

TEST(TokenLabels, CollidingHeadsGetDistinctLabels) {
  const NodeKey s1 = stage({}, {member("op|exp", {in(0)}), member("op|neg", {mem(0)})});
  const NodeKey s2 = stage({}, {member("op|log", {in(0)}), member("op|neg", {mem(0)})});
  const NodeKey s1_again = stage({7}, {member("op|exp", {in(0)}), member("op|neg", {mem(0)})});
  const NodeKey e1 = ext(desc("m|x", "h"), {});
  const NodeKey e2 = ext(desc("m", "x|h"), {});
  const NodeKey e3 = ext(desc("m", "x|h", "-"), {});
  const NodeKey e4 = ext(desc("m", "x|h", "-"), {});
  ASSERT_EQ(s1.token(), s2.token());
  ASSERT_EQ(e1.token(), e2.token());

  TokenTable t;
  EXPECT_EQ(t.label(t.add(s1)), "stage|2");
  EXPECT_EQ(t.label(t.add(s2)), "stage#1|2");
  EXPECT_EQ(t.add(s1_again), t.add(s1));
  EXPECT_EQ(t.label(t.add(e1)), "ext|m|x|h|fw|1|s|-");
  EXPECT_EQ(t.label(t.add(e2)), "ext#1|m|x|h|fw|1|s|-");
  EXPECT_EQ(t.label(t.add(e3)), "ext#2|m|x|h|fw|1|s|-");
  EXPECT_EQ(t.add(e4), t.add(e3));
  EXPECT_EQ(t.size(), 5u);
  EXPECT_EQ(t.find("stage#1|2"), &s2);
  EXPECT_EQ(t.find("ext#2|m|x|h|fw|1|s|-"), &e3);
  EXPECT_EQ(t.find("ext#3|m|x|h|fw|1|s|-"), nullptr);
}

TEST(TokenLabels, NoCollisionMeansLabelsAreTokens) {
  std::vector<NodeKey> nodes = {src("a|b"),
                                ext(desc("m", "h"), {0}),
                                exch({1}),
                                red("sum", {2}),
                                stage({3}, {member("op|exp", {in(0)})}),
                                op("add", {4, 0}, pmap({{"k", ParamValue::of_int(1)}}))};
  IdentityEngine engine;
  reduce_with_mode(nodes, NodeIds{5}, engine, false);
  ASSERT_EQ(engine.last.nodes.size(), nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) EXPECT_EQ(engine.last.nodes[i].op, nodes[i].token());
}

TEST(TokenLabels, DistinctStagesSurviveASecondReduction) {
  // Two stages with the same member count and the same input, as a reduced store holds them.
  const NodeKey s1 = stage({0}, {member("op|exp", {in(0)}), member("op|neg", {mem(0)})});
  const NodeKey s2 = stage({0}, {member("op|log", {in(0)}), member("op|neg", {mem(0)})});
  std::vector<NodeKey> nodes = {src("a"), s1, s2, red("sum", {1, 2})};
  IdentityEngine engine;
  Reduced r = reduce_with_mode(nodes, NodeIds{3}, engine, false);
  EXPECT_EQ(r.keys(), nodes);
  EXPECT_EQ(r.report.canonical_nodes, 4u);

  EXPECT_NE(engine.last.nodes[1].op, engine.last.nodes[2].op);
  EXPECT_EQ(reduce_with_mode(r.keys(), r.outputs, engine, true).keys(), nodes);
}

TEST(TokenLabels, ExternalsWithCollidingTokensKeepTheirDescriptors) {
  for (auto [d1, d2] :
       {std::pair{desc("m|x", "h"), desc("m", "x|h")}, std::pair{desc("m", "h", "-"), desc("m", "h")}}) {
    const NodeKey e1 = ext(d1, {0});
    const NodeKey e2 = ext(d2, {0});
    ASSERT_EQ(e1.token(), e2.token());
    std::vector<NodeKey> nodes = {src("a"), e1, e2, op("add", {1, 2})};
    IdentityEngine engine;
    Reduced r = reduce_with_mode(nodes, NodeIds{3}, engine, false);
    ASSERT_EQ(r.keys().size(), 4u);
    EXPECT_EQ(r.keys()[1], e1);
    EXPECT_EQ(r.keys()[2], e2);
    EXPECT_NE(engine.last.nodes[1].op, engine.last.nodes[2].op);
  }
}

TEST(TokenLabels, EqualExternalsStillMerge) {
  std::vector<NodeKey> nodes = {src("a"), ext(desc("m", "h"), {0}), ext(desc("m", "h"), {0}), op("add", {1, 2})};
  // The store would have interned these as one node; a plain list may hold both, and CSE
  // merges them because their labels and inputs are equal.
  IdentityEngine engine;
  Reduced r = reduce_with_mode(nodes, NodeIds{3}, engine, false);
  EXPECT_EQ(r.report.canonical_nodes, 3u);
}

}  // namespace
}  // namespace vantrel
