#include "optimizer/flat_graph.hpp"

#include "common/fault.hpp"
#include "common/hash.hpp"
#include "common/open_table.hpp"
#include "common/room.hpp"
#include "store/graph_store.hpp"

namespace vantrel {

bool same_head(const NodeKey& a, const NodeKey& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case NodeKey::kSource: return *a.get_if<Source>() == *b.get_if<Source>();
    case NodeKey::kOp: {
      const Op& x = *a.get_if<Op>();
      const Op& y = *b.get_if<Op>();
      return x.name == y.name && x.params == y.params;
    }
    case NodeKey::kReduction: {
      const Reduction& x = *a.get_if<Reduction>();
      const Reduction& y = *b.get_if<Reduction>();
      return x.name == y.name && x.params == y.params;
    }
    case NodeKey::kExternal: {
      const External& x = *a.get_if<External>();
      const External& y = *b.get_if<External>();
      return (x.descriptor == y.descriptor || *x.descriptor == *y.descriptor) && x.params == y.params;
    }
    case NodeKey::kStage: return a.get_if<Stage>()->members == b.get_if<Stage>()->members;
    case NodeKey::kExchange: return a.get_if<Exchange>()->params == b.get_if<Exchange>()->params;
  }
  return false;
}

std::uint64_t head_hash(const NodeKey& key, std::uint64_t seed) {
  Hasher h(seed);
  key.hash_head_into(h);
  return h.finish();
}

std::vector<NodeKey> FlatGraph::keys() const {
  std::vector<NodeKey> out;
  out.reserve(size());
  for (std::uint64_t i = 0; i < size(); ++i) out.push_back(key(i));
  return out;
}

std::uint32_t HeadInterner::find(const NodeKey& key, const std::vector<NodeKey>& heads) const {
  const std::uint64_t h = head_hash(key, seed_);
  return index_.find(h, [&](std::uint32_t id) { return hashes_[id] == h && same_head(heads[id], key); });
}

std::uint32_t HeadInterner::intern(const NodeKey& key, std::vector<NodeKey>& heads) {
  const std::uint64_t h = head_hash(key, seed_);
  std::uint32_t id = index_.find(h, [&](std::uint32_t i) { return hashes_[i] == h && same_head(heads[i], key); });
  if (id != kNoId) return id;
  const std::uint64_t fresh = heads.size();
  // Everything that allocates comes before the index learns of the head: a shortage of
  // memory leaves the interner as it was.
  NodeKey head = key.with_inputs({});
  grow_for_one(heads, 1);
  grow_for_one(hashes_, 1);
  index_.insert(h, fresh);
  heads.push_back(std::move(head));
  hashes_.push_back(h);
  return static_cast<std::uint32_t>(fresh);
}

FlatGraph flatten(std::span<const NodeKey> nodes) {
  FlatGraph g;
  HeadInterner heads(process_hash_seed());
  g.head_of.reserve(nodes.size());
  g.input_lists.reserve(nodes.size(), 0);
  for (std::uint64_t i = 0; i < nodes.size(); ++i) {
    auto in = nodes[i].inputs();
    for (NodeId x : in) {
      if (x >= i)
        throw InternalFault("node " + std::to_string(i) + " takes input " + std::to_string(x) +
                            ", which is not an earlier node");
    }
    g.push(heads.intern(nodes[i], g.heads), in);
  }
  return g;
}

namespace {

/// Open-addressing map from a store head id to its id in the copy. A map rather than a
/// vector over all the store's heads, so that copying a short tail costs no more than it.
class HeadIdMap {
 public:
  std::uint32_t* find_or_slot(std::uint32_t store_head, bool& fresh) {
    const std::uint32_t key = store_head + 1;
    Slot& s = table_.find_or_empty(mix64(key), key);
    fresh = s.empty();
    if (fresh) {
      s.key = key;
      table_.filled();
    }
    return &s.value;
  }

 private:
  struct Slot {
    std::uint32_t key;  // store head id + 1; 0: empty
    std::uint32_t value;
    bool empty() const { return key == 0; }
  };
  struct Keys {  // a probe is a stored key: store head id + 1
    static std::uint64_t hash(const Slot& s) { return mix64(s.key); }
    static bool equal(const Slot& s, std::uint32_t key) { return s.key == key; }
  };
  OpenTable<Slot, Keys> table_{64};
};

}  // namespace

FlatSnapshot flat_snapshot(const GraphStore& store, std::uint64_t start, bool with_marks) {
  return store.with_view([&](const GraphStore::View& v) {
    FlatSnapshot s;
    FlatGraph& g = s.graph;
    const std::uint64_t n = v.node_count();
    if (with_marks) s.marked = v.marked();
    if (start >= n) return s;  // below, start < n: a node id
    if (start == 0) {
      // The whole store: its tables are copied as they are, and its head ids serve as they
      // are, since every head of a store is distinct.
      g.head_of.assign(v.head_ids().begin(), v.head_ids().end());
      g.input_lists.assign(v.input_offsets(), v.input_pool());
      g.heads.reserve(v.head_count());
      for (std::uint32_t h = 0; h < v.head_count(); ++h) g.heads.push_back(v.head_key(h));
      return s;
    }
    g.head_of.reserve(n - start);
    g.input_lists.reserve(n - start, 0);
    HeadIdMap heads;  // each distinct head is copied once
    for (auto i = static_cast<NodeId>(start); i < n; ++i) {
      bool fresh = false;
      std::uint32_t* id = heads.find_or_slot(v.head_id(i), fresh);
      if (fresh) {
        *id = static_cast<std::uint32_t>(g.heads.size());
        g.heads.push_back(v.head(i));
      }
      g.push(*id, v.inputs(i));
    }
    return s;
  });
}

}  // namespace vantrel
