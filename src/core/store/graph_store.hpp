#pragma once
/// The interned graph store: an append-only, hash-consed node table with dense ids and an
/// ordered list of marked outputs. Every operation holds the store's mutex from start to end
/// and calls nothing outside the store meanwhile, so each one is atomic.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/id_table.hpp"
#include "common/poison_mutex.hpp"
#include "common/result.hpp"
#include "ir/head_view.hpp"
#include "ir/node_key.hpp"
#include "store/head_table.hpp"

namespace vantrel {

/// The id a store refused. Wide, so that an id refused at a boundary before it could be
/// narrowed (see common/node_id.hpp) is reported exactly as it was given.
struct BadNodeId {
  WideNodeId id;
  bool operator==(const BadNodeId&) const = default;
  /// "BadNodeId(7)"
  std::string debug() const { return "BadNodeId(" + std::to_string(id) + ")"; }
};

struct StoreSnapshot {
  std::vector<NodeKey> nodes;
  NodeIds marked;
};

/// How many inputs a store's nodes can hold in all: the pool is reached through 32-bit
/// offsets, whose largest value is its end.
inline constexpr std::uint64_t kMaxInputCount = 0xFFFFFFFFu;

/// How much a store can hold. Node ids, offsets into the input pool and offsets into the head
/// bytes are all kept in 32 bits, so each count stops below 2^32: a new node that would pass
/// one of them is refused (see `GraphStore::intern`) before anything changes.
struct StoreLimits {
  std::uint64_t nodes = kMaxNodeCount;
  std::uint64_t inputs = kMaxInputCount;     ///< inputs of all nodes together
  std::uint64_t head_bytes = kMaxHeadBytes;  ///< stored bytes of all distinct heads (see HeadTable)
  /// The limit that was reached, for the refusal's message.
  enum class Reached : std::uint8_t { kNone, kNodes, kInputs, kHeadBytes };
};

/// The state the mutex guards. Keys are stored split: each distinct head (a key without its
/// inputs) once, compactly, and per node its head id plus its inputs in one shared pool; the
/// node index refers to these tables instead of holding copies of keys.
struct GraphStoreInner {
  explicit GraphStoreInner(std::uint64_t seed) : heads(seed) {}
  HeadTable heads;
  std::vector<std::uint32_t> head_of;  // per node
  // Offsets and pool by hand, not a Ragged: room is made in every array before a node is
  // recorded, so that a shortage of memory leaves the store as it was (Ragged's push
  // allocates as it appends).
  std::vector<std::uint32_t> input_begin{0};  // per node + 1, offsets into input_pool
  NodeIds input_pool;
  NodeIds first_of_head;  // per head: its first node (kNoId while it has none)
  IdTable node_index;     // every node that is not the first of its head
  NodeIds marked;
  std::unordered_set<NodeId> marked_set;
};

inline constexpr const char* kStorePoisonedMessage = "vantrel-core store mutex poisoned: PoisonError { .. }";

class GraphStore {
 public:
  GraphStore();
  GraphStore(const GraphStore&) = delete;
  GraphStore& operator=(const GraphStore&) = delete;

