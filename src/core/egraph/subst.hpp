#pragma once
/// `Var` and `Subst`: pattern variables and their bindings to e-class ids.
#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "egraph/id.hpp"
#include "egraph/symbol.hpp"

namespace vantrel::egraph {

/// A pattern variable, named by its full text including the leading "?".
struct Var {
  GlobalSymbol symbol;
  friend constexpr auto operator<=>(const Var&, const Var&) = default;
};

/// Bindings in the order they were made. The first three live inline, so the substitutions
/// of the usual rules (one or two variables) never allocate.
class Subst {
 public:
  static constexpr std::size_t kInline = 3;
  using Binding = std::pair<Var, Id>;

  std::size_t size() const { return size_; }
  const Binding& operator[](std::size_t i) const { return i < kInline ? inline_[i] : spill_[i - kInline]; }

  std::optional<Id> get(Var v) const {
    for (std::size_t i = 0; i < size_; ++i) {
      const Binding& b = (*this)[i];
      if (b.first == v) return b.second;
    }
    return std::nullopt;
  }

  /// Replaces the id of `v` if it is bound, otherwise appends the binding.
  void insert(Var v, Id id) {
    for (std::size_t i = 0; i < size_; ++i) {
      Binding& b = i < kInline ? inline_[i] : spill_[i - kInline];
      if (b.first == v) {
        b.second = id;
        return;
      }
    }
    if (size_ < kInline) {
      inline_[size_] = {v, id};
    } else {
      spill_.emplace_back(v, id);
    }
    ++size_;
  }

  /// True when the bindings were spilled to the heap (more than three).
  bool spilled() const { return size_ > kInline; }

  friend bool operator==(const Subst& a, const Subst& b) {
    if (a.size_ != b.size_) return false;
    for (std::size_t i = 0; i < a.size_; ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }

 private:
  std::array<Binding, kInline> inline_{};
  std::size_t size_ = 0;
  std::vector<Binding> spill_;
};

}  // namespace vantrel::egraph
