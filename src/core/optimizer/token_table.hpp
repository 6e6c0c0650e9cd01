#pragma once
/// The labels under which the optimizer hands nodes to the rewrite engine, and the table that
/// turns a label back into the node it stands for.
///
/// A node's label is its token, with one exception. The token of an op, source, reduction or
/// exchange names exactly one head (a key without its inputs), but two kinds of token do not:
/// a stage's token carries only its member count ("stage|2"), and an external node's token
/// writes the descriptor fields unescaped and an absent preprocessing reference as "-", so
/// different stages, or different descriptors, can share one token. Were such nodes labelled
/// by their token alone, the engine would merge them when their inputs agree, and the node
/// re-created from the table would take the first one's members or descriptor.
///
/// So every distinct head gets its own label. The first head met with a token (in node order)
/// keeps the token itself; the k-th different head with that same token (k = 1, 2, ...) gets
/// the token with "#k" inserted before its first "|" ("stage#1|2", "ext#1|model|h|..."), or
/// appended when it has none. No token has "#" right after its kind word, so such a label can
/// never equal the token of any node, and it never starts with "op|": the engine treats it as
/// an opaque leaf label like any other. Op tokens are never touched (the rewrite rules match
/// them exactly), and a graph without such collisions is labelled exactly by its tokens.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/id_table.hpp"
#include "ir/node_key.hpp"

namespace vantrel {

class TokenTable {
 public:
  TokenTable();

  /// Registers a head (a key whose inputs are ignored) and returns its label id; an equal
  /// head gets the same id back. `head` must outlive the table: the table keeps its address.
  std::uint32_t add(const NodeKey& head);

  const std::string& label(std::uint32_t id) const { return labels_[id]; }
  /// Every label, by id; the engine graph's label table.
  const std::vector<std::string>& labels() const { return labels_; }
  /// The head label `id` stands for.
  const NodeKey& head(std::uint32_t id) const { return *label_head_[id]; }
  /// The head a label stands for, or null when the label is unknown.
  const NodeKey* find(std::string_view label) const;
  std::size_t size() const { return labels_.size(); }

 private:
  std::uint32_t insert_label(std::string label, const NodeKey* head);

  std::uint64_t seed_;
  std::vector<std::string> labels_;
  std::vector<std::uint64_t> label_hash_;
  std::vector<const NodeKey*> label_head_;
  std::vector<std::uint32_t> collisions_;  ///< per label: other heads that share its token so far
  IdTable by_label_;
  /// Only the heads that needed a disambiguated label, keyed by their head hash.
  IdTable by_head_;
  std::vector<std::uint32_t> renamed_;  ///< by_head_ id -> label id
  std::vector<std::uint64_t> renamed_hash_;
};

}  // namespace vantrel
