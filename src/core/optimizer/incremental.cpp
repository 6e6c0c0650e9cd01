#include "optimizer/incremental.hpp"

#include <algorithm>
#include <array>
#include <exception>

#include "common/hash.hpp"
#include "common/room.hpp"

namespace vantrel {

IncrementalReducer::IncrementalReducer(RuleSet rules)
    : seed_(process_hash_seed()), rules_(std::move(rules)), heads_(seed_) {
  for (const PatternRule& rule : rules_) {
    const RuleFold f = fold_shape(rule);
    switch (f.shape) {
      case FoldShape::kSwap: fold_tokens_.emplace_back(f.token, kCommutative); break;
      case FoldShape::kIdentity: fold_tokens_.emplace_back(f.token, kIdentity); break;
      case FoldShape::kNone: folds_every_rule_ = false; continue;
    }
    if (!is_op_token(f.token)) fold_tokens_are_ops_ = false;
  }
}

std::uint32_t IncrementalReducer::intern_head(const NodeKey& key) {
  if (const std::uint32_t known = heads_.find(key, canon_.heads); known != kNoId) return known;
  // A rule matches a node by its whole token, exactly as the engine matches its label.
  std::uint8_t flags = 0;
  if (!fold_tokens_.empty() && (key.get_if<Op>() != nullptr || !fold_tokens_are_ops_)) {
    const std::string token = key.token();
    for (const auto& [t, flag] : fold_tokens_) {
      if (t == token) flags |= flag;
    }
  }
  // Everything that allocates happens before the head is entered, so that a shortage of
  // memory never leaves a head without its flags.
  grow_for_one(head_flags_, 1);
  const std::uint32_t h = heads_.intern(key, canon_.heads);
  head_flags_.push_back(flags);
  return h;
}

bool IncrementalReducer::same_node(std::uint32_t p, std::uint32_t head, std::span<const NodeId> inputs,
                                   std::uint64_t hash) const {
  if (cons_hash_[p] != hash || canon_.head_of[p] != head) return false;
  auto other = canon_.inputs(p);
  return other.size() == inputs.size() && std::equal(other.begin(), other.end(), inputs.begin());
}

std::uint32_t IncrementalReducer::cons_find(std::uint32_t head, std::span<const NodeId> inputs,
                                            std::uint64_t hash) const {
  return cons_.find(hash, [&](std::uint32_t p) { return same_node(p, head, inputs, hash); });
}

NodeId IncrementalReducer::fold(std::uint32_t head, const NodeIds& inputs) {
  const std::uint8_t flags = head_flags_[head];
  if ((flags & kIdentity) && inputs.size() == 1) return inputs[0];
  const std::uint64_t hash = hash_node(head, inputs, seed_);
  const std::uint64_t pos = canon_.size();
  if ((flags & kCommutative) && inputs.size() == 2) {
    // Both operand orders are looked for before the node is added; the second order's slot
    // is fetched while the first is probed, so a new node waits for one miss, not two.
    const std::array<NodeId, 2> swapped = {inputs[1], inputs[0]};
    const std::uint64_t swapped_hash = hash_node(head, swapped, seed_);
    if (!cons_filter_.maybe_contains(hash) && !cons_filter_.maybe_contains(swapped_hash))
      return append_new(head, inputs, hash, false);
    index_waiting();
    cons_.prefetch(swapped_hash);
    const std::uint32_t found = cons_find(head, inputs, hash);
    if (found != kNoId) return found;
    const std::uint32_t other = cons_find(head, swapped, swapped_hash);
    if (other != kNoId) return other;
    cons_.insert(hash, pos);
    return append_new(head, inputs, hash, true);
  }
  if (!cons_filter_.maybe_contains(hash)) return append_new(head, inputs, hash, false);
  index_waiting();
  // One probe finds the node or the place where it goes.
  const std::uint32_t found = cons_.find_or_insert(
      hash, [&](std::uint32_t p) { return same_node(p, head, inputs, hash); },
      [&]() -> std::uint64_t {
        if (pos >= kNoId) throw InternalFault("node table cannot grow any further");
        return pos;
      });
  if (found != pos) return found;
  return append_new(head, inputs, hash, true);
}

NodeId IncrementalReducer::append_new(std::uint32_t head, const NodeIds& inputs, std::uint64_t hash, bool indexed) {
  if (canon_.size() >= kNoId) throw InternalFault("node table cannot grow any further");
  const auto pos = static_cast<NodeId>(canon_.size());
  cons_hash_.push_back(hash);
  cons_filter_.add(hash, cons_hash_);
  canon_.push(head, inputs);
  if (!indexed) {
    unindexed_.push_back(pos);
    if (unindexed_.size() == kIndexBatch) index_waiting();
  }
  return pos;
}

void IncrementalReducer::index_waiting() {
  for (std::uint32_t p : unindexed_) cons_.prefetch(cons_hash_[p]);
  for (std::uint32_t p : unindexed_) cons_.insert(cons_hash_[p], p);
  unindexed_.clear();
}

std::optional<NodeId> IncrementalReducer::map_inputs(std::span<const NodeId> inputs, NodeIds& out) const {
  out.clear();
  for (NodeId x : inputs) {
    if (x >= id_map_.size()) return x;
    out.push_back(id_map_[x]);
  }
  return std::nullopt;
}

Result<std::uint64_t, BadNodeId> IncrementalReducer::step(std::span<const NodeKey> delta) {
  for (const NodeKey& key : delta) {
    if (auto bad = map_inputs(key.inputs(), scratch_)) return Err{BadNodeId{*bad}};
    id_map_.push_back(fold(intern_head(key), scratch_));
  }
  total_work_ += delta.size();
  return std::uint64_t{delta.size()};
}

Result<std::uint64_t, BadNodeId> IncrementalReducer::step(const FlatGraph& delta) {
  std::vector<std::uint32_t> local(delta.heads.size(), kNoId);
  const std::uint64_t n = delta.size();
  for (std::uint64_t k = 0; k < n; ++k) {
    if (auto bad = map_inputs(delta.inputs(k), scratch_)) return Err{BadNodeId{*bad}};
    std::uint32_t& head = local[delta.head_of[k]];
    if (head == kNoId) head = intern_head(delta.head(k));
    id_map_.push_back(fold(head, scratch_));
  }
  total_work_ += n;
  return n;
}

std::uint32_t IncrementalReducer::guess_missed(HeadGuess& guess, const GraphStore::View& v, NodeId i) {
  guess = HeadGuess{v.head_id(i), intern_head(v.head(i))};
  return guess.id;
}

Result<std::uint64_t, BadNodeId> IncrementalReducer::step_store(const GraphStore& store) {
  if (!followed_) followed_ = store.identity();
  if (head_guess_.empty() || guess_store_ != store.identity()) {
    head_guess_.assign(kHeadGuesses, HeadGuess{});
    guess_store_ = store.identity();
  }
  // A short delta (a step every node or few) is folded as it is read, under the store's lock
  // for the few hundred nanoseconds that takes: copying it out first would touch three more
  // buffers, cold after the caller's own work, for a node or two. A fault while folding is
  // carried out of the store's lock and thrown after it, so that it poisons only the reducer.
  std::optional<Result<std::uint64_t, BadNodeId>> in_place;
  std::exception_ptr fault;
  store.with_view([&](const GraphStore::View& v) {
    const std::uint64_t start = id_map_.size(), n = v.node_count();
    if (n - start <= kFoldInPlace) {
      try {
        for (std::uint64_t k = start; k < n; ++k) {
          const auto i = static_cast<NodeId>(k);  // below the store's node count
          const std::uint32_t head = head_of_store_node(v, i);
          if (auto bad = map_inputs(v.inputs(i), scratch_)) {
            in_place.emplace(Err{BadNodeId{*bad}});
            return;
          }
          id_map_.push_back(fold(head, scratch_));
        }
      } catch (...) {
        fault = std::current_exception();
        return;
      }
      total_work_ += n - start;
      in_place.emplace(n - start);
      return;
    }
    delta_heads_.clear();
    delta_inputs_.clear();
    for (std::uint64_t k = start; k < n; ++k) {
      const auto i = static_cast<NodeId>(k);  // below the store's node count
      delta_heads_.push_back(head_of_store_node(v, i));
      delta_inputs_.push(v.inputs(i));
    }
  });
  if (fault) std::rethrow_exception(fault);
  if (in_place) return *in_place;
  return fold_delta();
}

Result<std::uint64_t, BadNodeId> IncrementalReducer::fold_delta() {
  const std::uint64_t n = delta_heads_.size();
  for (std::uint64_t k = 0; k < n; ++k) {
    if (auto bad = map_inputs(delta_inputs_[k], scratch_)) return Err{BadNodeId{*bad}};
    id_map_.push_back(fold(delta_heads_[k], scratch_));
  }
  total_work_ += n;
  return n;
}

Result<NodeIds, BadNodeId> IncrementalReducer::map_outputs(std::span<const NodeId> outputs) const {
  NodeIds mapped;
  mapped.reserve(outputs.size());
  for (NodeId o : outputs) {
    if (o >= id_map_.size()) return Err{BadNodeId{o}};
    mapped.push_back(id_map_[o]);
  }
  return mapped;
}

Result<Reduced, BadNodeId> IncrementalReducer::finalize(std::span<const NodeId> outputs, const RewriteEngine& engine,
                                                        bool maximal_fusion, PassTimings* timings) const {
  auto mapped = map_outputs(outputs);
  if (!mapped) return Err{mapped.error()};
  return reduce_flat(canon_, mapped.value(), engine, maximal_fusion, timings);
}

// Why the engine can be skipped. An engine that runs a rule set merges two nodes only through
// (a) hash-consing: equal label and equal child classes,
// (b) a swap rule "(T ?a ?b)" -> "(T ?b ?a)": a two-input node labelled T meets the swapped
//     form of another node, or
// (c) an identity rule "(T ?x)" -> "?x": a one-input node labelled T joins its input,
// (d) any other rule,
// and through congruence once something has merged. When the engine runs this reducer's rule
// set and every rule has a fold shape, (d) is empty, and the canonical form rules out the rest
// before anything merges: labels name distinct heads one to one (tokens are injective on
// heads), and `fold` hash-conses by (head, canonical inputs), so (a) finds no pair; `fold`
// flags a head by its whole token, exactly as a rule matches a label, never stores both
// operand orders of a swap head, so (b) only ever adds the swapped e-node to its own class,
// and never stores an identity node with one input, so (c) never matches. With no first
// merge there is no congruence either. Dead-code elimination only keeps a subset closed under
// inputs and renumbers it one to one, which preserves all of this. So every class keeps
// exactly its one node, whatever the run's limits, bans or time budget do, and the engine
// returns the graph unchanged apart from `opaque`, which it recomputes from the label.
// Anything short of that (an engine that does not declare its rules, other rules, a rule
// `fold` does not apply) runs the engine.
Result<Reduced, BadNodeId> IncrementalReducer::finalize_default(std::span<const NodeId> outputs,
                                                                const RewriteEngine& engine, bool maximal_fusion,
                                                                PassTimings* timings, bool with_origins) const {
  auto mapped = map_outputs(outputs);
  if (!mapped) return Err{mapped.error()};
  const RuleSet* engine_rules = engine.rule_set();
  Reduced out = folds_every_rule_ && engine_rules != nullptr && *engine_rules == rules_
                    ? reduce_flat_unmerged(canon_, mapped.value(), maximal_fusion, timings, with_origins)
                    : reduce_flat(canon_, mapped.value(), engine, maximal_fusion, timings, with_origins);
  // The origins so far are the canonical form's; every consumed store node stands for one.
  if (with_origins) out.origins = origins_through(id_map_, out.origins);
  return out;
}

std::optional<std::uint64_t> IncrementalReducer::cons_table(const NodeKey& key) const {
  const std::uint32_t head = heads_.find(key, canon_.heads);
  if (head == kNoId) return std::nullopt;
  const std::uint64_t hash = hash_node(head, key.inputs(), seed_);
  if (const std::uint32_t p = cons_find(head, key.inputs(), hash); p != kNoId) return p;
  for (std::uint32_t p : unindexed_) {
    if (same_node(p, head, key.inputs(), hash)) return p;
  }
  return std::nullopt;
}

}  // namespace vantrel
