#include <gtest/gtest.h>
#include <map>
#include <string>

#include "egraph/cost_extract.hpp"
#include "egraph_engine/egg_engine.hpp"
#include "engine/rule_set.hpp"

namespace vantrel::egraph {
namespace {

SymbolLang leaf(const char* op) { return SymbolLang{GlobalSymbol::intern(op), {}}; }
SymbolLang node(const char* op, IdList kids) { return SymbolLang{GlobalSymbol::intern(op), std::move(kids)}; }

/// Costs by operator text; any other operator costs 1.
auto costs(std::map<std::string, std::uint64_t> table) {
  return [table = std::move(table)](GlobalSymbol s) {
    auto it = table.find(std::string(s.text()));
    return it == table.end() ? std::uint64_t{1} : it->second;
  };
}

std::string text(const ExtractedGraph& g, std::size_t at) {
  const SymbolLang& n = g.nodes[at];
  std::string out(n.symbol.text());
  if (n.children.size() == 0) return out;
  out += "(";
  for (std::uint32_t i = 0; i < n.children.size(); ++i) out += (i ? "," : "") + text(g, n.children[i]);
  return out + ")";
}

TEST(CostExtract, ACheaperTermAddedLaterWins) {
  // mul(x, two) = plus(x, x), as a rule would add it after the graph was loaded.
  EGraph g;
  const Id x = g.add(leaf("x"));
  const Id two = g.add(leaf("two"));
  const Id mul = g.add(node("mul", {x, two}));
  const Id plus = g.add(node("plus", {x, x}));
  g.union_(mul, plus);
  g.rebuild();
  const auto expensive = choose_by_cost(g, costs({{"mul", 5}}));
  const ExtractedGraph out = extract_terms(g, expensive, std::vector<Id>{mul});
  EXPECT_EQ(text(out, out.roots[0]), "plus(x,x)");
  EXPECT_EQ(out.nodes.size(), 2u);  // x is shared and written once
  EXPECT_EQ(expensive.cost[g.find(mul)], 3u);
  // At equal cost the e-node added first wins.
  const ExtractedGraph even = extract_terms(g, choose_by_cost(g, costs({})), std::vector<Id>{plus});
  EXPECT_EQ(text(even, even.roots[0]), "mul(x,two)");
}

TEST(CostExtract, ZeroCostCyclesAreNeverChosen) {
  // x = id(x): the class holds an e-node that reads the class itself.
  EGraph g;
  const Id x = g.add(leaf("x"));
  const Id idx = g.add(node("id", {x}));
  const Id top = g.add(node("f", {idx}));
  g.union_(idx, x);
  g.rebuild();
  for (std::uint64_t id_cost : {0, 1}) {
    const ExtractedGraph out =
        extract_terms(g, choose_by_cost(g, costs({{"id", id_cost}, {"x", 0}})), std::vector<Id>{top, x});
    EXPECT_EQ(text(out, out.roots[0]), "f(x)");
    EXPECT_EQ(out.roots[1], out.nodes[out.roots[0]].children[0]);
  }
}

TEST(CostExtract, ChildrenComeFirstInTheOrderTheWalkFinishesThem) {
  EGraph g;
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  const Id fab = g.add(node("f", {b, a}));
  const Id ga = g.add(node("g", {a}));
  g.rebuild();
  const ExtractedGraph out = extract_terms(g, choose_by_cost(g, costs({})), std::vector<Id>{ga, fab, ga});
  ASSERT_EQ(out.nodes.size(), 4u);
  EXPECT_EQ(text(out, 0), "a");
  EXPECT_EQ(text(out, 1), "g(a)");
  EXPECT_EQ(text(out, 2), "b");
  EXPECT_EQ(text(out, 3), "f(b,a)");
  EXPECT_EQ(out.roots, (std::vector<Id>{1, 3, 1}));
}

TEST(CostExtract, CostsSaturate) {
  EGraph g;
  Id t = g.add(leaf("x"));
  for (int i = 0; i < 4; ++i) t = g.add(node("huge", {t, t}));
  g.rebuild();
  const auto choices = choose_by_cost(g, costs({{"huge", kNoCost / 2}}));
  EXPECT_EQ(choices.cost[g.find(t)], kNoCost - 1);
  EXPECT_EQ(extract_terms(g, choices, std::vector<Id>{t}).nodes.size(), 5u);
}

}  // namespace
}  // namespace vantrel::egraph

