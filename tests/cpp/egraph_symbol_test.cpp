#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

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
