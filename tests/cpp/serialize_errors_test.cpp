// Which DecodeError a corrupt blob gets, with its exact message, and the writer's refusals.
#include <chrono>
#include <gtest/gtest.h>

#include "serialize_test_util.hpp"

namespace vantrel {
namespace {

using testing::Bytes;
using testing::decode_message;

constexpr const char* kTruncated = "truncated vantrel IR blob";
constexpr const char* kBadMagic = "not a vantrel IR blob (bad magic/version)";
constexpr const char* kBadUtf8 = "invalid utf-8 in vantrel IR blob";

struct Case {
  const char* name;
  std::string bytes;
  std::string message;
};

std::vector<Case> cases() {
  std::vector<Case> out;
  auto add = [&](const char* name, const Bytes& b, std::string message) {
    out.push_back({name, b.b, std::move(message)});
  };
  add("Empty", Bytes{}, kTruncated);
  add("ThreeBytes", Bytes{}.raw("VIR"), kTruncated);
  add("OtherVersion", Bytes{}.raw("VIR2").u32(0).u32(0), kBadMagic);
  add("OtherVersionShort", Bytes{}.raw("VIR2"), kBadMagic);
  add("MagicBeatsLength", Bytes{}.raw("XY"), kTruncated);
  add("MagicPlusThree", Bytes{}.raw("VIR1").raw("abc"), kTruncated);
  add("NoOutputCount", Bytes{}.header(0), kTruncated);
  add("NodeTag6", Bytes{}.header(1).u8(6), "invalid node tag 6");
  add("NodeTag255", Bytes{}.header(1).u8(255), "invalid node tag 255");
  add("ParamTag4", Bytes{}.header(1).u8(0).text("x").u32(1).text("k").u8(4), "invalid param tag 4");
  add("ParamTagBeforeItsPayloadIsMissing", Bytes{}.header(1).u8(0).text("x").u32(1).text("k").u8(9),
      "invalid param tag 9");
  add("NameFF", Bytes{}.header(1).u8(0).text("\xff"), kBadUtf8);
  add("Surrogate", Bytes{}.header(1).u8(0).text("\xed\xa0\x80"), kBadUtf8);
  add("Overlong", Bytes{}.header(1).u8(0).text("\xc0\xaf"), kBadUtf8);
  add("BadUtf8InStrValue", Bytes{}.header(1).u8(0).text("x").u32(1).text("k").u8(3).text("\x80"), kBadUtf8);
  add("TextLongerThanData", Bytes{}.header(1).u8(0).u32(0xFFFFFFFF).raw("abc"), kTruncated);
  add("SelfInput", Bytes{}.header(2).source("x").op("f", {1}), "node reference 1 out of range");
  add("LaterInput", Bytes{}.header(2).source("x").op("f", {5}), "node reference 5 out of range");
  add("FirstBadInputWins", Bytes{}.header(2).source("x").op("f", {0, 7, 1}), "node reference 7 out of range");
  add("BadRefBeforeTruncation", Bytes{}.header(2).source("x").u8(1).text("f").u32(0).u32(100).u64(9),
      "node reference 9 out of range");
  add("OutputEqualsCount", Bytes{}.header(2).source("x").op("f", {0}).outputs({2}), "node reference 2 out of range");
  add("OutputsCut", Bytes{}.header(1).source("x").u32(2).u64(0).zeros(3), kTruncated);
  add("StageMemberZeroUsesMemberZero",
      Bytes{}.header(2).source("x").u8(4).u32(1).u64(0).u32(1).text("op|f").u32(1).u8(1).u32(0),
      "node reference 0 out of range");
  add("StageArgKind2", Bytes{}.header(2).source("x").u8(4).u32(1).u64(0).u32(1).text("op|f").u32(1).u8(2).u32(0),
      "invalid stage-ref tag 2");
  add("StageArgCutInsideIndex",
      Bytes{}.header(2).source("x").u8(4).u32(1).u64(0).u32(1).text("op|f").u32(1).u8(9).zeros(2), kTruncated);
  add("StageInputBeyondStageInputs",
      Bytes{}.header(2).source("x").u8(4).u32(1).u64(0).u32(1).text("op|f").u32(1).u8(0).u32(1),
      "node reference 1 out of range");
  add("HugeNodeCount", Bytes{}.raw("VIR1").u32(0xFFFFFFFF).source("x"), kTruncated);
  add("HugeInputCount", Bytes{}.header(2).source("x").u8(1).text("f").u32(0).u32(0xFFFFFFFF).u64(0), kTruncated);
  add("HugeParamCount", Bytes{}.header(1).u8(0).text("x").u32(0xFFFFFFFF), kTruncated);
  add("HugeMemberCount", Bytes{}.header(1).u8(4).u32(0).u32(0xFFFFFFFF), kTruncated);
  add("HugeArgCount", Bytes{}.header(1).u8(4).u32(0).u32(1).text("op|f").u32(0xFFFFFFFF), kTruncated);
  add("HugeOutputCount", Bytes{}.header(0).u32(0xFFFFFFFF), kTruncated);
  return out;
}

class DecodeErrorCase : public ::testing::TestWithParam<Case> {};

TEST_P(DecodeErrorCase, GivesTheExpectedMessage) { EXPECT_EQ(decode_message(GetParam().bytes), GetParam().message); }

INSTANTIATE_TEST_SUITE_P(Blob, DecodeErrorCase, ::testing::ValuesIn(cases()),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(DecodeError, HugeNodeCountFailsFast) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(decode_message(Bytes{}.raw("VIR1").u32(0xFFFFFFFF).zeros(6).b), kTruncated);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(DecodeError, EveryProperPrefixOfAValidBlobIsTruncated) {
  GraphStore s;
  EXPECT_TRUE(
      s.intern(Source{"x", testing::params({{"f", ParamValue::of_float(1.5)}, {"s", ParamValue::of_str("é")}})}).ok());
  auto d = std::make_shared<const PayloadDescriptor>(PayloadDescriptor{"m", "h", "fw", "1", "io", "pre"});
  EXPECT_TRUE(s.intern(External{d, testing::params({{"b", ParamValue::of_bool(true)}}), {0}}).ok());
  EXPECT_TRUE(
      s.intern(Stage{{0, 1}, {StageOp{"op|f", {{StageRef::Input, 0}}}, StageOp{"op|g", {{StageRef::Member, 0}}}}})
          .ok());
  EXPECT_TRUE(s.intern(Exchange{testing::params({{"i", ParamValue::of_int(-1)}}), {2}}).ok());
  EXPECT_TRUE(s.intern(Reduction{"r", {}, {3, 3}}).ok());
  EXPECT_TRUE(s.mark_output(4).ok());
  EXPECT_TRUE(s.mark_output(0).ok());
  const std::string blob = testing::blob_of(s);
  ASSERT_EQ(decode_message(blob), "ok");
  for (std::size_t len = 0; len < blob.size(); ++len) {
    EXPECT_EQ(decode_message(std::string_view(blob).substr(0, len)), kTruncated) << "prefix of " << len << " bytes";
  }
}

TEST(DecodeError, MessagesOfEveryVariant) {
  EXPECT_EQ(DecodeError{DecodeError::BadMagic{}}.message(), kBadMagic);
  EXPECT_EQ(DecodeError{DecodeError::Truncated{}}.message(), kTruncated);
  EXPECT_EQ((DecodeError{DecodeError::BadTag{"node", 9}}.message()), "invalid node tag 9");
  EXPECT_EQ(DecodeError{DecodeError::BadUtf8{}}.message(), kBadUtf8);
  EXPECT_EQ(DecodeError{DecodeError::BadRef{4}}.message(), "node reference 4 out of range");
}

TEST(EncodeError, UnknownOutputIsRefusedWithTheFirstBadId) {
  auto s = testing::worked_example();
  auto r = serialize_with(*s, {0, 2, 9});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), (EncodeError{EncodeError::UnknownOutput{2}}));
  EXPECT_EQ(r.error().message(), "no node with id 2");
}

TEST(EncodeError, StageArgumentIndexBeyondU32IsRefused) {
  // A stage built in memory can hold an index the format's u32 cannot; writing a truncated
  // index would silently change the graph, so the write is refused instead.
  GraphStore s;
  EXPECT_TRUE(s.intern(Source{"x", {}}).ok());
  EXPECT_TRUE(s.intern(Stage{{0}, {StageOp{"op|f", {{StageRef::Input, 0x100000000ULL}}}}}).ok());
  auto r = serialize_marked(s);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "stage argument index 4294967296 exceeds the vantrel IR blob limit of 4294967295");
}

TEST(EncodeError, PutParamsAppendsTheFieldLayout) {
  std::string out = "x";
  EXPECT_FALSE(put_params(out, testing::params({{"b", ParamValue::of_bool(true)}})).has_value());
  EXPECT_EQ(out, std::string("x\x01\0\0\0\x01\0\0\0b\x02\x01", 12));
}

}  // namespace
}  // namespace vantrel
