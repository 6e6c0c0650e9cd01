#pragma once
// Helpers for the optimizer tests: short key builders, and two small rewrite engines that
// stand in for the real one (one that proves nothing, one that merges what it is told).
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/rewrite_engine.hpp"
#include "ir/node_key.hpp"
#include "optimizer/flat_graph.hpp"
#include "store/graph_store.hpp"

namespace vantrel::testing {

inline NodeKey src(std::string name) { return Source{std::move(name), {}}; }
inline NodeKey op(std::string name, NodeIds inputs, ParamMap params = {}) {
  return Op{std::move(name), std::move(params), std::move(inputs)};
}
inline NodeKey red(std::string name, NodeIds inputs) { return Reduction{std::move(name), {}, std::move(inputs)}; }
inline NodeKey exch(NodeIds inputs) { return Exchange{{}, std::move(inputs)}; }
inline NodeKey ext(PayloadDescriptor d, NodeIds inputs) {
  return External{std::make_shared<const PayloadDescriptor>(std::move(d)), {}, std::move(inputs)};
}
inline ParamMap pmap(std::initializer_list<ParamEntry> entries) { return ParamMap::make(entries); }
/// The identity op x + 0 (side "r") or x * 1.
inline NodeKey add_zero(NodeId x, const char* side = "r") {
  return op("add", {x}, pmap({{"scalar", ParamValue::of_float(0.0)}, {"side", ParamValue::of_str(side)}}));
}
inline NodeKey mul_one(NodeId x, const char* side = "r") {
  return op("mul", {x}, pmap({{"scalar", ParamValue::of_float(1.0)}, {"side", ParamValue::of_str(side)}}));
}

inline StageRef in(std::uint64_t k) { return {StageRef::Input, k}; }
inline StageRef mem(std::uint64_t j) { return {StageRef::Member, j}; }
inline StageOp member(std::string op_token, StageArgs args) { return {std::move(op_token), std::move(args)}; }
inline NodeKey stage(NodeIds inputs, std::vector<StageOp> members) {
  return Stage{std::move(inputs), std::move(members)};
}

/// `keys` in compact form as they are, inputs unchecked (unlike `flatten`), so that records
/// the pipeline never emits can be built.
inline FlatGraph as_graph(const std::vector<NodeKey>& keys) {
  FlatGraph g;
  HeadInterner heads(0);
  for (const NodeKey& k : keys) g.push(heads.intern(k, g.heads), k.inputs());
  return g;
}

/// A fresh store holding `nodes` (which must intern to ids 0, 1, 2, ...), marking `marks`.
inline std::unique_ptr<GraphStore> make_store(const std::vector<NodeKey>& nodes, const NodeIds& marks = {}) {
  auto store = std::make_unique<GraphStore>();
  for (const NodeKey& k : nodes) {
    if (!store->intern(k)) throw std::runtime_error("bad test graph");
  }
  for (NodeId m : marks) {
    if (!store->mark_output(m)) throw std::runtime_error("bad test mark");
  }
  return store;
}

/// Proves nothing: returns its input unchanged, and remembers the last graph it saw.
class IdentityEngine final : public RewriteEngine {
 public:
  EngineGraph canonicalize(const EngineGraph& graph) const override {
    last = graph;
    return graph;
  }
  mutable EngineGraph last;
};

/// Merges each position listed as a key onto the earlier position it maps to, then drops the
/// merged nodes and renumbers, as a real engine collapses a class onto its earliest member.
class MergeEngine final : public RewriteEngine {
 public:
  explicit MergeEngine(std::map<std::uint64_t, std::uint64_t> merges) : merges_(std::move(merges)) {}
  EngineGraph canonicalize(const EngineGraph& graph) const override {
    const std::uint64_t n = graph.nodes.size();
    NodeIds pos(n);
    EngineGraph out;
    for (std::uint64_t i = 0; i < n; ++i) {
      auto it = merges_.find(i);
      if (it != merges_.end()) {
        pos[i] = pos[it->second];
        continue;
      }
      EngineNode node = graph.nodes[i];
      for (auto& x : node.inputs) x = pos[x];
      pos[i] = static_cast<NodeId>(out.nodes.size());
      out.nodes.push_back(std::move(node));
    }
    for (auto o : graph.outputs) out.outputs.push_back(pos[o]);
    return out;
  }

 private:
  std::map<std::uint64_t, std::uint64_t> merges_;
};

/// A graph that a test hands to `canonicalize` is returned with a transformation applied.
template <class Fn>
class FnEngine final : public RewriteEngine {
 public:
  explicit FnEngine(Fn fn) : fn_(std::move(fn)) {}
  EngineGraph canonicalize(const EngineGraph& graph) const override { return fn_(graph); }

 private:
  Fn fn_;
};

}  // namespace vantrel::testing
