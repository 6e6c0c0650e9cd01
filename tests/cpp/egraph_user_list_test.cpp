// The users lists of e-classes and the pool their long lists live in, against plain vectors.
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <utility>
#include <vector>

#include "egraph/block_pool.hpp"
#include "egraph/user_list.hpp"
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

TEST(BlockPool, HandsOutAlignedDisjointBlocksAndReusesGivenBackOnes) {
  BlockPool pool;
  // Sizes from 16 bytes to 2 MiB, enough of them to span several chunks and blocks with a
  // chunk of their own; each is filled and checked, so an overlap would show.
  std::vector<std::pair<unsigned char*, unsigned>> blocks;
  Lcg rng(3);
  for (int i = 0; i < 3000; ++i) {
    const unsigned size_class = BlockPool::kMinSizeClass + static_cast<unsigned>(rng.below(i % 100 == 0 ? 18 : 8));
    auto* block = static_cast<unsigned char*>(pool.take(size_class));
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(block) % 16, 0u);
    std::memset(block, i & 0xff, std::size_t{1} << size_class);
    blocks.emplace_back(block, size_class);
  }
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const auto [block, size_class] = blocks[i];
    for (std::size_t k = 0; k < (std::size_t{1} << size_class); k += 7) ASSERT_EQ(block[k], i & 0xff) << i;
  }
  // Given back, a block is the next one of its size handed out (last given, first taken).
  pool.give_back(blocks[10].first, blocks[10].second);
  pool.give_back(blocks[20].first, blocks[10].second);
  EXPECT_EQ(pool.take(blocks[10].second), blocks[20].first);
  EXPECT_EQ(pool.take(blocks[10].second), blocks[10].first);
  EXPECT_GE(pool.chunk_bytes(), std::size_t{1} << 21);
}

// A pool moved from owns nothing and hands out fresh room; the blocks of the one it moved
// to stay where they were.
TEST(BlockPool, MovingLeavesAnEmptyPoolBehind) {
  BlockPool pool;
  auto* kept = static_cast<unsigned char*>(pool.take(BlockPool::kMinSizeClass));
  std::memset(kept, 0x5a, 16);
  pool.give_back(pool.take(BlockPool::kMinSizeClass), BlockPool::kMinSizeClass);
  BlockPool moved(std::move(pool));
  EXPECT_EQ(pool.chunk_bytes(), 0u);  // NOLINT(bugprone-use-after-move): checked on purpose
  auto* fresh = static_cast<unsigned char*>(pool.take(BlockPool::kMinSizeClass));
  std::memset(fresh, 0, 16);
  EXPECT_EQ(kept[0], 0x5a);
  BlockPool assigned;
  assigned.take(BlockPool::kMinSizeClass);
  assigned = std::move(moved);
  EXPECT_EQ(moved.chunk_bytes(), 0u);  // NOLINT(bugprone-use-after-move)
  EXPECT_GT(assigned.chunk_bytes(), 0u);
  EXPECT_EQ(kept[15], 0x5a);
}

#if defined(__SANITIZE_ADDRESS__)
// Room not handed out and blocks given back are unaddressable, so an overrun of a list's
// block is caught.
TEST(BlockPool, UnderTheAddressSanitizerOnlyHandedOutBlocksAreAddressable) {
  BlockPool pool;
  auto* block = static_cast<unsigned char*>(pool.take(BlockPool::kMinSizeClass));
  EXPECT_FALSE(__asan_address_is_poisoned(block));
  EXPECT_FALSE(__asan_address_is_poisoned(block + 15));
  EXPECT_TRUE(__asan_address_is_poisoned(block + 16));
  pool.give_back(block, BlockPool::kMinSizeClass);
  EXPECT_TRUE(__asan_address_is_poisoned(block + 8));
  EXPECT_EQ(pool.take(BlockPool::kMinSizeClass), block);
  EXPECT_FALSE(__asan_address_is_poisoned(block + 8));
}
#endif

}  // namespace
}  // namespace vantrel::egraph
