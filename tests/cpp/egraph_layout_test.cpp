// The compact e-node list, the direct search of single-operator patterns and the class
// pass's watched-symbol index, each checked against a plain reference.
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "common/huge_pages.hpp"
#include "common/page_in.hpp"
#include "egraph/rewrite.hpp"
#include "egraph_test_support.hpp"

namespace vantrel::egraph {
namespace {

using testing::Lcg;
using testing::sym;

// Grows, copies, moves and compares lists of every length up to 40 (inline, first heap
// block, repeated doublings) against std::vector.
TEST(IdListLayout, MatchesVectorAcrossInlineAndHeapSizes) {
  for (std::uint32_t n = 0; n <= 40; ++n) {
    IdList list;
    std::vector<Id> ref;
    for (std::uint32_t i = 0; i < n; ++i) {
      list.push_back(1000 + i * 7);
      ref.push_back(1000 + i * 7);
    }
    ASSERT_EQ(std::vector<Id>(list.begin(), list.end()), ref) << n;
    IdList copy = list;
    IdList moved = std::move(copy);
    ASSERT_EQ(moved, list) << n;
    ASSERT_EQ(std::vector<Id>(moved.begin(), moved.end()), ref) << n;
    IdList assigned{9};
    assigned = moved;
    ASSERT_EQ(assigned, list) << n;
    IdList from_span{std::span<const Id>(ref)};
    ASSERT_EQ(from_span, list) << n;
    if (n > 0) {
      IdList shorter{std::span<const Id>(ref.data(), n - 1)};
      ASSERT_TRUE(shorter < list) << n;
      ASSERT_FALSE(list < shorter) << n;
    }
  }
}

// A random e-graph with merges; returns its ids.
std::vector<Id> random_graph(EGraph& g, Lcg& rnd, const std::vector<GlobalSymbol>& ops, int nodes) {
  std::vector<Id> ids;
  for (int k = 0; k < nodes; ++k) {
    SymbolLang n;
    const auto r = ids.size() < 2 ? 0 : rnd.below(5);
    if (r == 0) {
      n = SymbolLang{sym("leaf" + std::to_string(k)), {}};
    } else if (r == 1) {
      n = SymbolLang{ops[rnd.below(ops.size())], {ids[rnd.below(ids.size())]}};
    } else if (r == 4 && ids.size() > 3) {
      n = SymbolLang{ops[rnd.below(ops.size())],
                     {ids[rnd.below(ids.size())], ids[rnd.below(ids.size())], ids[rnd.below(ids.size())]}};
    } else {
      n = SymbolLang{ops[rnd.below(ops.size())], {ids[rnd.below(ids.size())], ids[rnd.below(ids.size())]}};
    }
    ids.push_back(g.add(n));
    if (rnd.below(10) == 0) g.union_(ids[rnd.below(ids.size())], ids[rnd.below(ids.size())]);
  }
  g.rebuild();
  return ids;
}

// Patterns of one operator over distinct variables are searched without the interpreter;
// the matches must be those the interpreter finds class by class, under every limit.
TEST(FlatSearch, SameMatchesAsInterpreterPerClass) {
  const std::vector<GlobalSymbol> ops = {sym("op|f"), sym("op|g")};
  const std::vector<const char*> texts = {"(op|f ?a ?b)",        "(op|g ?x)",       "(op|f ?a ?a)",
                                          "(op|f (op|g ?a) ?b)", "(op|g ?a ?b ?c)", "(op|f ?b ?a)"};
  for (std::uint64_t seed : {1u, 2u, 3u}) {
    Lcg rnd{seed};
    EGraph g;
    random_graph(g, rnd, ops, 300);
    for (const char* text : texts) {
      const Pattern p = pattern_from_text(text);
      std::vector<SearchMatches> expected;
      for (Id c : g.classes_by_kind()) {
        auto subs = p.search_eclass_with_limit(g, c, 1000000);
        if (!subs.empty()) expected.push_back(SearchMatches{c, std::move(subs)});
      }
      std::size_t total = 0;
      for (const auto& m : expected) total += m.substitutions.size();
      for (std::size_t limit : {std::size_t{0}, std::size_t{1}, total / 2, total, total + 5}) {
        const auto got = p.search_with_limit(g, limit);
        std::size_t left = limit;
        std::size_t k = 0;
        for (const auto& m : expected) {
          if (left == 0) break;
          ASSERT_LT(k, got.size()) << text << " limit " << limit;
          ASSERT_EQ(got[k].class_id, m.class_id) << text;
          const std::size_t take = std::min(left, m.substitutions.size());
          ASSERT_EQ(got[k].substitutions,
                    std::vector<Subst>(m.substitutions.begin(), m.substitutions.begin() + static_cast<long>(take)))
              << text << " limit " << limit;
          left -= take;
          ++k;
        }
        ASSERT_EQ(got.size(), k) << text << " limit " << limit;
      }
    }
  }
}

// More watched symbols than the index has slots, so several share one: every watched list
// must still hold exactly the classes with an e-node of that symbol, in class-list order.
TEST(WatchedSymbols, ListsExactWithSharedSlots) {
  std::vector<GlobalSymbol> ops;
  for (int k = 0; k < 150; ++k) ops.push_back(sym("op|w" + std::to_string(k)));
  Lcg rnd{7};
  EGraph g;
  for (int k = 0; k < 150; k += 2) g.watch_symbol(ops[k]);  // watched before and after loading
  std::vector<Id> ids = random_graph(g, rnd, ops, 2000);
  for (int k = 1; k < 150; k += 2) g.watch_symbol(ops[k]);
  for (int round = 0; round < 3; ++round) {
    for (int m = 0; m < 40; ++m) g.union_(ids[rnd.below(ids.size())], ids[rnd.below(ids.size())]);
    g.rebuild();
    for (GlobalSymbol s : ops) {
      std::vector<Id> expected;
      for (Id c : g.classes_by_kind()) {
        for (const SymbolLang& n : g.canonical_class(c).enodes) {
          if (n.symbol == s) {
            expected.push_back(c);
            break;
          }
        }
      }
      const std::vector<Id>* got = g.classes_with_symbol(s);
      ASSERT_NE(got, nullptr);
      ASSERT_EQ(*got, expected) << s.text() << " round " << round;
    }
  }
}

}  // namespace
}  // namespace vantrel::egraph

