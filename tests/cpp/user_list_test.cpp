// The users lists of e-classes, in one pool, against plain vectors.
#include "egraph/user_list.hpp"

#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <utility>
#include <vector>

#include "egraph/block_pool.hpp"
#include "egraph_test_support.hpp"

namespace vantrel::egraph {
namespace {

using testing::Lcg;

std::vector<Id> as_vector(const UserList& list) { return {list.begin(), list.end()}; }

// What merging two classes' lists gave before the pool: the longer list's entries, then the
// shorter one's, the survivor's first on a tie.
std::vector<Id> merged(const std::vector<Id>& survivor, const std::vector<Id>& other) {
  const bool other_longer = other.size() > survivor.size();
  std::vector<Id> out = other_longer ? other : survivor;
  const std::vector<Id>& tail = other_longer ? survivor : other;
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

// Many lists grown and merged at random, in one pool, each checked against its vector after
// every step: blocks given back are reused without two live lists ever sharing one.
TEST(UserList, PushAndMergeMatchVectorsSharingOnePool) {
  BlockPool pool;
  Lcg rng(7);
  constexpr std::size_t kLists = 64;
  std::vector<UserList> lists(kLists);
  std::vector<std::vector<Id>> refs(kLists);
  for (int step = 0; step < 20000; ++step) {
    const std::size_t a = rng.below(kLists);
    if (rng.below(8) != 0) {
      const auto id = static_cast<Id>(step);
      lists[a].push_back(id, pool);
      refs[a].push_back(id);
    } else {
      const std::size_t b = rng.below(kLists);
      if (a == b) continue;
      refs[a] = merged(refs[a], refs[b]);
      refs[b].clear();
      lists[a].take_all(lists[b], pool);
    }
    ASSERT_EQ(as_vector(lists[a]), refs[a]) << step;
  }
  for (std::size_t i = 0; i < kLists; ++i) ASSERT_EQ(as_vector(lists[i]), refs[i]) << i;
}

TEST(UserList, MergesKeepTheLongerListFirstAndEmptyTheOther) {
  BlockPool pool;
  for (std::uint32_t n_keep = 0; n_keep <= 9; ++n_keep) {
    for (std::uint32_t n_gone = 0; n_gone <= 9; ++n_gone) {
      UserList keep, gone;
      std::vector<Id> ref_keep, ref_gone;
      for (std::uint32_t i = 0; i < n_keep; ++i) {
        keep.push_back(i, pool);
        ref_keep.push_back(i);
      }
      for (std::uint32_t i = 0; i < n_gone; ++i) {
        gone.push_back(100 + i, pool);
        ref_gone.push_back(100 + i);
      }
      keep.take_all(gone, pool);
      ASSERT_EQ(as_vector(keep), merged(ref_keep, ref_gone)) << n_keep << " " << n_gone;
      ASSERT_TRUE(gone.empty());
      gone.push_back(5, pool);  // an emptied list is usable again
      ASSERT_EQ(as_vector(gone), std::vector<Id>{5});
    }
  }
}

TEST(UserList, MovingTakesTheEntriesAndEqualityComparesThem) {
  BlockPool pool;
  UserList a, b;
  for (Id i = 0; i < 5; ++i) {
    a.push_back(i, pool);
    b.push_back(i, pool);
  }
  EXPECT_TRUE(a == b);
  b.push_back(9, pool);
  EXPECT_FALSE(a == b);
  UserList moved(std::move(a));
  EXPECT_EQ(as_vector(moved), (std::vector<Id>{0, 1, 2, 3, 4}));
  EXPECT_TRUE(a.empty());  // NOLINT(bugprone-use-after-move): a moved-from list is empty
}

}  // namespace
}  // namespace vantrel::egraph
