// The id index's one-probe find-or-insert against find + insert on a model, through growth,
// colliding tags and refusals.
#include "common/id_table.hpp"

#include <cstdint>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <vector>

namespace vantrel {
namespace {

/// Keys are small ints; `hash_of` makes many of them share a tag, and all of them a few
/// probe clusters, so that matching has to go past foreign entries.
std::uint64_t hash_of(std::uint64_t key) { return (key % 13) << 32 | (key % 7); }

TEST(IdTable, FindOrInsertFindsOrAddsExactlyLikeFindThenInsert) {
  IdTable one_probe, two_probes;
  std::vector<std::uint64_t> keys_one, keys_two;  // id -> key
  std::map<std::uint64_t, std::uint32_t> model;
  std::mt19937 rng(5);
  for (int step = 0; step < 5000; ++step) {
    const std::uint64_t key = rng() % 1500;
    const std::uint64_t h = hash_of(key);
    const std::uint32_t got = one_probe.find_or_insert(
        h, [&](std::uint32_t id) { return keys_one[id] == key; }, [&] { return std::uint64_t{keys_one.size()}; });
    if (got == keys_one.size()) keys_one.push_back(key);

    std::uint32_t want = two_probes.find(h, [&](std::uint32_t id) { return keys_two[id] == key; });
    if (want == kNoId) {
      want = static_cast<std::uint32_t>(keys_two.size());
      two_probes.insert(h, want);
      keys_two.push_back(key);
    }
    ASSERT_EQ(got, want) << "key " << key;
    auto [it, fresh] = model.emplace(key, want);
    ASSERT_EQ(it->second, want);
    (void)fresh;
  }
  EXPECT_EQ(one_probe.size(), model.size());
  EXPECT_EQ(keys_one, keys_two);
  // Everything stays findable with plain find.
  for (const auto& [key, id] : model) {
    const std::uint64_t k = key;
    EXPECT_EQ(one_probe.find(hash_of(k), [&](std::uint32_t x) { return keys_one[x] == k; }), id);
  }
}

TEST(IdTable, ARefusedInsertLeavesTheIndexAsItWas) {
  IdTable t;
  std::vector<std::uint64_t> keys;
  auto add = [&](std::uint64_t key, bool refuse) {
    return t.find_or_insert(
        hash_of(key), [&](std::uint32_t id) { return keys[id] == key; },
        [&]() -> std::uint64_t { return refuse ? kNoId : keys.size(); });
  };
  for (std::uint64_t k = 0; k < 40; ++k) {
    ASSERT_EQ(add(k, false), k);
    keys.push_back(k);
  }
  EXPECT_EQ(add(1000, true), kNoId);
  EXPECT_EQ(t.size(), 40u);
  EXPECT_EQ(add(17, true), 17u);  // an existing entry is still found when new ones are refused
  EXPECT_EQ(t.find(hash_of(1000), [&](std::uint32_t id) { return keys[id] == 1000; }), kNoId);
  EXPECT_EQ(add(1000, false), 40u);  // and the refused key goes in later as if never tried
}

TEST(IdTable, AnIdPastTheRangeIsAFault) {
  IdTable t;
  EXPECT_THROW(t.find_or_insert(
                   1, [](std::uint32_t) { return false; }, [] { return std::uint64_t{kNoId} + 1; }),
               InternalFault);
  EXPECT_EQ(t.size(), 0u);
}

TEST(IdTable, ReservedRoomTakesThatManyIdsWithoutGrowingAndKeepsWhatItHeld) {
  IdTable t;
  std::vector<std::uint64_t> keys;  // id -> key
  auto add = [&](std::uint64_t key) {
    return t.find_or_insert(
        hash_of(key), [&](std::uint32_t id) { return keys[id] == key; },
        [&] {
          keys.push_back(key);
          return std::uint64_t{keys.size() - 1};
        });
  };
  for (std::uint64_t k = 0; k < 40; ++k) add(k);
  t.reserve(1000);
  const std::size_t reserved = t.memory_bytes();
  for (std::uint64_t k = 0; k < 1000; ++k) ASSERT_EQ(add(k), k) << "key " << k;  // the first 40 are found
  EXPECT_EQ(t.memory_bytes(), reserved);
  EXPECT_EQ(t.size(), 1000u);
  t.reserve(10);  // never shrinks
  EXPECT_EQ(t.memory_bytes(), reserved);
}

}  // namespace
}  // namespace vantrel
