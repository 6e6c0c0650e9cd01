#pragma once
/// `Ragged<T>`: a list of runs of T (a graph's input lists, each node's users), kept as one
/// pool holding every run back to back and the offset each run begins at. A million runs cost
/// two flat arrays instead of a vector each, and walking them reads memory in order.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vantrel {

template <class T>
class Ragged {
 public:
  /// No runs. Neither this nor a list moved from holds any memory.
  Ragged() = default;

  /// Runs of the given sizes, their items value-initialised, to be filled in place.
  static Ragged of_sizes(std::span<const std::uint64_t> sizes) {
    Ragged r;
    r.begin_.resize(sizes.size() + 1);
    r.begin_[0] = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) r.begin_[i + 1] = r.begin_[i] + sizes[i];
    r.pool_.resize(r.begin_.back());
    return r;
  }

  std::size_t size() const { return begin_.empty() ? 0 : begin_.size() - 1; }
  bool empty() const { return size() == 0; }
  /// Every item of every run, in order.
  std::size_t item_count() const { return pool_.size(); }

  std::span<const T> operator[](std::size_t i) const { return {pool_.data() + begin_[i], begin_[i + 1] - begin_[i]}; }
  std::span<T> operator[](std::size_t i) { return {pool_.data() + begin_[i], begin_[i + 1] - begin_[i]}; }

  /// The runs given as offsets (one more than runs, the first 0, none decreasing, the last
  /// `pool.size()`) into a pool of their items, copied. The offsets may be of any unsigned
  /// width (a store keeps 32-bit ones).
  template <class Offset>
  void assign(std::span<const Offset> offsets, std::span<const T> pool) {
    begin_.assign(offsets.begin(), offsets.end());
    pool_.assign(pool.begin(), pool.end());
  }
  /// The same two arrays, for code that takes runs in that form: `size() + 1` offsets.
  std::span<const std::uint64_t> offsets() const {
    static constexpr std::uint64_t kNoRuns[1] = {0};
    return begin_.empty() ? std::span<const std::uint64_t>(kNoRuns) : std::span<const std::uint64_t>(begin_);
  }
  std::span<const T> pool() const { return pool_; }

  /// Appends a run holding a copy of `run`.
  void push(std::span<const T> run) {
    if (begin_.empty()) begin_.push_back(0);
    pool_.insert(pool_.end(), run.begin(), run.end());
    begin_.push_back(pool_.size());
  }

  /// Builds a run item by item: `extend` appends to the run being built, `close` ends it.
  void extend(const T& item) {
    if (begin_.empty()) begin_.push_back(0);
    pool_.push_back(item);
  }
  void close() {
    if (begin_.empty()) begin_.push_back(0);
    begin_.push_back(pool_.size());
  }

  /// Keeps the first `runs` runs (all of them when there are fewer). Only shrinks, so it
  /// never allocates and never throws.
  void truncate(std::size_t runs) noexcept {
    if (runs >= size()) return;
    begin_.resize(runs + 1);
    pool_.resize(begin_.back());
  }

  /// Makes room for `runs` runs of `items` items in all.
  void reserve(std::size_t runs, std::size_t items) {
    begin_.reserve(runs + 1);
    pool_.reserve(items);
  }

  /// Drops every run, keeping the memory for the next ones.
  void clear() {
    begin_.clear();
    pool_.clear();
  }

  friend bool operator==(const Ragged& a, const Ragged& b) {
    // An empty list may or may not hold its first offset.
    return a.size() == b.size() && a.pool_ == b.pool_ && (a.empty() || a.begin_ == b.begin_);
  }

 private:
  std::vector<std::uint64_t> begin_;  ///< per run + 1, offsets into pool_; empty while there are no runs
  std::vector<T> pool_;
};

}  // namespace vantrel
