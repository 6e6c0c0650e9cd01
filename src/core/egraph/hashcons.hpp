#pragma once
/// The hash-cons table: e-node -> id. Entries are never removed. Open addressing with a
/// fixed, unseeded hash. An e-node with at most two children (nearly all of them) is stored
/// whole in its slot, together with its id, so a probe reads one cache line and never a
/// second table; only larger e-nodes keep their key in a side list that the slot refers to.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "egraph/symbol_lang.hpp"

namespace vantrel::egraph {

class HashCons {
 public:
  HashCons() = default;
  HashCons(const HashCons&) = delete;
  HashCons& operator=(const HashCons&) = delete;

  /// The id stored for `key`, if any.
  std::optional<Id> get(const SymbolLang& key) const {
    if (mask_ == 0) return std::nullopt;
    const Slot& s = slots_.get()[probe(key, hash_enode(key))];
    if (s.value == 0) return std::nullopt;
    return s.value - 1;
  }

  /// Returns the id stored for `key`; if there is none, stores `make_id()` under a copy of
  /// the key and returns nothing. One hash and one probe either way.
  template <class MakeId>
  std::optional<Id> get_or_insert(const SymbolLang& key, MakeId&& make_id) {
    reserve_one();
    Slot& s = slots_.get()[probe(key, hash_enode(key))];
    if (s.value != 0) return s.value - 1;
    fill(s, key, make_id());
    return std::nullopt;
  }

  /// Maps `key` to `value`, inserting a copy of the key when it is new. Returns the value the
  /// key held before, if it was present.
  std::optional<Id> insert(const SymbolLang& key, Id value) {
    reserve_one();
    Slot& s = slots_.get()[probe(key, hash_enode(key))];
    if (s.value != 0) {
      const Id old = s.value - 1;
      s.value = value + 1;
      return old;
    }
    fill(s, key, value);
    return std::nullopt;
  }

  std::size_t size() const { return size_; }

  /// A hint that `key` is about to be looked up: starts fetching its slot.
  void prefetch(const SymbolLang& key) const {
    if (mask_ != 0) __builtin_prefetch(&slots_.get()[hash_enode(key) & mask_]);
  }

  /// Makes room for `n` entries without growing (probing never depends on the table size
  /// in a way anyone can observe, so this only saves rehashing).
  void reserve(std::size_t n) {
    std::size_t slots = mask_ == 0 ? 64 : mask_ + 1;
    while (n * 2 > slots) slots *= 2;
    if (slots != (mask_ == 0 ? 0 : mask_ + 1)) grow_to(slots);
  }

 private:
  static constexpr Id kNone = 0xffffffffu;  // never an id: ids stay below it

  // Children words: no children (none, none); one (c0, none); two (c0, c1); more than two
  // (none, index of the key in `big_`). Ids are never `kNone`, so the shapes cannot collide.
  struct Slot {
    std::uint32_t symbol;
    Id a;
    Id b;
    std::uint32_t value;  // id + 1; 0 marks an empty slot (so zeroed memory is an empty table)
  };
  struct FreeSlots {
    void operator()(Slot* p) const { std::free(p); }
  };
  using Slots = std::unique_ptr<Slot[], FreeSlots>;

  // A zeroed (empty) table of `n` slots: the kernel hands out zeroed pages, so this costs no
  // writes.
  static Slots allocate(std::size_t n) {
    Slots fresh(static_cast<Slot*>(std::calloc(n, sizeof(Slot))));
    if (!fresh) throw std::bad_alloc();
    return fresh;
  }

  static void words(const SymbolLang& key, Id& a, Id& b) {
    const std::uint32_t n = key.children.size();
    const Id* k = key.children.data();
    a = n == 0 || n > 2 ? kNone : k[0];
    b = n == 2 ? k[1] : kNone;
  }

  // The slot holding `key`, or the empty slot where it would go.
  std::uint64_t probe(const SymbolLang& key, std::uint64_t h) const {
    const Slot* slots = slots_.get();
    const std::uint32_t sym = key.symbol.value();
    if (key.children.size() <= 2) {
      Id a, b;
      words(key, a, b);
      for (std::uint64_t i = h & mask_;; i = (i + 1) & mask_) {
        const Slot& s = slots[i];
        if (s.value == 0) return i;
        if (s.symbol == sym && s.a == a && s.b == b) return i;
      }
    }
    for (std::uint64_t i = h & mask_;; i = (i + 1) & mask_) {
      const Slot& s = slots[i];
      if (s.value == 0) return i;
      if (s.symbol == sym && s.a == kNone && s.b != kNone && big_[s.b] == key) return i;
    }
  }

  void fill(Slot& s, const SymbolLang& key, Id value) {
    s.symbol = key.symbol.value();
    if (key.children.size() <= 2) {
      words(key, s.a, s.b);
    } else {
      s.a = kNone;
      s.b = static_cast<Id>(big_.size());
      big_.push_back(key);
    }
    s.value = value + 1;
    ++size_;
  }

  void reserve_one() {
    if ((size_ + 1) * 2 > (mask_ == 0 ? 0 : mask_ + 1)) grow_to(mask_ == 0 ? 64 : (mask_ + 1) * 2);
  }

  // `hash_enode` of the key a slot holds, without rebuilding the key when it is inline.
  std::uint64_t slot_hash(const Slot& s) const {
    if (s.a == kNone && s.b != kNone) return hash_enode(big_[s.b]);
    const std::uint64_t k = 0x9e3779b97f4a7c15ULL;
    const std::uint32_t n = s.a == kNone ? 0 : (s.b == kNone ? 1 : 2);
    std::uint64_t h = (std::uint64_t{s.symbol} << 32 | n) * k;
    if (n >= 1) h = (((h << 26) | (h >> 38)) ^ s.a) * k;
    if (n == 2) h = (((h << 26) | (h >> 38)) ^ s.b) * k;
    h ^= h >> 32;
    h *= 0xd6e8feb86659fd93ULL;
    return h ^ (h >> 32);
  }

  void grow_to(std::size_t n) {
    Slots fresh = allocate(n);
    const std::uint64_t mask = n - 1;
    if (mask_ != 0) {
      const Slot* old = slots_.get();
      for (std::uint64_t k = 0; k <= mask_; ++k) {
        if (old[k].value == 0) continue;
        std::uint64_t i = slot_hash(old[k]) & mask;
        while (fresh[i].value != 0) i = (i + 1) & mask;
        fresh[i] = old[k];
      }
    }
    slots_ = std::move(fresh);
    mask_ = mask;
  }

  Slots slots_;
  std::uint64_t mask_ = 0;  // slot count - 1, or 0 before the first slot exists
  std::size_t size_ = 0;
  std::vector<SymbolLang> big_;  // keys with more than two children
};

}  // namespace vantrel::egraph
