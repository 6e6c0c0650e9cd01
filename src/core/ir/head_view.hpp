#pragma once
/// A borrowed view of the head (kind, name and parameters, no inputs) of a source, op or
/// reduction key. Building a graph mostly asks for heads the store already holds; the view
/// lets the store hash and compare such a request without first copying its texts into an
/// owned key, which is only built (`to_key`) when the node turns out to be new.
#include <span>
#include <string>
#include <string_view>

#include "ir/node_key.hpp"

namespace vantrel {

struct ParamValueView {
  ParamValue::Kind kind = ParamValue::Int;
  std::int64_t i = 0;
  double f = 0;
  bool b = false;
  std::string_view s;

  ParamValue to_value() const;
  bool equals(const ParamValue& v) const;
  /// The same text as `ParamValue::display` for the same value.
  std::string display() const;
  /// Feeds the hasher exactly what `ParamValue::hash_into` feeds it for the same value.
  void hash_into(Hasher& h) const;
};

struct ParamEntryView {
  std::string_view key;
  ParamValueView value;
};

/// Sorts entries stably by key bytes, the order of `ParamMap::make`.
void sort_entries(std::span<ParamEntryView> entries);

class NamedHeadView {
 public:
  /// `kind` is kSource, kOp or kReduction; `entries` must already be sorted.
  NamedHeadView(NodeKey::Kind kind, std::string_view name, std::span<const ParamEntryView> entries)
      : kind_(kind), name_(name), entries_(entries) {}

  NodeKey::Kind kind() const { return kind_; }
  std::string_view name() const { return name_; }
  std::span<const ParamEntryView> entries() const { return entries_; }

  /// Equal to the hash the store computes for the head of the equal owned key.
  void hash_into(Hasher& h) const;
  bool equals(const NodeKey& head) const;
  /// The owned head: the key without inputs.
  NodeKey to_key() const;

 private:
  NodeKey::Kind kind_;
  std::string_view name_;
  std::span<const ParamEntryView> entries_;
};

}  // namespace vantrel
