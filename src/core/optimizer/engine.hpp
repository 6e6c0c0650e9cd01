#pragma once
/// The narrow interface between the optimizer and a rewrite engine: a flat graph whose nodes
/// are labelled by their canonical tokens, and one operation that collapses provably equal
/// nodes.
#include <cstdint>
#include <string>
#include <vector>

#include "common/node_id.hpp"

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
inline bool is_op_token(const std::string& op) { return op.size() >= 3 && op.compare(0, 3, "op|") == 0; }

class RewriteEngine {
 public:
  virtual ~RewriteEngine() = default;
  /// Returns a new graph in which every group of nodes the engine proves equal is collapsed
  /// onto one member. The result carries only op texts of input nodes, inputs point to earlier
  /// nodes, outputs keep the input's length and order, and `opaque` is false exactly for
  /// "op|" tokens.
  virtual EngineGraph canonicalize(const EngineGraph& graph) const = 0;
};

/// Checks the preconditions of `canonicalize` without reading out of bounds: every input is a
/// position before its node and every output is a position in the node list.
bool engine_graph_well_formed(const EngineGraph& graph);

}  // namespace vantrel
