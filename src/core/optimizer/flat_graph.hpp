#pragma once
/// A graph in the compact form the optimizer works on: every distinct "head" (a key without
/// its inputs) once, and per node its head id plus its inputs in one shared pool. This is the
/// layout the store keeps, so a store copy is a few flat arrays plus the few distinct heads,
/// and per-head work (tokens, identity and commutativity checks) is done once per head.
#include <cstdint>
#include <span>
#include <vector>

#include "common/id_table.hpp"
#include "common/ragged.hpp"
#include "ir/node_key.hpp"

namespace vantrel {

class GraphStore;

/// True when the two keys are equal apart from their inputs.
bool same_head(const NodeKey& a, const NodeKey& b);
/// Hash of a key without its inputs (equal heads hash equally).
std::uint64_t head_hash(const NodeKey& key, std::uint64_t seed);

struct FlatGraph {
  /// Keys with empty inputs. Heads are pairwise distinct in every graph this module builds;
  /// the optimizer stays sound when they are not, it merely finds fewer equalities.
  std::vector<NodeKey> heads;
  std::vector<std::uint32_t> head_of;  ///< per node
  Ragged<NodeId> input_lists;          ///< per node

  std::uint64_t size() const { return head_of.size(); }
  const NodeKey& head(std::uint64_t i) const { return heads[head_of[i]]; }
  std::span<const NodeId> inputs(std::uint64_t i) const { return input_lists[i]; }
  /// The full key of node i (a copy).
  NodeKey key(std::uint64_t i) const { return head(i).with_inputs(NodeIds(inputs(i).begin(), inputs(i).end())); }
  std::vector<NodeKey> keys() const;

  void push(std::uint32_t head_id, std::span<const NodeId> inputs) {
    head_of.push_back(head_id);
    input_lists.push(inputs);
  }
};

/// Interns heads into a FlatGraph's head list, by full equality apart from inputs.
class HeadInterner {
 public:
  explicit HeadInterner(std::uint64_t seed) : seed_(seed) {}
  /// The id of the head of `key` in `heads`, appending a copy without inputs when new.
  std::uint32_t intern(const NodeKey& key, std::vector<NodeKey>& heads);
  /// The id of an equal head, or kNoId.
  std::uint32_t find(const NodeKey& key, const std::vector<NodeKey>& heads) const;

 private:
  std::uint64_t seed_;
  IdTable index_;
  std::vector<std::uint64_t> hashes_;
};

/// Builds the compact form of a node list in id order. Every input must name an earlier
/// node; a forward or out-of-range input is a broken precondition (InternalFault).
FlatGraph flatten(std::span<const NodeKey> nodes);

struct FlatSnapshot {
  FlatGraph graph;
  NodeIds marked;
};
/// Copies the store's nodes from min(start, node count) to the end, in compact form, under
/// one hold of the store's lock (and the marks when `with_marks`). Input ids keep their store
/// numbering, so a copy that does not start at 0 refers to nodes outside itself.
FlatSnapshot flat_snapshot(const GraphStore& store, std::uint64_t start, bool with_marks);

}  // namespace vantrel
