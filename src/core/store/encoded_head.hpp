#pragma once
/// The compact form in which a store keeps the head (kind, name, parameters; no inputs) of a
/// source, op or reduction: one run of bytes, with no allocation of its own.
///
///   kind byte (| kHasNaN when some float value is a NaN)
///   varint name length, name bytes
///   varint entry count, then per entry (in map order):
///     varint key length, key bytes, value kind byte, and the value:
///     int: zigzag varint; float: its 8 bytes as given (little-endian, NaN payload kept);
///     bool: one byte; str: varint length, bytes.
///
/// Two heads are equal (by canonical float bits, as `NodeKey` equality) exactly when their
/// bytes are equal, except that a NaN keeps its own payload: heads marked kHasNaN are compared
/// and hashed on a copy whose floats are canonical.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/hash.hpp"
#include "ir/head_view.hpp"
#include "ir/node_key.hpp"

namespace vantrel {

inline constexpr std::uint8_t kHasNaN = 0x80;

/// The most bytes `encode_head` can write for such a head.
std::size_t encoded_size_bound(std::string_view name, std::span<const ParamEntryView> entries);
/// The encoder: writes the encoding of a named head (kind kSource, kOp or kReduction; sorted
/// entries) at `first`, which has room for the bound; returns its end.
char* encode_head(char* first, NodeKey::Kind kind, std::string_view name, std::span<const ParamEntryView> entries);
/// Appends the encoding of a head view.
void encode_head(std::string& out, const NamedHeadView& head);
/// Appends the encoding of an owned key of a named kind (its inputs are ignored).
void encode_head(std::string& out, const NodeKey& key);

/// Reads an encoded head in place; the bytes must outlive it.
class EncodedHead {
 public:
  explicit EncodedHead(std::string_view bytes);

  NodeKey::Kind kind() const { return static_cast<NodeKey::Kind>(static_cast<std::uint8_t>(bytes_[0]) & ~kHasNaN); }
  bool has_nan() const { return (static_cast<std::uint8_t>(bytes_[0]) & kHasNaN) != 0; }
  std::string_view name() const { return name_; }
  std::uint64_t size() const { return size_; }
  std::string_view bytes() const { return bytes_; }

  /// Calls fn(key, value) for each entry in order; string views point into the bytes.
  template <class Fn>
  void for_each_entry(Fn&& fn) const;

  /// The owned key with these inputs (a source ignores them).
  NodeKey to_key(NodeIds inputs = {}) const;

 private:
  std::string_view bytes_;
  std::string_view name_;
  std::uint64_t size_ = 0;
  const char* entries_ = nullptr;
};

/// Hash of an encoded head, equal for equal heads.
std::uint64_t hash_encoded_head(std::string_view bytes, std::uint64_t seed);
/// Whether two encoded heads are equal heads.
bool same_encoded_head(std::string_view a, std::string_view b);

namespace head_codec {

inline std::uint64_t read_varint(const char*& p) {
  std::uint64_t v = 0;
  for (int shift = 0;; shift += 7) {
    const auto b = static_cast<std::uint8_t>(*p++);
    v |= static_cast<std::uint64_t>(b & 0x7f) << shift;
    if ((b & 0x80) == 0) return v;
  }
}

inline std::string_view read_text(const char*& p) {
  const std::uint64_t n = read_varint(p);
  std::string_view s(p, n);
  p += n;
  return s;
}

inline ParamValueView read_value(const char*& p) {
  ParamValueView v;
  v.kind = static_cast<ParamValue::Kind>(*p++);
  switch (v.kind) {
    case ParamValue::Int: {
      const std::uint64_t z = read_varint(p);
      v.i = static_cast<std::int64_t>((z >> 1) ^ (0 - (z & 1)));
      break;
    }
    case ParamValue::Float: {
      std::uint64_t bits = 0;
      for (int k = 0; k < 8; ++k) bits |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(p[k])) << (8 * k);
      p += 8;
      v.f = std::bit_cast<double>(bits);
      break;
    }
    case ParamValue::Bool: v.b = *p++ != 0; break;
    case ParamValue::Str: v.s = read_text(p); break;
  }
  return v;
}

}  // namespace head_codec

template <class Fn>
void EncodedHead::for_each_entry(Fn&& fn) const {
  const char* p = entries_;
  for (std::uint64_t k = 0; k < size_; ++k) {
    const std::string_view key = head_codec::read_text(p);
    const ParamValueView value = head_codec::read_value(p);
    fn(key, value);
  }
}

}  // namespace vantrel
