// Putting a reducer back to its state before a step that a shortage of memory abandoned. The
// step only appends: the nodes, hashes, positions and index entries past the mark go, and
// the index is refilled from what stays (it never needs more room than it had).
#include <algorithm>

#include "optimizer/incremental.hpp"

namespace vantrel {

void IncrementalReducer::roll_back(const Mark& m) noexcept {
  id_map_.resize(m.watermark);
  total_work_ = m.total_work;
  canon_.head_of.resize(m.nodes);
  canon_.input_lists.truncate(m.nodes);
  cons_hash_.resize(m.nodes);
  // Positions waiting to be indexed stay waiting; those past the mark go.
  unindexed_.erase(std::remove_if(unindexed_.begin(), unindexed_.end(), [&](std::uint32_t p) { return p >= m.nodes; }),
                   unindexed_.end());
  // The filter keeps the bits of the nodes that went: it may answer "maybe" for them, which
  // costs a probe, never a wrong fold.
  cons_.clear();
  for (std::uint64_t p = 0; p < m.nodes; ++p) {
    if (std::find(unindexed_.begin(), unindexed_.end(), p) != unindexed_.end()) continue;
    cons_.insert(cons_hash_[p], p);
  }
}

}  // namespace vantrel
