#include "optimizer/incremental.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "common/hash.hpp"

namespace vantrel {

namespace {

/// x + 0 and x * 1 with the scalar on either side, matched against the whole op token.
constexpr std::array<std::string_view, 4> kIdentityTokens = {
    "op|add|scalar=f0000000000000000;side=sr",
    "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr",
    "op|mul|scalar=f3ff0000000000000;side=sl",
};
constexpr std::array<std::string_view, 8> kCommutativeOps = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};

}  // namespace

IncrementalReducer::IncrementalReducer() : seed_(process_hash_seed()), heads_(seed_) {}

std::uint32_t IncrementalReducer::intern_head(const NodeKey& key) {
  const std::size_t before = canon_.heads.size();
  const std::uint32_t h = heads_.intern(key, canon_.heads);
  if (canon_.heads.size() == before) return h;
  std::uint8_t flags = 0;
  if (const Op* op = key.get_if<Op>()) {
    if (op->params.empty()) {
      if (std::find(kCommutativeOps.begin(), kCommutativeOps.end(), op->name) != kCommutativeOps.end()) flags |= kCommutative;
    } else {
      const std::string token = key.token();
      if (std::find(kIdentityTokens.begin(), kIdentityTokens.end(), token) != kIdentityTokens.end()) flags |= kIdentity;
    }
  }
  head_flags_.push_back(flags);
  return h;
}

std::uint64_t IncrementalReducer::node_hash(std::uint32_t head, std::span<const NodeId> inputs) const {
  Hasher h(seed_);
  h.add(head);
  for (NodeId x : inputs) h.add(x);
  return h.finish();
}

std::uint32_t IncrementalReducer::cons_find(std::uint32_t head, std::span<const NodeId> inputs,
                                            std::uint64_t hash) const {
  return cons_.find(hash, [&](std::uint32_t p) {
    if (cons_hash_[p] != hash || canon_.head_of[p] != head) return false;
    auto other = canon_.inputs(p);
    return other.size() == inputs.size() && std::equal(other.begin(), other.end(), inputs.begin());
  });
}

std::uint64_t IncrementalReducer::fold(std::uint32_t head, const NodeIds& inputs) {
  const std::uint8_t flags = head_flags_[head];
  if ((flags & kIdentity) && inputs.size() == 1) return inputs[0];
  const std::uint64_t hash = node_hash(head, inputs);
  const std::uint32_t found = cons_find(head, inputs, hash);
  if (found != IdTable::kEmpty) return found;
  if ((flags & kCommutative) && inputs.size() == 2) {
    const std::array<NodeId, 2> swapped = {inputs[1], inputs[0]};
    const std::uint32_t other = cons_find(head, swapped, node_hash(head, swapped));
    if (other != IdTable::kEmpty) return other;
  }
  const std::uint64_t pos = canon_.size();
  cons_.insert(hash, pos, [&](std::uint32_t p) { return cons_hash_[p]; });
  cons_hash_.push_back(hash);
  canon_.push(head, inputs);
  return pos;
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
  std::vector<std::uint32_t> local(delta.heads.size(), IdTable::kEmpty);
  const std::uint64_t n = delta.size();
  for (std::uint64_t k = 0; k < n; ++k) {
    if (auto bad = map_inputs(delta.inputs(k), scratch_)) return Err{BadNodeId{*bad}};
    std::uint32_t& head = local[delta.head_of[k]];
    if (head == IdTable::kEmpty) head = intern_head(delta.head(k));
    id_map_.push_back(fold(head, scratch_));
  }
  total_work_ += n;
  return n;
}

Result<Reduced, BadNodeId> IncrementalReducer::finalize(std::span<const NodeId> outputs, const RewriteEngine& engine,
                                                        bool maximal_fusion, PassTimings* timings) const {
  NodeIds mapped;
  mapped.reserve(outputs.size());
  for (NodeId o : outputs) {
    if (o >= id_map_.size()) return Err{BadNodeId{o}};
    mapped.push_back(id_map_[o]);
  }
  return reduce_flat(canon_, mapped, engine, maximal_fusion, timings);
}

std::optional<std::uint64_t> IncrementalReducer::cons_table(const NodeKey& key) const {
  const std::uint32_t head = heads_.find(key, canon_.heads);
  if (head == IdTable::kEmpty) return std::nullopt;
  const std::uint32_t p = cons_find(head, key.inputs(), node_hash(head, key.inputs()));
  if (p == IdTable::kEmpty) return std::nullopt;
  return p;
}

}  // namespace vantrel