namespace vantrel::egraph {
namespace {

EngineConfig by_cost(std::vector<std::pair<std::string, std::uint64_t>> costs) {
  EngineConfig config;
  config.extraction = EngineConfig::Extraction::kCost;
  config.op_costs = std::move(costs);
  return config;
}

TEST(CostEngine, ATermARuleBuiltReplacesADearerNode) {
  const RuleSet doubling({PatternRule{"double", "(op|mul|k=i2 ?x)", "(op|add ?x ?x)"}});
  const EngineGraph g{{{"src|x", {}, true}, {"op|mul|k=i2", {0}, false}, {"op|exp", {1}, false}}, {2, 1}};
  const EggEngine dear_mul(doubling, by_cost({{"mul", 5}}));
  EXPECT_EQ(dear_mul.rule_set(), nullptr);  // it does more than merge: nothing may skip it
  const EngineGraph out = dear_mul.canonicalize(g);
  EXPECT_EQ(out, (EngineGraph{{{"src|x", {}, true}, {"op|add", {0, 0}, false}, {"op|exp", {1}, false}}, {2, 1}}));
  // At equal cost the graph's own node stays, and so does its place.
  EXPECT_EQ(EggEngine(doubling, by_cost({})).canonicalize(g), g);
}

TEST(CostEngine, OnlyWhatTheOutputsReachIsReadBack) {
  const EngineGraph g{{{"src|a", {}, true},
                       {"src|b", {}, true},
                       {"op|sub", {0, 1}, false},
                       {"op|neg", {1}, false},
                       {"op|plus", {0, 3}, false}},
                      {4, 2}};
  const RuleSet rules({PatternRule{"sub", "(op|sub ?a ?b)", "(op|plus ?a (op|neg ?b))"}});
  const EngineGraph earliest = EggEngine(rules).canonicalize(g);
  EXPECT_EQ(earliest.nodes.size(), 4u);  // the lone neg(b) is a class of its own
  const EngineGraph cheapest = EggEngine(rules, by_cost({})).canonicalize(g);
  EXPECT_EQ(cheapest, (EngineGraph{{{"src|a", {}, true}, {"src|b", {}, true}, {"op|sub", {0, 1}, false}}, {2, 2}}));
}

TEST(EarliestEngine, ClassesNoOutputReachesAreDroppedWhenAsked) {
  // neg(neg(x)) is x, so neither negation is needed; y feeds only the dropped negations.
  const EngineGraph g{{{"src|x", {}, true},
                       {"src|y", {}, true},
                       {"op|plus", {0, 1}, false},
                       {"op|neg", {2}, false},
                       {"op|neg", {3}, false},
                       {"op|exp", {4}, false}},
                      {5, 4}};
  const RuleSet rules({PatternRule{"twice", "(op|neg (op|neg ?x))", "?x"}});
  const EngineGraph kept = EggEngine(rules).canonicalize(g);
  EXPECT_EQ(kept.nodes.size(), 5u);  // the negations stay: the system's results keep every class
  EngineConfig pruning;
  pruning.keep_unreached = false;
  const EggEngine engine(rules, pruning);
  EXPECT_NE(engine.rule_set(), nullptr);  // still only merges
  EXPECT_EQ(engine.canonicalize(g),
            (EngineGraph{{{"src|x", {}, true}, {"src|y", {}, true}, {"op|plus", {0, 1}, false}, {"op|exp", {2}, false}},
                         {3, 2}}));
  // Without merges nothing is unreached: the graph comes back as it is.
  EXPECT_EQ(EggEngine(RuleSet(std::vector<PatternRule>{}), pruning).canonicalize(g), g);
}

}  // namespace
}  // namespace vantrel::egraph