  /// Validates the inputs (each below the node count; the first bad one is refused), then
  /// returns the id of an equal stored key or appends the key with the next id. A new node
  /// that a full store cannot hold (kMaxNodeCount nodes already, or its inputs or its new
  /// head past the store's other limits, see `StoreLimits`) throws InternalFault; the store
  /// is left as it was and stays usable.
  Result<NodeId, BadNodeId> intern(NodeKey key);
  /// The same for a key given as a borrowed head view (see ir/head_view.hpp) and its inputs:
  /// the owned key is built only when the node is new, so finding an existing node or an
  /// existing head copies no text.
  Result<NodeId, BadNodeId> intern(const NamedHeadView& head, std::span<const NodeId> inputs);
  /// Interns many nodes in one lock hold, in order, exactly as that many calls of the
  /// single-node `intern` would: node i has the head `heads[head_of[i]]` and the inputs
  /// `input_pool[input_begin[i] .. input_begin[i+1])`, and may consume nodes added earlier in
  /// the same batch. Each distinct head is hashed and looked up once. Appends each node's id
  /// to `ids`. The first node with a bad input is refused with its `BadNodeId`: the nodes
  /// before it are added (their ids are in `ids`), nothing after it is looked at.
  Result<Ok, BadNodeId> intern_batch(std::span<const NamedHeadView> heads, std::span<const std::uint32_t> head_of,
                                     std::span<const NodeId> input_pool, std::span<const std::size_t> input_begin,
                                     NodeIds& ids);
  /// Interns a graph in compact form, in order, as one `intern` per node would: node i has
  /// the head `heads[head_of[i]]`, a key of any kind whose inputs are ignored, and reads the
  /// graph's own earlier nodes by position (input p < i stands for the id node p got). The
  /// first node with an input p >= i is refused with `BadNodeId{p}`: the nodes before it are
  /// added (their ids are in `ids`), nothing after it is looked at. Each distinct head is
  /// encoded or hashed once; a stage, external or exchange head that the store adds is moved
  /// into it, the other heads keep their contents (apart from any inputs).
  Result<Ok, BadNodeId> intern_graph(std::span<NodeKey> heads, std::span<const std::uint32_t> head_of,
                                     std::span<const NodeId> input_pool, std::span<const std::size_t> input_begin,
                                     NodeIds& ids);
  /// Makes room for `nodes` more nodes with `inputs` inputs in all, `indexed` of them later
  /// nodes of a head they share (those the node index holds), so that a batch known to be
  /// that large goes in without growing the tables step by step. Changes nothing a reader can
  /// see.
  void reserve(std::uint64_t nodes, std::uint64_t inputs, std::uint64_t indexed);
  /// Marks an output; a repeat keeps its first position.
  Result<Ok, BadNodeId> mark_output(NodeId id);
  /// Marks several outputs in one lock hold, in order, repeats keeping their first position.
  /// Every id is checked first: the first one that is not a node refuses the whole call, and
  /// nothing is marked.
  Result<Ok, BadNodeId> mark_outputs(std::span<const NodeId> ids);

  /// A number that tells this store apart from every other store of the process, ever: it is
  /// never reused, not even after this store is destroyed (an address could be).
  std::uint64_t identity() const { return identity_; }

  std::uint64_t node_count() const;
  NodeIds outputs() const;
  /// Copies of every key in id order and of the marks, from one lock hold.
  StoreSnapshot snapshot() const;
  /// Copies of the keys from min(start, node count) to the end.
  std::vector<NodeKey> snapshot_from(std::uint64_t start) const;

  /// The whole store as DOT text, rendered under the lock.
  std::string to_dot() const;

  /// Read-only access to the state under the lock, for renderers that must see one
  /// consistent state. The view must not escape `fn`.
  class View {
   public:
    std::uint64_t node_count() const { return inner_.head_of.size(); }
    /// The id of node i's head: nodes with equal heads share it. Head ids are dense, in the
    /// order heads were first added, and never change.
    std::uint32_t head_id(NodeId i) const { return inner_.head_of[i]; }
    std::size_t head_count() const { return inner_.heads.size(); }
    /// The key of node i without its inputs, as an owned copy.
    NodeKey head(NodeId i) const { return inner_.heads.key(head_id(i)); }
    /// A head as an owned key, by head id.
    NodeKey head_key(std::uint32_t h) const { return inner_.heads.key(h); }
    /// Node i's head as stored: the owned key for externals, stages and exchanges, else its
    /// encoding (read it with `EncodedHead`).
    HeadTable::Stored stored_head(NodeId i) const { return inner_.heads.stored(head_id(i)); }
    /// fn(const NodeKey&) or fn(const EncodedHead&) with node i's head as stored, uncopied.
    template <class Fn>
    decltype(auto) visit_head(NodeId i, Fn&& fn) const {
      return inner_.heads.visit(head_id(i), std::forward<Fn>(fn));
    }
    std::span<const NodeId> inputs(NodeId i) const;
    NodeKey key(NodeId i) const;
    /// The node table as stored: per node its head id, per node + 1 the offset of its inputs
    /// in the pool, and the pool (what `head_id` and `inputs` read, for whole-table copies).
    std::span<const std::uint32_t> head_ids() const { return inner_.head_of; }
    std::span<const std::uint32_t> input_offsets() const { return inner_.input_begin; }
    std::span<const NodeId> input_pool() const { return inner_.input_pool; }
    const NodeIds& marked() const { return inner_.marked; }
    bool is_marked(NodeId i) const { return inner_.marked_set.count(i) != 0; }

