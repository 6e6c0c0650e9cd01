#pragma once
/// A list of `Id`s that keeps up to two entries inline, so the common e-node (no, one or
/// two children) costs no allocation. Larger lists live on the heap with a power-of-two
/// capacity derived from the size.
///
/// A variant of `SmallVec<Id, 2>` kept on purpose: it needs no capacity field (the size
/// decides inline or heap) and its push, copy and destruction are branch-light. The general
/// template in its place costs 6.7% more instructions on the e-graph rebuild benchmark
/// (callgrind, `bench_egraph rebuild 100000`: 113.4 M against 106.3 M) and 3% on `add`.
///
/// The heap pointer shares the two inline words and is read and written through `memcpy`,
/// so the list is 12 bytes with 4-byte alignment: an e-node (symbol plus list) is 16 bytes
/// rather than 24, and an e-class with its two inline e-nodes fits one 64-byte cache line.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>

#include "egraph/id.hpp"

namespace vantrel::egraph {

class IdList {
 public:
  static constexpr std::uint32_t kInline = 2;

  IdList() = default;
  IdList(std::initializer_list<Id> ids) { assign(ids.begin(), static_cast<std::uint32_t>(ids.size())); }
  explicit IdList(std::span<const Id> ids) { assign(ids.data(), static_cast<std::uint32_t>(ids.size())); }
  IdList(const IdList& o) { assign(o.data(), o.size_); }
  IdList(IdList&& o) noexcept : size_(o.size_) {
    std::memcpy(words_, o.words_, sizeof(words_));
    o.size_ = 0;
  }
  IdList& operator=(const IdList& o) {
    if (this != &o) {
      release();
      assign(o.data(), o.size_);
    }
    return *this;
  }
  IdList& operator=(IdList&& o) noexcept {
    if (this != &o) {
      release();
      size_ = o.size_;
      std::memcpy(words_, o.words_, sizeof(words_));
      o.size_ = 0;
    }
    return *this;
  }
  ~IdList() { release(); }

  std::uint32_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  Id* data() { return size_ > kInline ? heap() : words_; }
  const Id* data() const { return size_ > kInline ? heap() : words_; }
  Id* begin() { return data(); }
  Id* end() { return data() + size_; }
  const Id* begin() const { return data(); }
  const Id* end() const { return data() + size_; }
  Id& operator[](std::uint32_t i) { return data()[i]; }
  Id operator[](std::uint32_t i) const { return data()[i]; }

  void push_back(Id id) {
    if (size_ < kInline) {
      words_[size_++] = id;
      return;
    }
    if (size_ == kInline || std::has_single_bit(size_)) {
      // full: the inline array, or a heap block whose capacity equals the size
      if (size_ == kInline) {
        Id* block = new Id[4];
        block[0] = words_[0];
        block[1] = words_[1];
        set_heap(block);
      } else {
        Id* old = heap();
        Id* block = new Id[std::size_t{size_} * 2];
        std::copy(old, old + size_, block);
        delete[] old;
        set_heap(block);
      }
    }
    heap()[size_++] = id;
  }

  // A plain loop: lists are mostly one or two ids, for which a library compare call (what
  // std::equal becomes) costs more than the compare.
  friend bool operator==(const IdList& a, const IdList& b) {
    if (a.size_ != b.size_) return false;
    const Id* x = a.begin();
    const Id* y = b.begin();
    for (std::uint32_t i = 0; i < a.size_; ++i) {
      if (x[i] != y[i]) return false;
    }
    return true;
  }
  /// Lexicographic, a shorter prefix first.
  friend bool operator<(const IdList& a, const IdList& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  static std::uint32_t capacity_for(std::uint32_t n) { return std::max<std::uint32_t>(4, std::bit_ceil(n)); }

  static_assert(sizeof(Id*) <= sizeof(Id) * kInline);

  Id* heap() const {
    Id* p;
    std::memcpy(&p, words_, sizeof(p));
    return p;
  }
  void set_heap(Id* p) { std::memcpy(words_, &p, sizeof(p)); }

  void assign(const Id* src, std::uint32_t n) {
    size_ = n;
    if (n > kInline) {
      Id* block = new Id[capacity_for(n)];
      std::copy(src, src + n, block);
      set_heap(block);
    } else {
      for (std::uint32_t i = 0; i < n; ++i) words_[i] = src[i];
    }
  }
  void release() {
    if (size_ > kInline) delete[] heap();
    size_ = 0;
  }

  std::uint32_t size_ = 0;
  // Up to two ids inline, or (beyond two) the heap block's address.
  Id words_[kInline] = {};
};

}  // namespace vantrel::egraph
