#pragma once
/// `BlockPool`: the blocks an e-graph's per-class lists move to when they outgrow their inline
/// room. Blocks are carved from a few large chunks; a block a list has outgrown goes on a free
/// list of its size and is handed out again before new room is carved; all of them go at once
/// with the pool.
///
/// One heap block per long list would make a canonicalize of a million nodes allocate about
/// half a million blocks and free them, scattered through memory, when the e-graph is dropped
/// (each free a cache miss, then the allocator's consolidation of them): dropping a loaded
/// e-graph costs about 10 ns a node with the pool, against 21 with a block per list.
#include <array>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

// Under the address sanitizer, room not handed out (and blocks given back) is marked
// unaddressable, so a list that overruns its block is caught as a heap overrun would be.
#if defined(__has_include) && __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace vantrel::egraph {

class BlockPool {
 public:
  /// The smallest block: 16 bytes, the alignment of every block.
  static constexpr unsigned kMinSizeClass = 4;
  /// Blocks go up to 2^kMaxSizeClass bytes (a list of a billion ids).
  static constexpr unsigned kMaxSizeClass = 35;

  BlockPool() = default;
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;
  // A pool moved from is left empty (it must not hand out room in chunks it no longer owns).
  BlockPool(BlockPool&& o) noexcept
      : free_(std::exchange(o.free_, {})),
        chunks_(std::exchange(o.chunks_, {})),
        next_(std::exchange(o.next_, nullptr)),
        end_(std::exchange(o.end_, nullptr)),
        next_chunk_(std::exchange(o.next_chunk_, kFirstChunk)),
        held_(std::exchange(o.held_, 0)) {}
  BlockPool& operator=(BlockPool&& o) noexcept {
    BlockPool taken(std::move(o));
    std::swap(free_, taken.free_);
    std::swap(chunks_, taken.chunks_);
    std::swap(next_, taken.next_);
    std::swap(end_, taken.end_);
    std::swap(next_chunk_, taken.next_chunk_);
    std::swap(held_, taken.held_);
    return *this;  // this pool's old chunks go with `taken`
  }

  /// A block of 2^size_class bytes, for `kMinSizeClass <= size_class <= kMaxSizeClass`.
  void* take(unsigned size_class) {
    const std::size_t bytes = std::size_t{1} << size_class;
    if (void* block = free_[size_class]) {
      ASAN_UNPOISON_MEMORY_REGION(block, bytes);
      free_[size_class] = *static_cast<void**>(block);
      return block;
    }
    if (static_cast<std::size_t>(end_ - next_) < bytes) return carve_from_new_chunk(bytes);
    void* block = next_;
    next_ += bytes;
    ASAN_UNPOISON_MEMORY_REGION(block, bytes);
    return block;
  }

  /// Gives back a block `take(size_class)` returned, for the next `take` of its size.
  void give_back(void* block, unsigned size_class) {
    *static_cast<void**>(block) = free_[size_class];
    free_[size_class] = block;
    ASAN_POISON_MEMORY_REGION(block, std::size_t{1} << size_class);
  }

  /// Bytes held in chunks (given-back blocks included).
  std::size_t chunk_bytes() const { return held_; }

 private:
  /// 64 KiB: the long lists of a small e-graph fit it, and chunks double from it (see
  /// `carve_from_new_chunk`), so a large e-graph still needs few.
  static constexpr std::size_t kFirstChunk = std::size_t{64} << 10;

  void* carve_from_new_chunk(std::size_t bytes);

  std::array<void*, kMaxSizeClass + 1> free_{};
  std::vector<std::unique_ptr<std::byte[]>> chunks_;
  std::byte* next_ = nullptr;
  std::byte* end_ = nullptr;
  std::size_t next_chunk_ = kFirstChunk;
  std::size_t held_ = 0;
};

}  // namespace vantrel::egraph
