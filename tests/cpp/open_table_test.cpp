// OpenTable: the empty state, growth, clear, reserve and moves, against a set of the keys; and
// key traits that reach keys kept outside the slots, with two kinds of probe.
#include "common/open_table.hpp"

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/hash.hpp"

namespace vantrel {
namespace {

// A slot holding key + 1, so that key 0 can be stored and a zero slot is empty.
struct Slot {
  std::uint64_t stored = 0;
  bool empty() const { return stored == 0; }
};

std::uint64_t hash_of_key(std::uint64_t key) { return mix64(key); }

struct Keys {  // a probe is the key itself
  static std::uint64_t hash(const Slot& s) { return hash_of_key(s.stored - 1); }
  static bool equal(const Slot& s, std::uint64_t key) { return s.stored == key + 1; }
};
using Table = OpenTable<Slot, Keys>;

const Slot* find(const Table& t, std::uint64_t key) { return t.find(hash_of_key(key), key); }

void insert(Table& t, std::uint64_t key) {
  Slot& s = t.find_or_empty(hash_of_key(key), key);
  if (s.empty()) {
    s.stored = key + 1;
    t.filled();
  }
}

TEST(OpenTable, AFreshTableFindsNothingAndOwnsNoSlots) {
  Table t;
  EXPECT_EQ(t.size(), 0u);
  EXPECT_EQ(t.memory_bytes(), 0u);
  EXPECT_EQ(t.storage(), nullptr);
  EXPECT_EQ(find(t, 0), nullptr);
  t.prefetch(hash_of_key(0));
  t.clear();
  EXPECT_EQ(t.size(), 0u);
}

TEST(OpenTable, GrowsAtHalfFullAndKeepsEveryKey) {
  Table t(4);
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
  Table t;
  t.reserve(1000);
  const void* storage = t.storage();
  const std::size_t bytes = t.memory_bytes();
  EXPECT_GE(bytes, 2000 * sizeof(Slot));
  for (std::uint64_t k = 0; k < 1000; ++k) t.insert_new(hash_of_key(k), Slot{k + 1});
  EXPECT_EQ(t.storage(), storage);
  t.clear();
  EXPECT_EQ(t.size(), 0u);
  EXPECT_EQ(t.memory_bytes(), bytes);
  EXPECT_EQ(find(t, 5), nullptr);
  insert(t, 5);
  EXPECT_NE(find(t, 5), nullptr);
}

TEST(OpenTable, AMovedFromTableIsEmptyAndUsable) {
  Table a(8);
  for (std::uint64_t k = 0; k < 100; ++k) insert(a, k);
  Table b(std::move(a));
  EXPECT_EQ(b.size(), 100u);
  EXPECT_NE(find(b, 99), nullptr);
  // NOLINTBEGIN(bugprone-use-after-move): the moved-from state is what is tested
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(a.memory_bytes(), 0u);
  EXPECT_EQ(find(a, 99), nullptr);
  insert(a, 3);
  EXPECT_NE(find(a, 3), nullptr);
  EXPECT_EQ(a.size(), 1u);

  Table c;
  insert(c, 1000);
  c = std::move(b);
  EXPECT_EQ(c.size(), 100u);
  EXPECT_EQ(find(c, 1000), nullptr);
  EXPECT_NE(find(c, 42), nullptr);
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(find(b, 42), nullptr);
  // NOLINTEND(bugprone-use-after-move)
}

// Texts kept in a list beside the table, as the symbol table keeps them: a slot holds the
// text's number and a tag, the keys reach the list through the context the owner passes, and
// a lookup can start from a text or from a number already in the list.
struct TextIndex {
  struct Slot {
    std::uint32_t number_plus_one = 0;
    std::uint32_t tag = 0;
    bool empty() const { return number_plus_one == 0; }
  };
  struct Number {
    std::uint32_t number;
  };
  // A deliberately poor hash (texts of one length collide), so probes run through other keys.
  static std::uint64_t hash_text(std::string_view t) { return t.size(); }
  struct Keys {
    static std::uint64_t hash(const Slot& s, const TextIndex& owner) {
      ++owner.rehashed;
      return hash_text(owner.texts[s.number_plus_one - 1]);
    }
    static bool equal(const Slot& s, std::string_view text, const TextIndex& owner) {
      return s.tag == static_cast<std::uint32_t>(hash_text(text)) && owner.texts[s.number_plus_one - 1] == text;
    }
    static bool equal(const Slot& s, Number n, const TextIndex&) { return s.number_plus_one == n.number + 1; }
  };

  std::uint32_t intern(std::string_view text) {
    const std::uint64_t h = hash_text(text);
    Slot& s = table.find_or_empty(h, text, *this);
    if (s.empty()) {
      texts.emplace_back(text);
      s = Slot{static_cast<std::uint32_t>(texts.size()), static_cast<std::uint32_t>(h)};
      table.filled();
    }
    return s.number_plus_one - 1;
  }

  std::vector<std::string> texts;
  OpenTable<Slot, Keys> table{4};
  mutable int rehashed = 0;
};

TEST(OpenTableKeys, KeysKeptOutsideTheSlotsAreComparedAndRehashedThroughTheContext) {
  TextIndex index;
  const std::vector<std::string> words = {"a", "bb", "cc", "dd", "e", "ffff", "gg", "a", "cc", "hhh", ""};
  std::vector<std::uint32_t> numbers;
  for (const std::string& w : words) numbers.push_back(index.intern(w));
  // Equal texts get one number, distinct texts (most of one hash) distinct ones.
  EXPECT_EQ(numbers, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 6, 0, 2, 7, 8}));
  EXPECT_EQ(index.table.size(), 9u);
  // Growing from 4 slots to 32 rehashed every key through the owner, and lost none.
  EXPECT_GT(index.rehashed, 0);
  for (std::uint32_t k = 0; k < index.texts.size(); ++k) {
    const std::string& text = index.texts[k];
    const auto* by_text = index.table.find(TextIndex::hash_text(text), std::string_view(text), index);
    ASSERT_NE(by_text, nullptr) << text;
    EXPECT_EQ(by_text->number_plus_one, k + 1);
    // The other kind of probe reaches the same slot.
    EXPECT_EQ(index.table.find(TextIndex::hash_text(text), TextIndex::Number{k}, index), by_text);
  }
  EXPECT_EQ(index.table.find(2, std::string_view("zz"), index), nullptr);
  EXPECT_EQ(index.table.find(2, TextIndex::Number{100}, index), nullptr);
}

TEST(OpenTableKeys, ReservingAskedTheKeysOnceAndInsertsWithoutRehashing) {
  TextIndex index;
  for (const char* w : {"x", "yy", "zzz"}) index.intern(w);
  index.rehashed = 0;
  index.table.reserve(200, index);
  EXPECT_EQ(index.rehashed, 3);  // each stored key once, moving it to the larger array
  const void* storage = index.table.storage();
  for (int i = 0; i < 190; ++i) index.intern(std::to_string(i));
  EXPECT_EQ(index.table.storage(), storage);
  EXPECT_EQ(index.rehashed, 3);
  EXPECT_EQ(index.intern("yy"), 1u);
}

}  // namespace
}  // namespace vantrel
