#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "common/fault.hpp"
#include "egraph_engine/egg_engine.hpp"

namespace vantrel::egraph {
namespace {

constexpr const char* kAdd0R = "op|add|scalar=f0000000000000000;side=sr";
constexpr const char* kAdd0L = "op|add|scalar=f0000000000000000;side=sl";
constexpr const char* kMul1R = "op|mul|scalar=f3ff0000000000000;side=sr";
constexpr const char* kMul1L = "op|mul|scalar=f3ff0000000000000;side=sl";

EngineNode src(const std::string& name) { return EngineNode{"src|" + name, {}, true}; }
EngineNode op(const std::string& token, NodeIds inputs) { return EngineNode{token, std::move(inputs), false}; }

const EggEngine& engine() {
  static const EggEngine e;
  return e;
}

TEST(EggEngine, RulesInTableOrder) {
  std::vector<std::string> names;
  for (const Rewrite& r : engine().rules()) names.emplace_back(r.name.text());
  EXPECT_EQ(names, (std::vector<std::string>{"commute-add", "commute-mul", "commute-and", "commute-or", "commute-eq",
                                             "commute-ne", "commute-maximum", "commute-minimum", "identity-0",
                                             "identity-1", "identity-2", "identity-3"}));
  EXPECT_EQ(engine().config().iteration_limit, 12u);
}

struct Example {
  const char* name;
  EngineGraph input;
  EngineGraph expected;
};

class Canonicalize : public ::testing::TestWithParam<Example> {};

TEST_P(Canonicalize, GivesExpectedGraph) {
  const EngineGraph before = GetParam().input;
  const EngineGraph out = engine().canonicalize(GetParam().input);
  EXPECT_EQ(out, GetParam().expected);
  EXPECT_EQ(GetParam().input, before);  // the input is untouched
}

std::vector<Example> examples() {
  std::vector<Example> ex;
  ex.push_back({"empty", {}, {}});
  ex.push_back({"commutativity",
                {{src("a"), src("b"), op("op|add", {0, 1}), op("op|add", {1, 0}), op("op|mul", {2, 3})}, {4, 3}},
                {{src("a"), src("b"), op("op|add", {0, 1}), op("op|mul", {2, 2})}, {3, 2}}});
  ex.push_back(
      {"identity", {{src("x"), op(kAdd0R, {0}), op("op|neg", {1})}, {2, 1}}, {{src("x"), op("op|neg", {0})}, {1, 0}}});
  ex.push_back({"hashconsing",
                {{src("a"), op("op|exp", {0}), op("op|exp", {0})}, {2, 1}},
                {{src("a"), op("op|exp", {0})}, {1, 1}}});
  ex.push_back({"add_chain_collapses",
                {{src("x"), op(kAdd0R, {0}), op(kAdd0L, {1}), op("op|neg", {2})}, {2, 3}},
                {{src("x"), op("op|neg", {0})}, {0, 1}}});
  ex.push_back({"mul_one_left_removed", {{src("x"), op(kMul1L, {0}), op(kMul1R, {0})}, {1, 2}}, {{src("x")}, {0, 0}}});
  {
    // -0.0, an integer zero and an extra parameter are not identities; neither is an
    // identity token with two inputs.
    EngineGraph g{
        {src("x"), src("y"), op("op|add|scalar=f8000000000000000;side=sr", {0}), op("op|add|scalar=i0;side=sr", {0}),
         op("op|add|scalar=f0000000000000000;side=sr;z=i1", {0}), op(kAdd0R, {0, 1})},
        {2, 3, 4, 5}};
    ex.push_back({"non_identities_kept", g, g});
  }
  {
    // Three inputs or any parameter: never commuted; the plain pairs merge.
    EngineGraph in{
        {src("a"), src("b"), src("c"), op("op|add", {0, 1, 2}), op("op|add", {2, 1, 0}), op("op|add|axis=i0", {0, 1}),
         op("op|add|axis=i0", {1, 0}), op("op|add", {0, 1}), op("op|add", {1, 0})},
        {3, 4, 5, 6, 7, 8}};
    EngineGraph out{{src("a"), src("b"), src("c"), op("op|add", {0, 1, 2}), op("op|add", {2, 1, 0}),
                     op("op|add|axis=i0", {0, 1}), op("op|add|axis=i0", {1, 0}), op("op|add", {0, 1})},
                    {3, 4, 5, 6, 7, 7}};
    ex.push_back({"arity_and_params_block_commutation", in, out});
  }
  ex.push_back(
      {"all_commutative_ops",
       {{src("a"), src("b"), op("op|and", {0, 1}), op("op|and", {1, 0}), op("op|or", {1, 0}), op("op|or", {0, 1}),
         op("op|eq", {0, 1}), op("op|eq", {1, 0}), op("op|ne", {0, 1}), op("op|ne", {1, 0}), op("op|maximum", {0, 1}),
         op("op|maximum", {1, 0}), op("op|minimum", {0, 1}), op("op|minimum", {1, 0}), op("op|sub", {0, 1}),
         op("op|sub", {1, 0})},
        {3, 5, 7, 9, 11, 13, 15}},
       {{src("a"), src("b"), op("op|and", {0, 1}), op("op|or", {1, 0}), op("op|eq", {0, 1}), op("op|ne", {0, 1}),
         op("op|maximum", {0, 1}), op("op|minimum", {0, 1}), op("op|sub", {0, 1}), op("op|sub", {1, 0})},
        {2, 3, 4, 5, 6, 7, 9}}});
  {
    // Nothing to merge: the graph comes back as it was, with `opaque` taken from the token.
    EngineGraph in{{EngineNode{"src|a", {}, false}, EngineNode{"op|exp", {0}, true}, EngineNode{"red|sum", {1}, true}},
                   {}};
    EngineGraph out{{EngineNode{"src|a", {}, true}, EngineNode{"op|exp", {0}, false}, EngineNode{"red|sum", {1}, true}},
                    {}};
    ex.push_back({"opaque_recomputed", in, out});
  }
  ex.push_back({"congruence_redirects_users",
                {{src("a"), src("b"), op("op|mul", {0, 1}), op("op|mul", {1, 0}), op("op|exp", {2}), op("op|exp", {3}),
                  op("op|add", {4, 5})},
                 {6, 5, 5}},
                {{src("a"), src("b"), op("op|mul", {0, 1}), op("op|exp", {2}), op("op|add", {3, 3})}, {4, 3, 3}}});
  return ex;
}

INSTANTIATE_TEST_SUITE_P(Examples, Canonicalize, ::testing::ValuesIn(examples()),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(EggEngine, SaturatesWithinTwoOrThreeIterations) {
  CanonicalizeStats stats;
  engine().canonicalize_with_stats(examples()[1].input, &stats);
  EXPECT_EQ(stats.stop, StopReason{Saturated{}});
  EXPECT_EQ(stats.iterations, 2u);
}

TEST(EggEngine, MalformedGraphsAreInternalFaults) {
  EXPECT_THROW(engine().canonicalize(EngineGraph{{src("a"), op("op|neg", {1})}, {}}), InternalFault);
  EXPECT_THROW(engine().canonicalize(EngineGraph{{src("a"), op("op|neg", {5})}, {}}), InternalFault);
  EXPECT_THROW(engine().canonicalize(EngineGraph{{src("a")}, {1}}), InternalFault);
  EXPECT_THROW(engine().canonicalize(EngineGraph{{}, {0}}), InternalFault);
  // In the compact form, a label id past the label table.
  std::vector<std::string> labels;
  LabelGraph compact = to_label_graph(EngineGraph{{src("a"), op("op|neg", {0})}, {1}}, labels);
  compact.nodes.label[1] = 2;
  EXPECT_THROW(engine().canonicalize_labels(compact), InternalFault);
}

TEST(EggEngine, LongIdentityChainCollapsesOntoItsSource) {
  EngineGraph g;
  g.nodes.push_back(src("x"));
  for (NodeId i = 0; i < 20000; ++i) g.nodes.push_back(op(i % 2 ? kAdd0L : kMul1R, {i}));
  g.outputs = {20000, 7};
  const EngineGraph out = engine().canonicalize(g);
  EXPECT_EQ(out, (EngineGraph{{src("x")}, {0, 0}}));
}

// Texts no rule mentions (sources, and ops the rules leave alone) stay out of the process-wide
// symbol table, however many graphs bring new ones; the rules still see their own texts.
TEST(EggEngine, LabelsNoRuleMentionsStayOutOfTheSymbolTable) {
  const EggEngine& e = engine();
  const std::size_t before = GlobalSymbol::interned_count();
  for (int round = 0; round < 3; ++round) {
    EngineGraph g;
    for (int i = 0; i < 100; ++i) {
      const auto k = static_cast<NodeId>(g.nodes.size());
      g.nodes.push_back(src("fresh-" + std::to_string(round) + "-" + std::to_string(i)));
      g.nodes.push_back(op("op|fresh-" + std::to_string(round) + "-" + std::to_string(i), {k}));
      g.nodes.push_back(op(kAdd0R, {k + 1}));  // x + 0 is x
      if (i > 0) {
        g.nodes.push_back(op("op|add", {k - 1, k + 2}));
        g.nodes.push_back(op("op|add", {k + 1, k - 1}));  // the same sum, commuted
      }
    }
    g.outputs = {static_cast<NodeId>(g.nodes.size() - 1), static_cast<NodeId>(g.nodes.size() - 2)};
    const EngineGraph out = e.canonicalize(g);
    // Each round: 100 sources and 100 fresh ops; the identities and the commuted sums merge.
    EXPECT_EQ(out.nodes.size(), 100u + 100u + 99u) << round;
    EXPECT_EQ(out.outputs[0], out.outputs[1]) << round;
  }
  EXPECT_EQ(GlobalSymbol::interned_count(), before);
}

TEST(EggEngine, ConcurrentCanonicalizeOnSharedEngine) {
  // One engine, several threads, tokens shared and private: same results as alone.
  auto graph_for = [](int t) {
    EngineGraph g{{src("shared"), src("own" + std::to_string(t)), op("op|add", {0, 1}), op("op|add", {1, 0}),
                   op(kAdd0R, {3}), op("op|mul", {2, 4})},
                  {5}};
    return g;
  };
  const EngineGraph expected{{src("shared"), src("own0"), op("op|add", {0, 1}), op("op|mul", {2, 2})}, {3}};
  std::vector<std::thread> threads;
  std::vector<EngineGraph> results(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &results, &graph_for] {
      for (int k = 0; k < 20; ++k) results[t] = engine().canonicalize(graph_for(t));
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t) {
    EngineGraph e = expected;
    e.nodes[1] = src("own" + std::to_string(t));
    EXPECT_EQ(results[t], e);
  }
}

}  // namespace
}  // namespace vantrel::egraph
