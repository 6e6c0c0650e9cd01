// OpenTable: the empty state, growth, clear, reserve and moves, against a set of the keys.
#include "common/open_table.hpp"

#include <cstdint>
#include <gtest/gtest.h>
#include <utility>

#include "common/hash.hpp"

namespace vantrel {
namespace {

// A slot holding key + 1, so that key 0 can be stored and a zero slot is empty.
struct Slot {
  std::uint64_t stored = 0;
  bool empty() const { return stored == 0; }
};

std::uint64_t hash_of_key(std::uint64_t key) { return mix64(key); }
std::uint64_t hash_of_slot(const Slot& s) { return hash_of_key(s.stored - 1); }

const Slot* find(const OpenTable<Slot>& t, std::uint64_t key) {
  return t.find(hash_of_key(key), [&](const Slot& s) { return s.stored == key + 1; });
}

void insert(OpenTable<Slot>& t, std::uint64_t key) {
  Slot& s = t.find_or_empty(
      hash_of_key(key), [&](const Slot& x) { return x.stored == key + 1; }, hash_of_slot);
  if (s.empty()) {
    s.stored = key + 1;
    t.filled();
  }
}

TEST(OpenTable, AFreshTableFindsNothingAndOwnsNoSlots) {
  OpenTable<Slot> t;
  EXPECT_EQ(t.size(), 0u);
  EXPECT_EQ(t.memory_bytes(), 0u);
  EXPECT_EQ(t.storage(), nullptr);
  EXPECT_EQ(find(t, 0), nullptr);
  t.prefetch(hash_of_key(0));
  t.clear();
  EXPECT_EQ(t.size(), 0u);
}

TEST(OpenTable, GrowsAtHalfFullAndKeepsEveryKey) {
  OpenTable<Slot> t(4);
  constexpr std::uint64_t kKeys = 5000;
  for (std::uint64_t k = 0; k < kKeys; ++k) {
    insert(t, k * 7);
    insert(t, k * 7);  // a second insert finds the first
    ASSERT_EQ(t.size(), k + 1);
    ASSERT_LE(t.size() * 2 * sizeof(Slot), t.memory_bytes());
  }
  for (std::uint64_t k = 0; k < kKeys * 7; ++k) {
    const Slot* s = find(t, k);
    ASSERT_EQ(s != nullptr, k % 7 == 0) << k;
    if (s != nullptr) {
      EXPECT_EQ(s->stored, k + 1);
    }
  }
}

TEST(OpenTable, ClearKeepsTheCapacityAndReserveAvoidsGrowth) {
  OpenTable<Slot> t;
  t.reserve(1000, hash_of_slot);
  const void* storage = t.storage();
  const std::size_t bytes = t.memory_bytes();
  EXPECT_GE(bytes, 2000 * sizeof(Slot));
  for (std::uint64_t k = 0; k < 1000; ++k) t.insert_new(hash_of_key(k), Slot{k + 1}, hash_of_slot);
  EXPECT_EQ(t.storage(), storage);
  t.clear();
  EXPECT_EQ(t.size(), 0u);
  EXPECT_EQ(t.memory_bytes(), bytes);
  EXPECT_EQ(find(t, 5), nullptr);
  insert(t, 5);
  EXPECT_NE(find(t, 5), nullptr);
}

TEST(OpenTable, AMovedFromTableIsEmptyAndUsable) {
  OpenTable<Slot> a(8);
  for (std::uint64_t k = 0; k < 100; ++k) insert(a, k);
  OpenTable<Slot> b(std::move(a));
  EXPECT_EQ(b.size(), 100u);
  EXPECT_NE(find(b, 99), nullptr);
  // NOLINTBEGIN(bugprone-use-after-move): the moved-from state is what is tested
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(a.memory_bytes(), 0u);
  EXPECT_EQ(find(a, 99), nullptr);
  insert(a, 3);
  EXPECT_NE(find(a, 3), nullptr);
  EXPECT_EQ(a.size(), 1u);

  OpenTable<Slot> c;
  insert(c, 1000);
  c = std::move(b);
  EXPECT_EQ(c.size(), 100u);
  EXPECT_EQ(find(c, 1000), nullptr);
  EXPECT_NE(find(c, 42), nullptr);
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(find(b, 42), nullptr);
  // NOLINTEND(bugprone-use-after-move)
}

}  // namespace
}  // namespace vantrel
