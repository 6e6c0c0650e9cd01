#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "common/fault.hpp"
#include "egraph/rewrite.hpp"

namespace vantrel::egraph {
namespace {

GlobalSymbol sym(const char* t) { return GlobalSymbol::intern(t); }
Var var(const char* t) { return Var{sym(t)}; }
SymbolLang leaf(const char* op) { return SymbolLang{sym(op), {}}; }
SymbolLang node(const char* op, IdList kids) { return SymbolLang{sym(op), std::move(kids)}; }

Subst subst(std::initializer_list<std::pair<const char*, Id>> bindings) {
  Subst s;
  for (auto [v, id] : bindings) s.insert(var(v), id);
  return s;
}

// ---- reading pattern text ----

struct ParseErrorCase {
  const char* text;
  ParseErrorKind kind;
};

class PatternParseErrors : public ::testing::TestWithParam<ParseErrorCase> {};

TEST_P(PatternParseErrors, ReportsKind) {
  auto r = parse_pattern(GetParam().text);
  ASSERT_FALSE(r.ok()) << GetParam().text;
  EXPECT_EQ(r.error().kind, GetParam().kind) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Texts, PatternParseErrors,
                         ::testing::Values(ParseErrorCase{"", ParseErrorKind::EmptySexp},
                                           ParseErrorCase{"   \n ", ParseErrorKind::EmptySexp},
                                           ParseErrorCase{"()", ParseErrorKind::EmptySexp},
                                           ParseErrorCase{"(f ())", ParseErrorKind::EmptySexp},
                                           ParseErrorCase{"((f) a)", ParseErrorKind::HeadList},
                                           ParseErrorCase{"(?x a)", ParseErrorKind::BadOp},
                                           ParseErrorCase{"(f ?a", ParseErrorKind::BadSexp},
                                           ParseErrorCase{")", ParseErrorKind::BadSexp},
                                           ParseErrorCase{"\"open", ParseErrorKind::BadSexp}));

TEST(PatternParse, ReaderErrorsCarryMessageAndPosition) {
  auto r = parse_pattern("(f\n  (g ?a)");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().sexp.message, "End of file reached");
  EXPECT_EQ(r.error().sexp.line, 2u);
  auto v = parse_pattern("(?x a)");
  EXPECT_EQ(v.error().op_error, FromOpError::UnexpectedVar);
  EXPECT_EQ(v.error().text, "?x");
}

TEST(PatternParse, IdentityTokenIsOneAtom) {
  auto r = parse_pattern("(op|mul|scalar=f3ff0000000000000;side=sr ?x)");
  ASSERT_TRUE(r.ok());
  const RecExpr expected{{Var{sym("?x")}, node("op|mul|scalar=f3ff0000000000000;side=sr", {0})}};
  EXPECT_EQ(r.value(), expected);
}

TEST(PatternParse, AtomsQuotesAndLayout) {
  // A lone "?" is an operator, not a variable; quoted atoms keep what lies between the
  // quotes; line breaks separate elements; text after the first element is ignored.
  auto r = parse_pattern("  (f\n\t?a \"two words\" ?) trailing (junk");
  ASSERT_TRUE(r.ok());
  const RecExpr expected{{Var{sym("?a")}, leaf("two words"), leaf("?"), node("f", {0, 1, 2})}};
  EXPECT_EQ(r.value(), expected);
  auto tab = parse_pattern("a\tb");
  ASSERT_TRUE(tab.ok());
  EXPECT_EQ(tab.value(), (RecExpr{{leaf("a\tb")}}));
  auto bare = parse_pattern("?x");
  ASSERT_TRUE(bare.ok());
  EXPECT_EQ(bare.value(), (RecExpr{{Var{sym("?x")}}}));
}

TEST(PatternParse, NestedListsNeedNoRecursion) {
  std::string text;
  for (int i = 0; i < 100000; ++i) text += "(f ";
  text += "?x";
  text += std::string(100000, ')');
  auto r = parse_pattern(text);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().nodes.size(), 100001u);
}

// ---- compaction and variables ----

