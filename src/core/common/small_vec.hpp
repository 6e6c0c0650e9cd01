#pragma once
/// `SmallVec<T, N>`: the one vector with inline storage. It keeps up to N elements inside the
/// object and moves to one heap block past that. Most e-nodes have at most two children, most
/// e-classes hold one e-node and have one or two users, and most substitutions bind one or two
/// variables, so their lists live inline and a graph of a million classes costs no per-class
/// allocation (nor a million frees when it is dropped).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "common/fault.hpp"

namespace vantrel {

template <class T, std::uint32_t N>
class SmallVec {
  static_assert(N > 0);
  static_assert(std::is_nothrow_move_constructible_v<T>);

 public:
  SmallVec() = default;
  SmallVec(std::initializer_list<T> items) { append(items.begin(), items.end()); }
  explicit SmallVec(std::span<const T> items) { append(items.begin(), items.end()); }
  SmallVec(const SmallVec& o) {
    if constexpr (std::is_trivially_copyable_v<T>) {
      if (o.cap_ == N) {  // inline: one fixed-size copy
        std::memcpy(&u_, &o.u_, sizeof(u_));
        size_ = o.size_;
        return;
      }
    }
    append(o.begin(), o.end());
  }
  SmallVec(SmallVec&& o) noexcept { steal(o); }
  SmallVec& operator=(const SmallVec& o) {
    if (this != &o) {
      clear();
      append(o.begin(), o.end());
    }
    return *this;
  }
  SmallVec& operator=(SmallVec&& o) noexcept {
    if (this != &o) {
      release();
      steal(o);
    }
    return *this;
  }
  ~SmallVec() { release(); }

  std::uint32_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T* data() { return cap_ > N ? u_.heap : inl(); }
  const T* data() const { return cap_ > N ? u_.heap : inl(); }
  T* begin() { return data(); }
  T* end() { return data() + size_; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }
  T& operator[](std::size_t i) { return data()[i]; }
  const T& operator[](std::size_t i) const { return data()[i]; }
  T& back() { return data()[size_ - 1]; }

  void push_back(const T& v) { emplace_back(v); }
  void push_back(T&& v) { emplace_back(std::move(v)); }
  template <class... A>
  T& emplace_back(A&&... args) {
    if (size_ == cap_) {
      // construct first: `args` may refer into this vector
      T tmp(std::forward<A>(args)...);
      grow(cap_ * 2);
      return *::new (data() + size_++) T(std::move(tmp));
    }
    return *::new (data() + size_++) T(std::forward<A>(args)...);
  }

  template <class It>
  void append(It first, It last) {
    const auto n = static_cast<std::size_t>(std::distance(first, last));
    reserve(size_ + n);
    T* p = data() + size_;
    for (; first != last; ++first, ++p) ::new (p) T(*first);
    size_ += static_cast<std::uint32_t>(n);
  }
  /// Moves every element of `o` to the end of this list; `o` is left empty.
  void append_moved(SmallVec& o) {
    reserve(std::size_t{size_} + o.size_);
    T* p = data() + size_;
    for (T& v : o) ::new (p++) T(std::move(v));
    size_ += o.size_;
    o.release();
  }

  void reserve(std::size_t n) {
    if (n <= cap_) return;
    if (n > 0xffffffffu) throw InternalFault("e-graph list too long");
    grow(static_cast<std::uint32_t>(std::max<std::size_t>(n, std::size_t{cap_} * 2)));
  }

  /// Drops the elements from `first` on (as `erase(first, end())`).
  void truncate(T* first) {
    const auto keep = static_cast<std::uint32_t>(first - data());
    std::destroy(first, end());
    size_ = keep;
  }
  void clear() { truncate(data()); }

  void swap(SmallVec& o) noexcept {
    SmallVec tmp(std::move(o));
    o = std::move(*this);
    *this = std::move(tmp);
  }

  friend bool operator==(const SmallVec& a, const SmallVec& b) {
    return a.size_ == b.size_ && std::equal(a.begin(), a.end(), b.begin());
  }
  /// Lexicographic, a shorter prefix first.
  friend bool operator<(const SmallVec& a, const SmallVec& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  T* inl() { return std::launder(reinterpret_cast<T*>(u_.buf)); }
  const T* inl() const { return std::launder(reinterpret_cast<const T*>(u_.buf)); }

  void grow(std::uint32_t cap) {
    T* block = std::allocator<T>().allocate(cap);
    T* old = data();
    std::uninitialized_move(old, old + size_, block);
    std::destroy(old, old + size_);
    if (cap_ > N) std::allocator<T>().deallocate(old, cap_);
    u_.heap = block;
    cap_ = cap;
  }

  // Takes `o`'s elements (its block, or a move of its inline ones); `o` ends empty.
  void steal(SmallVec& o) noexcept {
    if (o.cap_ > N) {
      std::memcpy(&u_, &o.u_, sizeof(u_));
      cap_ = o.cap_;
      size_ = o.size_;
      o.cap_ = N;
      o.size_ = 0;
      return;
    }
    if constexpr (std::is_trivially_copyable_v<T>) {
      std::memcpy(&u_, &o.u_, sizeof(u_));  // a fixed-size copy inlines; a sized move is a call
    } else {
      std::uninitialized_move(o.inl(), o.inl() + o.size_, inl());
    }
    size_ = o.size_;
    cap_ = N;
    o.release();
  }

  void release() noexcept {
    std::destroy(data(), data() + size_);
    if (cap_ > N) std::allocator<T>().deallocate(u_.heap, cap_);
    size_ = 0;
    cap_ = N;
  }

  std::uint32_t size_ = 0;
  std::uint32_t cap_ = N;
  // Left uninitialised: slots past size_ are never read as elements, only copied as bytes
  // (memcpy of the whole buffer), and zero-filling N slots on every construction would cost
  // more than the short lists it holds (a params list of 8 views is ~500 bytes per call).
  union U {
    alignas(T) unsigned char buf[sizeof(T) * N];
    T* heap;
  } u_;
};

}  // namespace vantrel
