#include "engine/rewrite_engine.hpp"

#include <string_view>
#include <unordered_map>

#include "common/fault.hpp"

namespace vantrel {

bool engine_graph_well_formed(const EngineGraph& graph) {
  const std::uint64_t n = graph.nodes.size();
  for (std::uint64_t i = 0; i < n; ++i) {
    for (std::uint64_t in : graph.nodes[i].inputs) {
      if (in >= i) return false;
    }
  }
  for (std::uint64_t o : graph.outputs) {
    if (o >= n) return false;
  }
  return true;
}

bool label_graph_well_formed(const LabelledNodes& nodes, std::span<const NodeId> outputs) {
  const std::uint64_t n = nodes.size();
  if (nodes.input_begin.size() != n + 1 || nodes.input_begin.back() != nodes.input_pool.size()) return false;
  for (std::uint64_t i = 0; i < n; ++i) {
    if (nodes.input_begin[i] > nodes.input_begin[i + 1]) return false;
    for (std::uint64_t in : nodes.inputs(i)) {
      if (in >= i) return false;
    }
  }
  for (std::uint64_t o : outputs) {
    if (o >= n) return false;
  }
  return true;
}

void check_engine_result(const EngineGraph& result, std::size_t n_outputs) {
  auto broken = [](const std::string& what) { throw InternalFault("rewrite engine broke its contract: " + what); };
  const std::uint64_t m = result.nodes.size();
  for (std::uint64_t i = 0; i < m; ++i) {
    const EngineNode& node = result.nodes[i];
    for (std::uint64_t x : node.inputs) {
      if (x >= i) broken("node " + std::to_string(i) + " reads position " + std::to_string(x));
    }
    if (node.opaque == is_op_token(node.op))
      broken("the opaque flag of node " + std::to_string(i) + " disagrees with its label");
  }
  if (result.outputs.size() != n_outputs) broken("the output list changed length");
  for (std::uint64_t o : result.outputs) {
    if (o >= m) broken("output position " + std::to_string(o) + " is out of range");
  }
}

EngineGraph to_engine_graph(const LabelGraph& graph) {
  EngineGraph out;
  const std::uint64_t n = graph.nodes.size();
  out.nodes.reserve(n);
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::string& text = graph.labels[graph.nodes.label[i]];
    auto in = graph.nodes.inputs(i);
    out.nodes.push_back(EngineNode{text, NodeIds(in.begin(), in.end()), !is_op_token(text)});
  }
  out.outputs = graph.outputs;
  return out;
}

LabelGraph to_label_graph(const EngineGraph& graph, std::vector<std::string>& labels) {
  labels.clear();
  std::unordered_map<std::string_view, std::uint32_t> ids;
  LabelGraph out;
  std::uint64_t pool = 0;
  for (const EngineNode& node : graph.nodes) pool += node.inputs.size();
  out.nodes.reserve(graph.nodes.size(), pool);
  // First pass numbers the texts; the views point into the graph, which stays put.
  std::vector<std::uint32_t> label_of;
  label_of.reserve(graph.nodes.size());
  for (const EngineNode& node : graph.nodes) {
    auto [it, fresh] = ids.try_emplace(node.op, static_cast<std::uint32_t>(labels.size()));
    if (fresh) labels.push_back(node.op);
    label_of.push_back(it->second);
  }
  for (std::uint64_t i = 0; i < graph.nodes.size(); ++i) out.nodes.push(label_of[i], graph.nodes[i].inputs);
  out.outputs = graph.outputs;
  out.labels = labels;
  return out;
}

LabelResult RewriteEngine::canonicalize_labels(const LabelGraph& graph) const {
  const EngineGraph result = canonicalize(to_engine_graph(graph));
  check_engine_result(result, graph.outputs.size());

  LabelResult out;
  std::unordered_map<std::string_view, std::uint32_t> ids;
  ids.reserve(graph.labels.size());
  for (std::uint32_t k = 0; k < graph.labels.size(); ++k) ids.emplace(graph.labels[k], k);
  std::uint64_t pool = 0;
  for (const EngineNode& node : result.nodes) pool += node.inputs.size();
  out.nodes.reserve(result.nodes.size(), pool);
  for (const EngineNode& node : result.nodes) {
    auto it = ids.find(node.op);
    std::uint32_t id;
    if (it != ids.end()) {
      id = it->second;
    } else {
      id = static_cast<std::uint32_t>(graph.labels.size() + out.added_labels.size());
      out.added_labels.push_back(node.op);
      ids.emplace(node.op, id);  // a view into `result`, which outlives the map
    }
    out.nodes.push(id, node.inputs);
  }
  out.outputs = result.outputs;
  return out;
}

}  // namespace vantrel
