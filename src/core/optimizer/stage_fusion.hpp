#pragma once
/// Stage fusion: the last pass of a reduction. It partitions a canonical engine graph into
/// groups of op nodes, emits each group as one `Stage` node whose members run in position
/// order, and re-creates every other node (sources, reductions, externals, exchanges, stages
/// that were already there) from the token table with renumbered inputs.
///
/// Two grouping rules:
/// - single-use (default): an op joins the group of its consumer when that consumer is an op
///   and is its one and only use;
/// - maximal: an op with several uses also joins when all its consumers are ops in one group.
/// Under both, an output never joins its consumer, so only the last member of a group is ever
/// used from outside it or listed as an output.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/rewrite_engine.hpp"
#include "ir/node_key.hpp"
#include "optimizer/flat_graph.hpp"
#include "optimizer/token_table.hpp"

namespace vantrel {

/// Where a node's value is computed in a fused graph: a whole node (`member` is kNoId), or
/// one member of a stage. `node` is kNoId for a node whose value no output needs.
struct Origin {
  NodeId node = kNoId;
  std::uint32_t member = kNoId;

  bool operator==(const Origin&) const = default;
};

struct FusionResult {
  /// Topological: every input is an earlier position. Each distinct head once: a boundary
  /// node's head is its token-table head, a stage's head is its member list (a `Stage`
  /// without inputs), shared by every stage with an equal list.
  FlatGraph graph;
  NodeIds outputs;  ///< one per input output, same order, repeats kept
  std::uint64_t stages = 0;
  std::uint64_t boundary_nodes = 0;
  std::uint64_t reduced_nodes = 0;

  /// The nodes as keys, each a copy.
  std::vector<NodeKey> keys() const { return graph.keys(); }
};

/// Groups are emitted in order of their largest member, which is a topological order. A stage's inputs are the emitted
/// positions of the other groups it reads, each once, in order of first use; a member's arguments are `Input(k)` for
/// the stage's k-th input and `Member(j)` for the result of its j-th (earlier) member. A node is opaque exactly when
/// its label is not an "op|" token. Label ids below `tokens.size()` are the table's; the ones after it name
/// `added_labels` in order. An opaque node whose label is not in `tokens` is a broken engine contract (InternalFault).
/// `origins`, when given, receives one `Origin` per node of `nodes`: the emitted stage and the
/// node's member index in it, or the emitted position of an opaque node.
FusionResult stage_fusion(const LabelledNodes& nodes, std::span<const std::string> added_labels, const NodeIds& outputs,
                          bool maximal_fusion, const TokenTable& tokens, std::vector<Origin>* origins = nullptr);

/// The same over spelled-out nodes, whose `opaque` flags must agree with their labels (a
/// disagreement is an InternalFault).
FusionResult stage_fusion(const std::vector<EngineNode>& nodes, const NodeIds& outputs, bool maximal_fusion,
                          const TokenTable& tokens);

}  // namespace vantrel