TEST(Pattern, CompactionKeepsFirstOccurrenceOrder) {
  const Pattern ab = pattern_from_text("(op|add ?a ?b)");
  EXPECT_EQ(ab.ast(), (RecExpr{{Var{sym("?a")}, Var{sym("?b")}, node("op|add", {0, 1})}}));
  const Pattern ba = pattern_from_text("(op|add ?b ?a)");
  EXPECT_EQ(ba.ast(), (RecExpr{{Var{sym("?b")}, Var{sym("?a")}, node("op|add", {0, 1})}}));
  EXPECT_EQ(ba.vars(), (std::vector<Var>{var("?b"), var("?a")}));
  const Pattern shared = pattern_from_text("(f (g ?a) (g ?a) ?a)");
  EXPECT_EQ(shared.ast(), (RecExpr{{Var{sym("?a")}, node("g", {0}), node("f", {1, 1, 0})}}));
  EXPECT_EQ(shared.vars(), (std::vector<Var>{var("?a")}));
}

TEST(Rewrite, UnboundVariableIsRefused) {
  auto r = Rewrite::make("r", pattern_from_text("(f ?a)"), pattern_from_text("(g ?b)"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "Rewrite r refers to unbound var ?b");
  auto ok = Rewrite::make("r2", pattern_from_text("(f ?a ?b)"), pattern_from_text("?b"));
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok.value().name.text(), "r2");
}

TEST(Subst, ThreeBindingsStayInline) {
  Subst s = subst({{"?a", 1}, {"?b", 2}, {"?c", 3}});
  EXPECT_FALSE(s.spilled());
  s.insert(var("?b"), 7);
  EXPECT_EQ(s.get(var("?b")), 7u);
  EXPECT_EQ(s.size(), 3u);
  s.insert(var("?d"), 4);
  EXPECT_TRUE(s.spilled());
  EXPECT_EQ(s.get(var("?d")), 4u);
  EXPECT_EQ(s.get(var("?a")), 1u);
  EXPECT_EQ(s.get(var("?zz")), std::nullopt);
}

// ---- search ----

TEST(Search, BothOrdersOfAnAddInOneClass) {
  EGraph g;
  const Id c1 = g.add(leaf("c1"));
  const Id c2 = g.add(leaf("c2"));
  const Id x = g.add(node("op|add", {c1, c2}));
  const Id y = g.add(node("op|add", {c2, c1}));
  g.union_(x, y);
  g.rebuild();
  const auto m = pattern_from_text("(op|add ?a ?b)").search_with_limit(g, 100);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].class_id, g.find(x));
  EXPECT_EQ(m[0].substitutions, (std::vector<Subst>{subst({{"?a", c1}, {"?b", c2}}), subst({{"?a", c2}, {"?b", c1}})}));
}

TEST(Search, ArityMustMatchAndRepeatedChildBindsOnce) {
  EGraph g;
  const Id c = g.add(leaf("c"));
  const Id twice = g.add(node("op|add", {c, c}));
  g.add(node("op|add", {c, c, c}));
  g.rebuild();
  const Pattern lhs = pattern_from_text("(op|add ?a ?b)");
  const auto m = lhs.search_with_limit(g, 100);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].class_id, twice);
  EXPECT_EQ(m[0].substitutions, (std::vector<Subst>{subst({{"?a", c}, {"?b", c}})}));
  // commuting add(c, c) adds nothing and merges nothing
  const std::size_t before = g.enode_count();
  EXPECT_TRUE(pattern_from_text("(op|add ?b ?a)").apply_matches(g, m, sym("commute-add")).empty());
  EXPECT_EQ(g.enode_count(), before);
}

TEST(Search, RepeatedVariableMustMeetSameClass) {
  EGraph g;
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  g.add(node("f", {a, b}));
  const Id faa = g.add(node("f", {a, a}));
  g.rebuild();
  const auto m = pattern_from_text("(f ?x ?x)").search_with_limit(g, 100);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].class_id, faa);
}

TEST(Search, NestedPatternEnumeratesEveryWay) {
  EGraph g;
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  const Id ga = g.add(node("g", {a}));
  const Id gb = g.add(node("g", {b}));
  g.union_(ga, gb);  // one class holding g(a) and g(b)
  const Id top = g.add(node("f", {ga, a}));
  g.rebuild();
  const auto m = pattern_from_text("(f (g ?x) ?y)").search_with_limit(g, 100);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].class_id, g.find(top));
  EXPECT_EQ(m[0].substitutions, (std::vector<Subst>{subst({{"?x", a}, {"?y", a}}), subst({{"?x", b}, {"?y", a}})}));
  // a root variable matches every class once
  const auto all = pattern_from_text("?z").search_with_limit(g, 100);
  EXPECT_EQ(all.size(), g.class_count());
}

