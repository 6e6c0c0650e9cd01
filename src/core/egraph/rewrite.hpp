#pragma once
/// `Rewrite`: a named rule stating that every match of `lhs` equals the matching instance of
/// `rhs`.
#include <memory>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "egraph/pattern.hpp"

namespace vantrel::egraph {

struct Rewrite {
  GlobalSymbol name;
  std::shared_ptr<const Pattern> lhs;  ///< the searcher
  std::shared_ptr<const Pattern> rhs;  ///< the applier

  /// Fails with "Rewrite <name> refers to unbound var <var>" when `rhs` uses a variable that
  /// `lhs` does not bind (the first such variable in `rhs` order).
  static Result<Rewrite, std::string> make(std::string_view name, Pattern lhs, Pattern rhs);

  std::vector<SearchMatches> search_with_limit(const EGraph& egraph, std::size_t limit) const {
    return lhs->search_with_limit(egraph, limit);
  }
  std::vector<Id> apply_matches(EGraph& egraph, const std::vector<SearchMatches>& matches) const {
    return rhs->apply_matches(egraph, matches, name);
  }
};

}  // namespace vantrel::egraph
