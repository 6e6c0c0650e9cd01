// The rule set as data: which rules the reducer folds by, the default set, engines built from
// a rule set and a configuration, and finalize's proof that skipping the engine is safe.
#include "engine/rule_set.hpp"

#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "egraph/runner.hpp"
#include "egraph_engine/egg_engine.hpp"
#include "optimizer/incremental.hpp"
#include "optimizer_support.hpp"

namespace vantrel {
namespace {

using namespace vantrel::testing;

struct ShapeCase {
  const char* lhs;
  const char* rhs;
  FoldShape shape;
  const char* token;
};

class FoldShapeOf : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(FoldShapeOf, OnlyTheExactSpellingsFold) {
  const ShapeCase& c = GetParam();
  const PatternRule rule{"r", c.lhs, c.rhs};  // the fold's token views the rule's text
  const RuleFold f = fold_shape(rule);
  EXPECT_EQ(f.shape, c.shape);
  EXPECT_EQ(f.token, c.token);
}

INSTANTIATE_TEST_SUITE_P(Rules, FoldShapeOf,
                         ::testing::Values(ShapeCase{"(op|add ?a ?b)", "(op|add ?b ?a)", FoldShape::kSwap, "op|add"},
                                           ShapeCase{"(op|f|k=i1 ?x)", "?x", FoldShape::kIdentity, "op|f|k=i1"},
                                           // Not a swap: same order, other token, one variable twice, a variable root.
                                           ShapeCase{"(op|add ?a ?b)", "(op|add ?a ?b)", FoldShape::kNone, ""},
                                           ShapeCase{"(op|add ?a ?b)", "(op|mul ?b ?a)", FoldShape::kNone, ""},
                                           ShapeCase{"(op|add ?a ?a)", "(op|add ?a ?a)", FoldShape::kNone, ""},
                                           ShapeCase{"(?f ?a ?b)", "(?f ?b ?a)", FoldShape::kNone, ""},
                                           // Not an identity: another variable, a nested side, a constant child.
                                           ShapeCase{"(op|neg ?x)", "?y", FoldShape::kNone, ""},
                                           ShapeCase{"(op|neg (op|neg ?x))", "?x", FoldShape::kNone, ""},
                                           ShapeCase{"(op|neg x)", "x", FoldShape::kNone, ""},
                                           // Spellings the engine would read alike still do not fold.
                                           ShapeCase{"( op|add ?a ?b)", "(op|add ?b ?a)", FoldShape::kNone, ""},
                                           ShapeCase{"(op|add  ?a ?b)", "(op|add ?b ?a)", FoldShape::kNone, ""},
                                           ShapeCase{"(op|add ?a ?b)", "(op|add ?b ?a) ", FoldShape::kNone, ""},
                                           ShapeCase{"(op|neg ?x)", " ?x", FoldShape::kNone, ""},
                                           ShapeCase{"", "", FoldShape::kNone, ""}));

TEST(DefaultRuleSet, TwelveRulesThatAllFold) {
  std::vector<std::string> names;
  for (const PatternRule& r : default_rule_set()) {
    names.push_back(r.name);
    EXPECT_NE(fold_shape(r).shape, FoldShape::kNone) << r.name;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"commute-add", "commute-mul", "commute-and", "commute-or", "commute-eq",
                                             "commute-ne", "commute-maximum", "commute-minimum", "identity-0",
                                             "identity-1", "identity-2", "identity-3"}));
  EXPECT_EQ(&default_rule_set(), &default_rule_set());  // built once
  EXPECT_EQ(default_rule_set(), RuleSet(default_rule_set().rules()));
  EXPECT_FALSE(default_rule_set() == RuleSet());
}

TEST(EggEngineRules, TheEngineRunsTheRuleSetItIsGiven) {
  const RuleSet swap_sub({PatternRule{"swap-sub", "(op|sub ?a ?b)", "(op|sub ?b ?a)"}});
  const egraph::EggEngine engine(swap_sub);
  ASSERT_EQ(engine.rules().size(), 1u);
  EXPECT_EQ(*engine.rule_set(), swap_sub);
  const EngineGraph g{{{"src|a", {}, true},
                       {"src|b", {}, true},
                       {"op|sub", {0, 1}, false},
                       {"op|sub", {1, 0}, false},
                       {"op|add", {0, 1}, false},
                       {"op|add", {1, 0}, false}},
                      {2, 3, 4, 5}};
  const EngineGraph out = engine.canonicalize(g);
  EXPECT_EQ(out.outputs, (NodeIds{2, 2, 3, 4}));  // subs merge, adds do not
}

TEST(EggEngineRules, ARuleThatDoesNotCompileIsAnError) {
  for (const PatternRule& bad : {PatternRule{"unbound", "(f ?a)", "(g ?b)"}, PatternRule{"open", "(f ?a", "?a"},
                                 PatternRule{"empty", "", "?a"}}) {
    auto made = egraph::EggEngine::make(RuleSet({bad}));
    ASSERT_FALSE(made.ok()) << bad.name;
    EXPECT_NE(made.error().find(bad.name), std::string::npos) << made.error();
  }
  EXPECT_TRUE(egraph::EggEngine::make(default_rule_set()).ok());
}

