#pragma once
/// Patterns: the parsed form of a rule side, how it is read from s-expression text, and the
/// search (e-matching) and instantiation it supports.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/result.hpp"
#include "egraph/egraph.hpp"
#include "egraph/sexp.hpp"
#include "egraph/subst.hpp"

namespace vantrel::egraph {

/// One entry of a pattern: an e-node whose children index earlier entries, or a variable.
using ENodeOrVar = std::variant<SymbolLang, Var>;

/// A pattern as a flat list; children point to earlier entries and the last entry is the root.
struct RecExpr {
  std::vector<ENodeOrVar> nodes;
  friend bool operator==(const RecExpr&, const RecExpr&) = default;
};

enum class ParseErrorKind {
  EmptySexp,  ///< empty text or an empty list
  HeadList,   ///< a list whose first element is a list
  BadOp,      ///< an atom could not become an entry (see `FromOpError`)
  BadSexp,    ///< the reader failed (`sexp` has the message and position)
};

enum class FromOpError {
  UnexpectedVar,  ///< a variable with children
};

struct PatternParseError {
  ParseErrorKind kind = ParseErrorKind::EmptySexp;
  FromOpError op_error = FromOpError::UnexpectedVar;  ///< meaningful for BadOp
  std::string text;                                   ///< the offending atom, for BadOp
  SexpError sexp;                                     ///< meaningful for BadSexp
};

/// A text of two or more characters starting with "?" is a variable (no children allowed);
/// anything else is an e-node with the interned text as its symbol.
Result<ENodeOrVar, FromOpError> from_op(std::string_view text, IdList children);

/// Reads pattern text into a `RecExpr` (children before parents, depth first).
Result<RecExpr, PatternParseError> parse_pattern(std::string_view text);

/// Stores repeated entries (in particular repeated variables) once, in order of first
/// occurrence; the root stays last.
RecExpr compact(const RecExpr& expr);

/// The matches found in one class.
struct SearchMatches {
  Id class_id = 0;                   ///< canonical id of the searched class
  std::vector<Subst> substitutions;  ///< at least one
};

class Pattern;

/// Matches laid out flat: the substitutions of `classes[k]` are
/// `substitutions[ends[k - 1] .. ends[k])` (from 0 for k = 0). Reused across searches, it
/// makes no allocation per matched class.
struct FlatMatches {
  std::vector<Id> classes;
  std::vector<std::size_t> ends;
  std::vector<Subst> substitutions;
  /// Per substitution, once `Pattern::mark_present` has filled it (otherwise empty): the
  /// instance the right side would add was already an e-node of the matched class when the
  /// clean e-graph was searched.
  std::vector<std::uint8_t> present;
  /// Set by a scheduler that filled the list with every match of one rule (searched by `lhs`,
  /// marked for `rhs`) in the clean e-graph `egraph` (its identity) at `version`; cleared with
  /// the list.
  struct Complete {
    const Pattern* lhs = nullptr;
    const Pattern* rhs = nullptr;
    std::uint64_t egraph = 0;
    std::uint64_t version = 0;
    bool operator==(const Complete&) const = default;
  } complete;

  void clear() {
    classes.clear();
    ends.clear();
    substitutions.clear();
    present.clear();
    complete = Complete{};
  }
  /// The same matches, one `SearchMatches` per class.
  std::vector<SearchMatches> to_matches() const;
  /// `matches` laid out flat, without presence marks.
  static FlatMatches from(const std::vector<SearchMatches>& matches);
};

/// The matching program of a pattern: the pattern tree unfolded in pre-order, left to right.
/// `Bind` picks an e-node of a register's class and loads its children into registers (a
/// choice point); `Check` binds a variable or requires its earlier binding.
struct Instruction {
  enum class Kind : std::uint8_t { Bind, Check } kind = Kind::Bind;
  std::uint32_t reg = 0;
  GlobalSymbol op;          ///< Bind
  std::uint32_t arity = 0;  ///< Bind
  std::uint32_t out = 0;    ///< Bind: first register of the children
  Var var;                  ///< Check
};

struct Program {
  std::vector<Instruction> instructions;
  std::uint32_t registers = 1;
};

/// A compacted pattern with its compiled program. Immutable once built.
class Pattern {
 public:
  explicit Pattern(const RecExpr& expr);

  const RecExpr& ast() const { return ast_; }
  const Program& program() const { return program_; }
  /// Variables in order of first occurrence, each once.
  const std::vector<Var>& vars() const { return vars_; }

  /// Matches in `egraph` (which must be clean), at most `limit` substitutions in total, in
  /// candidate-class order and, within a class, in sorted e-node order.
  std::vector<SearchMatches> search_with_limit(const EGraph& egraph, std::size_t limit) const;
  /// `search_with_limit` into `out` (cleared first).
  void search_flat(const EGraph& egraph, std::size_t limit, FlatMatches& out) const;
  /// Matches in one class, at most `limit` substitutions.
  std::vector<Subst> search_eclass_with_limit(const EGraph& egraph, Id eclass, std::size_t limit) const;

  /// Adds the instance of this pattern under `subst` and returns its canonical id.
  Id apply_pat(EGraph& egraph, const Subst& subst) const;
  /// Instantiates every substitution and merges it with the matched class. Returns the
  /// instance ids of the substitutions whose merge joined two different classes.
  std::vector<Id> apply_matches(EGraph& egraph, const std::vector<SearchMatches>& matches,
                                GlobalSymbol rule_name) const;
  /// The same over flat matches; appends those instance ids to `merged` (when not null) and
  /// returns their number. A substitution marked present whose ids are all still canonical
  /// is passed over: instantiating it would find that e-node in the hash-cons, which maps it
  /// into the matched class, so the merge would join nothing.
  std::size_t apply_flat(EGraph& egraph, const FlatMatches& matches, std::vector<Id>* merged) const;

  /// Fills `matches.present` for this pattern as a right side, against the clean e-graph the
  /// matches were found in. Only a pattern of one operator over distinct variables can mark
  /// anything (its instance is one e-node); for others every mark is 0.
  void mark_present(const EGraph& egraph, FlatMatches& matches) const;

 private:
  /// The root when the pattern is one operator with at most two children, all variables.
  const SymbolLang* operator_over_vars() const;

  RecExpr ast_;
  Program program_;
  std::vector<Var> vars_;
};

/// Parses `text` into a `Pattern`; for fixed rule texts a failure is an internal fault.
Pattern pattern_from_text(std::string_view text);

/// Position of the first e-node that can match `op` in a sorted class node list: nodes with
/// the same symbol are contiguous, so lists of `EngineConfig::kBinarySearchFrom` or more are
/// binary searched and shorter ones scanned. Both give the same position.
std::size_t first_candidate(std::span<const SymbolLang> sorted, GlobalSymbol op);

}  // namespace vantrel::egraph
