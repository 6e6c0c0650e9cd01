// Parameter values and maps: tokens, from_token (well-formed and malformed), round trips,
// equality and hashing, escaping, and the Display forms of floats, strings and maps.
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "ir/param.hpp"

namespace vantrel {
namespace {

using PV = ParamValue;

ParamMap map_of(std::vector<ParamEntry> entries) { return ParamMap::make(std::move(entries)); }

double from_bits(std::uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

std::uint64_t raw_bits(double d) {
  std::uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return bits;
}

std::uint64_t hash_of(const ParamValue& v, std::uint64_t seed = 7) {
  Hasher h(seed);
  v.hash_into(h);
  return h.finish();
}

std::uint64_t hash_of(const ParamMap& m, std::uint64_t seed = 7) {
  Hasher h(seed);
  m.hash_into(h);
  return h.finish();
}

ParamMap worked_example() {
  return map_of(
      {{"b", PV::of_int(-3)}, {"a", PV::of_str("x;y=z|%")}, {"d", PV::of_bool(true)}, {"c", PV::of_float(1.0)}});
}

// ---------------------------------------------------------------------------------------
// Golden tokens and Display

TEST(ParamMapGolden, WorkedExampleTokenDisplayAndRoundTrip) {
  const ParamMap m = worked_example();
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m.entries()[0].key, "a");
  EXPECT_EQ(m.entries()[3].key, "d");
  EXPECT_EQ(m.token(), "a=sx%3By%3Dz%7C%25;b=i-3;c=f3ff0000000000000;d=btrue");
  EXPECT_EQ(m.display(), R"({a="x;y=z|%", b=-3, c=1, d=true})");
  auto back = ParamMap::from_token(m.token());
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, m);
}

TEST(ParamMapGolden, ScalarSideToken) {
  const ParamMap m = map_of({{"side", PV::of_str("r")}, {"scalar", PV::of_float(0.0)}});
  EXPECT_EQ(m.token(), "scalar=f0000000000000000;side=sr");
}

TEST(ParamMapGolden, EmptyMap) {
  const ParamMap m;
  EXPECT_EQ(m.token(), "");
  EXPECT_EQ(m.display(), "{}");
  auto back = ParamMap::from_token("");
  ASSERT_TRUE(back.has_value());
  EXPECT_TRUE(back->empty());
  EXPECT_EQ(*back, ParamMap::make({}));
}

TEST(ParamMapGolden, DisplayKeepsKeysRaw) {
  const ParamMap m = map_of({{"a;b=c", PV::of_int(1)}, {"", PV::of_bool(false)}});
  EXPECT_EQ(m.display(), "{=false, a;b=c=1}");
  EXPECT_EQ(m.token(), "=bfalse;a%3Bb%3Dc=i1");
}

struct ValueTokenCase {
  const char* name;
  ParamValue value;
  const char* token;
};

class ValueToken : public ::testing::TestWithParam<ValueTokenCase> {};

TEST_P(ValueToken, Token) { EXPECT_EQ(GetParam().value.token(), GetParam().token); }

INSTANTIATE_TEST_SUITE_P(
    All, ValueToken,
    ::testing::Values(
        ValueTokenCase{"Zero", PV::of_int(0), "i0"}, ValueTokenCase{"FortyTwo", PV::of_int(42), "i42"},
        ValueTokenCase{"MinusSeven", PV::of_int(-7), "i-7"},
        ValueTokenCase{"Min", PV::of_int(std::numeric_limits<std::int64_t>::min()), "i-9223372036854775808"},
        ValueTokenCase{"Max", PV::of_int(std::numeric_limits<std::int64_t>::max()), "i9223372036854775807"},
        ValueTokenCase{"FloatZero", PV::of_float(0.0), "f0000000000000000"},
        ValueTokenCase{"FloatOne", PV::of_float(1.0), "f3ff0000000000000"},
        ValueTokenCase{"FloatNegZero", PV::of_float(-0.0), "f8000000000000000"},
        ValueTokenCase{"FloatSmallestSubnormal", PV::of_float(from_bits(1)), "f0000000000000001"},
        ValueTokenCase{"FloatInf", PV::of_float(INFINITY), "f7ff0000000000000"},
        ValueTokenCase{"FloatNegInf", PV::of_float(-INFINITY), "ffff0000000000000"},
        ValueTokenCase{"QuietNaN", PV::of_float(std::numeric_limits<double>::quiet_NaN()), "f7ff8000000000000"},
        ValueTokenCase{"NaNWithPayload", PV::of_float(from_bits(0x7ff0000000000123ULL)), "f7ff8000000000000"},
        ValueTokenCase{"NegativeNaN", PV::of_float(from_bits(0xfff8000000000001ULL)), "f7ff8000000000000"},
        ValueTokenCase{"True", PV::of_bool(true), "btrue"}, ValueTokenCase{"False", PV::of_bool(false), "bfalse"},
        ValueTokenCase{"EmptyStr", PV::of_str(""), "s"},
        ValueTokenCase{"StrEscaped", PV::of_str("a%;=|b"), "sa%25%3B%3D%7Cb"},
        ValueTokenCase{"StrNonAscii", PV::of_str("\xc3\xa9\xe2\x82\xac"), "s\xc3\xa9\xe2\x82\xac"}),
    [](const auto& tp) { return std::string(tp.param.name); });

// ---------------------------------------------------------------------------------------
// from_token

class MalformedToken : public ::testing::TestWithParam<const char*> {};

TEST_P(MalformedToken, GivesNoMap) { EXPECT_FALSE(ParamMap::from_token(GetParam()).has_value()) << GetParam(); }

INSTANTIATE_TEST_SUITE_P(All, MalformedToken,
                         ::testing::Values(
                             // separators
                             "a=i1;", ";a=i1", "a=i1;;b=i2", ";", "a",
                             // values
                             "a=", "a=x1", "a=B1", "a=\xc3\xa9", "a=\xc3\xa9x",
                             // booleans
                             "a=bTrue", "a=b", "a=btrue ", "a=btruex", "a=b1",
                             // integers
                             "a=i", "a=i+", "a=i-", "a=i+-1", "a=i--1", "a=i1x", "a=i 1", "a=i0x10",
                             "a=i9223372036854775808", "a=i-9223372036854775809", "a=i99999999999999999999",
                             // floats (unsigned 64-bit hexadecimal)
                             "a=f", "a=f+", "a=f-1", "a=f10000000000000000", "a=f0x1", "a=fg", "a=f1.0", "a=f++1",
                             // one bad piece spoils the whole map
                             "a=i1;b=bmaybe", "a=i1;b"));

struct WellFormedCase {
  const char* name;
  const char* text;
  std::vector<ParamEntry> entries;  // expected, in map order
};

class WellFormedToken : public ::testing::TestWithParam<WellFormedCase> {};

TEST_P(WellFormedToken, Parses) {
  auto m = ParamMap::from_token(GetParam().text);
  ASSERT_TRUE(m.has_value()) << GetParam().text;
  ASSERT_EQ(m->entries().size(), GetParam().entries.size());
  for (std::size_t i = 0; i < m->entries().size(); ++i) {
    EXPECT_EQ(m->entries()[i].key, GetParam().entries[i].key) << i;
    EXPECT_EQ(m->entries()[i].value, GetParam().entries[i].value) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    All, WellFormedToken,
    ::testing::Values(
        WellFormedCase{"PlusSign", "a=i+5", {{"a", PV::of_int(5)}}},
        WellFormedCase{"MinusZero", "a=i-0", {{"a", PV::of_int(0)}}},
        WellFormedCase{"LeadingZeros", "a=i007", {{"a", PV::of_int(7)}}},
        WellFormedCase{
            "IntMin", "a=i-9223372036854775808", {{"a", PV::of_int(std::numeric_limits<std::int64_t>::min())}}},
        WellFormedCase{"UpperHex", "a=fABCDEF", {{"a", PV::of_float(from_bits(0xabcdef))}}},
        WellFormedCase{"MixedHexWithPlus", "a=f+aBc", {{"a", PV::of_float(from_bits(0xabc))}}},
        WellFormedCase{"SeventeenHexDigits", "a=f00000000000000001", {{"a", PV::of_float(from_bits(1))}}},
        WellFormedCase{"AllOnesBits", "a=fffffffffffffffff", {{"a", PV::of_float(from_bits(~0ULL))}}},
        WellFormedCase{"StrWithEquals", "a=sx=y", {{"a", PV::of_str("x=y")}}},
        WellFormedCase{"EmptyStr", "a=s", {{"a", PV::of_str("")}}},
        WellFormedCase{"StrUnknownPercentKept", "a=s%7c%41%", {{"a", PV::of_str("%7c%41%")}}},
        WellFormedCase{"EmptyKey", "=i1", {{"", PV::of_int(1)}}},
        WellFormedCase{"EscapedKey", "k%3Bx%3D%7C%25=bfalse", {{"k;x=|%", PV::of_bool(false)}}},
        WellFormedCase{"Sorted", "b=i1;a=i2", {{"a", PV::of_int(2)}, {"b", PV::of_int(1)}}},
        WellFormedCase{"DuplicatesKeepOrder", "a=i2;a=i1", {{"a", PV::of_int(2)}, {"a", PV::of_int(1)}}},
        WellFormedCase{"SortIsStable",
                       "b=i0;a=i2;b=i1;a=i1",
                       {{"a", PV::of_int(2)}, {"a", PV::of_int(1)}, {"b", PV::of_int(0)}, {"b", PV::of_int(1)}}}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(ParamMapFromToken, NaNPayloadIsReadAsGivenButEqualsEveryNaN) {
  auto m = ParamMap::from_token("a=f7ff8000000000001");
  ASSERT_TRUE(m.has_value());
  const double x = m->entries()[0].value.as_float();
  EXPECT_TRUE(std::isnan(x));
  EXPECT_EQ(raw_bits(x), 0x7ff8000000000001ULL);
  EXPECT_EQ(m->entries()[0].value, PV::of_float(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_EQ(m->token(), "a=f7ff8000000000000");
}

// ---------------------------------------------------------------------------------------
// Round trips

TEST(ParamMapRoundTrip, SpecialFloats) {
  const double values[] = {0.0,
                           -0.0,
                           from_bits(1),
                           from_bits(0x000fffffffffffffULL),
                           INFINITY,
                           -INFINITY,
                           std::nan(""),
                           from_bits(0xfff0000000000abcULL),
                           1e300,
                           -1e-300,
                           std::numeric_limits<double>::max()};
  for (double x : values) {
    const ParamMap m = map_of({{"x", PV::of_float(x)}});
    auto back = ParamMap::from_token(m.token());
    ASSERT_TRUE(back.has_value()) << m.token();
    EXPECT_EQ(*back, m) << m.token();
    // NaN comes back as the canonical NaN; everything else with its exact bits.
    EXPECT_EQ(raw_bits(back->entries()[0].value.as_float()), canonical_bits(x)) << m.token();
  }
}

TEST(ParamMapRoundTrip, RandomMaps) {
  std::mt19937_64 rng(12345);
  const std::vector<std::string> pieces = {"",
                                           "a",
                                           "b",
                                           ";",
                                           "=",
                                           "|",
                                           "%",
                                           "%25",
                                           "%7C",
                                           "%7c",
                                           "\xc3\xa9",
                                           "\xe2\x80\x8b",
                                           "\xf0\x9f\x98\x80",
                                           "\n",
                                           std::string(1, '\0'),
                                           "x y"};
  auto text = [&] {
    std::string s;
    for (int n = static_cast<int>(rng() % 5); n > 0; --n) s += pieces[rng() % pieces.size()];
    return s;
  };
  auto value = [&]() -> ParamValue {
    switch (rng() % 5) {
      case 0: return PV::of_int(static_cast<std::int64_t>(rng()));
      case 1: return PV::of_float(from_bits(rng()));
      case 2: return PV::of_bool(rng() % 2 == 0);
      case 3: return PV::of_str(text());
      default: return PV::of_int(static_cast<std::int64_t>(rng() % 3) - 1);
    }
  };
  for (int round = 0; round < 3000; ++round) {
    std::vector<ParamEntry> entries;
    for (int n = static_cast<int>(rng() % 6); n > 0; --n) entries.push_back({text(), value()});
    const ParamMap m = map_of(entries);
    const std::string token = m.token();
    auto back = ParamMap::from_token(token);
    ASSERT_TRUE(back.has_value()) << token;
    ASSERT_EQ(*back, m) << token;
    ASSERT_EQ(back->token(), token);
    ASSERT_EQ(hash_of(*back), hash_of(m)) << token;
  }
}

// ---------------------------------------------------------------------------------------
// Equality, hashing and order

TEST(ParamValueEquality, KindsNeverCompareEqual) {
  const ParamValue values[] = {PV::of_int(1), PV::of_float(1.0), PV::of_bool(true), PV::of_str("1")};
  for (std::size_t i = 0; i < 4; ++i) {
    for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(values[i] == values[j], i == j) << i << " " << j;
  }
  EXPECT_NE(map_of({{"x", PV::of_int(1)}}), map_of({{"x", PV::of_float(1.0)}}));
}

TEST(ParamValueEquality, FloatsCompareByCanonicalBits) {
  EXPECT_NE(PV::of_float(0.0), PV::of_float(-0.0));
  const ParamValue nan_a = PV::of_float(from_bits(0x7ff8000000000000ULL));
  const ParamValue nan_b = PV::of_float(from_bits(0xfff0000000000001ULL));
  EXPECT_EQ(nan_a, nan_b);
  EXPECT_EQ(nan_a.token(), nan_b.token());
  EXPECT_EQ(hash_of(nan_a), hash_of(nan_b));
  EXPECT_EQ(canonical_bits(-0.0), 0x8000000000000000ULL);
  EXPECT_EQ(canonical_bits(from_bits(0x7ff4000000000000ULL)), 0x7ff8000000000000ULL);
}

TEST(ParamValueEquality, EqualValuesHashEqual) {
  const std::vector<std::pair<ParamValue, ParamValue>> pairs = {
      {PV::of_int(-5), PV::of_int(-5)},
      {PV::of_str(std::string("a\0b", 3)), PV::of_str(std::string("a\0b", 3))},
      {PV::of_bool(false), PV::of_bool(false)},
      {PV::of_float(2.5), PV::of_float(2.5)}};
  for (const auto& [a, b] : pairs) {
    ASSERT_EQ(a, b);
    for (std::uint64_t seed : {0ULL, 1ULL, 0xdeadbeefULL}) EXPECT_EQ(hash_of(a, seed), hash_of(b, seed));
  }
  EXPECT_NE(PV::of_str(std::string("a\0b", 3)), PV::of_str("a"));
}

TEST(ParamMapOrder, SortsByUnsignedKeyBytesShorterFirst) {
  const ParamMap m = map_of({{"\xc3\xa9", PV::of_int(0)},
                             {"ab", PV::of_int(1)},
                             {"a", PV::of_int(2)},
                             {"Z", PV::of_int(3)},
                             {"", PV::of_int(4)},
                             {"z", PV::of_int(5)}});
  std::vector<std::string> keys;
  for (const auto& e : m.entries()) keys.push_back(e.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"", "Z", "a", "ab", "z", "\xc3\xa9"}));
}

TEST(ParamMapOrder, EqualMapsFromDifferentOrdersHashEqual) {
  const ParamMap a = map_of({{"x", PV::of_int(1)}, {"y", PV::of_str("s")}});
  const ParamMap b = map_of({{"y", PV::of_str("s")}, {"x", PV::of_int(1)}});
  EXPECT_EQ(a, b);
  EXPECT_EQ(hash_of(a), hash_of(b));
  EXPECT_NE(a, map_of({{"x", PV::of_int(1)}}));
  EXPECT_NE(map_of({{"a", PV::of_int(1)}, {"a", PV::of_int(2)}}), map_of({{"a", PV::of_int(2)}, {"a", PV::of_int(1)}}));
}

// ---------------------------------------------------------------------------------------
// escape_token / unescape_token

/// The four whole-text passes of unescaping, written the slow obvious way.
std::string unescape_four_passes(std::string s) {
  const std::pair<const char*, const char*> passes[] = {{"%7C", "|"}, {"%3D", "="}, {"%3B", ";"}, {"%25", "%"}};
  for (const auto& [from, to] : passes) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
      if (s.compare(i, 3, from) == 0) {
        out += to;
        i += 3;
      } else {
        out += s[i++];
      }
    }
    s = std::move(out);
  }
  return s;
}

struct EscapeCase {
  const char* raw;
  const char* escaped;
};

class Escape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(Escape, BothWays) {
  EXPECT_EQ(escape_token(GetParam().raw), GetParam().escaped);
  EXPECT_EQ(unescape_token(GetParam().escaped), GetParam().raw);
}

INSTANTIATE_TEST_SUITE_P(All, Escape,
                         ::testing::Values(EscapeCase{"", ""}, EscapeCase{"plain", "plain"}, EscapeCase{"%", "%25"},
                                           EscapeCase{";=|", "%3B%3D%7C"}, EscapeCase{"%7C", "%257C"},
                                           EscapeCase{"%25", "%2525"}, EscapeCase{"a|b", "a%7Cb"},
                                           EscapeCase{"\xc3\xa9;", "\xc3\xa9%3B"}));

TEST(Unescape, KeepsUnknownSequences) {
  EXPECT_EQ(unescape_token("%7c"), "%7c");
  EXPECT_EQ(unescape_token("%41"), "%41");
  EXPECT_EQ(unescape_token("50%"), "50%");
  EXPECT_EQ(unescape_token("%7"), "%7");
  EXPECT_EQ(unescape_token("%3b%3d"), "%3b%3d");
  EXPECT_EQ(unescape_token("%257C"), "%7C");
  EXPECT_EQ(unescape_token("%%7C"), "%|");
}

TEST(Unescape, AgreesWithFourPassesOnRandomText) {
  std::mt19937_64 rng(99);
  const char alphabet[] = {'%', '2', '5', '7', 'C', 'c', '3', 'B', 'D', 'b', '|', ';', '=', 'x'};
  for (int round = 0; round < 20000; ++round) {
    std::string s;
    for (int n = static_cast<int>(rng() % 12); n > 0; --n) s += alphabet[rng() % sizeof alphabet];
    ASSERT_EQ(unescape_token(s), unescape_four_passes(s)) << s;
    ASSERT_EQ(unescape_token(escape_token(s)), s) << s;
    const std::string e = escape_token(s);
    ASSERT_EQ(e.find_first_of(";=|"), std::string::npos) << s;
  }
}

// ---------------------------------------------------------------------------------------
// Display

struct FloatDisplayCase {
  const char* name;
  double value;
  std::string text;
};

class FloatDisplay : public ::testing::TestWithParam<FloatDisplayCase> {};

TEST_P(FloatDisplay, Text) {
  EXPECT_EQ(display_float(GetParam().value), GetParam().text);
  EXPECT_EQ(PV::of_float(GetParam().value).display(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    All, FloatDisplay,
    ::testing::Values(
        FloatDisplayCase{"One", 1.0, "1"}, FloatDisplayCase{"TwoAndAHalf", 2.5, "2.5"},
        FloatDisplayCase{"PointOne", 0.1, "0.1"}, FloatDisplayCase{"MinusOnePointFive", -1.5, "-1.5"},
        FloatDisplayCase{"Zero", 0.0, "0"}, FloatDisplayCase{"NegZero", -0.0, "-0"},
        FloatDisplayCase{"OneE21", 1e21, "1000000000000000000000"},
        FloatDisplayCase{"OneE23", 1e23, "100000000000000000000000"},
        FloatDisplayCase{"TwoPow63", 9223372036854775808.0, "9223372036854776000"},
        FloatDisplayCase{"TwoPow53PlusTwo", 9007199254740994.0, "9007199254740994"},
        FloatDisplayCase{"OneE16", 1e16, "10000000000000000"}, FloatDisplayCase{"Fraction", 123.456, "123.456"},
        FloatDisplayCase{"OneEMinus7", 1e-7, "0.0000001"}, FloatDisplayCase{"NegSmall", -0.00123, "-0.00123"},
        FloatDisplayCase{"SmallestSubnormal", 5e-324, "0." + std::string(323, '0') + "5"},
        FloatDisplayCase{"Max", std::numeric_limits<double>::max(), "17976931348623157" + std::string(292, '0')},
        FloatDisplayCase{"NaN", std::nan(""), "NaN"}, FloatDisplayCase{"NegNaN", -std::nan(""), "NaN"},
        FloatDisplayCase{"Inf", INFINITY, "inf"}, FloatDisplayCase{"NegInf", -INFINITY, "-inf"}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(FloatDisplay, RandomFiniteValuesReadBackWithoutExponent) {
  std::mt19937_64 rng(4242);
  for (int round = 0; round < 20000; ++round) {
    const double x = from_bits(rng());
    if (!std::isfinite(x)) continue;
    const std::string text = display_float(x);
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    ASSERT_EQ(raw_bits(std::strtod(text.c_str(), nullptr)), raw_bits(x)) << text;
    if (x == std::floor(x)) {
      ASSERT_EQ(text.find('.'), std::string::npos) << text;
    }
  }
}

struct StrDisplayCase {
  const char* name;
  std::string raw;
  std::string shown;
};

class StrDisplay : public ::testing::TestWithParam<StrDisplayCase> {};

TEST_P(StrDisplay, Quoted) {
  EXPECT_EQ(PV::of_str(GetParam().raw).display(), GetParam().shown);
  EXPECT_EQ(quote_display(GetParam().raw), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    All, StrDisplay,
    ::testing::Values(StrDisplayCase{"Empty", "", R"("")"}, StrDisplayCase{"Plain", "fast", R"("fast")"},
                      StrDisplayCase{"Backslash", "a\\b", R"("a\\b")"},
                      StrDisplayCase{"DoubleQuote", "say \"hi\"", R"("say \"hi\"")"},
                      StrDisplayCase{"SingleQuoteKept", "it's", R"("it's")"},
                      StrDisplayCase{"Tab", "a\tb", R"("a\tb")"}, StrDisplayCase{"CarriageReturn", "\r", R"("\r")"},
                      StrDisplayCase{"LineFeed", "a\nb", R"("a\nb")"},
                      StrDisplayCase{"Nul", std::string("a\0b", 3), R"("a\0b")"},
                      StrDisplayCase{"Bell", "\x07", R"("\u{7}")"}, StrDisplayCase{"Escape", "\x1b", R"("\u{1b}")"},
                      StrDisplayCase{"Delete", "\x7f", R"("\u{7f}")"},
                      StrDisplayCase{"ZeroWidthSpace", "\xe2\x80\x8b", R"("\u{200b}")"},
                      StrDisplayCase{"CombiningAcute", "e\xcc\x81", R"("e\u{301}")"},
                      StrDisplayCase{"PrecomposedEAcute", "\xc3\xa9", "\"\xc3\xa9\""},
                      StrDisplayCase{"Euro", "\xe2\x82\xac", "\"\xe2\x82\xac\""},
                      StrDisplayCase{"Emoji", "\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},
                      StrDisplayCase{"SeparatorsKept", "x;y=z|%", R"("x;y=z|%")"}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(ValueDisplay, IntsAndBools) {
  EXPECT_EQ(PV::of_int(-3).display(), "-3");
  EXPECT_EQ(PV::of_int(std::numeric_limits<std::int64_t>::min()).display(), "-9223372036854775808");
  EXPECT_EQ(PV::of_bool(true).display(), "true");
  EXPECT_EQ(PV::of_bool(false).display(), "false");
}

}  // namespace
}  // namespace vantrel
