#pragma once
/// `UnionFind`: one parent entry per id; an id whose parent is itself is a root.
#include <vector>

#include "common/fault.hpp"
#include "common/page_in.hpp"
#include "common/prefetch.hpp"
#include "egraph/id.hpp"

namespace vantrel::egraph {

class UnionFind {
 public:
  /// Appends a new singleton set and returns its id.
  Id make_set() {
    const auto id = static_cast<Id>(parents_.size());
    if (parents_.size() >= kNoId) throw InternalFault("e-graph id space exhausted");
    parents_.push_back(id);
    return id;
  }

  std::size_t size() const { return parents_.size(); }
  void reserve(std::size_t n) { reserve_paged(parents_, n); }
  void set_parent(Id id, Id parent) { parents_[checked(id)] = parent; }

  /// A hint that `find(id)` follows soon: starts fetching its entry.
  void prefetch(Id id) const {
    if (id < parents_.size()) prefetch_line(&parents_[id]);
  }

  /// The root of `id`, without changing anything.
  Id find(Id id) const {
    checked(id);
    while (parents_[id] != id) id = parents_[id];
    return id;
  }

  /// The root of `id`; every entry visited on the way is pointed at its grandparent (path
  /// halving), which keeps later walks short.
  Id find_compress(Id id) {
    checked(id);
    while (parents_[id] != id) {
      const Id grand = parents_[parents_[id]];
      parents_[id] = grand;
      id = grand;
    }
    return id;
  }

 private:
  Id checked(Id id) const {
    if (id >= parents_.size()) throw InternalFault("e-class id out of range");
    return id;
  }

  std::vector<Id> parents_;
};

}  // namespace vantrel::egraph
