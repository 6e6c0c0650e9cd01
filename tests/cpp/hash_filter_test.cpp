// The hash filter: never "absent" for a hash it was given, across every growth; rarely "maybe"
// for one it was not.
#include "common/hash_filter.hpp"

#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace vantrel {
namespace {

TEST(HashFilter, AnAddedHashIsNeverAnsweredAbsentThroughGrowth) {
  HashFilter filter;
  std::vector<std::uint64_t> added;
  std::mt19937_64 rng(3);
  EXPECT_FALSE(filter.maybe_contains(rng()));  // empty
  for (int i = 0; i < 100000; ++i) {
    added.push_back(rng());
    filter.add(added.back(), added);
    // Spot checks as it grows, and every hash at the end.
    if ((i & (i + 1)) == 0) {
      for (std::uint64_t h : added) ASSERT_TRUE(filter.maybe_contains(h)) << "after " << added.size();
    }
  }
  for (std::uint64_t h : added) ASSERT_TRUE(filter.maybe_contains(h));
  // One byte a hash, give or take a doubling.
  EXPECT_LE(filter.memory_bytes(), 2 * added.size());
}

TEST(HashFilter, FewAbsentHashesAreAnsweredMaybe) {
  HashFilter filter;
  std::vector<std::uint64_t> added;
  std::mt19937_64 rng(11);
  for (int i = 0; i < 50000; ++i) {
    added.push_back(rng());
    filter.add(added.back(), added);
  }
  int maybe = 0;
  const int probes = 100000;
  for (int i = 0; i < probes; ++i) maybe += filter.maybe_contains(rng()) ? 1 : 0;
  EXPECT_LT(maybe, probes / 10);  // about 3% when full, less after a doubling
}

}  // namespace
}  // namespace vantrel
