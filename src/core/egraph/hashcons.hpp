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
#include "common/page_in.hpp"
#include "common/prefetch.hpp"
#include "egraph/symbol_lang.hpp"

namespace vantrel::egraph {

class HashCons {
  // (The slot layout and how its keys compare come first: the lookups below use them.)
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

  // A key with at most two children is looked for as the slot it would fill (value aside);
  // a larger one as itself, compared with the copy in `big_`.
  static Slot small_probe(const SymbolLang& key) {
    Slot p{key.symbol.value(), kNoId, kNoId, 0};
    words(key, p.a, p.b);
    return p;
  }
  struct Keys {
    static std::uint64_t hash(const Slot& s, const HashCons& h) { return h.slot_hash(s); }
    static bool equal(const Slot& s, const Slot& small, const HashCons&) {
      return s.symbol == small.symbol && s.a == small.a && s.b == small.b;
    }
    static bool equal(const Slot& s, const SymbolLang& big, const HashCons& h) {
      return s.symbol == big.symbol.value() && s.a == kNoId && s.b != kNoId && h.big_[s.b] == big;
    }
  };

 public:
  HashCons() = default;
  HashCons(const HashCons&) = delete;
  HashCons& operator=(const HashCons&) = delete;

  /// The id stored for `key`, if any.
  std::optional<Id> get(const SymbolLang& key) const {
    const std::uint64_t h = hash_enode(key);
    const Slot* s = key.children.size() <= 2 ? table_.find(h, small_probe(key), *this) : table_.find(h, key, *this);
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
  /// grouped by the region of the table their home slot lies in, each with its home slot and
  /// its slot contents worked out beforehand, so filling a table far larger than the caches
  /// walks it region by region instead of missing the cache at every key, and reads each key
  /// and computes its hash once. The slots each key ends in are the ones it would reach in any
  /// order of insertion, up to which of two keys of one probe run comes first, which no lookup
  /// can tell. A key with a child that is not an earlier key is an internal fault, found
  /// before anything is stored.
  bool insert_all_distinct(std::span<const SymbolLang> keys) {
    if (table_.size() != 0) throw InternalFault("insert_all_distinct needs an empty hash-cons");
    reserve(keys.size());
    const std::size_t capacity = table_.memory_bytes() / sizeof(Slot);
    if (capacity == 0) return true;
    const std::size_t mask = capacity - 1;
    // A counting sort by the top bits of each key's home slot. A few thousand regions keep
    // the lines being written, in the sorted list and in the table, within the caches.
    const unsigned bits = static_cast<unsigned>(std::bit_width(mask));
    const unsigned region_bits = std::min(bits, 12u);
    const unsigned shift = bits - region_bits;
    struct Pending {
      Slot slot;           // as it will be stored (`b` is the key's index when it is big)
      std::uint32_t home;  // the slot its probe starts at
    };
    std::vector<std::uint32_t> start((std::size_t{1} << region_bits) + 1, 0);
    // Both lists are graph-sized and filled at once: their pages come in with one call each.
    std::vector<std::uint32_t> home = paged_list<std::uint32_t>(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
      for (Id c : keys[i].children) {
        if (c >= i) throw InternalFault("add_all_distinct: a child is not an earlier e-node");
      }
      home[i] = static_cast<std::uint32_t>(hash_enode(keys[i]) & mask);
      ++start[(home[i] >> shift) + 1];
    }
    for (std::size_t r = 1; r < start.size(); ++r) start[r] += start[r - 1];
    std::vector<Pending> sorted = paged_list<Pending>(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
      Pending p{};
      p.slot.symbol = keys[i].symbol.value();
      if (keys[i].children.size() <= 2) {
        words(keys[i], p.slot.a, p.slot.b);
      } else {
        p.slot.a = kNoId;
        p.slot.b = static_cast<Id>(i);
      }
      p.slot.value = static_cast<Id>(i) + 1;
      p.home = home[i];
      sorted[start[home[i] >> shift]++] = p;
    }
    home = {};
    // Within a region the keys come in any order, so each line of the table is met cold at
    // a random place: the home slot of a key a little further on is fetched ahead.
    for (std::size_t k = 0; k < sorted.size(); ++k) {
      if (k + 2 * kFetchAhead < sorted.size()) table_.prefetch(sorted[k + 2 * kFetchAhead].home);
      const Pending& p = sorted[k];
      const bool big = p.slot.a == kNoId && p.slot.b != kNoId;
      // The table has room for every key: none of these grows it.
      Slot& s = big ? table_.find_or_empty(p.home, keys[p.slot.b], *this) : table_.find_or_empty(p.home, p.slot, *this);
      if (!s.empty()) {
        table_.clear();
        big_.clear();
        return false;
      }
      if (big) {
        fill(s, keys[p.slot.b], p.slot.b);
      } else {
        s = p.slot;  // exactly what `fill` stores, without reading the key again
        table_.filled();
      }
    }
    return true;
  }

  /// A hint that `key` is about to be looked up: starts fetching its slot.
  void prefetch(const SymbolLang& key) const { table_.prefetch(hash_enode(key)); }
  /// The same for a key whose `hash_enode` the caller has worked out.
  void prefetch(std::uint64_t hash) const { table_.prefetch(hash); }

  /// Makes room for `n` entries without growing (probing never depends on the table size
  /// in a way anyone can observe, so this only saves rehashing).
  void reserve(std::size_t n) {
    const std::size_t before = table_.memory_bytes();
    table_.reserve(n, *this);
    // Filling it probes every page at random, reading each before writing it: a new table's
    // pages are brought in now (once; a table that already had the room has them).
    if (table_.memory_bytes() != before) page_in_for_writing(table_.storage(), table_.memory_bytes());
  }

 private:
  // The slot holding `key`, or the empty slot where it goes (after making room for it).
  Slot& slot_for(const SymbolLang& key) {
    const std::uint64_t h = hash_enode(key);
    return key.children.size() <= 2 ? table_.find_or_empty(h, small_probe(key), *this)
                                    : table_.find_or_empty(h, key, *this);
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

  OpenTable<Slot, Keys> table_{64};
  std::vector<SymbolLang> big_;  // keys with more than two children
};

}  // namespace vantrel::egraph
