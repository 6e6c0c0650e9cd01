#pragma once
/// `UserList`: the ids of the e-nodes that have a class among their children. Up to two live
/// inline; past that the list moves to a block of its e-graph's `BlockPool`, which every
/// growing call is handed. The list never frees a block by itself: one it outgrows goes back
/// to the pool, and the pool frees them all at once, so dropping an e-graph does not walk its
/// lists.
///
/// About nine in ten of the blocks an e-graph's lists take are users lists (a class used by
/// three or more e-nodes); its e-node lists outgrow their room far more rarely and keep
/// `SmallVec`.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include "common/fault.hpp"
#include "egraph/block_pool.hpp"
#include "egraph/id.hpp"

namespace vantrel::egraph {

class UserList {
 public:
  static constexpr std::uint32_t kInline = 2;

  UserList() = default;
  // Two lists never share a block: a list is moved, never copied.
  UserList(const UserList&) = delete;
  UserList& operator=(const UserList&) = delete;
  UserList(UserList&& o) noexcept : size_(o.size_), cap_(o.cap_), u_(o.u_) { o.forget(); }
  UserList& operator=(UserList&& o) = delete;  // would lose this list's block to no pool
  ~UserList() = default;

  std::uint32_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const Id* data() const { return cap_ > kInline ? u_.heap : u_.buf; }
  const Id* begin() const { return data(); }
  const Id* end() const { return data() + size_; }
  Id operator[](std::uint32_t i) const { return data()[i]; }

  void push_back(Id id, BlockPool& pool) {
    if (size_ == cap_) grow(std::uint64_t{cap_} * 2, pool);
    mutable_data()[size_++] = id;
  }

  /// Takes every entry of `other`, which is left empty: the longer list's entries first, then
  /// the shorter one's (this list's first when they are as long), so a merge copies the
  /// smaller half.
  void take_all(UserList& other, BlockPool& pool) {
    if (other.size_ > size_) swap(*this, other);
    if (other.size_ > cap_ - size_) {
      const std::uint64_t need = std::uint64_t{size_} + other.size_;
      if (need > kLongest) throw InternalFault("e-graph list too long");
      grow(std::max(std::bit_ceil(need), std::uint64_t{cap_} * 2), pool);
    }
    std::memcpy(mutable_data() + size_, other.data(), std::size_t{other.size_} * sizeof(Id));
    size_ += other.size_;
    other.release(pool);
  }

  friend bool operator==(const UserList& a, const UserList& b) {
    return a.size_ == b.size_ && std::equal(a.begin(), a.end(), b.begin());
  }

 private:
  static constexpr std::uint32_t kLongest = std::uint32_t{1} << 31;

  friend void swap(UserList& a, UserList& b) noexcept {
    std::swap(a.size_, b.size_);
    std::swap(a.cap_, b.cap_);
    std::swap(a.u_, b.u_);
  }

  Id* mutable_data() { return cap_ > kInline ? u_.heap : u_.buf; }

  // A capacity of 2^k ids is a block of 2^(k+2) bytes; the smallest heap list holds four.
  static unsigned size_class(std::uint32_t cap) { return static_cast<unsigned>(std::bit_width(cap)) + 1; }

  void grow(std::uint64_t wanted, BlockPool& pool) {
    if (wanted > kLongest) throw InternalFault("e-graph list too long");
    const auto cap = static_cast<std::uint32_t>(wanted);
    auto* block = static_cast<Id*>(pool.take(size_class(cap)));
    std::memcpy(block, data(), std::size_t{size_} * sizeof(Id));
    if (cap_ > kInline) pool.give_back(u_.heap, size_class(cap_));
    u_.heap = block;
    cap_ = cap;
  }

  void release(BlockPool& pool) {
    if (cap_ > kInline) pool.give_back(u_.heap, size_class(cap_));
    forget();
  }
  void forget() {
    size_ = 0;
    cap_ = kInline;
  }

  std::uint32_t size_ = 0;
  std::uint32_t cap_ = kInline;
  union U {
    Id buf[kInline];
    Id* heap;
  } u_{};
};

static_assert(sizeof(UserList) == 16, "a users list fills a quarter of an e-class's line");

}  // namespace vantrel::egraph
