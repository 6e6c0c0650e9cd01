#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "common/fault.hpp"
#include "egraph/symbol.hpp"

namespace vantrel::egraph {
namespace {

TEST(SymbolTable, EqualTextsGiveEqualSymbols) {
  const GlobalSymbol a = GlobalSymbol::intern("op|add");
  const GlobalSymbol b = GlobalSymbol::intern(std::string("op|") + "add");
  const GlobalSymbol c = GlobalSymbol::intern("op|mul");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_EQ(a.text(), "op|add");
  EXPECT_EQ(c.text(), "op|mul");
}

TEST(SymbolTable, TextsSurviveTableGrowth) {
  std::vector<GlobalSymbol> syms;
  for (int i = 0; i < 20000; ++i) syms.push_back(GlobalSymbol::intern("growth-" + std::to_string(i)));
  for (int i = 0; i < 20000; ++i) {
    ASSERT_EQ(syms[i].text(), "growth-" + std::to_string(i));
    ASSERT_EQ(GlobalSymbol::intern("growth-" + std::to_string(i)), syms[i]);
  }
}

TEST(SymbolTable, LocalSymbolsDifferFromEveryInternedOneAndHaveNoText) {
  std::vector<GlobalSymbol> interned;
  for (int i = 0; i < 5000; ++i) interned.push_back(GlobalSymbol::intern("local-test-" + std::to_string(i)));
  for (std::uint32_t i : {0u, 1u, 17u, 4999u, GlobalSymbol::kLocalCount - 1}) {
    const GlobalSymbol l = GlobalSymbol::local(i);
    EXPECT_TRUE(l.is_local());
    EXPECT_EQ(l, GlobalSymbol::local(i));
    EXPECT_NE(l, GlobalSymbol::local(i ^ 1u));
    EXPECT_THROW((void)l.text(), InternalFault);
    for (GlobalSymbol s : interned) ASSERT_NE(s, l);
  }
  for (GlobalSymbol s : interned) ASSERT_FALSE(s.is_local());
  // Interning counts each new text once.
  const std::size_t before = GlobalSymbol::interned_count();
  GlobalSymbol::intern("local-test-0");
  EXPECT_EQ(GlobalSymbol::interned_count(), before);
  GlobalSymbol::intern("local-test-new");
  EXPECT_EQ(GlobalSymbol::interned_count(), before + 1);
}

TEST(SymbolTable, EmptyAndBinaryTexts) {
  const std::string with_nul("a\0b", 3);
  EXPECT_EQ(GlobalSymbol::intern("").text(), "");
  EXPECT_EQ(GlobalSymbol::intern(with_nul).text(), with_nul);
  EXPECT_NE(GlobalSymbol::intern(with_nul), GlobalSymbol::intern("a"));
}

TEST(SymbolTable, ConcurrentInterning) {
  // Threads intern overlapping texts in different orders and read texts back without any
  // synchronisation beyond the table's own.
  constexpr int kThreads = 4;
  constexpr int kTexts = 3000;
  std::vector<std::vector<GlobalSymbol>> seen(kThreads, std::vector<GlobalSymbol>(kTexts));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen] {
      for (int k = 0; k < kTexts; ++k) {
        const int i = (t % 2 == 0) ? k : kTexts - 1 - k;
        const std::string text = "concurrent-" + std::to_string(i);
        const GlobalSymbol s = GlobalSymbol::intern(text);
        if (s.text() != text) ADD_FAILURE() << "text mismatch for " << text;
        seen[t][i] = s;
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]);
  for (int i = 0; i < kTexts; ++i) EXPECT_EQ(seen[0][i].text(), "concurrent-" + std::to_string(i));
}

}  // namespace
}  // namespace vantrel::egraph
