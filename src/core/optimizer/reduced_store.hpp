#pragma once
/// The store-side entry points of a reduction: copy a store, reduce the copy, and build the
/// result into a brand-new store. The source store is only read, and its lock is held only
/// while its nodes are copied, so other threads may keep adding nodes meanwhile.
#include <memory>
#include <span>

#include "common/result.hpp"
#include "engine/rewrite_engine.hpp"
#include "optimizer/pipeline.hpp"
#include "store/graph_store.hpp"

namespace vantrel {

struct ReducedStore {
  std::unique_ptr<GraphStore> store;  ///< independent of the source store
  ReductionReport report;
  /// One id in `store` per requested output, in request order with repeats: the node that
  /// computes it. The store's marks drop repeats and merged outputs; this list does not.
  NodeIds output_ids;
  /// When asked: per node of the source store (as copied), where `store` computes its value;
  /// `Origin::node` is an id in `store`, kNoId for a node no output needs.
  std::vector<Origin> origins{};
};

/// Reduces against the store's own output marks.
ReducedStore reduce_with(const GraphStore& store, const RewriteEngine& engine, bool maximal_fusion,
                         PassTimings* timings = nullptr);

/// Reduces against exactly `outputs`, in order, repeats kept; the marks play no part. The
/// first id in list order that is not a node of the store is refused before any work.
Result<ReducedStore, BadNodeId> reduce_with_outputs(const GraphStore& store, std::span<const NodeId> outputs,
                                                    const RewriteEngine& engine, bool maximal_fusion,
                                                    PassTimings* timings = nullptr, bool with_origins = false);

/// Interns a pipeline result into a new store, each distinct head looked up once, and marks
/// its outputs (repeats leave one mark). The pipeline never emits forward references, bad
/// outputs or two equal keys, so the new ids are 0, 1, 2, ... in record order; a forward
/// reference or a bad output is an InternalFault, and a repeated key takes the id of its
/// first occurrence, as if each key were interned in turn. Origins are carried over with
/// their positions turned into ids.
ReducedStore from_reduced(Reduced reduced);

}  // namespace vantrel
