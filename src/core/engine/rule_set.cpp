#include "engine/rule_set.hpp"

#include <array>

namespace vantrel {
namespace {

// A plain atom as every pattern reader takes it whole: no white space, parenthesis or quote.
bool plain_atom(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == '(' || c == ')' || c == '"')
      return false;
  }
  return true;
}

bool is_var(std::string_view s) { return s.size() >= 2 && s[0] == '?' && plain_atom(s); }
bool is_token(std::string_view s) { return plain_atom(s) && s[0] != '?'; }

/// The atoms of "(a b ...)" written with single spaces, or none if `text` is not so written.
std::vector<std::string_view> list_atoms(std::string_view text) {
  std::vector<std::string_view> atoms;
  if (text.size() < 3 || text.front() != '(' || text.back() != ')') return atoms;
  std::string_view rest = text.substr(1, text.size() - 2);
  for (;;) {
    const std::size_t space = rest.find(' ');
    atoms.push_back(rest.substr(0, space));
    if (!plain_atom(atoms.back())) return {};
    if (space == std::string_view::npos) return atoms;
    rest.remove_prefix(space + 1);
  }
}

}  // namespace

const RuleSet& default_rule_set() {
  static const RuleSet* const rules = [] {
    constexpr std::array<std::string_view, 8> commutative = {"add", "mul", "and",     "or",
                                                             "eq",  "ne",  "maximum", "minimum"};
    // Only these exact tokens are identities: a negative zero, an integer scalar or any
    // extra parameter makes a different token.
    constexpr std::array<std::string_view, 4> identities = {
        "op|add|scalar=f0000000000000000;side=sr",
        "op|add|scalar=f0000000000000000;side=sl",
        "op|mul|scalar=f3ff0000000000000;side=sr",
        "op|mul|scalar=f3ff0000000000000;side=sl",
    };
    std::vector<PatternRule> list;
    for (std::string_view op : commutative) {
      const std::string token = "op|" + std::string(op);
      list.push_back({"commute-" + std::string(op), "(" + token + " ?a ?b)", "(" + token + " ?b ?a)"});
    }
    for (std::size_t k = 0; k < identities.size(); ++k)
      list.push_back({"identity-" + std::to_string(k), "(" + std::string(identities[k]) + " ?x)", "?x"});
    return new RuleSet(std::move(list));
  }();
  return *rules;
}

RuleFold fold_shape(const PatternRule& rule) {
  const std::vector<std::string_view> lhs = list_atoms(rule.lhs);
  if (lhs.size() == 2 && is_token(lhs[0]) && is_var(lhs[1]) && rule.rhs == lhs[1])
    return {FoldShape::kIdentity, lhs[0]};
  if (lhs.size() == 3 && is_token(lhs[0]) && is_var(lhs[1]) && is_var(lhs[2]) && lhs[1] != lhs[2]) {
    const std::vector<std::string_view> rhs = list_atoms(rule.rhs);
    if (rhs.size() == 3 && rhs[0] == lhs[0] && rhs[1] == lhs[2] && rhs[2] == lhs[1]) return {FoldShape::kSwap, lhs[0]};
  }
  return {};
}

}  // namespace vantrel
