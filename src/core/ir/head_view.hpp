#pragma once
/// A borrowed view of the head (kind, name and parameters, no inputs) of a source, op or
/// reduction key. Building a graph mostly asks for heads the store already holds; the view
/// lets the store encode and look up such a request without first copying its texts into an
/// owned key, which is only built when the node turns out to be new.
#include <span>
#include <string_view>

#include "ir/node_key.hpp"

namespace vantrel {

/// Sorts entries stably by key bytes, the order of `ParamMap::make`.
inline void sort_entries(std::span<ParamEntryView> entries) { sort_by_key(entries); }

class NamedHeadView {
 public:
  /// `kind` is kSource, kOp or kReduction; `entries` must already be sorted.
  NamedHeadView(NodeKey::Kind kind, std::string_view name, std::span<const ParamEntryView> entries)
      : kind_(kind), name_(name), entries_(entries) {}

  NodeKey::Kind kind() const { return kind_; }
  std::string_view name() const { return name_; }
  std::span<const ParamEntryView> entries() const { return entries_; }

 private:
  NodeKey::Kind kind_;
  std::string_view name_;
  std::span<const ParamEntryView> entries_;
};

}  // namespace vantrel
