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

/// The owned key with the head the view describes, built independently of the store.
NodeKey owned_key(NodeKey::Kind kind, std::string_view name, std::span<const ParamEntryView> entries, NodeIds inputs) {
  std::vector<ParamEntry> owned;
  for (const ParamEntryView& e : entries) owned.push_back(ParamEntry{std::string(e.key), e.value.to_value()});
  ParamMap params = ParamMap::make(std::move(owned));
  if (kind == NodeKey::kOp) return Op{std::string(name), std::move(params), std::move(inputs)};
  if (kind == NodeKey::kReduction) return Reduction{std::string(name), std::move(params), std::move(inputs)};
  return Source{std::string(name), std::move(params)};
}

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
    const NodeKey owned = owned_key(kind, "f|n", entries, inputs);

    auto by_view = store.intern(view, inputs);
    ASSERT_TRUE(by_view.ok());
    auto by_key = store.intern(owned);
    ASSERT_TRUE(by_key.ok());
    EXPECT_EQ(by_view.value(), by_key.value());
    EXPECT_EQ(store.node_count(), 2u);
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
  const std::vector<ParamEntryView> one{{"k", int_view(1)}};
  const std::vector<ParamEntryView> one_float{{"k", float_view(1.0)}};
  const std::vector<ParamEntryView> zero{{"k", float_view(0.0)}};
  const std::vector<ParamEntryView> neg_zero{{"k", float_view(-0.0)}};
  const std::vector<ParamEntryView> nan{{"k", float_view(std::nan("1"))}};
  const std::vector<ParamEntryView> other_nan{{"k", float_view(-std::nan("2"))}};
  GraphStore store;
  ASSERT_TRUE(store.intern(NodeKey(Source{"x", {}})).ok());
  const NodeIds inputs{0};
  auto id = [&](NodeKey::Kind kind, std::string_view name, const std::vector<ParamEntryView>& entries) {
    auto r = store.intern(NamedHeadView(kind, name, entries), inputs);
    EXPECT_TRUE(r.ok());
    return r.value();
  };
  const NodeId op = id(NodeKey::kOp, "f", one);
  EXPECT_NE(id(NodeKey::kReduction, "f", one), op);
  EXPECT_NE(id(NodeKey::kOp, "g", one), op);
  EXPECT_NE(id(NodeKey::kOp, "f", one_float), op);
  EXPECT_NE(id(NodeKey::kOp, "f", neg_zero), id(NodeKey::kOp, "f", zero));
  EXPECT_EQ(id(NodeKey::kOp, "f", nan), id(NodeKey::kOp, "f", other_nan));
  EXPECT_EQ(id(NodeKey::kOp, "f", one), op);
  EXPECT_EQ(store.snapshot().nodes[op], owned_key(NodeKey::kOp, "f", one, inputs));
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
