#include "egraph/block_pool.hpp"

#include <algorithm>

namespace vantrel::egraph {

void* BlockPool::carve_from_new_chunk(std::size_t bytes) {
  // Chunks double up to 4 MiB, so a small e-graph holds little and a large one few chunks; a
  // block larger than a quarter of the next chunk gets a chunk of its own, and the room left
  // in the current one stays in use.
  constexpr std::size_t kLargestChunk = std::size_t{4} << 20;
  if (bytes > next_chunk_ / 4) {
    chunks_.push_back(std::make_unique_for_overwrite<std::byte[]>(bytes));
    held_ += bytes;
    return chunks_.back().get();
  }
  chunks_.push_back(std::make_unique_for_overwrite<std::byte[]>(next_chunk_));
  held_ += next_chunk_;
  next_ = chunks_.back().get();
  end_ = next_ + next_chunk_;
  ASAN_POISON_MEMORY_REGION(next_, next_chunk_);
  next_chunk_ = std::min(next_chunk_ * 2, kLargestChunk);
  void* block = next_;
  next_ += bytes;
  ASAN_UNPOISON_MEMORY_REGION(block, bytes);
  return block;
}

}  // namespace vantrel::egraph
