// The blob's exact bytes for known stores, and round trips that keep ids, marks and bytes.
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

#include "serialize_test_util.hpp"

namespace vantrel {
namespace {

using testing::blob_of;
using testing::Bytes;
using testing::params;
using testing::worked_example;

std::string hex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (char c : bytes) {
    auto b = static_cast<unsigned char>(c);
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

StoreSnapshot decoded(std::string_view blob) {
  auto r = deserialize(blob);
  EXPECT_TRUE(r.ok()) << (r ? "" : r.error().message());
  return r.value()->snapshot();
}

TEST(SerializeGolden, EmptyStoreIsTwelveBytes) {
  GraphStore s;
  const std::string blob = blob_of(s);
  EXPECT_EQ(hex(blob), "564952310000000000000000");
  auto back = deserialize(blob);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value()->node_count(), 0u);
  EXPECT_TRUE(back.value()->outputs().empty());
}

TEST(SerializeGolden, WorkedExampleIsSixtyEightBytes) {
  const std::string blob = blob_of(*worked_example());
  EXPECT_EQ(blob.size(), 68u);
  EXPECT_EQ(hex(blob),
            "56495231"
            "02000000"
            "00"
            "0100000078"
            "00000000"
            "01"
            "03000000616464"
            "01000000"
            "010000006b"
            "00"
            "0200000000000000"
            "01000000"
            "0000000000000000"
            "01000000"
            "0100000000000000");
}

TEST(SerializeGolden, ExplicitOutputsIgnoreTheMarks) {
  auto s = worked_example();
  auto none = serialize_with(*s, {});
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(none.value().size(), 60u);
  auto reordered = serialize_with(*s, {1, 0});
  ASSERT_TRUE(reordered.ok());
  EXPECT_EQ(decoded(reordered.value()).marked, (NodeIds{1, 0}));
  EXPECT_EQ(s->outputs(), (NodeIds{1}));
}

TEST(SerializeGolden, RepeatedOutputCollapsesOnReading) {
  auto s = worked_example(false);
  auto twice = serialize_with(*s, {1, 1});
  ASSERT_TRUE(twice.ok());
  auto back = deserialize(twice.value());
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value()->outputs(), (NodeIds{1}));
  EXPECT_EQ(blob_of(*back.value()).size() + 8, twice.value().size());
}

/// A store with every node kind and every parameter kind, including the float bit patterns
/// that must survive exactly.
std::unique_ptr<GraphStore> every_kind() {
  auto s = std::make_unique<GraphStore>();
  const double nan_payload = std::bit_cast<double>(std::uint64_t{0xfff0000000000abcULL});
  EXPECT_TRUE(s->intern(Source{"", {}}).ok());
  EXPECT_TRUE(s->intern(Source{"x", params({{"", ParamValue::of_str("")},
                                            {"neg0", ParamValue::of_float(-0.0)},
                                            {"nan", ParamValue::of_float(nan_payload)},
                                            {"b", ParamValue::of_bool(true)},
                                            {"i", ParamValue::of_int(std::numeric_limits<std::int64_t>::min())},
                                            {"ü;=|%", ParamValue::of_str("日本\n\"\\")}})})
                  .ok());
  EXPECT_TRUE(s->intern(Op{"add", params({{"side", ParamValue::of_str("r")}}), {0, 1}}).ok());
  EXPECT_TRUE(s->intern(Reduction{"sum", params({{"axis", ParamValue::of_int(0)}}), {2, 2}}).ok());
  auto d = std::make_shared<const PayloadDescriptor>(PayloadDescriptor{"model", "h", "fw", "1", "s", std::nullopt});
  auto d2 = std::make_shared<const PayloadDescriptor>(PayloadDescriptor{"model", "h", "fw", "1", "s", ""});
  EXPECT_TRUE(s->intern(External{d, {}, {3}}).ok());
  EXPECT_TRUE(s->intern(External{d2, params({{"a", ParamValue::of_bool(false)}}), {}}).ok());
  EXPECT_TRUE(s->intern(Stage{{0, 4},
                              {StageOp{"op|add|side=sr", {{StageRef::Input, 1}, {StageRef::Input, 0}}},
                               StageOp{"red|sum", {{StageRef::Member, 0}}}}})
                  .ok());
  EXPECT_TRUE(s->intern(Exchange{{}, {6}}).ok());
  EXPECT_TRUE(s->intern(Exchange{params({{"scheme", ParamValue::of_str("hash")}}), {6, 5}}).ok());
  EXPECT_TRUE(s->mark_output(8).ok());
  EXPECT_TRUE(s->mark_output(3).ok());
  return s;
}

TEST(SerializeRoundTrip, EveryKindKeepsIdsMarksAndBytes) {
  auto s = every_kind();
  const std::string blob = blob_of(*s);
  auto back = deserialize(blob);
  ASSERT_TRUE(back.ok()) << back.error().message();
  const StoreSnapshot a = s->snapshot(), b = back.value()->snapshot();
  EXPECT_EQ(a.nodes, b.nodes);
  EXPECT_EQ(a.marked, b.marked);
  EXPECT_EQ(blob_of(*back.value()), blob);
  EXPECT_EQ(blob_of(*s), blob);  // writing twice gives the same bytes
}

TEST(SerializeRoundTrip, FloatBitsAreKeptExactly) {
  auto s = every_kind();
  auto back = deserialize(blob_of(*s));
  ASSERT_TRUE(back.ok());
  const StoreSnapshot snap = back.value()->snapshot();
  const ParamMap& p = snap.nodes[1].params();
  for (const ParamEntry& e : p.entries()) {
    if (e.key == "neg0") {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(e.value.as_float()), 0x8000000000000000ULL);
    }
    if (e.key == "nan") {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(e.value.as_float()), 0xfff0000000000abcULL);
    }
  }
}

