// DOT text of a store: header, labels with Display forms and escaping, shapes, edges.
#include <gtest/gtest.h>

#include "store/graph_store.hpp"

namespace vantrel {
namespace {

ParamMap params(std::initializer_list<ParamEntry> e) { return ParamMap::make(e); }

/// The label text between `[label="` and the closing quote of node line `id`.
std::string label_line(const GraphStore& s, NodeId id) {
  const std::string dot = s.to_dot();
  const std::string start = "  n" + std::to_string(id) + " [label=\"";
  auto b = dot.find(start);
  if (b == std::string::npos) return "<missing>";
  auto e = dot.find("];\n", b);
  return dot.substr(b, e + 2 - b);
}

TEST(Dot, EmptyStore) { EXPECT_EQ(GraphStore().to_dot(), "digraph vantrel {\n}\n"); }

TEST(Dot, WorkedExample) {
  GraphStore s;
  EXPECT_TRUE(s.intern(Source{"x", {}}).ok());
  EXPECT_TRUE(s.intern(Op{"add", params({{"k", ParamValue::of_int(2)}}), {0}}).ok());
  EXPECT_TRUE(s.mark_output(0).ok());
  EXPECT_EQ(s.to_dot(),
            "digraph vantrel {\n"
            "  n0 [label=\"Source x\", shape=doublecircle];\n"
            "  n1 [label=\"Op add {k=2}\"];\n"
            "  n0 -> n1;\n"
            "}\n");
}

struct LabelCase {
  const char* name;
  NodeKey key;
  const char* line;
};

std::vector<LabelCase> label_cases() {
  auto desc = std::make_shared<const PayloadDescriptor>(PayloadDescriptor{"model", "h1", "torch", "2.1", "io", "pre"});
  return {
      {"QuoteInName", Source{"a\"b", {}}, R"(  n0 [label="Source a\"b"];)"},
      {"BackslashInName", Source{"a\\b", {}}, R"(  n0 [label="Source a\\b"];)"},
      {"StrParamQuotedThenEscaped", Op{"f", params({{"mode", ParamValue::of_str("fast")}}), {}},
       R"(  n0 [label="Op f {mode=\"fast\"}"];)"},
      {"DisplayEscapesAreEscapedAgain", Op{"f", params({{"t", ParamValue::of_str("a\tb\\")}}), {}},
       R"(  n0 [label="Op f {t=\"a\\tb\\\\\"}"];)"},
      {"LineFeedInNamePassesThrough", Source{"a\nb", {}}, "  n0 [label=\"Source a\nb\"];"},
      {"ReductionWithParams",
       Reduction{"sum", params({{"axis", ParamValue::of_int(0)}, {"keep", ParamValue::of_bool(true)}}), {}},
       R"(  n0 [label="Reduction sum {axis=0, keep=true}"];)"},
      {"ExternalWithoutParams", External{desc, {}, {}}, R"(  n0 [label="External model:h1 [torch 2.1]"];)"},
      {"ExternalWithParams", External{desc, params({{"x", ParamValue::of_float(1.0)}}), {}},
       R"(  n0 [label="External model:h1 [torch 2.1] {x=1}"];)"},
      {"Stage", Stage{{}, {StageOp{"op|a", {}}, StageOp{"op|b", {}}, StageOp{"op|c", {}}}},
       R"(  n0 [label="Stage[3 members]"];)"},
      {"ExchangeBare", Exchange{{}, {}}, R"(  n0 [label="Exchange"];)"},
      {"ExchangeWithParams", Exchange{params({{"scheme", ParamValue::of_str("hash")}}), {}},
       R"(  n0 [label="Exchange {scheme=\"hash\"}"];)"},
      {"NonAsciiName", Source{"日本", {}}, "  n0 [label=\"Source 日本\"];"},
      // A NUL would end the DOT string early: it is shown as \0, its backslash doubled.
      {"NulInName", Source{std::string("a\0b", 3), {}}, R"(  n0 [label="Source a\\0b"];)"},
      {"NulInParamKey", Op{"f", params({{std::string("k\0", 2), ParamValue::of_int(1)}}), {}},
       R"(  n0 [label="Op f {k\\0=1}"];)"},
  };
}

class DotLabel : public ::testing::TestWithParam<LabelCase> {};

TEST_P(DotLabel, RendersTheNodeLine) {
  GraphStore s;
  ASSERT_TRUE(s.intern(GetParam().key).ok());
  EXPECT_EQ(label_line(s, 0), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(Variants, DotLabel, ::testing::ValuesIn(label_cases()),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(Dot, RepeatedInputsGiveRepeatedEdgesAfterAllNodeLines) {
  GraphStore s;
  for (const char* n : {"a", "b", "c", "d"}) EXPECT_TRUE(s.intern(Source{n, {}}).ok());
  EXPECT_TRUE(s.intern(Op{"mul", {}, {3, 3}}).ok());
  EXPECT_TRUE(s.intern(Stage{{4, 0}, {StageOp{"op|f", {}}}}).ok());
  EXPECT_TRUE(s.mark_output(5).ok());
  EXPECT_TRUE(s.mark_output(4).ok());
  const std::string dot = s.to_dot();
  const std::string edges = "  n3 -> n4;\n  n3 -> n4;\n  n4 -> n5;\n  n0 -> n5;\n}\n";
  ASSERT_GE(dot.size(), edges.size());
  EXPECT_EQ(dot.substr(dot.size() - edges.size()), edges);
  EXPECT_NE(
      dot.find(
          "  n4 [label=\"Op mul\", shape=doublecircle];\n  n5 [label=\"Stage[1 members]\", shape=doublecircle];\n"),
      std::string::npos);
}

TEST(Dot, LongChainRenders) {
  GraphStore s;
  EXPECT_TRUE(s.intern(Source{"x", {}}).ok());
  for (NodeId i = 1; i < 100000; ++i) EXPECT_TRUE(s.intern(Op{"f", {}, {i - 1}}).ok());
  const std::string dot = s.to_dot();
  EXPECT_NE(dot.find("  n99998 -> n99999;\n}\n"), std::string::npos);
}

TEST(Dot, PoisonedStoreIsAnInternalFault) {
  GraphStore s;
  s.poison_for_testing();
  EXPECT_THROW(s.to_dot(), InternalFault);
}

}  // namespace
}  // namespace vantrel
