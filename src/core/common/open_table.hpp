#pragma once
/// `OpenTable<Slot, Keys>`: the one open-addressing hash table of the code base (linear
/// probing, power-of-two capacity, at most half full). It owns only its slots; what a slot
/// holds (an id, a hash tag, a whole small key) is the user's business, and how keys hash and
/// compare is said once, by the table type's `Keys`:
///
/// - `Slot` is trivially copyable, an all-zero slot is empty, and `slot.empty()` says so.
///   The slot array is zeroed by calloc, so a fresh table of any size costs no writes.
/// - `Keys::hash(slot, context...)` is the hash of the key a full slot holds, asked when the
///   table grows, so users that keep their keys elsewhere need not store hashes they can
///   recompute.
/// - `Keys::equal(slot, probe, context...)` says whether a full slot holds the key a lookup
///   looks for. A probe is whatever a lookup starts from (the key, a slot-shaped copy of it,
///   its parts with a tag worked out once); a table type may take several kinds, one
///   overload each. Lookups take the probe's hash, which callers often have at hand already.
/// - `context...` is what `Keys` needs to reach keys kept outside the slots (usually the
///   table's owner, which passes itself to every operation); keys held whole take none.
///
/// Entries are never removed. The table is probed, never iterated, so its layout (and the
/// per-process seed of a user's hash) can never leak into results.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "common/huge_pages.hpp"
#include "common/prefetch.hpp"

namespace vantrel {

template <class Slot, class Keys>
class OpenTable {
  static_assert(std::is_trivially_copyable_v<Slot>);

 public:
  /// `first_capacity` (a power of two) is the slot count of the first allocation.
  explicit OpenTable(std::size_t first_capacity = 16) : first_capacity_(first_capacity) {}
  // A table moved from is empty, with no slots: its size and capacity describe the slots it
  // holds, and a lookup must never probe an array it no longer owns.
  OpenTable(OpenTable&& o) noexcept
      : slots_(std::move(o.slots_)),
        capacity_(std::exchange(o.capacity_, 0)),
        size_(std::exchange(o.size_, 0)),
        first_capacity_(o.first_capacity_) {}
  OpenTable& operator=(OpenTable&& o) noexcept {
    OpenTable taken(std::move(o));
    std::swap(slots_, taken.slots_);
    std::swap(capacity_, taken.capacity_);
    std::swap(size_, taken.size_);
    std::swap(first_capacity_, taken.first_capacity_);
    return *this;
  }

  /// The full slot that holds the key `probe` stands for, or null.
  template <class Probe, class... Context>
  const Slot* find(std::uint64_t hash, const Probe& probe, const Context&... context) const {
    if (capacity_ == 0) return nullptr;
    const Slot* slots = slots_.get();
    for (std::size_t i = hash & mask();; i = (i + 1) & mask()) {
      const Slot& s = slots[i];
      if (s.empty()) return nullptr;
      if (Keys::equal(s, probe, context...)) return &s;
    }
  }

  /// Makes room for one more entry, then returns the full slot that holds the key `probe`
  /// stands for or, when there is none, the empty slot where that key goes. A caller that
  /// fills the empty slot must call `filled()`.
  template <class Probe, class... Context>
  Slot& find_or_empty(std::uint64_t hash, const Probe& probe, const Context&... context) {
    make_room(context...);
    Slot* slots = slots_.get();
    for (std::size_t i = hash & mask();; i = (i + 1) & mask()) {
      Slot& s = slots[i];
      if (s.empty() || Keys::equal(s, probe, context...)) return s;
    }
  }
  void filled() { ++size_; }

  /// Empties every slot, keeping the capacity (and the pages already brought in).
  void clear() {
    if (capacity_ != 0) std::memset(static_cast<void*>(slots_.get()), 0, capacity_ * sizeof(Slot));
    size_ = 0;
  }

  /// Stores `slot` for a key known to be absent.
  template <class... Context>
  void insert_new(std::uint64_t hash, const Slot& slot, const Context&... context) {
    make_room(context...);
    Slot* slots = slots_.get();
    std::size_t i = hash & mask();
    while (!slots[i].empty()) i = (i + 1) & mask();
    slots[i] = slot;
    filled();
  }

  /// Makes room for `n` entries in all, so that they go in without growing.
  template <class... Context>
  void reserve(std::size_t n, const Context&... context) {
    // A count no table could hold is a shortage of memory, not a reason to loop for ever.
    if (n > (std::size_t{1} << 60) / sizeof(Slot)) throw std::bad_alloc();
    std::size_t cap = capacity_ == 0 ? first_capacity_ : capacity_;
    while (n * 2 > cap) cap *= 2;
    if (cap != capacity_) grow_to(cap, context...);
  }

  /// A hint that the key with this hash is about to be looked up.
  void prefetch(std::uint64_t hash) const {
    if (capacity_ != 0) prefetch_line(&slots_.get()[hash & mask()]);
  }

  std::size_t size() const { return size_; }
  std::size_t memory_bytes() const { return capacity_ * sizeof(Slot); }
  /// The slot array (`memory_bytes()` long; null before the first allocation), for callers
  /// that decide how its pages are brought in.
  const void* storage() const { return slots_.get(); }

 private:
  struct Free {
    void operator()(Slot* p) const { std::free(p); }
  };

  std::size_t mask() const { return capacity_ - 1; }

  template <class... Context>
  void make_room(const Context&... context) {
    if ((size_ + 1) * 2 > capacity_) grow_to(capacity_ == 0 ? first_capacity_ : capacity_ * 2, context...);
  }

  // Out of line: growing is rare, and keeping it out of the probe loops keeps those small
  // enough to inline into their callers.
  template <class... Context>
  [[gnu::noinline]] void grow_to(std::size_t cap, const Context&... context) {
    std::unique_ptr<Slot[], Free> fresh(static_cast<Slot*>(std::calloc(cap, sizeof(Slot))));
    if (!fresh) throw std::bad_alloc();
    advise_huge_pages(fresh.get(), cap * sizeof(Slot));
    const std::size_t m = cap - 1;
    const Slot* old = slots_.get();
    for (std::size_t k = 0; k < capacity_; ++k) {
      if (old[k].empty()) continue;
      std::size_t i = Keys::hash(old[k], context...) & m;
      while (!fresh[i].empty()) i = (i + 1) & m;
      fresh[i] = old[k];
    }
    slots_ = std::move(fresh);
    capacity_ = cap;
  }

  std::unique_ptr<Slot[], Free> slots_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  std::size_t first_capacity_;
};

}  // namespace vantrel
