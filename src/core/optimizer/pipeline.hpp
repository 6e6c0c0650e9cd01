#pragma once
/// The reduction pipeline: dead-code elimination from the outputs, labelling, canonicalization
/// by a rewrite engine, common-subexpression elimination and stage fusion, in that order. It is
/// a pure computation over the data it is handed: no lock, no store, nothing kept between
/// calls. Every table in it is probed, never iterated, so its result depends only on its
/// inputs and on what the engine returns.
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/rewrite_engine.hpp"
#include "ir/node_key.hpp"
#include "optimizer/flat_graph.hpp"
#include "optimizer/stage_fusion.hpp"

namespace vantrel {

struct ReductionReport {
  std::uint64_t input_nodes = 0;      ///< nodes handed in
  std::uint64_t reachable_nodes = 0;  ///< nodes some output needs
  std::uint64_t canonical_nodes = 0;  ///< nodes after the engine and CSE
  std::uint64_t stages = 0;           ///< stages built by fusion
  std::uint64_t reduced_nodes = 0;    ///< nodes of the result (stages + boundary_nodes)
  std::uint64_t boundary_nodes = 0;   ///< non-op nodes carried through

  bool operator==(const ReductionReport&) const = default;
};

struct Reduced {
  /// Topological; no `Op` node: every op sits inside a `Stage`. Each distinct head once (see
  /// `FusionResult`), so that building the reduced store looks each one up once.
  FlatGraph graph;
  NodeIds outputs;  ///< one position per requested output, same order, repeats kept
  ReductionReport report;
  /// Filled only when asked (`with_origins`): per node handed in, where `graph` computes its
  /// value (a position, or a stage position and member index), or no node when no output
  /// needs it.
  std::vector<Origin> origins{};

  /// The nodes as keys, each a copy.
  std::vector<NodeKey> keys() const { return graph.keys(); }
};

/// Seconds spent in each pass, for benchmarks; passes not run stay 0.
struct PassTimings {
  double snapshot = 0;      ///< copying the store (reduced-store entry points only)
  double dce = 0;           ///< dead-code elimination
  double engine_graph = 0;  ///< labels, token table and the engine graph
  double engine = 0;        ///< `canonicalize`
  double cse = 0;           ///< common-subexpression elimination
  double fusion = 0;        ///< stage fusion
  double store = 0;         ///< building the reduced store (reduced-store entry points only)
};

/// The six counts under their names, in report order.
std::vector<std::pair<std::string, std::uint64_t>> report_to_map(const ReductionReport& report);

/// Reduces `nodes` (in id order, every input an earlier id) against `outputs` (ids below the
/// node count, in order, repeats allowed, possibly empty). An output or input out of range, or
/// an engine result that breaks the engine contract, is an InternalFault.
Reduced reduce_with_mode(const std::vector<NodeKey>& nodes, std::span<const NodeId> outputs,
                         const RewriteEngine& engine, bool maximal_fusion, PassTimings* timings = nullptr);

/// The same over a graph in compact form; this is what the store and the incremental reducer
/// use, since it needs no per-node key copies.
/// `with_origins` also fills `Reduced::origins`, which needs an engine that reports where
/// nodes went (`LabelResult::positions`); one that does not is an InternalFault.
Reduced reduce_flat(const FlatGraph& graph, std::span<const NodeId> outputs, const RewriteEngine& engine,
                    bool maximal_fusion, PassTimings* timings = nullptr, bool with_origins = false);

/// `reduce_flat` for a graph on which the rewrite engine provably merges nothing: the engine
/// pass is replaced by what any engine returns for such a graph, the graph itself with
/// `opaque` recomputed from each label. Only the incremental reducer calls it, for its
/// canonical form and only when it has checked that its own folding rules are exactly the
/// default engine's (see `IncrementalReducer::finalize_default`).
Reduced reduce_flat_unmerged(const FlatGraph& graph, std::span<const NodeId> outputs, bool maximal_fusion,
                             PassTimings* timings = nullptr, bool with_origins = false);

/// The origins of a graph's nodes when the graph was reduced through a canonical form:
/// `canonical_of[k]` is the canonical position node k stands for, `origins` those of the
/// canonical form's nodes.
std::vector<Origin> origins_through(std::span<const NodeId> canonical_of, std::span<const Origin> origins);

}  // namespace vantrel
