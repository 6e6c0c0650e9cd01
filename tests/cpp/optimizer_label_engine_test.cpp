// The compact (label id) form of the engine interface: conversions both ways, the default
// adapter for engines that only spell graphs out, the contract checks on a compact result,
// and whole reductions that must not depend on which form the engine speaks.
#include <gtest/gtest.h>
#include <random>

#include "common/fault.hpp"
#include "egraph_engine/egg_engine.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/stage_fusion.hpp"
#include "optimizer_support.hpp"

namespace vantrel {
namespace {

using namespace vantrel::testing;

EngineNode leaf(const std::string& text) { return EngineNode{text, {}, !is_op_token(text)}; }
EngineNode node(const std::string& text, NodeIds inputs) {
  return EngineNode{text, std::move(inputs), !is_op_token(text)};
}

LabelledNodes labelled(std::initializer_list<std::pair<std::uint32_t, NodeIds>> nodes) {
  LabelledNodes out;
  for (const auto& [label, inputs] : nodes) out.push(label, inputs);
  return out;
}

TEST(LabelGraph, ConversionNumbersTextsInOrderOfFirstUse) {
  const EngineGraph g{{leaf("src|b"), leaf("src|a"), node("op|add", {0, 1}), node("op|add", {1, 0}), node("src|b", {})},
                      {3, 2, 3}};
  std::vector<std::string> labels;
  const LabelGraph compact = to_label_graph(g, labels);
  EXPECT_EQ(labels, (std::vector<std::string>{"src|b", "src|a", "op|add"}));
  EXPECT_EQ(compact.labels.size(), 3u);
  EXPECT_EQ(compact.nodes, labelled({{0, {}}, {1, {}}, {2, {0, 1}}, {2, {1, 0}}, {0, {}}}));
  EXPECT_EQ(compact.outputs, (NodeIds{3, 2, 3}));
  EXPECT_EQ(to_engine_graph(compact), g);
}

TEST(LabelGraph, SpelledOutFormRecomputesOpaqueFromTheLabel) {
  const std::vector<std::string> labels = {"src|a", "op|exp", "red|sum"};
  LabelGraph g;
  g.labels = labels;
  g.nodes = labelled({{0, {}}, {1, {0}}, {2, {1}}});
  g.outputs = {2};
  const EngineGraph spelled = to_engine_graph(g);
  ASSERT_EQ(spelled.nodes.size(), 3u);
  EXPECT_TRUE(spelled.nodes[0].opaque);
  EXPECT_FALSE(spelled.nodes[1].opaque);
  EXPECT_TRUE(spelled.nodes[2].opaque);
}

TEST(LabelGraph, WellFormedRefusesForwardInputsBadOutputsAndBrokenOffsets) {
  EXPECT_TRUE(label_graph_well_formed(labelled({{0, {}}, {0, {0}}}), NodeIds{1}));
  EXPECT_FALSE(label_graph_well_formed(labelled({{0, {}}, {0, {1}}}), NodeIds{}));
  EXPECT_FALSE(label_graph_well_formed(labelled({{0, {}}}), NodeIds{1}));
  LabelledNodes broken = labelled({{0, {}}, {0, {0}}});
  broken.input_begin.back() = 7;
  EXPECT_FALSE(label_graph_well_formed(broken, NodeIds{}));
}

/// The default adapter: the engine sees the spelled-out graph; its answer comes back in ids.
TEST(DefaultAdapter, MapsTheAnswerBackToLabelIds) {
  const std::vector<std::string> labels = {"src|a", "op|exp", "op|add"};
  LabelGraph g;
  g.labels = labels;
  g.nodes = labelled({{0, {}}, {1, {0}}, {1, {0}}, {2, {1, 2}}});
  g.outputs = {3, 2};
  MergeEngine merge(std::map<std::uint64_t, std::uint64_t>{{2, 1}});
  const LabelResult r = merge.canonicalize_labels(g);
  EXPECT_EQ(r.nodes, labelled({{0, {}}, {1, {0}}, {2, {1, 1}}}));
  EXPECT_EQ(r.outputs, (NodeIds{2, 1}));
  EXPECT_TRUE(r.added_labels.empty());
}

TEST(DefaultAdapter, TextsTheInputDidNotHaveGetTheIdsThatFollow) {
  const std::vector<std::string> labels = {"src|a", "op|exp"};
  LabelGraph g;
  g.labels = labels;
  g.nodes = labelled({{0, {}}, {1, {0}}, {1, {1}}});
  g.outputs = {2};
  FnEngine rename([](const EngineGraph& in) {
    EngineGraph out = in;
    out.nodes[1].op = "op|fresh";
    out.nodes[2].op = "op|fresh";
    out.nodes.push_back(node("op|other", {2}));
    return out;
  });
  const LabelResult r = rename.canonicalize_labels(g);
  EXPECT_EQ(r.added_labels, (std::vector<std::string>{"op|fresh", "op|other"}));
  EXPECT_EQ(r.nodes, labelled({{0, {}}, {2, {0}}, {2, {1}}, {3, {2}}}));
}

TEST(DefaultAdapter, ChecksTheSpelledOutContract) {
  const std::vector<std::string> labels = {"src|a", "op|exp"};
  LabelGraph g;
  g.labels = labels;
  g.nodes = labelled({{0, {}}, {1, {0}}});
  g.outputs = {1};
  FnEngine flag([](const EngineGraph& in) {
    EngineGraph out = in;
    out.nodes[1].opaque = true;
    return out;
  });
  FnEngine forward([](const EngineGraph& in) {
    EngineGraph out = in;
    out.nodes[0].inputs = {1};
    return out;
  });
  FnEngine grown([](const EngineGraph& in) {
    EngineGraph out = in;
    out.outputs.push_back(0);
    return out;
  });
  EXPECT_THROW(flag.canonicalize_labels(g), InternalFault);
  EXPECT_THROW(forward.canonicalize_labels(g), InternalFault);
  EXPECT_THROW(grown.canonicalize_labels(g), InternalFault);
}

/// An engine that only speaks the compact form: its answer is `fn` of the graph it is handed.
template <class Fn>
class CompactEngine final : public RewriteEngine {
 public:
  explicit CompactEngine(Fn fn) : fn_(std::move(fn)) {}
  EngineGraph canonicalize(const EngineGraph&) const override { throw std::logic_error("spelled-out form used"); }
  LabelResult canonicalize_labels(const LabelGraph& graph) const override { return fn_(graph); }

