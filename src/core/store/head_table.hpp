#pragma once
/// The distinct heads of a store (keys without their inputs), each kept once under a dense
/// id. Sources, ops and reductions, nearly every head there is, are encoded into one byte
/// arena (see encoded_head.hpp), so a new one costs a few dozen bytes and no allocation of
/// its own; externals, stages and exchanges are kept as owned keys. Not synchronised: the
/// store calls it under its lock.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/id_table.hpp"
#include "common/room.hpp"
#include "ir/node_key.hpp"
#include "store/encoded_head.hpp"

namespace vantrel {

/// How many bytes the heads of one table can take in all: each is reached through a 32-bit
/// offset, whose largest value is the end.
inline constexpr std::uint64_t kMaxHeadBytes = 0xFFFFFFFFu;

class HeadTable {
 public:
  /// A head to find or add, with its hash; built outside the store's lock.
  struct Request {
    std::string_view bytes;    ///< the encoded head (named kinds)
    NodeKey* owned = nullptr;  ///< or the head itself (other kinds), moved in when added
    std::uint64_t hash = 0;
  };

  static bool is_named(NodeKey::Kind kind) { return kind <= NodeKey::kReduction; }
  /// A request for an encoded head; the bytes must outlive the request.
  static Request request(std::string_view encoded, std::uint64_t seed) {
    return Request{encoded, nullptr, hash_encoded_head(encoded, seed)};
  }
  /// A request for a head of another kind (no inputs).
  static Request request(NodeKey& head, std::uint64_t seed);

  explicit HeadTable(std::uint64_t seed) : seed_(seed) {}
  /// The seed that requests to this table are hashed with (see `request`).
  std::uint64_t seed() const { return seed_; }

  /// The id of the head, adding it when absent; `added` tells which. kNoId when the head is
  /// new but its bytes would take the table past its byte limit; the table is left as it was.
  std::uint32_t find_or_add(const Request& r, bool& added);
  /// The id of the head, or kNoId when it is absent.
  std::uint32_t find(const Request& r) const {
    return index_.find(r.hash, [&](std::uint32_t h) { return matches(h, r); });
  }
  /// Lowers the byte limit (kMaxHeadBytes, never more), so that tests can reach it.
  void set_byte_limit(std::uint64_t limit) { byte_limit_ = std::min(limit, kMaxHeadBytes); }
  /// A hint that `find_or_add(r, ...)` follows soon: starts fetching its index slot.
  void prefetch(const Request& r) const { index_.prefetch(r.hash); }

  std::size_t size() const { return begin_.size() - 1; }
  /// Head h as stored: its owned key (externals, stages, exchanges) or else its encoding.
  struct Stored {
    const NodeKey* owned;
    std::string_view bytes;
  };
  Stored stored(std::uint32_t h) const {
    const std::string_view b = bytes_of(h);
    if (is_named(static_cast<NodeKey::Kind>(static_cast<std::uint8_t>(b[0]) & ~kHasNaN))) return Stored{nullptr, b};
    return Stored{&owned_[owned_index(b)], b};
  }
  /// The owned key of head h, or null when h is encoded.
  const NodeKey* owned(std::uint32_t h) const;
  EncodedHead encoded(std::uint32_t h) const { return EncodedHead(bytes_of(h)); }
  /// Head h as an owned key with these inputs.
  NodeKey key(std::uint32_t h, NodeIds inputs = {}) const;
  /// fn(const NodeKey&) for an owned head, fn(const EncodedHead&) for an encoded one.
  template <class Fn>
  decltype(auto) visit(std::uint32_t h, Fn&& fn) const {
    if (const NodeKey* k = owned(h)) return fn(*k);
    return fn(encoded(h));
  }

  std::size_t memory_bytes() const;

 private:
  std::string_view bytes_of(std::uint32_t h) const {
    return std::string_view(arena_.data() + begin_[h], begin_[h + 1] - begin_[h]);
  }
  static std::uint32_t owned_index(std::string_view bytes) {
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) v |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[1 + k])) << (8 * k);
    return v;
  }
  bool matches(std::uint32_t h, const Request& r) const;

  std::uint64_t seed_;
  /// Encoded heads back to back; an owned head is its kind byte and its 4-byte index in owned_.
  /// Offsets and bytes by hand, not a Ragged, for the store's reason: room is made in both
  /// before a head is recorded, so a shortage of memory leaves the table as it was.
  std::string arena_;
  std::vector<std::uint32_t> begin_{0};  // per head + 1, offsets into arena_ (at most byte_limit_)
  std::uint64_t byte_limit_ = kMaxHeadBytes;
  std::vector<NodeKey> owned_;
  IdTable index_;
};

}  // namespace vantrel
