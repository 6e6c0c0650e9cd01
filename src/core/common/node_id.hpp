#pragma once
/// Node ids. Inside the core every node id, and every table that numbers its entries densely
/// (heads, labels, positions in a graph), is 32 bits wide: half the memory per stored input
/// of a 64-bit id, and every index already capped ids there. Ids arrive wider from outside
/// (Python ints, blob fields); `narrow_node_id` is the one place that checks them.
#include <cstdint>
#include <optional>
#include <vector>

namespace vantrel {

using NodeId = std::uint32_t;
using NodeIds = std::vector<NodeId>;
/// An id as it arrives at a boundary, before it is known to name a node; refusals carry it
/// unchanged so that a message names the id exactly as given.
using WideNodeId = std::uint64_t;

/// The value no dense id takes: tables answer "absent" with it, and no node ever gets it.
inline constexpr std::uint32_t kNoId = 0xFFFFFFFFu;
/// How many nodes a store can hold: ids run from 0 to kMaxNodeCount - 1, below kNoId.
inline constexpr std::uint64_t kMaxNodeCount = kNoId;

/// The node id a wide id stands for, or nothing when it is too large to name any node.
inline std::optional<NodeId> narrow_node_id(WideNodeId id) {
  if (id >= kMaxNodeCount) return std::nullopt;
  return static_cast<NodeId>(id);
}

/// Narrows the wide ids of one request (a list of inputs or outputs) for the core. An id too
/// large to name any node becomes kNoId, which every check refuses as it refuses an id past
/// the node count, and the first such id is kept so that the refusal names it as it was given.
/// Checks walk the ids in the order they were narrowed, so a refused kNoId stands for exactly
/// that first id.
class IdNarrowing {
 public:
  NodeId narrow(WideNodeId id) {
    if (const std::optional<NodeId> n = narrow_node_id(id)) return *n;
    if (!too_wide_) too_wide_ = id;
    return kNoId;
  }
  /// A refused id of the narrowed request, as the caller gave it.
  WideNodeId as_given(WideNodeId refused) const { return refused == kNoId && too_wide_ ? *too_wide_ : refused; }

 private:
  std::optional<WideNodeId> too_wide_;
};

}  // namespace vantrel
