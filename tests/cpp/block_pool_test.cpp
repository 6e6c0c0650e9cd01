// BlockPool: disjoint aligned blocks, reuse of given-back ones, the empty state and moves.
#include "egraph/block_pool.hpp"

#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <utility>
#include <vector>

#include "egraph_test_support.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace vantrel::egraph {
namespace {

using testing::Lcg;

TEST(BlockPool, AFreshPoolHoldsNoChunk) {
  BlockPool pool;
  EXPECT_EQ(pool.chunk_bytes(), 0u);
  BlockPool moved(std::move(pool));
  EXPECT_EQ(moved.chunk_bytes(), 0u);
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
