// IdList: the inline and heap forms against std::vector, with copies, moves and comparison.
#include "egraph/id_list.hpp"

#include <gtest/gtest.h>
#include <utility>
#include <vector>

namespace vantrel::egraph {
namespace {

std::vector<Id> as_vector(const IdList& l) { return {l.begin(), l.end()}; }

TEST(IdList, GrowsThroughEveryCapacityLikeAVector) {
  IdList l;
  EXPECT_TRUE(l.empty());
  std::vector<Id> ref;
  for (Id i = 0; i < 70; ++i) {
    l.push_back(i * 3);
    ref.push_back(i * 3);
    ASSERT_EQ(as_vector(l), ref);
    ASSERT_EQ(IdList(std::span<const Id>(ref)), l);
  }
}

TEST(IdList, CopiesAndMovesEverySize) {
  for (Id n : {0u, 1u, 2u, 3u, 4u, 5u, 33u}) {
    std::vector<Id> ref;
    for (Id i = 0; i < n; ++i) ref.push_back(i + 7);
    const IdList a{std::span<const Id>(ref)};
    IdList copy(a);
    EXPECT_EQ(as_vector(copy), ref);
    IdList moved(std::move(copy));
    EXPECT_EQ(as_vector(moved), ref);
    EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): the moved-from state is tested
    copy.push_back(1);
    EXPECT_EQ(as_vector(copy), std::vector<Id>{1});
    IdList assigned{9, 9, 9};
    assigned = a;
    EXPECT_EQ(assigned, a);
    assigned = std::move(moved);
    EXPECT_EQ(as_vector(assigned), ref);
  }
}

TEST(IdList, OrdersLexicographically) {
  EXPECT_TRUE((IdList{}) < (IdList{0}));
  EXPECT_TRUE((IdList{1, 2}) < (IdList{1, 2, 0}));
  EXPECT_TRUE((IdList{1, 2, 9}) < (IdList{1, 3}));
  EXPECT_FALSE((IdList{1, 3}) < (IdList{1, 3}));
  EXPECT_FALSE((IdList{1, 3}) == (IdList{1, 3, 0}));
}

}  // namespace
}  // namespace vantrel::egraph
