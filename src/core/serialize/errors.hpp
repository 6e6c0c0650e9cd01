#pragma once
/// The error values of the blob format: `DecodeError`, the five ways a byte string fails to
/// read as a blob, and `EncodeError`, the two ways a write request is refused (a store that
/// the format's 32-bit counts cannot describe, or an output id the store does not have).
/// Each carries a fixed message text that the Python layer raises unchanged.
#include <cstdint>
#include <string>
#include <variant>

#include "ir/node_key.hpp"

namespace vantrel {

struct DecodeError {
  /// The data does not start with "VIR1" (another file, or another format version).
  struct BadMagic {
    bool operator==(const BadMagic&) const = default;
  };
  /// A field runs past the end of the data.
  struct Truncated {
    bool operator==(const Truncated&) const = default;
  };
  /// A tag byte outside its table; `what` is "node", "param" or "stage-ref".
  struct BadTag {
    const char* what;
    std::uint8_t tag;
    bool operator==(const BadTag& o) const { return std::string(what) == o.what && tag == o.tag; }
  };
  /// A text that is not strict UTF-8.
  struct BadUtf8 {
    bool operator==(const BadUtf8&) const = default;
  };
  /// A node, member or output reference that does not name an earlier item.
  struct BadRef {
    std::uint64_t ref;
    bool operator==(const BadRef&) const = default;
  };
  using Variant = std::variant<BadMagic, Truncated, BadTag, BadUtf8, BadRef>;

  Variant v;

  bool operator==(const DecodeError&) const = default;
  /// "truncated vantrel IR blob", "invalid node tag 9", "node reference 4 out of range", ...
  std::string message() const;
};

struct EncodeError {
  /// A count, text length or stage argument index above 4294967295; `what` names it.
  struct TooLarge {
    const char* what;
    std::uint64_t value;
    bool operator==(const TooLarge& o) const { return std::string(what) == o.what && value == o.value; }
  };
  /// An output id at or beyond the store's node count.
  struct UnknownOutput {
    NodeId id;
    bool operator==(const UnknownOutput&) const = default;
  };
  using Variant = std::variant<TooLarge, UnknownOutput>;

  Variant v;

  bool operator==(const EncodeError&) const = default;
  /// "text length 4294967296 exceeds the vantrel IR blob limit of 4294967295", or for an
  /// unknown output "no node with id 7" (the same text as any other refused node id).
  std::string message() const;
};

}  // namespace vantrel
