// Node keys: tokens of every variant, equality and hashing, with_params, with_inputs and
// parse_op_token.
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <set>

#include "ir/node_key.hpp"

namespace vantrel {
namespace {

using PV = ParamValue;

ParamMap map_of(std::vector<ParamEntry> entries) { return ParamMap::make(std::move(entries)); }

std::shared_ptr<const PayloadDescriptor> desc(std::optional<std::string> pre = std::nullopt,
                                              std::string kind = "model") {
  return std::make_shared<const PayloadDescriptor>(
      PayloadDescriptor{std::move(kind), "h", "fw", "1", "s", std::move(pre)});
}

// ---------------------------------------------------------------------------------------
// Tokens

struct TokenCase {
  const char* name;
  NodeKey key;
  std::string token;
};

class KeyToken : public ::testing::TestWithParam<TokenCase> {};

TEST_P(KeyToken, Token) { EXPECT_EQ(GetParam().key.token(), GetParam().token); }

INSTANTIATE_TEST_SUITE_P(
    All, KeyToken,
    ::testing::Values(
        TokenCase{"Source", Source{"x", {}}, "src|x"},
        TokenCase{"SourceWithParams", Source{"x", map_of({{"k", PV::of_int(1)}})}, "src|x|k=i1"},
        TokenCase{"SourceEmptyName", Source{"", {}}, "src|"},
        TokenCase{"OpWithScalarSide",
                  Op{"add", map_of({{"side", PV::of_str("r")}, {"scalar", PV::of_float(0.0)}}), {0, 1}},
                  "op|add|scalar=f0000000000000000;side=sr"},
        TokenCase{"OpScalarOne", Op{"mul", map_of({{"scalar", PV::of_float(1.0)}, {"side", PV::of_str("l")}}), {}},
                  "op|mul|scalar=f3ff0000000000000;side=sl"},
        TokenCase{"OpNameEscaped", Op{"a|b", {}, {}}, "op|a%7Cb"},
        TokenCase{"OpAllSeparatorsEscaped", Op{"%;=|", {}, {3}}, "op|%25%3B%3D%7C"},
        TokenCase{"Reduction", Reduction{"sum", map_of({{"axis", PV::of_int(0)}}), {0}}, "red|sum|axis=i0"},
        TokenCase{"ExternalNoRef", External{desc(), {}, {}}, "ext|model|h|fw|1|s|-"},
        TokenCase{"ExternalEmptyRef", External{desc(""), {}, {}}, "ext|model|h|fw|1|s|"},
        TokenCase{"ExternalRefAndParams", External{desc("pre"), map_of({{"b", PV::of_bool(true)}}), {0}},
                  "ext|model|h|fw|1|s|pre|b=btrue"},
        TokenCase{"ExternalFieldsNotEscaped", External{desc("p;q", "a|b=c%"), {}, {}}, "ext|a|b=c%|h|fw|1|s|p;q"},
        TokenCase{"Stage", Stage{{0, 1}, {StageOp{"op|a", {}}, StageOp{"op|b", {}}, StageOp{"op|c", {}}}}, "stage|3"},
        TokenCase{"StageEmpty", Stage{{}, {}}, "stage|0"},
        TokenCase{"ExchangeScheme", Exchange{map_of({{"scheme", PV::of_str("hash")}}), {0}}, "exch|scheme=shash"},
        TokenCase{"ExchangeBare", Exchange{{}, {0}}, "exch"}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(KeyToken, NeverHoldsInputs) {
  EXPECT_EQ(NodeKey(Op{"add", {}, {1, 2}}).token(), NodeKey(Op{"add", {}, {2, 1}}).token());
  EXPECT_EQ(NodeKey(Exchange{{}, {}}).token(), NodeKey(Exchange{{}, {4, 4}}).token());
}

TEST(KeyToken, StageTokenDependsOnlyOnMemberCount) {
  const NodeKey a = Stage{{0}, {StageOp{"op|x", {{StageRef::Input, 0}}}, StageOp{"op|y", {{StageRef::Member, 0}}}}};
  const NodeKey b = Stage{{5, 6}, {StageOp{"red|z", {}}, StageOp{"op|w", {{StageRef::Input, 1}}}}};
  EXPECT_EQ(a.token(), b.token());
  EXPECT_NE(a, b);
}

TEST(WithParams, EmptyMapKeepsBase) {
  EXPECT_EQ(with_params("op|f", ParamMap{}), "op|f");
  EXPECT_EQ(with_params("", ParamMap{}), "");
  EXPECT_EQ(with_params("op|f", map_of({{"k", PV::of_int(2)}, {"a", PV::of_str("|")}})), "op|f|a=s%7C;k=i2");
}

// ---------------------------------------------------------------------------------------
// Equality and hashing

// A node is hashed in two steps: its head (`hash_head_into`), then its head's id with its
// inputs (`hash_node`); the head's hash stands in for the id here.
std::uint64_t h(const NodeKey& k, std::uint64_t seed = 11) {
  Hasher head(seed);
  k.hash_head_into(head);
  return hash_node(static_cast<std::uint32_t>(head.finish()), k.inputs(), seed);
}

struct UnequalCase {
  const char* name;
  NodeKey a;
  NodeKey b;
};

class UnequalKeys : public ::testing::TestWithParam<UnequalCase> {};

TEST_P(UnequalKeys, AreUnequal) {
  EXPECT_NE(GetParam().a, GetParam().b);
  EXPECT_NE(GetParam().b, GetParam().a);
}

INSTANTIATE_TEST_SUITE_P(
    All, UnequalKeys,
    ::testing::Values(UnequalCase{"OpVsReduction", Op{"f", {}, {0}}, Reduction{"f", {}, {0}}},
                      UnequalCase{"SourceVsOpWithoutInputs", Source{"f", {}}, Op{"f", {}, {}}},
                      UnequalCase{"InputOrder", Op{"add", {}, {1, 2}}, Op{"add", {}, {2, 1}}},
                      UnequalCase{"InputCount", Op{"add", {}, {1}}, Op{"add", {}, {1, 1}}},
                      UnequalCase{"IntVsFloatParam", Op{"f", map_of({{"k", PV::of_int(1)}}), {}},
                                  Op{"f", map_of({{"k", PV::of_float(1.0)}}), {}}},
                      UnequalCase{"ZeroVsNegZeroParam", Source{"s", map_of({{"k", PV::of_float(0.0)}})},
                                  Source{"s", map_of({{"k", PV::of_float(-0.0)}})}},
                      UnequalCase{"RefAbsentVsEmpty", External{desc(), {}, {}}, External{desc(""), {}, {}}},
                      UnequalCase{"RefDiffers", External{desc("a"), {}, {}}, External{desc("b"), {}, {}}},
                      UnequalCase{"ExchangeVsExchangeParams", Exchange{{}, {0}},
                                  Exchange{map_of({{"scheme", PV::of_str("hash")}}), {0}}},
                      UnequalCase{"StageRefKind", Stage{{0}, {StageOp{"op|f", {{StageRef::Input, 0}}}}},
                                  Stage{{0}, {StageOp{"op|f", {{StageRef::Member, 0}}}}}},
                      UnequalCase{"StageMemberOp", Stage{{0}, {StageOp{"op|f", {}}}},
                                  Stage{{0}, {StageOp{"op|g", {}}}}},
                      UnequalCase{"StageArgCount", Stage{{0}, {StageOp{"op|f", {{StageRef::Input, 0}}}}},
                                  Stage{{0}, {StageOp{"op|f", {{StageRef::Input, 0}, {StageRef::Input, 0}}}}}}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(KeyEquality, OpAndReductionTokensDifferOnlyInPrefix) {
  const NodeKey op = Op{"sum", map_of({{"axis", PV::of_int(0)}}), {0}};
  const NodeKey red = Reduction{"sum", map_of({{"axis", PV::of_int(0)}}), {0}};
  EXPECT_EQ(op.token(), "op|sum|axis=i0");
  EXPECT_EQ(red.token(), "red|sum|axis=i0");
}

TEST(KeyEquality, EqualKeysHashEqual) {
  // Equal field values in separately built keys (separate descriptor objects, maps built in
  // different entry orders, NaNs with different payloads).
  const std::vector<std::pair<NodeKey, NodeKey>> pairs = {
      {Source{"x", {}}, Source{"x", {}}},
      {Op{"f", map_of({{"a", PV::of_int(1)}, {"b", PV::of_str("s")}}), {0, 0}},
       Op{"f", map_of({{"b", PV::of_str("s")}, {"a", PV::of_int(1)}}), {0, 0}}},
      {Op{"f", map_of({{"x", PV::of_float(std::nan(""))}}), {}},
       Op{"f", map_of({{"x", PV::of_float(-std::nan(""))}}), {}}},
      {External{desc("p"), {}, {1}}, External{desc("p"), {}, {1}}},
      {External{desc(), {}, {}}, External{desc(), {}, {}}},
      {Stage{{0, 1}, {StageOp{"op|f", {{StageRef::Input, 1}, {StageRef::Member, 0}}}}},
       Stage{{0, 1}, {StageOp{"op|f", {{StageRef::Input, 1}, {StageRef::Member, 0}}}}}},
      {Exchange{{}, {}}, Exchange{{}, {}}}};
  for (const auto& [a, b] : pairs) {
    ASSERT_EQ(a, b) << a.token();
    for (std::uint64_t seed : {0ULL, 3ULL, ~0ULL}) EXPECT_EQ(h(a, seed), h(b, seed)) << a.token();
  }
}

TEST(KeyEquality, HashSeparatesNearMisses) {
  // Not a requirement of any single pair, but a hash that ignores a field would collide on
  // all of these at once.
  const NodeKey keys[] = {Op{"f", {}, {1, 2}},    Op{"f", {}, {2, 1}},      Reduction{"f", {}, {1, 2}},
                          Op{"f", {}, {1, 2, 2}}, External{desc(), {}, {}}, External{desc(""), {}, {}},
                          Source{"f", {}},        Op{"f", {}, {}},          Exchange{{}, {}},
                          Stage{{}, {}}};
  std::set<std::uint64_t> hashes;
  for (const NodeKey& k : keys) hashes.insert(h(k));
  EXPECT_EQ(hashes.size(), std::size(keys));
}

// ---------------------------------------------------------------------------------------
// with_inputs

TEST(WithInputs, ReplacesInputsAndKeepsEverythingElse) {
  const ParamMap scheme = map_of({{"scheme", PV::of_str("hash")}});
  const NodeKey exch = Exchange{scheme, {4}};
  const NodeKey moved = exch.with_inputs({7, 8});
  ASSERT_EQ(moved.kind(), NodeKey::kExchange);
  EXPECT_EQ(moved, NodeKey(Exchange{scheme, {7, 8}}));
  EXPECT_EQ(exch, NodeKey(Exchange{scheme, {4}}));  // the original is untouched

  const NodeKey op = Op{"f", scheme, {0}};
  EXPECT_EQ(op.with_inputs({}), NodeKey(Op{"f", scheme, {}}));
  const NodeKey red = Reduction{"r", {}, {0}};
  EXPECT_EQ(red.with_inputs({3, 3}), NodeKey(Reduction{"r", {}, {3, 3}}));
  const NodeKey ext = External{desc("p"), scheme, {1}};
  EXPECT_EQ(ext.with_inputs({2}), NodeKey(External{desc("p"), scheme, {2}}));
  const std::vector<StageOp> members = {StageOp{"op|f", {{StageRef::Input, 0}}}};
  const NodeKey stage = Stage{{0}, members};
  EXPECT_EQ(stage.with_inputs({9}), NodeKey(Stage{{9}, members}));
}

TEST(WithInputs, SourceIsReturnedUnchanged) {
  const NodeKey src = Source{"x", map_of({{"k", PV::of_int(1)}})};
  const NodeKey same = src.with_inputs({1, 2, 3});
  EXPECT_EQ(same, src);
  EXPECT_TRUE(same.inputs().empty());
}

TEST(KeyAccessors, InputsParamsName) {
  const ParamMap p = map_of({{"k", PV::of_int(1)}});
  const NodeKey stage = Stage{{4, 5}, {StageOp{"op|f", {}}}};
  EXPECT_EQ(std::vector<NodeId>(stage.inputs().begin(), stage.inputs().end()), (NodeIds{4, 5}));
  EXPECT_TRUE(stage.params().empty());
  EXPECT_EQ(stage.name(), "");
  EXPECT_EQ(NodeKey(Exchange{p, {}}).params(), p);
  EXPECT_EQ(NodeKey(Exchange{p, {}}).name(), "");
  EXPECT_EQ(NodeKey(External{desc(), p, {}}).name(), "");
  EXPECT_EQ(NodeKey(Reduction{"r", p, {}}).name(), "r");
}

// ---------------------------------------------------------------------------------------
// parse_op_token

struct ParseCase {
  const char* name;
  std::string text;
  std::optional<ParsedOpToken> expected;
};

class ParseOpToken : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseOpToken, Parses) {
  auto got = parse_op_token(GetParam().text);
  const auto& want = GetParam().expected;
  ASSERT_EQ(got.has_value(), want.has_value()) << GetParam().text;
  if (!want) return;
  EXPECT_EQ(got->kind, want->kind);
  EXPECT_EQ(got->name, want->name);
  EXPECT_EQ(got->params, want->params);
}

ParsedOpToken parsed(std::string kind, std::string name, ParamMap params = {}) {
  return ParsedOpToken{std::move(kind), std::move(name), std::move(params)};
}

INSTANTIATE_TEST_SUITE_P(
    All, ParseOpToken,
    ::testing::Values(
        ParseCase{"AddWithParams", "op|add|scalar=f0000000000000000;side=sr",
                  parsed("op", "add", map_of({{"scalar", PV::of_float(0.0)}, {"side", PV::of_str("r")}}))},
        ParseCase{"ReductionBare", "red|sum", parsed("red", "sum")},
        ParseCase{"EmptyParamPiece", "op|add|", parsed("op", "add")}, ParseCase{"EmptyName", "op|", parsed("op", "")},
        ParseCase{"EmptyNameWithParams", "red||k=i1", parsed("red", "", map_of({{"k", PV::of_int(1)}}))},
        ParseCase{"EscapedName", "op|a%3Bb%3Dc%7Cd%25e|k=sv%7C",
                  parsed("op", "a;b=c|d%e", map_of({{"k", PV::of_str("v|")}}))},
        ParseCase{"Source", "src|x", std::nullopt}, ParseCase{"NoBar", "op", std::nullopt},
        ParseCase{"MalformedMapWithBar", "op|add|x=i1|y", std::nullopt},
        ParseCase{"MalformedMap", "op|add|x", std::nullopt},
        ParseCase{"TrailingSemicolon", "op|add|x=i1;", std::nullopt},
        ParseCase{"UpperCaseKind", "OP|add", std::nullopt}, ParseCase{"LongerKind", "ops|add", std::nullopt},
        ParseCase{"Empty", "", std::nullopt}, ParseCase{"LeadingBar", "|op|add", std::nullopt},
        ParseCase{"Stage", "stage|3", std::nullopt}, ParseCase{"Exchange", "exch|scheme=shash", std::nullopt}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(ParseOpToken, ReversesTokensOfOpsAndReductions) {
  std::mt19937_64 rng(7);
  const std::vector<std::string> pieces = {"a", ";", "=", "|", "%", "%7C", "\xc3\xa9", " ", ""};
  auto text = [&] {
    std::string s;
    for (int n = static_cast<int>(rng() % 5); n > 0; --n) s += pieces[rng() % pieces.size()];
    return s;
  };
  for (int round = 0; round < 2000; ++round) {
    std::vector<ParamEntry> entries;
    for (int n = static_cast<int>(rng() % 3); n > 0; --n) entries.push_back({text(), PV::of_str(text())});
    const ParamMap params = map_of(entries);
    const std::string name = text();
    const bool is_op = rng() % 2 == 0;
    const NodeKey key = is_op ? NodeKey(Op{name, params, {0}}) : NodeKey(Reduction{name, params, {0}});
    auto back = parse_op_token(key.token());
    ASSERT_TRUE(back.has_value()) << key.token();
    EXPECT_EQ(back->kind, is_op ? "op" : "red");
    EXPECT_EQ(back->name, name) << key.token();
    EXPECT_EQ(back->params, params) << key.token();
  }
}

}  // namespace
}  // namespace vantrel
