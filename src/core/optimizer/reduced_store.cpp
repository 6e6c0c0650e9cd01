#include "optimizer/reduced_store.hpp"

#include <chrono>

#include "common/fault.hpp"
#include "optimizer/flat_graph.hpp"

namespace vantrel {

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

ReducedStore reduce_and_build(const FlatGraph& graph, std::span<const NodeId> outputs, const RewriteEngine& engine,
                              bool maximal_fusion, PassTimings* timings) {
  Reduced reduced = reduce_flat(graph, outputs, engine, maximal_fusion, timings);
  const auto start = std::chrono::steady_clock::now();
  ReducedStore out = from_reduced(std::move(reduced));
  if (timings != nullptr) timings->store += seconds_since(start);
  return out;
}

}  // namespace

ReducedStore reduce_with(const GraphStore& store, const RewriteEngine& engine, bool maximal_fusion,
                         PassTimings* timings) {
  const auto start = std::chrono::steady_clock::now();
  FlatSnapshot copy = flat_snapshot(store, 0, /*with_marks=*/true);
  if (timings != nullptr) timings->snapshot += seconds_since(start);
  return reduce_and_build(copy.graph, copy.marked, engine, maximal_fusion, timings);
}

Result<ReducedStore, BadNodeId> reduce_with_outputs(const GraphStore& store, std::span<const NodeId> outputs,
                                                    const RewriteEngine& engine, bool maximal_fusion,
                                                    PassTimings* timings) {
  // A store only grows, so ids that pass against this count are valid in the copy below;
  // checking first refuses a bad list without copying anything.
  const std::uint64_t n = store.node_count();
  for (NodeId o : outputs) {
    if (o >= n) return Err{BadNodeId{o}};
  }
  const auto start = std::chrono::steady_clock::now();
  FlatSnapshot copy = flat_snapshot(store, 0, /*with_marks=*/false);
  if (timings != nullptr) timings->snapshot += seconds_since(start);
  return reduce_and_build(copy.graph, outputs, engine, maximal_fusion, timings);
}

ReducedStore from_reduced(Reduced reduced) {
  ReducedStore out{std::make_unique<GraphStore>(), reduced.report, {}};
  GraphStore& store = *out.store;
  NodeIds ids;
  ids.reserve(reduced.nodes.size());
  // A position not yet in the id list stays as it is: it is at least the new store's node
  // count, so the store refuses it and the fault names it.
  auto id_of = [&](NodeId p) { return p < ids.size() ? ids[p] : p; };
  for (NodeKey& key : reduced.nodes) {
    // Positions and ids agree as long as every node got a fresh id, which is the rule; only
    // then can the key be handed over as it is.
    bool same = true;
    for (NodeId x : key.inputs()) same = same && x < ids.size() && ids[x] == x;
    auto renumbered = [&] {
      NodeIds inputs = key.take_inputs();
      for (NodeId& x : inputs) x = id_of(x);
      return key.with_inputs(std::move(inputs));
    };
    auto id = same ? store.intern(std::move(key)) : store.intern(renumbered());
    if (!id) throw InternalFault("reduced graph references only earlier nodes: " + id.error().debug());
    ids.push_back(id.value());
  }
  out.output_ids.reserve(reduced.outputs.size());
  for (NodeId p : reduced.outputs) {
    auto marked = store.mark_output(id_of(p));
    if (!marked) throw InternalFault("reduced output is valid: " + marked.error().debug());
    out.output_ids.push_back(id_of(p));
  }
  return out;
}

}  // namespace vantrel
