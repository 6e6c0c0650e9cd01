#include "egraph/rewrite.hpp"

#include <algorithm>

namespace vantrel::egraph {

Result<Rewrite, std::string> Rewrite::make(std::string_view name, Pattern lhs, Pattern rhs) {
  const GlobalSymbol sym = GlobalSymbol::intern(name);
  const std::vector<Var>& bound = lhs.vars();
  for (Var v : rhs.vars()) {
    if (std::find(bound.begin(), bound.end(), v) == bound.end()) {
      return Err{"Rewrite " + std::string(name) + " refers to unbound var " + std::string(v.symbol.text())};
    }
  }
  return Rewrite{sym, std::make_shared<const Pattern>(std::move(lhs)), std::make_shared<const Pattern>(std::move(rhs))};
}

}  // namespace vantrel::egraph
