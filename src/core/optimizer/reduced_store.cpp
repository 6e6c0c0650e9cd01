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
                              bool maximal_fusion, PassTimings* timings, bool with_origins = false) {
  Reduced reduced = reduce_flat(graph, outputs, engine, maximal_fusion, timings, with_origins);
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
                                                    PassTimings* timings, bool with_origins) {
  // A store only grows, so ids that pass against this count are valid in the copy below;
  // checking first refuses a bad list without copying anything.
  const std::uint64_t n = store.node_count();
  for (NodeId o : outputs) {
    if (o >= n) return Err{BadNodeId{o}};
  }
  const auto start = std::chrono::steady_clock::now();
  FlatSnapshot copy = flat_snapshot(store, 0, /*with_marks=*/false);
  if (timings != nullptr) timings->snapshot += seconds_since(start);
  return reduce_and_build(copy.graph, outputs, engine, maximal_fusion, timings, with_origins);
}

ReducedStore from_reduced(Reduced reduced) {
  ReducedStore out{std::make_unique<GraphStore>(), reduced.report, {}};
  GraphStore& store = *out.store;
  FlatGraph& g = reduced.graph;
  // One batch: each distinct head is looked up once (and moved into the store), then only
  // the nodes. Inputs are positions in the record, which the store maps through the ids the
  // earlier nodes got, so a repeated key (not something the pipeline emits) is renumbered.
  NodeIds ids;
  ids.reserve(g.size());
  auto added = store.intern_graph(g.heads, g.head_of, g.input_lists.pool(), g.input_lists.offsets(), ids);
  if (!added) throw InternalFault("reduced graph references only earlier nodes: " + added.error().debug());
  // A position with no id stays as it is: it is at least the store's node count, so the
  // store refuses it and the fault names it.
  auto id_of = [&](NodeId p) { return p < ids.size() ? ids[p] : p; };
  out.output_ids.reserve(reduced.outputs.size());
  for (NodeId p : reduced.outputs) out.output_ids.push_back(id_of(p));
  auto marked = store.mark_outputs(out.output_ids);
  if (!marked) throw InternalFault("reduced output is valid: " + marked.error().debug());
  out.origins = std::move(reduced.origins);
  for (Origin& o : out.origins) {
    if (o.node == kNoId) continue;
    if (o.node >= ids.size()) throw InternalFault("an origin names no node of the reduced graph");
    o.node = ids[o.node];
  }
  return out;
}

}  // namespace vantrel