namespace vantrel::egraph {
namespace {

// Paging memory in and asking for large pages are only hints: whatever the range (null,
// tiny, unaligned, large), the memory keeps its contents and stays writable.
TEST(PageIn, KeepsContentsForAnyRange) {
  for (auto hint : {&page_in_for_writing, &advise_huge_pages}) {
    hint(nullptr, 1 << 22);
    const std::size_t bytes = (std::size_t{1} << 23) + 12345;
    auto* block = static_cast<unsigned char*>(std::calloc(bytes, 1));
    ASSERT_NE(block, nullptr);
    block[100] = 7;
    for (std::size_t offset : {std::size_t{0}, std::size_t{1}, std::size_t{4095}}) {
      hint(block + offset, bytes - offset);
      hint(block + offset, 10);
    }
    std::size_t nonzero = 0;
    for (std::size_t i = 0; i < bytes; ++i) nonzero += block[i] != 0;
    EXPECT_EQ(nonzero, 1u);
    EXPECT_EQ(block[100], 7);
    block[bytes - 1] = 9;
    EXPECT_EQ(block[bytes - 1], 9);
    std::free(block);
  }
}

// A reserved hash-cons (paged in up front) finds what was stored in it, grown or not.
TEST(PageIn, ReservedHashConsKeepsEveryEntry) {
  EGraph g;
  g.reserve(300000);
  std::vector<Id> ids;
  const GlobalSymbol f = GlobalSymbol::intern("op|pf");
  ids.push_back(g.add(SymbolLang{GlobalSymbol::intern("leaf-pf"), {}}));
  for (Id k = 1; k < 400000; ++k) ids.push_back(g.add(SymbolLang{f, {ids[k - 1], ids[k / 2]}}));
  for (Id k = 1; k < 400000; k += 997) ASSERT_EQ(g.lookup(SymbolLang{f, {ids[k - 1], ids[k / 2]}}), ids[k]);
  EXPECT_EQ(g.enode_count(), 400000u);
}

}  // namespace
}  // namespace vantrel::egraph

namespace vantrel::egraph {
namespace {

// One buffer reused across searches of different patterns and limits holds exactly what a
// fresh search returns each time.
TEST(FlatSearch, ReusedBufferEqualsFreshSearch) {
  Lcg rnd{11};
  EGraph g;
  const std::vector<GlobalSymbol> ops = {GlobalSymbol::intern("op|f"), GlobalSymbol::intern("op|g")};
  random_graph(g, rnd, ops, 400);
  FlatMatches scratch;
  for (const char* text : {"(op|f ?a ?b)", "(op|f (op|g ?a) ?b)", "(op|g ?x)", "(op|f ?a ?a)"}) {
    const Pattern p = pattern_from_text(text);
    for (std::size_t limit : {std::size_t{1000000}, std::size_t{7}, std::size_t{1}, std::size_t{0}}) {
      p.search_flat(g, limit, scratch);
      const auto fresh = p.search_with_limit(g, limit);
      const auto got = scratch.to_matches();
      ASSERT_EQ(got.size(), fresh.size()) << text << " limit " << limit;
      ASSERT_EQ(scratch.classes.size(), fresh.size());
      std::size_t total = 0;
      for (std::size_t k = 0; k < got.size(); ++k) {
        ASSERT_EQ(got[k].class_id, fresh[k].class_id);
        ASSERT_EQ(got[k].substitutions, fresh[k].substitutions);
        total += got[k].substitutions.size();
      }
      ASSERT_EQ(scratch.substitutions.size(), total);
      ASSERT_LE(total, limit);
    }
  }
}

}  // namespace
}  // namespace vantrel::egraph