   private:
    friend class GraphStore;
    explicit View(const GraphStoreInner& inner) : inner_(inner) {}
    const GraphStoreInner& inner_;
  };
  template <class Fn>
  decltype(auto) with_view(Fn&& fn) const {
    return mutex_.locked([&]() -> decltype(auto) { return fn(View(*inner_)); });
  }

  /// Approximate bytes held by the node table and its indexes.
  std::size_t memory_bytes() const;
  void poison_for_testing() { mutex_.poison_for_testing(); }
  /// Lowers the node limit (kMaxNodeCount), the others at their defaults, so that tests can
  /// reach it.
  void set_node_limit_for_testing(std::uint64_t limit) {
    StoreLimits limits;
    limits.nodes = limit;
    set_limits_for_testing(limits);
  }
  /// Lowers any of the limits, so that tests can reach them; each stays at most its default.
  void set_limits_for_testing(const StoreLimits& limits);

 private:
  /// Shared body of `intern_batch` and `intern_graph` (`by_position`), once each head is a
  /// request.
  Result<Ok, BadNodeId> intern_requests(std::span<const HeadTable::Request> requests,
                                        std::span<const std::uint32_t> head_of, std::span<const NodeId> input_pool,
                                        std::span<const std::size_t> input_begin, bool by_position, NodeIds& ids);
  /// Shared body of both `intern`s.
  Result<NodeId, BadNodeId> intern_parts(const HeadTable::Request& head, std::span<const NodeId> inputs);
  /// The id of the node (head, inputs), adding it when absent; the inputs are valid. kNoId
  /// when the node is new but the store is full, with the limit it reached in `full`. Lock
  /// held. `known_hash`, when given, is the node's hash in the node index, worked out already.
  NodeId node_id_locked(std::uint32_t head, std::span<const NodeId> inputs, StoreLimits::Reached& full,
                        const std::uint64_t* known_hash = nullptr);
  /// The id of the head, adding it when a new node with this many inputs could still go in.
  /// kNoId when the head is absent and cannot be added, with the limit that stops it in
  /// `full`. Lock held.
  std::uint32_t head_id_locked(const HeadTable::Request& head, std::size_t inputs, StoreLimits::Reached& full);
  /// The limit a new node with this many inputs would pass, or kNone. Lock held.
  StoreLimits::Reached limit_for_new_node(std::size_t inputs) const;
  /// `reserve` with the lock held.
  void reserve_locked(std::uint64_t nodes, std::uint64_t inputs, std::uint64_t indexed);
  /// Throws the full store's InternalFault naming the limit reached (called once the lock is
  /// released).
  [[noreturn]] void throw_full(StoreLimits::Reached reached) const;

  mutable PoisonMutex mutex_{kStorePoisonedMessage};
  std::uint64_t seed_;
  std::unique_ptr<GraphStoreInner> inner_;
  std::uint64_t identity_;
  StoreLimits limits_;
};

inline std::span<const NodeId> GraphStore::View::inputs(NodeId i) const {
  return std::span<const NodeId>(inner_.input_pool.data() + inner_.input_begin[i],
                                 inner_.input_begin[i + 1] - inner_.input_begin[i]);
}

}  // namespace vantrel
