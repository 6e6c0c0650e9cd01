#pragma once
/// `HashFilter`: a compact set of 64-bit hashes that answers "certainly absent" or "maybe
/// present" (a blocked Bloom filter: each hash sets four bits of one 64-bit word). At one
/// byte per hash it stays in the near caches where the table it guards does not, so a lookup
/// of a key that is new, the common case when a graph is folded node by node, skips the
/// table's random probe. About 3% of absent hashes are answered "maybe".
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vantrel {

class HashFilter {
 public:
  /// Adds `hash`; `all` holds every hash added so far, this one included. When the filter
  /// is too full to answer well it is rebuilt twice as large from `all`.
  void add(std::uint64_t hash, std::span<const std::uint64_t> all) {
    if (++count_ > words_.size() * kHashesPerWord) {
      rebuild(all);
      return;
    }
    words_[word_of(hash)] |= bits_of(hash);
  }

  /// False when `hash` was certainly never added.
  bool maybe_contains(std::uint64_t hash) const {
    if (words_.empty()) return false;
    const std::uint64_t bits = bits_of(hash);
    return (words_[word_of(hash)] & bits) == bits;
  }

  std::size_t memory_bytes() const { return words_.size() * sizeof(std::uint64_t); }

 private:
  // Eight hashes a word of 64 bits: four bits each, about 39% of a word's bits set when full.
  static constexpr std::size_t kHashesPerWord = 8;

  // The bits come from the hash's low 24 bits, the word from the bits above them: the hash
  // is a finished (mixed) one, so the two are independent.
  static std::uint64_t bits_of(std::uint64_t hash) {
    return (std::uint64_t{1} << (hash & 63)) | (std::uint64_t{1} << ((hash >> 6) & 63)) |
           (std::uint64_t{1} << ((hash >> 12) & 63)) | (std::uint64_t{1} << ((hash >> 18) & 63));
  }
  std::size_t word_of(std::uint64_t hash) const { return static_cast<std::size_t>(hash >> 24) & (words_.size() - 1); }

  void rebuild(std::span<const std::uint64_t> all) {
    std::size_t words = words_.empty() ? 64 : words_.size();
    while (words * kHashesPerWord < all.size()) words *= 2;
    if (words == words_.size()) words *= 2;
    words_.assign(words, 0);
    for (std::uint64_t h : all) words_[word_of(h)] |= bits_of(h);
    count_ = all.size();
  }

  std::vector<std::uint64_t> words_;  // a power of two of them, or none
  std::size_t count_ = 0;
};

}  // namespace vantrel
