#pragma once
/// An open-addressing index of 32-bit ids, keyed by hashes the caller computes. It holds no
/// keys of its own: the caller's table owns them and supplies the equality test, so the
/// index costs 8 bytes a slot (id plus a 32-bit hash tag that filters most comparisons).
#include <cstdint>
#include <vector>

#include "common/fault.hpp"

namespace vantrel {

class IdTable {
 public:
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
  /// Largest id the table can hold.
  static constexpr std::uint64_t kMaxId = kEmpty - 1;

  /// Returns the id of the entry with this hash for which eq(id) holds, or kEmpty.
  template <class Eq>
  std::uint32_t find(std::uint64_t hash, Eq&& eq) const {
    if (slots_.empty()) return kEmpty;
    const std::uint32_t tag = tag_of(hash);
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.id == kEmpty) return kEmpty;
      if (s.tag == tag && eq(s.id)) return s.id;
    }
  }

  /// Inserts an id known to be absent; hash_of(id) recomputes the hash of any stored id
  /// when the table grows.
  template <class HashOf>
  void insert(std::uint64_t hash, std::uint64_t id, HashOf&& hash_of) {
    if (id > kMaxId) throw InternalFault("node table cannot grow any further");
    if ((size_ + 1) * 2 > slots_.size()) grow(hash_of);
    place(hash, static_cast<std::uint32_t>(id));
    ++size_;
  }

  std::size_t size() const { return size_; }
  std::size_t memory_bytes() const { return slots_.capacity() * sizeof(Slot); }

 private:
  struct Slot {
    std::uint32_t id = kEmpty;
    std::uint32_t tag = 0;
  };

  static std::uint32_t tag_of(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32); }

  void place(std::uint64_t hash, std::uint32_t id) {
    std::size_t i = hash & mask_;
    while (slots_[i].id != kEmpty) i = (i + 1) & mask_;
    slots_[i] = Slot{id, tag_of(hash)};
  }

  template <class HashOf>
  void grow(HashOf&& hash_of) {
    std::vector<Slot> old = std::move(slots_);
    const std::size_t cap = old.empty() ? 16 : old.size() * 2;
    slots_.assign(cap, Slot{});
    mask_ = cap - 1;
    for (const Slot& s : old) {
      if (s.id != kEmpty) place(hash_of(s.id), s.id);
    }
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

}  // namespace vantrel
