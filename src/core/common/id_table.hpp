#pragma once
/// An open-addressing index of 32-bit ids, keyed by hashes the caller computes. It holds no
/// keys of its own: the caller's table owns them and supplies the equality test, so the
/// index costs 8 bytes a slot (id plus a 32-bit hash tag that filters most comparisons).
/// A slot's position comes from its tag alone, so growing the table moves slots by their
/// tags and never asks the caller to hash a stored key again.
#include <cstdint>

#include "common/fault.hpp"
#include "common/node_id.hpp"
#include "common/open_table.hpp"

namespace vantrel {

class IdTable {
 public:
  /// Returns the id of the entry with this hash for which eq(id) holds, or kNoId.
  template <class Eq>
  std::uint32_t find(std::uint64_t hash, Eq&& eq) const {
    const std::uint32_t tag = tag_of(hash);
    const Slot* s = table_.find(tag, Probe<Eq>{tag, eq});
    return s == nullptr ? kNoId : s->id_plus_one - 1;
  }

  /// find() and, when nothing matches, insert() in one probe: returns the id found, or else
  /// the id `new_id()` gives, stored under this hash. `new_id()` may refuse by returning
  /// kNoId; the index then stays as it was (it may have grown) and kNoId is returned.
  template <class Eq, class NewId>
  std::uint32_t find_or_insert(std::uint64_t hash, Eq&& eq, NewId&& new_id) {
    const std::uint32_t tag = tag_of(hash);
    Slot& s = table_.find_or_empty(tag, Probe<Eq>{tag, eq});
    if (!s.empty()) return s.id_plus_one - 1;
    const std::uint64_t id = new_id();
    if (id == kNoId) return kNoId;
    if (id > kNoId) throw InternalFault("node table cannot grow any further");
    s = Slot{static_cast<std::uint32_t>(id) + 1, tag};
    table_.filled();
    return static_cast<std::uint32_t>(id);
  }

  /// Inserts an id known to be absent. Growth moves slots by their tags, so the table never
  /// needs the hash of a stored id.
  void insert(std::uint64_t hash, std::uint64_t id) {
    if (id >= kNoId) throw InternalFault("node table cannot grow any further");
    const std::uint32_t tag = tag_of(hash);
    table_.insert_new(tag, Slot{static_cast<std::uint32_t>(id) + 1, tag});
  }

  /// Forgets every id, keeping the capacity: ids put back afterwards go in without growing.
  void clear() { table_.clear(); }

  /// Makes room for `n` ids in all, so that they go in without growing.
  void reserve(std::size_t n) { table_.reserve(n); }

  /// A hint that the entry with this hash is about to be looked up: starts fetching its slot.
  void prefetch(std::uint64_t hash) const { table_.prefetch(tag_of(hash)); }

  std::size_t size() const { return table_.size(); }
  std::size_t memory_bytes() const { return table_.memory_bytes(); }

 private:
  struct Slot {
    std::uint32_t id_plus_one;  // 0: empty
    std::uint32_t tag;
    bool empty() const { return id_plus_one == 0; }
  };

  // A lookup's tag, and the caller's test of whether a stored id is the key looked for.
  template <class Eq>
  struct Probe {
    std::uint32_t tag;
    const Eq& eq;
  };

  // Slots are placed by their tags, so growing never rehashes a key.
  struct Keys {
    static std::uint64_t hash(const Slot& s) { return s.tag; }
    template <class Eq>
    static bool equal(const Slot& s, const Probe<Eq>& p) {
      return s.tag == p.tag && p.eq(s.id_plus_one - 1);
    }
  };

  static std::uint32_t tag_of(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32); }

  OpenTable<Slot, Keys> table_;
};

}  // namespace vantrel
