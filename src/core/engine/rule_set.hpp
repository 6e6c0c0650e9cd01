#pragma once
/// The rules a rewrite engine proves nodes equal by, as data. A rule is a name and two
/// pattern texts (s-expressions over node tokens, `?name` a variable): every match of `lhs`
/// equals the matching instance of `rhs`. An engine receives a `RuleSet` and knows no rules of
/// its own; the incremental reducer reads from the same value which rules it may apply as it
/// folds (see `fold_shape`).
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

struct PatternRule {
  std::string name;
  std::string lhs;  ///< the searcher
  std::string rhs;  ///< the applier: variables of `lhs` only

  bool operator==(const PatternRule&) const = default;
};

/// An ordered, immutable list of rules. Copies share the list, so handing a rule set to an
/// engine and to a reducer costs a reference count, and two copies compare equal at once.
class RuleSet {
 public:
  RuleSet() : rules_(std::make_shared<const std::vector<PatternRule>>()) {}
  explicit RuleSet(std::vector<PatternRule> rules)
      : rules_(std::make_shared<const std::vector<PatternRule>>(std::move(rules))) {}

  const std::vector<PatternRule>& rules() const { return *rules_; }
  std::size_t size() const { return rules_->size(); }
  auto begin() const { return rules_->begin(); }
  auto end() const { return rules_->end(); }

  friend bool operator==(const RuleSet& a, const RuleSet& b) { return a.rules_ == b.rules_ || *a.rules_ == *b.rules_; }

 private:
  std::shared_ptr<const std::vector<PatternRule>> rules_;
};

/// The system's rules, built once: commutativity of eight two-input ops without parameters
/// ("commute-add", ... on "(op|add ?a ?b)") and the scalar identities x + 0 and x * 1 with
/// the scalar on either side ("identity-0" to "identity-3" on the exact op token).
const RuleSet& default_rule_set();

/// The shapes of rule the incremental reducer applies while it folds.
enum class FoldShape {
  kSwap,      ///< "(T ?a ?b)" to "(T ?b ?a)": the two operand orders of T are one node
  kIdentity,  ///< "(T ?x)" to "?x": a one-input T stands for its input
  kNone,      ///< anything else: only the engine applies it
};

struct RuleFold {
  FoldShape shape = FoldShape::kNone;
  std::string_view token;  ///< T, a view into the rule's `lhs`; empty for kNone
};

/// Which fold a rule amounts to. Only the exact spellings above count (single spaces, two
/// distinct variables, a plain atom T that is not a variable): any other text, even one the
/// engine reads as the same rule, is kNone, which never lets a reducer skip the engine.
RuleFold fold_shape(const PatternRule& rule);
RuleFold fold_shape(PatternRule&& rule) = delete;  // the result would view a dead rule's text

}  // namespace vantrel
