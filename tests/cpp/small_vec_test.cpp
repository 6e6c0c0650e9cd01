// SmallVec: inline and heap storage against std::vector, with copies, moves, swaps and the
// empty state, for a trivial element and one that owns memory.
#include "common/small_vec.hpp"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vantrel {
namespace {

using Ints = SmallVec<int, 3>;
using Strings = SmallVec<std::string, 2>;

std::vector<int> as_vector(const Ints& v) { return {v.begin(), v.end()}; }

TEST(SmallVec, AnEmptyListHasNoElements) {
  Ints v;
  EXPECT_TRUE(v.empty());
  EXPECT_EQ(v.begin(), v.end());
  EXPECT_EQ(v, Ints{});
  EXPECT_FALSE(v < Ints{});
  v.clear();
  Ints moved(std::move(v));
  EXPECT_TRUE(moved.empty());
}

TEST(SmallVec, GrowsPastItsInlineRoomLikeAVector) {
  Ints v;
  std::vector<int> ref;
  for (int i = 0; i < 100; ++i) {
    v.push_back(i);
    ref.push_back(i);
    ASSERT_EQ(as_vector(v), ref);
  }
  v.truncate(v.begin() + 2);
  ref.resize(2);
  EXPECT_EQ(as_vector(v), ref);
  v.append(ref.begin(), ref.end());
  EXPECT_EQ(as_vector(v), (std::vector<int>{0, 1, 0, 1}));
}

TEST(SmallVec, CopiesAndMovesInlineAndOnTheHeap) {
  for (std::size_t n : {0u, 1u, 2u, 3u, 50u}) {
    Strings a;
    for (std::size_t i = 0; i < n; ++i) a.push_back(std::string(40, static_cast<char>('a' + i % 26)));
    const Strings copy(a);
    EXPECT_EQ(copy, a);
    Strings moved(std::move(a));
    EXPECT_EQ(moved, copy);
    EXPECT_TRUE(a.empty());  // NOLINT(bugprone-use-after-move): the moved-from state is tested
    a.push_back("again");    // and usable
    EXPECT_EQ(a.size(), 1u);
    Strings assigned{"x"};
    assigned = copy;
    EXPECT_EQ(assigned, copy);
    assigned = std::move(moved);
    EXPECT_EQ(assigned, copy);
    Strings other{"y", "z", "w"};
    other.swap(assigned);
    EXPECT_EQ(other, copy);
    EXPECT_EQ(assigned, (Strings{"y", "z", "w"}));
  }
}

TEST(SmallVec, AppendMovedEmptiesTheSourceAndOrderIsLexicographic) {
  Ints a{1, 2};
  Ints b{3, 4, 5};
  a.append_moved(b);
  EXPECT_EQ(as_vector(a), (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_TRUE(b.empty());
  EXPECT_TRUE((Ints{1, 2}) < (Ints{1, 2, 0}));
  EXPECT_TRUE((Ints{1, 2, 9}) < (Ints{1, 3}));
  EXPECT_FALSE((Ints{1, 3}) < (Ints{1, 3}));
}

}  // namespace
}  // namespace vantrel