TEST(Search, DirtyGraphIsAnInternalFault) {
  EGraph g;
  g.add(leaf("a"));
  EXPECT_THROW(pattern_from_text("(f ?a)").search_with_limit(g, 10), InternalFault);
}

class SearchLimit : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SearchLimit, TakesMatchesInCandidateOrder) {
  EGraph g;
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  const Id c = g.add(leaf("c"));
  const Id x = g.add(node("op|mul", {a, b}));
  const Id y = g.add(node("op|mul", {b, a}));
  g.add(node("op|mul", {c, a}));
  g.union_(x, y);
  g.rebuild();
  const Pattern p = pattern_from_text("(op|mul ?a ?b)");
  const auto all = p.search_with_limit(g, 1000);
  std::vector<Subst> flat;
  for (const auto& m : all) flat.insert(flat.end(), m.substitutions.begin(), m.substitutions.end());
  ASSERT_EQ(flat.size(), 3u);

  const std::size_t limit = GetParam();
  const auto got = p.search_with_limit(g, limit);
  std::vector<Subst> got_flat;
  for (const auto& m : got) {
    EXPECT_FALSE(m.substitutions.empty());
    got_flat.insert(got_flat.end(), m.substitutions.begin(), m.substitutions.end());
  }
  const std::vector<Subst> expected(flat.begin(), flat.begin() + std::min(limit, flat.size()));
  EXPECT_EQ(got_flat, expected);
}

INSTANTIATE_TEST_SUITE_P(Limits, SearchLimit, ::testing::Values(0, 1, 2, 3, 4));

TEST(Search, BinarySearchAgreesWithLinearScanOnBigClasses) {
  // A class of a few hundred e-nodes over several symbols and arities, searched for every
  // symbol; the result must equal a plain scan of the sorted list.
  EGraph g;
  std::vector<Id> leaves;
  for (int i = 0; i < 20; ++i) leaves.push_back(g.add(leaf(("leaf" + std::to_string(i)).c_str())));
  const char* ops[] = {"p", "q", "r", "s"};
  Id anchor = g.add(leaf("anchor"));
  for (int i = 0; i < 400; ++i) {
    const char* op = ops[(i * 7) % 4];
    IdList kids;
    for (int k = 0; k < 1 + i % 3; ++k) kids.push_back(leaves[(i + 3 * k) % 20]);
    g.union_(anchor, g.add(SymbolLang{sym(op), kids}));
  }
  g.rebuild();
  const EClass& big = g[anchor];
  ASSERT_GE(big.enodes.size(), 50u);
  for (const char* op : ops) {
    for (std::uint32_t arity = 1; arity <= 3; ++arity) {
      std::string text = std::string("(") + op;
      for (std::uint32_t k = 0; k < arity; ++k) text += " ?v" + std::to_string(k);
      text += ")";
      const Pattern p = pattern_from_text(text);
      std::vector<Subst> expected;
      for (const SymbolLang& n : big.enodes) {
        if (!n.matches(SymbolLang{sym(op), IdList(std::vector<Id>(arity))})) continue;
        Subst s;
        for (std::uint32_t k = 0; k < arity; ++k) s.insert(var(("?v" + std::to_string(k)).c_str()), n.children[k]);
        expected.push_back(s);
      }
      EXPECT_EQ(p.search_eclass_with_limit(g, anchor, 100000), expected) << text;
      const std::size_t linear = [&] {
        std::size_t i = 0;
        while (i < big.enodes.size() && big.enodes[i].symbol < sym(op)) ++i;
        return i;
      }();
      EXPECT_EQ(first_candidate(big.enodes, sym(op)), linear);
    }
  }
}

// ---- application ----

