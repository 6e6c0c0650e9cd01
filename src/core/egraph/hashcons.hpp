#pragma once
/// The hash-cons table: e-node -> id. Entries are never removed. Open addressing with a
/// fixed, unseeded hash. An e-node with at most two children (nearly all of them) is stored
/// whole in its slot, together with its id, so a probe reads one cache line and never a
/// second table; only larger e-nodes keep their key in a side list that the slot refers to.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/fault.hpp"
#include "common/open_table.hpp"
#include "egraph/page_in.hpp"
#include "egraph/symbol_lang.hpp"

namespace vantrel::egraph {

class HashCons {
  // (The slot layout comes first: the lookups below deduce their matchers from it.)
  // Children words: no children (none, none); one (c0, none); two (c0, c1); more than two
  // (none, index of the key in `big_`). Ids are never `kNoId` (the union-find stops below it),
  // so the shapes cannot collide.
  struct Slot {
    std::uint32_t symbol;
    Id a;
    Id b;
    std::uint32_t value;  // id + 1; 0 marks an empty slot
    bool empty() const { return value == 0; }
  };

  static void words(const SymbolLang& key, Id& a, Id& b) {
    const std::uint32_t n = key.children.size();
    const Id* k = key.children.data();
    a = n == 0 || n > 2 ? kNoId : k[0];
    b = n == 2 ? k[1] : kNoId;
  }

  static auto small_match(const SymbolLang& key) {
    Id a, b;
    words(key, a, b);
    return [sym = key.symbol.value(), a, b](const Slot& s) { return s.symbol == sym && s.a == a && s.b == b; };
  }
  auto big_match(const SymbolLang& key) const {
    return [this, &key](const Slot& s) {
      return s.symbol == key.symbol.value() && s.a == kNoId && s.b != kNoId && big_[s.b] == key;
    };
  }

 public:
  HashCons() = default;
  HashCons(const HashCons&) = delete;
  HashCons& operator=(const HashCons&) = delete;

  /// The id stored for `key`, if any.
  std::optional<Id> get(const SymbolLang& key) const {
    const std::uint64_t h = hash_enode(key);
    const Slot* s = key.children.size() <= 2 ? table_.find(h, small_match(key)) : table_.find(h, big_match(key));
    if (s == nullptr) return std::nullopt;
    return s->value - 1;
  }

  /// Returns the id stored for `key`; if there is none, stores `make_id()` under a copy of
  /// the key and returns nothing. One hash and one probe either way.
  template <class MakeId>
  std::optional<Id> get_or_insert(const SymbolLang& key, MakeId&& make_id) {
    Slot& s = slot_for(key);
    if (!s.empty()) return s.value - 1;
    fill(s, key, make_id());
    return std::nullopt;
  }

  /// Maps `key` to `value`, inserting a copy of the key when it is new. Returns the value the
  /// key held before, if it was present.
  std::optional<Id> insert(const SymbolLang& key, Id value) {
    Slot& s = slot_for(key);
    if (!s.empty()) {
      const Id old = s.value - 1;
      s.value = value + 1;
      return old;
    }
    fill(s, key, value);
    return std::nullopt;
  }

  std::size_t size() const { return table_.size(); }

  /// Stores key i -> i for every key of an empty table, unless two keys are equal: then the
  /// table is left empty (and reserved for them) and the answer is false. The keys go in
  /// roughly in the order of the slots they probe, so filling a table far larger than the
  /// caches walks it nearly in address order instead of missing the cache at every key; the
  /// slots each key ends in are the ones it would reach in any order of insertion, up to
  /// which of two keys of one probe run comes first, which no lookup can tell.
  bool insert_all_distinct(std::span<const SymbolLang> keys) {
    if (table_.size() != 0) throw InternalFault("insert_all_distinct needs an empty hash-cons");
    reserve(keys.size());
    const std::size_t capacity = table_.memory_bytes() / sizeof(Slot);
    if (capacity == 0) return true;
    const std::size_t mask = capacity - 1;
    // A counting sort by the top bits of each key's home slot: buckets of a few cache lines.
    const unsigned bits = static_cast<unsigned>(std::bit_width(mask));
    const unsigned bucket_bits = std::min(bits, 16u);
    const unsigned shift = bits - bucket_bits;
    // Hashes are computed again rather than kept: a key is read in either pass anyway, and a
    // side array would be one more table of the graph's size to fault in.
    auto bucket = [&](const SymbolLang& key) { return (hash_enode(key) & mask) >> shift; };
    std::vector<std::uint32_t> start((std::size_t{1} << bucket_bits) + 1, 0);
    for (const SymbolLang& key : keys) ++start[bucket(key) + 1];
    for (std::size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
    std::vector<std::uint32_t> order(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) order[start[bucket(keys[i])]++] = static_cast<Id>(i);
    for (const std::uint32_t i : order) {
      Slot& s = slot_for(keys[i]);
      if (!s.empty()) {
        table_.clear();
        big_.clear();
        return false;
      }
      fill(s, keys[i], i);
    }
    return true;
  }

  /// A hint that `key` is about to be looked up: starts fetching its slot.
  void prefetch(const SymbolLang& key) const { table_.prefetch(hash_enode(key)); }

  /// Makes room for `n` entries without growing (probing never depends on the table size
  /// in a way anyone can observe, so this only saves rehashing).
  void reserve(std::size_t n) {
    table_.reserve(n, [&](const Slot& s) { return slot_hash(s); });
    // Filling it probes every page at random, reading each before writing it.
    page_in_for_writing(table_.storage(), table_.memory_bytes());
  }

 private:
  // The slot holding `key`, or the empty slot where it goes (after making room for it).
  Slot& slot_for(const SymbolLang& key) {
    const std::uint64_t h = hash_enode(key);
    auto rehash = [&](const Slot& s) { return slot_hash(s); };
    return key.children.size() <= 2 ? table_.find_or_empty(h, small_match(key), rehash)
                                    : table_.find_or_empty(h, big_match(key), rehash);
  }

  void fill(Slot& s, const SymbolLang& key, Id value) {
    s.symbol = key.symbol.value();
    if (key.children.size() <= 2) {
      words(key, s.a, s.b);
    } else {
      s.a = kNoId;
      s.b = static_cast<Id>(big_.size());
      big_.push_back(key);
    }
    s.value = value + 1;
    table_.filled();
  }

  // `hash_enode` of the key a slot holds, without rebuilding the key when it is inline.
  std::uint64_t slot_hash(const Slot& s) const {
    if (s.a == kNoId && s.b != kNoId) return hash_enode(big_[s.b]);
    const Id children[2] = {s.a, s.b};
    // A constant count per branch lets the hash's loop unroll.
    if (s.a == kNoId) return hash_enode(s.symbol, children, 0);
    if (s.b == kNoId) return hash_enode(s.symbol, children, 1);
    return hash_enode(s.symbol, children, 2);
  }

  OpenTable<Slot> table_{64};
  std::vector<SymbolLang> big_;  // keys with more than two children
};

}  // namespace vantrel::egraph
