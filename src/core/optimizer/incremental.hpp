#pragma once
/// The incremental reducer follows a store while it is being built. Each `step` folds only the
/// nodes added since the previous step into a canonical form: inputs are first replaced by
/// what they stand for, then the rules of its rule set that have a fold shape apply (a
/// one-input identity token stands for its input, a two-input swap token is found under either
/// operand order), and equal nodes are hash-consed. `finalize` runs the reduction
/// pipeline once over the canonical form. Every store node is processed exactly once, so
/// `total_work` ends equal to the store's node count however the steps were cut.
///
/// Not synchronised: the owner serialises calls (the Python class holds one mutex per reducer).
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/hash.hpp"
#include "common/hash_filter.hpp"
#include "common/id_table.hpp"
#include "common/ragged.hpp"
#include "common/result.hpp"
#include "engine/rewrite_engine.hpp"
#include "engine/rule_set.hpp"
#include "optimizer/flat_graph.hpp"
#include "optimizer/pipeline.hpp"
#include "store/graph_store.hpp"

namespace vantrel {

class IncrementalReducer {
 public:
  /// Folds by the rules of `rules` that have a fold shape (`fold_shape`).
  explicit IncrementalReducer(RuleSet rules = default_rule_set());

  /// Consumes `delta`, the store's nodes from the watermark onward in id order, and returns
  /// its length. An input id at or above the watermark ends the step with that id; the keys
  /// consumed before it stay consumed, and `total_work` does not advance.
  Result<std::uint64_t, BadNodeId> step(std::span<const NodeKey> delta);
  /// The same over a compact copy (`flat_snapshot` from the watermark), without key copies.
  Result<std::uint64_t, BadNodeId> step(const FlatGraph& delta);

  /// Consumes the nodes of `store` past the watermark, like `step` on its `flat_snapshot`
  /// from there. The store's lock is held only while the delta's head ids and inputs are
  /// copied (and the few heads not met before are registered); the folding happens after it
  /// is released, except for a delta of a few nodes, which is folded as it is read. Nothing
  /// is allocated per call once the reducer's buffers have grown.
  /// The first call records `store` as the one this reducer follows; callers refuse any
  /// other store beforehand (`follows`), since its ids mean nothing in the canonical form.
  Result<std::uint64_t, BadNodeId> step_store(const GraphStore& store);
  /// Whether `store` may be fed: it is the store of the first `step_store`, or there was none.
  bool follows(const GraphStore& store) const { return !followed_ || *followed_ == store.identity(); }

  /// Maps each output store id through `id_map` (the first one not yet consumed is refused)
  /// and reduces the canonical form against them. Reads the reducer and changes nothing.
  Result<Reduced, BadNodeId> finalize(std::span<const NodeId> outputs, const RewriteEngine& engine, bool maximal_fusion,
                                      PassTimings* timings = nullptr) const;

  /// `finalize`, with the same result, skipping the engine pass when it provably merges
  /// nothing: `engine` declares that it runs this reducer's rule set, and `fold` applies every
  /// rule of it (see the .cpp for why). Otherwise the engine runs.
  /// `with_origins` fills `Reduced::origins` per store node consumed (ids below the watermark).
  Result<Reduced, BadNodeId> finalize_default(std::span<const NodeId> outputs, const RewriteEngine& engine,
                                              bool maximal_fusion, PassTimings* timings = nullptr,
                                              bool with_origins = false) const;

  /// The canonical form as keys: every input of the key at position i is a position below i.
  std::vector<NodeKey> canonical() const { return canon_.keys(); }
  /// Entry k: the canonical position that store node k stands for.
  const NodeIds& id_map() const { return id_map_; }
  /// The canonical position of a key with canonical inputs, if it is in the canonical form.
  std::optional<std::uint64_t> cons_table(const NodeKey& key) const;

  /// What a step may change, as it stands now. After a step abandoned by a shortage of memory,
  /// `roll_back` puts the reducer back to its mark (heads met on the way may stay: they are
  /// whole and unused); it allocates nothing.
  struct Mark {
    std::uint64_t watermark, nodes, total_work;
  };
  Mark mark() const { return Mark{id_map_.size(), canon_.size(), total_work_}; }
  void roll_back(const Mark& m) noexcept;

  std::uint64_t watermark() const { return id_map_.size(); }
  std::uint64_t total_work() const { return total_work_; }
  std::uint64_t canonical_count() const { return canon_.size(); }

 private:
  enum HeadFlags : std::uint8_t { kIdentity = 1, kCommutative = 2 };