TEST(Apply, CountsOnlyMergesOfDifferentClasses) {
  EGraph g;
  const Id x = g.add(leaf("x"));
  const Id id1 = g.add(node("op|add|scalar=f0000000000000000;side=sr", {x}));
  g.rebuild();
  auto rule = Rewrite::make("identity-0", pattern_from_text("(op|add|scalar=f0000000000000000;side=sr ?x)"),
                            pattern_from_text("?x"));
  ASSERT_TRUE(rule.ok());
  const auto m = rule.value().search_with_limit(g, 10);
  const auto merged = rule.value().apply_matches(g, m);
  EXPECT_EQ(merged, (std::vector<Id>{x}));
  EXPECT_EQ(g.find(id1), g.find(x));
  g.rebuild();
  EXPECT_TRUE(rule.value().apply_matches(g, rule.value().search_with_limit(g, 10)).empty());
}

TEST(Apply, NestedRightSideIsBuiltBottomUp) {
  EGraph g;
  const Id a = g.add(leaf("a"));
  const Id fa = g.add(node("f", {a}));
  g.rebuild();
  auto rule = Rewrite::make("wrap", pattern_from_text("(f ?x)"), pattern_from_text("(h (g ?x) ?x)"));
  ASSERT_TRUE(rule.ok());
  const auto merged = rule.value().apply_matches(g, rule.value().search_with_limit(g, 10));
  ASSERT_EQ(merged.size(), 1u);
  const auto ga = g.lookup(node("g", {a}));
  ASSERT_TRUE(ga.has_value());
  EXPECT_EQ(g.lookup(node("h", {*ga, a})), g.find(fa));
}

}  // namespace
}  // namespace vantrel::egraph

namespace vantrel::egraph {
namespace {

// The e-graph may keep per-symbol candidate lists and skip its class pass when nothing
// merged; searches must come out exactly as over a graph that does neither.
TEST(Search, CandidateListsGiveSameMatchesAsFullScan) {
  EGraph watched;
  EGraph plain;
  const Pattern add = pattern_from_text("(op|add ?a ?b)");
  const Pattern neg = pattern_from_text("(op|neg ?a)");
  watched.watch_symbol(sym("op|add"));
  std::uint64_t seed = 42;
  auto rnd = [&](std::uint64_t n) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return (seed >> 33) % n;
  };
  std::vector<Id> ids;
  for (int round = 0; round < 30; ++round) {
    for (int k = 0; k < 40; ++k) {
      SymbolLang n;
      const auto r = ids.size() < 2 ? 0 : rnd(4);
      if (r == 0) {
        n = leaf(("v" + std::to_string(ids.size())).c_str());
      } else if (r == 3) {
        n = node("op|neg", {ids[rnd(ids.size())]});
      } else {
        n = node("op|add", {ids[rnd(ids.size())], ids[rnd(ids.size())]});
      }
      const Id a = watched.add(n);
      ASSERT_EQ(plain.add(n), a);
      ids.push_back(a);
    }
    if (round % 3 == 1) {  // some rounds merge, others only add
      for (int k = 0; k < 5; ++k) {
        const Id x = ids[rnd(ids.size())], y = ids[rnd(ids.size())];
        ASSERT_EQ(watched.union_(x, y), plain.union_(x, y));
      }
    }
    if (round == 10) watched.watch_symbol(sym("op|neg"));  // watched late
    ASSERT_EQ(watched.rebuild(), plain.rebuild());
    ASSERT_EQ(watched.classes_by_kind(), plain.classes_by_kind());
    // whichever way the class pass went, the invariants of a rebuilt graph hold
    std::vector<Id> live;
    plain.for_each_class([&](const EClass& c) {
      live.push_back(c.id);
      for (std::size_t i = 0; i < c.enodes.size(); ++i) {
        if (i > 0) {
          ASSERT_TRUE(c.enodes[i - 1] < c.enodes[i]);
        }
        for (Id k : c.enodes[i].children) ASSERT_EQ(plain.find(k), k);
        ASSERT_EQ(plain.lookup(c.enodes[i]), c.id);
      }
    });
    ASSERT_EQ(live, plain.classes_by_kind());
    for (const Pattern* p : {&add, &neg}) {
      for (std::size_t limit : {std::size_t{3}, std::size_t{100000}}) {
        const auto a = p->search_with_limit(watched, limit);
        const auto b = p->search_with_limit(plain, limit);
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t i = 0; i < a.size(); ++i) {
          ASSERT_EQ(a[i].class_id, b[i].class_id);
          ASSERT_EQ(a[i].substitutions, b[i].substitutions);
        }
      }
    }
  }
}

}  // namespace
}  // namespace vantrel::egraph
