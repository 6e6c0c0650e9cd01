#pragma once
/// `Var` and `Subst`: pattern variables and their bindings to e-class ids.
#include <compare>
#include <cstdint>
#include <optional>
#include <utility>

#include "common/small_vec.hpp"
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
  static constexpr std::uint32_t kInline = 3;
  using Binding = std::pair<Var, Id>;

  std::size_t size() const { return bindings_.size(); }
  const Binding& operator[](std::size_t i) const { return bindings_[i]; }

  std::optional<Id> get(Var v) const {
    for (const Binding& b : bindings_) {
      if (b.first == v) return b.second;
    }
    return std::nullopt;
  }

  /// Replaces the id of `v` if it is bound, otherwise appends the binding.
  void insert(Var v, Id id) {
    for (Binding& b : bindings_) {
      if (b.first == v) {
        b.second = id;
        return;
      }
    }
    bindings_.emplace_back(v, id);
  }

  /// True when the bindings were spilled to the heap (more than three).
  bool spilled() const { return bindings_.size() > kInline; }

  friend bool operator==(const Subst& a, const Subst& b) { return a.bindings_ == b.bindings_; }

 private:
  SmallVec<Binding, kInline> bindings_;
};

}  // namespace vantrel::egraph