TEST(SerializeRoundTrip, LongChainNeedsNoRecursion) {
  GraphStore s;
  EXPECT_TRUE(s.intern(Source{"x", {}}).ok());
  constexpr NodeId kLen = 200000;
  for (NodeId i = 1; i < kLen; ++i) EXPECT_TRUE(s.intern(Op{"f", {}, {i - 1}}).ok());
  EXPECT_TRUE(s.mark_output(kLen - 1).ok());
  const std::string blob = blob_of(s);
  auto back = deserialize(blob);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value()->node_count(), kLen);
  EXPECT_EQ(blob_of(*back.value()), blob);
}

TEST(SerializeLenient, BoolByteTwoReadsTrueAndWritesOne) {
  Bytes b;
  b.header(1).u8(0).text("x").u32(1).text("k").u8(2).u8(2).outputs({});
  auto back = deserialize(b.b);
  ASSERT_TRUE(back.ok());
  EXPECT_TRUE(back.value()->snapshot().nodes[0].params().entries()[0].value.as_bool());
  std::string expected = b.b;
  expected[expected.size() - 5] = 1;
  EXPECT_EQ(blob_of(*back.value()), expected);
}

TEST(SerializeLenient, ExternalFlagTwoMeansAReferenceFollows) {
  Bytes b;
  b.header(1).u8(3).text("k").text("h").text("f").text("v").text("s").u8(2).text("pre").u32(0).u32(0).outputs({});
  auto back = deserialize(b.b);
  ASSERT_TRUE(back.ok());
  const StoreSnapshot snap = back.value()->snapshot();
  const External* e = snap.nodes[0].get_if<External>();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->descriptor->preprocessing_ref, std::optional<std::string>("pre"));

  Bytes missing;  // the flag promises a text that is not there
  missing.header(1).u8(3).text("k").text("h").text("f").text("v").text("s").u8(2);
  EXPECT_EQ(testing::decode_message(missing.b), "truncated vantrel IR blob");
}

TEST(SerializeLenient, TrailingBytesAreIgnored) {
  const std::string blob = blob_of(*worked_example());
  auto back = deserialize(blob + "garbage\xff");
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(blob_of(*back.value()), blob);
}

TEST(SerializeLenient, ParamsOutOfOrderAreSortedStably) {
  Bytes b;
  b.header(1).u8(0).text("x").u32(3);
  b.text("b").u8(0).u64(1).text("a").u8(0).u64(2).text("a").u8(0).u64(3).outputs({});
  auto back = deserialize(b.b);
  ASSERT_TRUE(back.ok());
  const StoreSnapshot snap = back.value()->snapshot();
  const auto& entries = snap.nodes[0].params().entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].value.as_int(), 2);
  EXPECT_EQ(entries[1].value.as_int(), 3);
  EXPECT_EQ(entries[2].key, "b");
}

TEST(SerializeLenient, DuplicatedNodeInternsOntoTheFirstCopy) {
  // Positions 0 and 1 are the same source; position 2 names position 1, which no longer
  // exists as an id (the store has one node), so it is refused by the store's own check.
  Bytes ok;
  ok.header(3).source("x").source("x").op("f", {0}).outputs({1});
  auto back = deserialize(ok.b);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value()->node_count(), 2u);
  EXPECT_EQ(back.value()->outputs(), (NodeIds{1}));

  Bytes bad_input;
  bad_input.header(3).source("x").source("x").op("f", {1}).outputs({});
  EXPECT_EQ(testing::decode_message(bad_input.b), "node reference 1 out of range");

  Bytes bad_output;
  bad_output.header(2).source("x").source("x").outputs({1});
  EXPECT_EQ(testing::decode_message(bad_output.b), "node reference 1 out of range");
}

}  // namespace
}  // namespace vantrel
