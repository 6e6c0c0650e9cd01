// A key interned from a borrowed head view and the equal owned key must be one node: the
// view hashes and compares exactly like the owned head.
#include "ir/head_view.hpp"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

#include "store/graph_store.hpp"

namespace vantrel {
namespace {

ParamValueView int_view(std::int64_t i) { return ParamValueView{ParamValue::Int, i, 0, false, {}}; }
ParamValueView float_view(double f) { return ParamValueView{ParamValue::Float, 0, f, false, {}}; }
ParamValueView bool_view(bool b) { return ParamValueView{ParamValue::Bool, 0, 0, b, {}}; }
ParamValueView str_view(std::string_view s) { return ParamValueView{ParamValue::Str, 0, 0, false, s}; }

struct Case {
  const char* label;
  std::vector<ParamEntryView> entries;  // in dict order; sorted by the test
};

class HeadView : public ::testing::TestWithParam<Case> {};

TEST_P(HeadView, InternsOntoTheEqualOwnedKey) {
  std::vector<ParamEntryView> entries = GetParam().entries;
  sort_entries(entries);
  for (NodeKey::Kind kind : {NodeKey::kSource, NodeKey::kOp, NodeKey::kReduction}) {
    GraphStore store;
    ASSERT_TRUE(store.intern(NodeKey(Source{"x", {}})).ok());
    const NodeIds inputs = kind == NodeKey::kSource ? NodeIds{} : NodeIds{0, 0};
    const NamedHeadView view(kind, "f|n", entries);
    const NodeKey owned = view.to_key().with_inputs(inputs);

    auto by_view = store.intern(view, inputs);
    ASSERT_TRUE(by_view.ok());
    auto by_key = store.intern(owned);
    ASSERT_TRUE(by_key.ok());
    EXPECT_EQ(by_view.value(), by_key.value());
    EXPECT_EQ(store.node_count(), 2u);
    EXPECT_TRUE(view.equals(owned.with_inputs({})));
    EXPECT_EQ(store.snapshot().nodes.back(), owned);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Params, HeadView,
    ::testing::Values(Case{"empty", {}}, Case{"ints", {{"b", int_view(-3)}, {"a", int_view(7)}}},
                      Case{"mixed", {{"s", str_view("x;y=z|%")}, {"f", float_view(1.0)}, {"t", bool_view(true)}}},
                      Case{"nan", {{"n", float_view(std::nan("1"))}}},
                      Case{"duplicates_kept_in_order", {{"k", int_view(2)}, {"k", int_view(1)}, {"", str_view("")}}}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST(HeadViewEquality, DistinguishesKindsNamesAndValues) {
  std::vector<ParamEntryView> one{{"k", int_view(1)}};
  std::vector<ParamEntryView> one_float{{"k", float_view(1.0)}};
  std::vector<ParamEntryView> zero{{"k", float_view(0.0)}};
  std::vector<ParamEntryView> neg_zero{{"k", float_view(-0.0)}};
  const NodeKey op = NamedHeadView(NodeKey::kOp, "f", one).to_key();
  EXPECT_FALSE(NamedHeadView(NodeKey::kReduction, "f", one).equals(op));
  EXPECT_FALSE(NamedHeadView(NodeKey::kOp, "g", one).equals(op));
  EXPECT_FALSE(NamedHeadView(NodeKey::kOp, "f", one_float).equals(op));
  EXPECT_FALSE(NamedHeadView(NodeKey::kOp, "f", neg_zero).equals(NamedHeadView(NodeKey::kOp, "f", zero).to_key()));
  EXPECT_TRUE(NamedHeadView(NodeKey::kOp, "f", one).equals(op));
}

TEST(HeadViewStore, RefusesTheFirstBadInputAndStaysUnchanged) {
  GraphStore store;
  ASSERT_TRUE(store.intern(NodeKey(Source{"x", {}})).ok());
  const NodeIds inputs{0, 5, 7};
  auto r = store.intern(NamedHeadView(NodeKey::kOp, "f", {}), inputs);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().id, 5u);
  EXPECT_EQ(store.node_count(), 1u);
}

}  // namespace
}  // namespace vantrel
