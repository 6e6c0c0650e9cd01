#include "optimizer/engine.hpp"

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

}  // namespace vantrel