  std::uint32_t intern_head(const NodeKey& key);
  /// Folds one node whose inputs are already canonical positions; returns its position.
  NodeId fold(std::uint32_t head, const NodeIds& inputs);
  /// Whether canonical position p holds the node (head, inputs) with this hash.
  bool same_node(std::uint32_t p, std::uint32_t head, std::span<const NodeId> inputs, std::uint64_t hash) const;
  std::uint32_t cons_find(std::uint32_t head, std::span<const NodeId> inputs, std::uint64_t hash) const;
  /// Appends a node known to be new to the canonical form; its index entry may wait.
  NodeId append_new(std::uint32_t head, const NodeIds& inputs, std::uint64_t hash, bool indexed);
  /// Enters the nodes whose index entries wait into `cons_`, fetching their slots ahead.
  void index_waiting();
  /// Replaces store ids by canonical positions; the first id not yet consumed is returned.
  [[nodiscard]] std::optional<NodeId> map_inputs(std::span<const NodeId> inputs, NodeIds& out) const;

  Result<std::uint64_t, BadNodeId> fold_delta();
  /// The head id here of store node i, through the guess cache. Store lock held.
  std::uint32_t head_of_store_node(const GraphStore::View& v, NodeId i) {
    const std::uint32_t store_head = v.head_id(i);
    HeadGuess& guess = head_guess_[mix64(store_head) & (kHeadGuesses - 1)];
    if (guess.store_head == store_head && guess.id != kNoId) return guess.id;
    return guess_missed(guess, v, i);
  }
  Result<NodeIds, BadNodeId> map_outputs(std::span<const NodeId> outputs) const;

  std::uint64_t seed_;
  std::optional<std::uint64_t> followed_;  ///< identity of the store fed to `step_store`
  FlatGraph canon_;
  RuleSet rules_;
  /// The token of every rule `fold` applies, with its flag; views into `rules_`.
  std::vector<std::pair<std::string_view, std::uint8_t>> fold_tokens_;
  /// Whether `fold` applies every rule of `rules_`: what lets `finalize_default` skip the engine.
  bool folds_every_rule_ = true;
  /// Whether every fold token is an op token, so that other heads need no token to be flagged.
  bool fold_tokens_are_ops_ = true;
  /// A direct-mapped cache from a store's head id to the head id here. A store never changes
  /// a head id, so a hit is exact; the cache is cleared when another store is fed.
  struct HeadGuess {
    std::uint32_t store_head = kNoId;
    std::uint32_t id = kNoId;
  };
  std::uint64_t guess_store_ = 0;  ///< identity of the store the cache describes
  /// A power of two, for masking; 8 KiB of slots stay in cache, and the heads a graph repeats
  /// (the ops of its every layer) are far fewer, so they rarely share a slot.
  static constexpr std::size_t kHeadGuesses = 1024;
  /// Registers store node i's head in the guess cache's slot `guess`; returns its id here.
  std::uint32_t guess_missed(HeadGuess& guess, const GraphStore::View& v, NodeId i);
  /// Deltas of at most this many nodes are folded without being copied out first: a step of
  /// a node or a few is the case that copying slows (see `step_store`), and sixteen keep the
  /// time under the store's lock to a few microseconds.
  static constexpr std::uint64_t kFoldInPlace = 16;
  std::vector<HeadGuess> head_guess_;
  /// The delta being consumed: head ids here, and store input ids.
  std::vector<std::uint32_t> delta_heads_;
  Ragged<NodeId> delta_inputs_;
  HeadInterner heads_;
  std::vector<std::uint8_t> head_flags_;
  IdTable cons_;
  std::vector<std::uint64_t> cons_hash_;
  /// Every canonical node's hash. A node it has certainly never seen is new: it is appended
  /// without probing `cons_`, whose slot would be a cache miss the caller waits for (in a step
  /// of one node, nothing can be fetched ahead), and its entry waits in `unindexed_` to be
  /// entered with others, their slots fetched together.
  HashFilter cons_filter_;
  /// Canonical positions in no `cons_` entry yet (at most kIndexBatch): `cons_` plus these
  /// is the whole canonical form.
  std::vector<std::uint32_t> unindexed_;
  /// Sixty-four: many more than kFetchAhead, so that the slots of a batch are fetched
  /// together, and few enough that the waiting positions stay a small buffer.
  static constexpr std::size_t kIndexBatch = 64;
  NodeIds id_map_;
  std::uint64_t total_work_ = 0;
  NodeIds scratch_;
};

}  // namespace vantrel
