#pragma once
/// The hash-cons table: e-node -> id. Entries are never removed. Open addressing with a
/// fixed, unseeded hash; keys live in an append-only entry list and slots carry part of the
/// hash so that most probes never touch a key.
#include <cstdint>
#include <optional>
#include <vector>

#include "egraph/symbol_lang.hpp"

namespace vantrel::egraph {

class HashCons {
 public:
  /// The id stored for `key`, if any.
  std::optional<Id> get(const SymbolLang& key) const {
    if (slots_.empty()) return std::nullopt;
    const std::uint64_t s = slots_[probe(key, hash_enode(key))];
    if (s == 0) return std::nullopt;
    return entries_[static_cast<std::uint32_t>(s) - 1].value;
  }

  /// Returns the id stored for `key`; if there is none, stores `make_id()` under a copy of
  /// the key and returns nothing. One hash and one probe either way.
  template <class MakeId>
  std::optional<Id> get_or_insert(const SymbolLang& key, MakeId&& make_id) {
    reserve_one();
    const std::uint64_t h = hash_enode(key);
    const std::uint64_t i = probe(key, h);
    if (slots_[i] != 0) return entries_[static_cast<std::uint32_t>(slots_[i]) - 1].value;
    entries_.push_back(Entry{key, make_id(), static_cast<std::uint32_t>(h)});
    slots_[i] = ((h >> 32) << 32) | static_cast<std::uint32_t>(entries_.size());
    return std::nullopt;
  }

  /// Maps `key` to `value`, inserting a copy of the key when it is new. Returns the value the
  /// key held before, if it was present.
  std::optional<Id> insert(const SymbolLang& key, Id value) {
    reserve_one();
    const std::uint64_t h = hash_enode(key);
    const std::uint64_t i = probe(key, h);
    if (slots_[i] != 0) {
      Entry& e = entries_[static_cast<std::uint32_t>(slots_[i]) - 1];
      const Id old = e.value;
      e.value = value;
      return old;
    }
    entries_.push_back(Entry{key, value, static_cast<std::uint32_t>(h)});
    slots_[i] = ((h >> 32) << 32) | static_cast<std::uint32_t>(entries_.size());
    return std::nullopt;
  }

  std::size_t size() const { return entries_.size(); }

  /// Makes room for `n` entries without growing (probing never depends on the table size
  /// in a way anyone can observe, so this only saves rehashing).
  void reserve(std::size_t n) {
    entries_.reserve(n);
    std::size_t slots = slots_.empty() ? 64 : slots_.size();
    while (n * 2 > slots) slots *= 2;
    if (slots != slots_.size()) grow_to(slots);
  }

 private:
  struct Entry {
    SymbolLang key;
    Id value;
    std::uint32_t hash_low;  // low half of the key's hash, to re-slot without rehashing
  };

  // The slot holding `key`, or the empty slot where it would go.
  std::uint64_t probe(const SymbolLang& key, std::uint64_t h) const {
    const std::uint64_t mask = slots_.size() - 1;
    const auto tag = static_cast<std::uint32_t>(h >> 32);
    for (std::uint64_t i = h & mask;; i = (i + 1) & mask) {
      const std::uint64_t s = slots_[i];
      if (s == 0) return i;
      if (static_cast<std::uint32_t>(s >> 32) == tag && entries_[static_cast<std::uint32_t>(s) - 1].key == key) return i;
    }
  }

  void reserve_one() {
    if ((entries_.size() + 1) * 2 > slots_.size()) grow();
  }

  void grow() { grow_to(slots_.empty() ? 64 : slots_.size() * 2); }

  void grow_to(std::size_t n) {
    slots_.assign(n, 0);
    if (entries_.capacity() < n / 2) entries_.reserve(n / 2);
    const std::uint64_t mask = n - 1;
    for (std::uint32_t k = 0; k < entries_.size(); ++k) {
      // the tag (high half) is recomputed: keys are small, and growing is rare
      const std::uint64_t h = hash_enode(entries_[k].key);
      std::uint64_t i = entries_[k].hash_low & mask;
      while (slots_[i] != 0) i = (i + 1) & mask;
      slots_[i] = ((h >> 32) << 32) | (k + 1);
    }
  }

  std::vector<Entry> entries_;
  std::vector<std::uint64_t> slots_;  // (hash high 32 bits) << 32 | (entry index + 1); 0 = empty
};

}  // namespace vantrel::egraph