 private:
  Fn fn_;
};

LabelResult unchanged(const LabelGraph& g) { return LabelResult{g.nodes, g.outputs, {}}; }

/// A compact engine that answers with the graph it is handed after `tweak(answer, graph)`.
template <class Tweak>
auto tweaked(Tweak tweak) {
  return CompactEngine([tweak](const LabelGraph& g) {
    LabelResult r = unchanged(g);
    tweak(r, g);
    return r;
  });
}

TEST(CompactEngine, BrokenAnswersAreInternalFaults) {
  const std::vector<NodeKey> nodes = {src("a"), op("neg", {0}), op("exp", {1})};
  auto bad_label = tweaked([](LabelResult& r, const LabelGraph&) { r.nodes.label[1] = 99; });
  auto bad_offsets = tweaked([](LabelResult& r, const LabelGraph&) { r.nodes.input_begin.pop_back(); });
  auto forward = tweaked([](LabelResult& r, const LabelGraph&) { r.nodes.input_pool[0] = 2; });
  auto lost_output = tweaked([](LabelResult& r, const LabelGraph&) { r.outputs.clear(); });
  auto opaque_added = tweaked([](LabelResult& r, const LabelGraph& g) {
    r.added_labels = {"src|nowhere"};
    r.nodes.label[0] = static_cast<std::uint32_t>(g.labels.size());
  });
  for (const RewriteEngine* e :
       std::initializer_list<const RewriteEngine*>{&bad_label, &bad_offsets, &forward, &lost_output, &opaque_added}) {
    EXPECT_THROW(reduce_with_mode(nodes, NodeIds{2}, *e, false), InternalFault);
  }
}

TEST(CompactEngine, AnAddedOpLabelBecomesAMemberText) {
  const std::vector<NodeKey> nodes = {src("a"), op("neg", {0}), op("exp", {1})};
  auto renamed = tweaked([](LabelResult& r, const LabelGraph& g) {
    r.added_labels = {"op|log"};
    r.nodes.label[2] = static_cast<std::uint32_t>(g.labels.size());
  });
  const Reduced r = reduce_with_mode(nodes, NodeIds{2}, renamed, false);
  const std::vector<NodeKey> expected = {src("a"), stage({0}, {member("op|neg", {in(0)}), member("op|log", {mem(0)})})};
  EXPECT_EQ(r.keys(), expected);
}

TEST(CompactEngine, DuplicatesItHandsBackAreMergedByCse) {
  const std::vector<NodeKey> nodes = {src("a"), src("b"), op("add", {0, 1}), op("exp", {2}), op("neg", {2})};
  IdentityEngine identity;
  const Reduced expected = reduce_with_mode(nodes, NodeIds{3, 4}, identity, false);
  auto doubled = tweaked([](LabelResult& r, const LabelGraph& g) {
    const auto n = static_cast<NodeId>(g.nodes.size());
    for (std::uint64_t i = 0; i < n; ++i) {
      NodeIds ins(g.nodes.inputs(i).begin(), g.nodes.inputs(i).end());
      for (NodeId& x : ins) x += n;
      r.nodes.push(g.nodes.label[i], ins);
    }
    for (NodeId& o : r.outputs) o += n;
  });
  const Reduced r = reduce_with_mode(nodes, NodeIds{3, 4}, doubled, false);
  EXPECT_EQ(r.keys(), expected.keys());
  EXPECT_EQ(r.outputs, expected.outputs);
  EXPECT_EQ(r.report, expected.report);
}

TEST(Fusion, SpelledOutNodesMustAgreeWithTheirLabels) {
  TokenTable tokens;
  const NodeKey a = src("a");
  const std::vector<EngineNode> nodes = {EngineNode{tokens.label(tokens.add(a)), {}, false}};
  EXPECT_THROW(stage_fusion(nodes, NodeIds{0}, false, tokens), InternalFault);
}

/// The default engine answers the same through both forms, and a reduction gives the same
/// result whichever form the engine speaks.
class SpelledOutOnly final : public RewriteEngine {
 public:
  EngineGraph canonicalize(const EngineGraph& g) const override { return engine_.canonicalize(g); }

