#pragma once
/// `EngineConfig`: every setting of an engine run in one value. The defaults are the system's
/// engine; a caller that wants other bounds passes its own value, and the run reads nothing
/// else.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vantrel::egraph {

struct EngineConfig {
  using Duration = std::chrono::steady_clock::duration;

  /// The most saturation iterations a run makes. The default rules saturate in two or three
  /// (commuting twice gives the starting e-node back, identities only merge classes).
  std::size_t iteration_limit = 12;
  /// The run stops once the e-graph holds more than `node_limit_per_input` × n +
  /// `node_limit_base` e-nodes, n the loaded graph's node count: commutativity at most
  /// doubles the two-input nodes, so the bound is only reached by rules that grow the graph.
  std::size_t node_limit_per_input = 4;
  std::size_t node_limit_base = 1024;
  /// Wall-clock time from the first iteration after which the run stops, keeping the classes
  /// reached; none means no time bound (the other limits still hold).
  std::optional<Duration> time_budget = std::chrono::seconds(5);
  /// Matches of one rule in one iteration above which the rule is banned instead of applied;
  /// each ban doubles the rule's threshold. Keeps an explosive rule from swamping the graph.
  std::size_t match_threshold = 1000;
  /// Iterations a rule's first ban lasts; each further ban of the same rule lasts twice as long.
  std::size_t ban_span = 5;
  /// Classes of at least this many e-nodes find a search's first candidate by binary search,
  /// smaller ones by a scan: below it the scan's sequential reads beat the search's branches.
  /// A compile-time setting, since it sits in the matcher's innermost loop.
  static constexpr std::size_t kBinarySearchFrom = 50;

  /// How classes are read back. kEarliest: every class as its earliest loaded node, all
  /// classes kept. kCost: the classes the outputs reach, each as its cheapest term (see
  /// egraph/cost_extract.hpp), which may be an e-node the rules created.
  enum class Extraction : std::uint8_t { kEarliest, kCost };
  Extraction extraction = Extraction::kEarliest;
  /// For kEarliest: whether a class stays in the result when no output reaches it any more
  /// (its users merged into classes whose earliest members read other classes). The system's
  /// engine keeps them, so its results stay what they have always been; an engine built for
  /// given rules or limits drops them, as kCost does, so that merging never adds work.
  bool keep_unreached = true;
  /// For kCost: the cost of one op node by its escaped name (as in its token), sorted by
  /// name. Every other node costs 1.
  std::vector<std::pair<std::string, std::uint64_t>> op_costs;

  /// The e-node limit for a loaded graph of `n` nodes.
  std::size_t node_limit(std::size_t n) const { return node_limit_per_input * n + node_limit_base; }
};

}  // namespace vantrel::egraph
