#pragma once
/// The narrow interface between the optimizer and a rewrite engine: a flat graph whose nodes
/// are labelled by their canonical tokens, and one operation that collapses provably equal
/// nodes.
///
/// It comes in two forms. `EngineGraph` spells every node out (its label text and its own
/// input list), which is easy to write and read in tests and small tools. `LabelGraph` is what
/// the optimizer hands over: labels once in a shared table, per node a label id, and all
/// inputs in one pool, so a graph of a million nodes costs a few flat arrays instead of a
/// string and a list per node. An engine implements `canonicalize`; it may also implement
/// `canonicalize_labels`, whose default goes through `canonicalize`.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/node_id.hpp"
#include "engine/rule_set.hpp"

namespace vantrel {

struct EngineNode {
  std::string op;       ///< the node's canonical token
  NodeIds inputs;       ///< positions of earlier nodes, order significant
  bool opaque = false;  ///< false exactly for `Op` nodes

  bool operator==(const EngineNode&) const = default;
};

struct EngineGraph {
  std::vector<EngineNode> nodes;  ///< inputs before their users
  NodeIds outputs;                ///< positions, repeats allowed

  bool operator==(const EngineGraph&) const = default;
};

/// True when `op` names an op node ("op|" prefix); this is how a canonicalized graph's
/// `opaque` flag is recomputed.
inline bool is_op_token(std::string_view op) { return op.size() >= 3 && op.compare(0, 3, "op|") == 0; }

/// Nodes in compact form: per node a label id and a run of inputs in one shared pool. The
/// runs are kept by hand, not as a Ragged, because common-subexpression elimination compacts
/// them in place, moving each kept run down over the dropped ones.
struct LabelledNodes {
  std::vector<std::uint32_t> label;           ///< per node
  std::vector<std::uint64_t> input_begin{0};  ///< per node + 1, offsets into input_pool
  NodeIds input_pool;

  std::uint64_t size() const { return label.size(); }
  std::span<const NodeId> inputs(std::uint64_t i) const {
    return {input_pool.data() + input_begin[i], input_begin[i + 1] - input_begin[i]};
  }
  std::span<NodeId> inputs(std::uint64_t i) {
    return {input_pool.data() + input_begin[i], input_begin[i + 1] - input_begin[i]};
  }
  void reserve(std::uint64_t nodes, std::uint64_t inputs) {
    label.reserve(nodes);
    input_begin.reserve(nodes + 1);
    input_pool.reserve(inputs);
  }
  void push(std::uint32_t label_id, std::span<const NodeId> ins) {
    label.push_back(label_id);
    input_pool.insert(input_pool.end(), ins.begin(), ins.end());
    input_begin.push_back(input_pool.size());
  }

  bool operator==(const LabelledNodes&) const = default;
};

/// An engine graph in compact form. `labels` maps a label id to its text; the table belongs to
/// the caller and outlives the call. Distinct ids have distinct texts.
struct LabelGraph {
  std::span<const std::string> labels;
  LabelledNodes nodes;  ///< inputs before their users
  NodeIds outputs;      ///< positions, repeats allowed
  /// Set by a caller whose nodes come from a hash-consed store, where no two nodes have the
  /// same label and inputs. Only a hint of how to load the graph: an engine gives the same
  /// result whether it is set or not, and whether or not it is true.
  bool likely_distinct = false;
  /// Set by a caller that wants to know where each node went (`LabelResult::positions`).
  bool with_positions = false;
};

/// What `canonicalize_labels` returns. Label ids below the input's label count name the
/// input's labels; an engine that hands back a text the input did not have lists it in
/// `added_labels`, under the ids that follow.
struct LabelResult {
  LabelledNodes nodes;
  NodeIds outputs;
  std::vector<std::string> added_labels;
  /// When the graph asked `with_positions` and the engine reports them: per input node, the
  /// result position that stands for its class, or kNoId when the result left the class out
  /// (no output reaches it). Empty otherwise.
  NodeIds positions{};

  bool operator==(const LabelResult&) const = default;
};

class RewriteEngine {
 public:
  virtual ~RewriteEngine() = default;
  /// Returns a new graph in which every group of nodes the engine proves equal is collapsed
  /// onto one member. The result carries only op texts of input nodes, inputs point to earlier
  /// nodes, outputs keep the input's length and order, and `opaque` is false exactly for
  /// "op|" tokens.
  virtual EngineGraph canonicalize(const EngineGraph& graph) const = 0;

  /// The same operation on the compact form; `opaque` is implied by each label. The default
  /// spells the graph out, calls `canonicalize`, checks the result's contract (a broken one
  /// is an InternalFault) and turns it back into label ids.
  virtual LabelResult canonicalize_labels(const LabelGraph& graph) const;

  /// The rules this engine proves equality by, when it runs a rule set and nothing else
  /// (besides merging equal nodes); null otherwise. Only what an engine declares here lets a
  /// caller reason about what it would merge.
  virtual const RuleSet* rule_set() const { return nullptr; }
};

/// Checks the preconditions of `canonicalize` without reading out of bounds: every input is a
/// position before its node and every output is a position in the node list.
bool engine_graph_well_formed(const EngineGraph& graph);
/// The same for the compact form (label ids are not checked).
bool label_graph_well_formed(const LabelledNodes& nodes, std::span<const NodeId> outputs);

/// Throws the InternalFault "rewrite engine broke its contract: ..." when `result` reads a
/// position that is not before its node, has an `opaque` flag that disagrees with its label,
/// or does not have `n_outputs` outputs all in range.
void check_engine_result(const EngineGraph& result, std::size_t n_outputs);

/// The compact form spelled out, and back. `to_label_graph` numbers the distinct texts in
/// order of first use; the returned table backs the graph's `labels`.
EngineGraph to_engine_graph(const LabelGraph& graph);
LabelGraph to_label_graph(const EngineGraph& graph, std::vector<std::string>& labels);

}  // namespace vantrel