 private:
  egraph::EggEngine engine_;
};

std::vector<NodeKey> random_pipeline(std::uint32_t seed, std::size_t n) {
  std::mt19937 rng(seed);
  auto below = [&](std::size_t k) {
    return static_cast<NodeId>(std::uniform_int_distribution<std::size_t>(0, k - 1)(rng));
  };
  std::vector<NodeKey> nodes;
  const char* binary[] = {"add", "mul", "maximum", "sub"};
  const char* unary[] = {"exp", "neg", "log"};
  for (std::size_t i = 0; i < n; ++i) {
    const auto m = static_cast<NodeId>(nodes.size());
    const auto pick = [&] { return m - 1 - below(std::min<NodeId>(m, 6)); };
    const std::size_t kind = m < 3 ? 0 : below(10);
    if (kind == 0) {
      nodes.push_back(src("s" + std::to_string(below(4))));
    } else if (kind <= 4) {
      nodes.push_back(op(binary[below(4)], {pick(), pick()}));
    } else if (kind <= 6) {
      nodes.push_back(op(unary[below(3)], {pick()}));
    } else if (kind == 7) {
      nodes.push_back(below(2) == 0 ? add_zero(pick(), below(2) == 0 ? "r" : "l") : mul_one(pick()));
    } else if (kind == 8) {
      nodes.push_back(red("sum", {pick()}));
    } else {
      nodes.push_back(op("sum_all", {pick(), pick(), pick()}));
    }
    // Keys are interned: a repeat is simply not added.
    for (std::size_t j = 0; j + 1 < nodes.size(); ++j) {
      if (nodes[j] == nodes.back()) {
        nodes.pop_back();
        break;
      }
    }
  }
  return nodes;
}

// The engine graph of `nodes`, labelled by their tokens (`tokens` keeps the heads).
EngineGraph engine_graph_of(const std::vector<NodeKey>& nodes, TokenTable& tokens) {
  EngineGraph g;
  for (const NodeKey& k : nodes) {
    const auto in = k.inputs();
    g.nodes.push_back(node(tokens.label(tokens.add(k)), NodeIds(in.begin(), in.end())));
  }
  return g;
}

class BothForms : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(BothForms, ReduceTheSame) {
  const std::vector<NodeKey> nodes = random_pipeline(GetParam(), 300);
  const auto m = static_cast<NodeId>(nodes.size());
  const NodeIds outputs = {m - 1, m / 2, m - 1, m / 3};
  const egraph::EggEngine compact;
  const SpelledOutOnly spelled;
  for (bool maximal : {false, true}) {
    const Reduced a = reduce_with_mode(nodes, outputs, compact, maximal);
    const Reduced b = reduce_with_mode(nodes, outputs, spelled, maximal);
    EXPECT_EQ(a.keys(), b.keys());
    EXPECT_EQ(a.outputs, b.outputs);
    EXPECT_EQ(a.report, b.report);
  }
}

TEST_P(BothForms, EngineAnswersTheSame) {
  const std::vector<NodeKey> nodes = random_pipeline(GetParam(), 300);
  TokenTable tokens;
  EngineGraph g = engine_graph_of(nodes, tokens);
  g.outputs = {static_cast<NodeId>(nodes.size() - 1), 0};
  const egraph::EggEngine engine;
  egraph::CanonicalizeStats spelled_stats, compact_stats;
  const EngineGraph spelled = engine.canonicalize_with_stats(g, &spelled_stats);
  std::vector<std::string> labels;
  const LabelResult compact = engine.canonicalize_labels_with_stats(to_label_graph(g, labels), &compact_stats);
  EXPECT_TRUE(compact.added_labels.empty());
  LabelGraph back;
  back.labels = labels;
  back.nodes = compact.nodes;
  back.outputs = compact.outputs;
  EXPECT_EQ(to_engine_graph(back), spelled);
  EXPECT_EQ(compact_stats.roots, spelled_stats.roots);
  EXPECT_EQ(compact_stats.iterations, spelled_stats.iterations);
  EXPECT_EQ(compact_stats.stop, spelled_stats.stop);
}

// The hint that no two nodes are equal only picks how the engine loads the graph: set or not,
// true or not, the answer and the run are the same.
TEST_P(BothForms, TheDistinctHintChangesNothing) {
  const std::vector<NodeKey> nodes = random_pipeline(GetParam(), 300);
  TokenTable tokens;
  EngineGraph g = engine_graph_of(nodes, tokens);
  const EngineGraph distinct = g;
  // Repeats of every fifth node, each used beside its original, so that equal nodes make
  // their users equal too.
  const std::size_t n = g.nodes.size();
  for (std::size_t i = 0; i < n; i += 5) {
    g.nodes.push_back(g.nodes[i]);
    const auto copy = static_cast<NodeId>(g.nodes.size() - 1);
    g.nodes.push_back(node("op|add", {static_cast<NodeId>(i), copy}));
  }
  const egraph::EggEngine engine;
  for (EngineGraph graph : {distinct, g}) {
    graph.outputs = {static_cast<NodeId>(graph.nodes.size() - 1), 0, static_cast<NodeId>(n / 2)};
    std::vector<std::string> labels;
    LabelGraph compact = to_label_graph(graph, labels);
    egraph::CanonicalizeStats in_order, one_pass;
    compact.likely_distinct = false;
    const LabelResult a = engine.canonicalize_labels_with_stats(compact, &in_order);
    compact.likely_distinct = true;
    const LabelResult b = engine.canonicalize_labels_with_stats(compact, &one_pass);
    EXPECT_EQ(a, b);
    EXPECT_EQ(in_order.roots, one_pass.roots);
    EXPECT_EQ(in_order.stop, one_pass.stop);
    ASSERT_EQ(in_order.records.size(), one_pass.records.size());
    for (std::size_t i = 0; i < in_order.records.size(); ++i) {
      EXPECT_EQ(in_order.records[i].e_nodes_at_start, one_pass.records[i].e_nodes_at_start);
      EXPECT_EQ(in_order.records[i].classes_at_start, one_pass.records[i].classes_at_start);
      EXPECT_EQ(in_order.records[i].applied_counts, one_pass.records[i].applied_counts);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, BothForms, ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u));

}  // namespace
}  // namespace vantrel
