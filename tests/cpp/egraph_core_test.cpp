#include <gtest/gtest.h>

#include "common/fault.hpp"
#include "egraph/egraph.hpp"

namespace vantrel::egraph {
namespace {

SymbolLang leaf(const char* op) { return SymbolLang{GlobalSymbol::intern(op), {}}; }
SymbolLang node(const char* op, IdList kids) { return SymbolLang{GlobalSymbol::intern(op), std::move(kids)}; }

TEST(EGraph, AddingTwiceReturnsSameIdAndCountsOnce) {
  EGraph g;
  const Id a = g.add(leaf("a"));
  const Id fa = g.add(node("f", {a}));
  EXPECT_EQ(g.add(node("f", {a})), fa);
  EXPECT_EQ(g.add(leaf("a")), a);
  EXPECT_EQ(g.enode_count(), 2u);
  EXPECT_EQ(g.class_count(), 2u);
}

TEST(EGraph, FreshGraphIsDirtyUntilRebuild) {
  EGraph g;
  EXPECT_FALSE(g.clean());
  g.rebuild();
  EXPECT_TRUE(g.clean());
  const Id a = g.add(leaf("a"));
  EXPECT_FALSE(g.clean());
  g.rebuild();
  g.add(leaf("a"));  // known e-node: nothing changes
  EXPECT_TRUE(g.clean());
  EXPECT_FALSE(g.union_(a, a));
  EXPECT_FALSE(g.clean());
  EXPECT_EQ(g.class_count(), 1u);
}

TEST(EGraph, CongruenceAfterRebuild) {
  EGraph g;
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  const Id fa = g.add(node("f", {a}));
  const Id fb = g.add(node("f", {b}));
  g.rebuild();
  EXPECT_TRUE(g.union_(a, b));
  EXPECT_NE(g.find(fa), g.find(fb));
  EXPECT_EQ(g.rebuild(), 1u);
  EXPECT_EQ(g.find(fa), g.find(fb));
  EXPECT_EQ(g.class_count(), 2u);
  // The merged class holds the single canonical f(r).
  const EClass& f = g[fa];
  ASSERT_EQ(f.enodes.size(), 1u);
  EXPECT_EQ(f.enodes[0], node("f", {g.find(a)}));
  EXPECT_EQ(g.enode_count(), 4u);
  EXPECT_EQ(g.lookup(node("f", {b})), g.find(fa));
  EXPECT_EQ(g.lookup(node("g", {b})), std::nullopt);
}

TEST(EGraph, OutdatedKeysStayCounted) {
  EGraph g;
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  g.add(node("g", {b}));
  g.add(node("h", {b}));  // b has more users than a, so b survives the merge
  const Id fa = g.add(node("f", {a}));
  g.rebuild();
  EXPECT_EQ(g.enode_count(), 5u);
  g.union_(a, b);
  EXPECT_EQ(g.find(a), b);
  EXPECT_EQ(g.rebuild(), 0u);
  EXPECT_EQ(g.enode_count(), 6u);  // f(b) was added as a key; f(a) stays
  EXPECT_EQ(g.class_count(), 4u);
  EXPECT_EQ(g.lookup(node("f", {b})), g.find(fa));
  EXPECT_EQ(g.lookup(node("f", {a})), g.find(fa));
}

TEST(EGraph, CongruencePropagatesUpAChain) {
  // f^k(a) and f^k(b) merge at every level once a = b; the repair list, not recursion,
  // carries the work up a long chain.
  EGraph g;
  Id x = g.add(leaf("a"));
  Id y = g.add(leaf("b"));
  const Id a = x, b = y;
  for (int i = 0; i < 10000; ++i) {
    x = g.add(node("f", {x}));
    y = g.add(node("f", {y}));
  }
  g.rebuild();
  g.union_(a, b);
  EXPECT_EQ(g.rebuild(), 10000u);
  EXPECT_EQ(g.find(x), g.find(y));
  EXPECT_EQ(g.class_count(), 10001u);
}

TEST(EGraph, TieBreakKeepsFirstArgumentOnEqualUsers) {
  EGraph g;
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  EXPECT_TRUE(g.union_(b, a));
  EXPECT_EQ(g.find(a), b);
  EGraph h;
  const Id c = h.add(leaf("c"));
  const Id d = h.add(leaf("d"));
  EXPECT_TRUE(h.union_(c, d));
  EXPECT_EQ(h.find(d), c);
}

TEST(EGraph, TieBreakKeepsClassWithMoreUsers) {
  EGraph g;
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  g.add(node("f", {b, b}));  // b has two users entries, a none
  EXPECT_EQ(g[b].users.size(), 2u);
  EXPECT_TRUE(g.union_(a, b));
  EXPECT_EQ(g.find(a), b);
  EXPECT_EQ(g.class_count(), 2u);
}

TEST(EGraph, RebuildSortsAndDeduplicatesClassNodes) {
  EGraph g;
  const Id a = g.add(leaf("a"));
  const Id b = g.add(leaf("b"));
  const Id fa = g.add(node("f", {a}));
  const Id fb = g.add(node("f", {b}));
  const Id z = g.add(leaf("z"));
  g.union_(fa, z);
  g.union_(fb, z);
  g.union_(a, b);
  g.rebuild();
  const EClass& c = g[z];
  for (std::size_t i = 1; i < c.enodes.size(); ++i) EXPECT_TRUE(c.enodes[i - 1] < c.enodes[i]);
  EXPECT_EQ(c.enodes.size(), 2u);  // f(r) once, and z
  ASSERT_EQ(g.classes_by_kind().size(), g.class_count());
  std::size_t visited = 0;
  g.for_each_class([&](const EClass& cls) {
    EXPECT_EQ(g.find(cls.id), cls.id);
    EXPECT_EQ(g.classes_by_kind()[visited++], cls.id);
  });
  EXPECT_EQ(visited, g.class_count());
}

TEST(EGraph, UnknownIdsAreInternalFaults) {
  EGraph g;
  g.add(leaf("a"));
  EXPECT_THROW(g.add(node("f", {7})), InternalFault);
  EXPECT_THROW(g.find(3), InternalFault);
  EXPECT_THROW(g.union_(0, 9), InternalFault);
}

TEST(EGraph, ENodeOrderIsSymbolThenChildrenShorterFirst) {
  const GlobalSymbol f = GlobalSymbol::intern("f");
  EXPECT_TRUE((SymbolLang{f, {1}} < SymbolLang{f, {1, 0}}));
  EXPECT_TRUE((SymbolLang{f, {1, 0}} < SymbolLang{f, {2}}));
  EXPECT_TRUE((SymbolLang{f, {0, 1}}.matches(SymbolLang{f, {5, 6}})));
  EXPECT_FALSE((SymbolLang{f, {0, 1}}.matches(SymbolLang{f, {5, 6, 7}})));
  IdList big{1, 2, 3, 4, 5};
  big.push_back(6);
  EXPECT_EQ(big, (IdList{1, 2, 3, 4, 5, 6}));
}

TEST(EGraph, SameHistoryGivesSameClassOrder) {
  auto build = [] {
    EGraph g;
    std::vector<Id> ids;
    for (int i = 0; i < 200; ++i) ids.push_back(g.add(leaf(("s" + std::to_string(i)).c_str())));
    for (int i = 0; i < 200; i += 3) g.union_(ids[i], ids[(i * 7) % 200]);
    g.rebuild();
    return g.classes_by_kind();
  };
  EXPECT_EQ(build(), build());
}

}  // namespace
}  // namespace vantrel::egraph