TEST(EngineConfig, DefaultsAndTheRunnerTheyConfigure) {
  const egraph::EngineConfig config;
  EXPECT_EQ(config.iteration_limit, 12u);
  EXPECT_EQ(config.node_limit(1000), 5024u);
  EXPECT_EQ(config.time_budget, egraph::EngineConfig::Duration(std::chrono::seconds(5)));
  egraph::Runner r;
  r.configure(config, 10);
  EXPECT_EQ(r.iteration_limit, 12u);
  EXPECT_EQ(r.e_node_limit, 1064u);
  const auto* backoff = dynamic_cast<const egraph::BackoffScheduler*>(r.scheduler.get());
  ASSERT_NE(backoff, nullptr);
  EXPECT_EQ(backoff->default_match_threshold, 1000u);
  EXPECT_EQ(backoff->default_ban_span, 5u);
}

TEST(EngineConfig, NoTimeBudgetNeverStopsForTime) {
  egraph::EngineConfig config;
  config.time_budget.reset();
  egraph::Runner r;
  r.configure(config, 4);
  egraph::Runner::Clock::time_point fake{};
  r.now = [&] { return fake += std::chrono::hours(1); };
  const egraph::EggEngine engine;
  for (int i = 0; i < 3; ++i) {
    const egraph::Id a = r.e_graph.add(egraph::SymbolLang{egraph::GlobalSymbol::intern("l" + std::to_string(i)), {}});
    r.e_graph.add(egraph::SymbolLang{egraph::GlobalSymbol::intern("op|add"), {a, a}});
  }
  r.run(engine.rules());
  EXPECT_EQ(r.outcome, egraph::StopReason{egraph::Saturated{}});
}

/// Proves nothing and counts its calls; declares the rule set it was given, if any.
class DeclaringEngine final : public RewriteEngine {
 public:
  explicit DeclaringEngine(const RuleSet* rules) : rules_(rules) {}
  EngineGraph canonicalize(const EngineGraph& graph) const override {
    ++calls;
    return graph;
  }
  const RuleSet* rule_set() const override { return rules_; }
  mutable int calls = 0;

 private:
  const RuleSet* rules_;
};

struct SkipCase {
  const char* name;
  bool reducer_default;  // else the default rules plus one the reducer cannot fold
  int engine_rules;      // 0: declares none, 1: the default set, 2: the reducer's set
  bool engine_runs;
};

class FinalizeSkip : public ::testing::TestWithParam<SkipCase> {};

TEST_P(FinalizeSkip, OnlyAProvenlyIdleEngineIsSkipped) {
  const SkipCase& c = GetParam();
  std::vector<PatternRule> extended = default_rule_set().rules();
  extended.push_back({"twice", "(op|neg (op|neg ?x))", "?x"});
  const RuleSet rules = c.reducer_default ? default_rule_set() : RuleSet(extended);
  IncrementalReducer r(rules);
  ASSERT_TRUE(r.step(std::vector<NodeKey>{src("a"), op("neg", {0}), op("neg", {1})}).ok());
  const RuleSet* declared = c.engine_rules == 0 ? nullptr : c.engine_rules == 1 ? &default_rule_set() : &rules;
  DeclaringEngine engine(declared);
  ASSERT_TRUE(r.finalize_default(NodeIds{2}, engine, false).ok());
  EXPECT_EQ(engine.calls, c.engine_runs ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, FinalizeSkip,
                         ::testing::Values(SkipCase{"default_rules_declared", true, 1, false},
                                           SkipCase{"nothing_declared", true, 0, true},
                                           SkipCase{"a_rule_fold_lacks", false, 2, true},
                                           SkipCase{"other_rules_declared", false, 1, true}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(IncrementalRules, TheReducerFoldsByItsRuleSet) {
  const RuleSet rules(
      {PatternRule{"swap-sub", "(op|sub ?a ?b)", "(op|sub ?b ?a)"}, PatternRule{"drop-id", "(op|id ?x)", "?x"}});
  IncrementalReducer r(rules);
  ASSERT_TRUE(r.step(std::vector<NodeKey>{src("a"), src("b"), op("sub", {0, 1}), op("sub", {1, 0}), op("add", {0, 1}),
                                          op("add", {1, 0}), op("id", {4}), add_zero(0)})
                  .ok());
  EXPECT_EQ(r.id_map(), (NodeIds{0, 1, 2, 2, 3, 4, 3, 5}));
  const egraph::EggEngine engine(rules);
  auto skipped = r.finalize_default(NodeIds{3, 5, 6, 7}, engine, false);
  auto full = r.finalize(NodeIds{3, 5, 6, 7}, engine, false);
  ASSERT_TRUE(skipped.ok() && full.ok());
  EXPECT_EQ(skipped.value().keys(), full.value().keys());
}

}  // namespace
}  // namespace vantrel
