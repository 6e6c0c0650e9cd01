#include "store/graph_store.hpp"

#include <algorithm>
#include <array>
#include <atomic>

#include "common/prefetch.hpp"
#include "common/room.hpp"

namespace vantrel {

namespace {

// The most inputs a node of a batch may have for the slot it will probe to be fetched ahead
// (nearly every node has one or two).
constexpr std::size_t kAheadInputs = 4;

std::uint64_t next_store_identity() {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

GraphStore::GraphStore()
    : seed_(process_hash_seed()), inner_(std::make_unique<GraphStoreInner>(seed_)), identity_(next_store_identity()) {}

StoreLimits::Reached GraphStore::limit_for_new_node(std::size_t inputs) const {
  const GraphStoreInner& in = *inner_;
  if (in.head_of.size() >= limits_.nodes) return StoreLimits::Reached::kNodes;
  // A limit lowered for a test may be below what the pool holds already.
  const std::uint64_t used = in.input_pool.size();
  if (used > limits_.inputs || inputs > limits_.inputs - used) return StoreLimits::Reached::kInputs;
  return StoreLimits::Reached::kNone;
}

std::uint32_t GraphStore::head_id_locked(const HeadTable::Request& head, std::size_t inputs,
                                         StoreLimits::Reached& full) {
  // A store that cannot take a new node only looks the head up: a new head would be a new
  // node, and adding it first would leave a head with no node behind the refusal.
  const StoreLimits::Reached room = limit_for_new_node(inputs);
  if (room != StoreLimits::Reached::kNone) {
    const std::uint32_t hid = inner_->heads.find(head);
    if (hid == kNoId) full = room;
    return hid;
  }
  bool added = false;
  const std::uint32_t hid = inner_->heads.find_or_add(head, added);
  if (hid == kNoId) full = StoreLimits::Reached::kHeadBytes;
  return hid;
}

NodeId GraphStore::node_id_locked(std::uint32_t hid, std::span<const NodeId> inputs, StoreLimits::Reached& full,
                                  const std::uint64_t* known_hash) {
  GraphStoreInner& in = *inner_;
  const std::uint64_t n = in.head_of.size();
  auto same = [&](std::uint32_t other) {
    const std::uint32_t b = in.input_begin[other], e = in.input_begin[other + 1];
    return e - b == inputs.size() &&
           std::equal(inputs.begin(), inputs.end(), in.input_pool.begin() + static_cast<std::ptrdiff_t>(b));
  };
  auto append = [&] {
    // Element by element: a node has a few inputs, and a range insert costs several times
    // that in its general case handling.
    for (NodeId x : inputs) in.input_pool.push_back(x);
    // At most limits_.inputs, checked before the node was let in.
    in.input_begin.push_back(static_cast<std::uint32_t>(in.input_pool.size()));
    in.head_of.push_back(hid);
    return static_cast<NodeId>(n);
  };
  // Room for a new node is made before anything records it (its head's first node, its index
  // entry): a shortage of memory then leaves the store as it was, and `append` allocates
  // nothing.
  auto make_room = [&] {
    grow_for_one(in.input_pool, inputs.size());
    grow_for_one(in.input_begin, 1);
    grow_for_one(in.head_of, 1);
  };
  // A full store refuses the new node before anything changes, so that no id or offset ever
  // wraps. The first node of each head is found through the head, so a node with a head of
  // its own (a source or an op with its own parameters) never probes or enters the node index.
  if (in.first_of_head.size() <= hid) in.first_of_head.resize(hid + std::size_t{1}, kNoId);
  NodeId& first = in.first_of_head[hid];
  if (first == kNoId) {
    full = limit_for_new_node(inputs.size());
    if (full != StoreLimits::Reached::kNone) return kNoId;
    make_room();
    first = static_cast<NodeId>(n);
    return append();
  }
  if (same(first)) return first;
  // Every later node of the head is in the index; one probe finds it or the slot it goes in.
  const std::uint64_t nh = known_hash != nullptr ? *known_hash : hash_node(hid, inputs, seed_);
  auto next_id = [&]() -> std::uint64_t {
    full = limit_for_new_node(inputs.size());
    if (full != StoreLimits::Reached::kNone) return kNoId;
    make_room();
    return n;
  };
  const std::uint32_t id = in.node_index.find_or_insert(
      nh, [&](std::uint32_t other) { return in.head_of[other] == hid && same(other); }, next_id);
  if (id == kNoId) return kNoId;  // new, but the store is full
  if (id != n) return id;         // found
  return append();
}

Result<NodeId, BadNodeId> GraphStore::intern_parts(const HeadTable::Request& head, std::span<const NodeId> inputs) {
  StoreLimits::Reached full = StoreLimits::Reached::kNone;
  auto result = mutex_.locked([&]() -> Result<NodeId, BadNodeId> {
    const std::uint64_t n = inner_->head_of.size();
    for (NodeId id : inputs) {
      if (id >= n) return Err{BadNodeId{id}};
    }
    const std::uint32_t hid = head_id_locked(head, inputs.size(), full);
    if (hid == kNoId) return kNoId;
    return node_id_locked(hid, inputs, full);
  });
  if (full != StoreLimits::Reached::kNone) throw_full(full);
  return result;
}

void GraphStore::set_limits_for_testing(const StoreLimits& limits) {
  mutex_.locked([&] {
    limits_.nodes = std::min(limits.nodes, kMaxNodeCount);
    limits_.inputs = std::min(limits.inputs, kMaxInputCount);
    limits_.head_bytes = std::min(limits.head_bytes, kMaxHeadBytes);
    inner_->heads.set_byte_limit(limits_.head_bytes);
  });
}

void GraphStore::throw_full(StoreLimits::Reached reached) const {
  // Thrown after the lock is released: a full store is refused, not broken, so the lock
  // stays unpoisoned.
  switch (reached) {
    case StoreLimits::Reached::kInputs:
      throw InternalFault("the store is full: its nodes hold at most " + std::to_string(limits_.inputs) +
                          " inputs in all");
    case StoreLimits::Reached::kHeadBytes:
      throw InternalFault("the store is full: its distinct heads take at most " + std::to_string(limits_.head_bytes) +
                          " bytes in all");
    case StoreLimits::Reached::kNodes:
    case StoreLimits::Reached::kNone: break;
  }
  throw InternalFault("the store is full: it holds at most " + std::to_string(limits_.nodes) + " nodes");
}

namespace {
/// Encoding space for one request at a time, reused by each thread: no allocation per call.
std::string& scratch_bytes() {
  thread_local std::string bytes;
  bytes.clear();
  return bytes;
}
}  // namespace

Result<NodeId, BadNodeId> GraphStore::intern(NodeKey key) {
  const NodeIds inputs = key.take_inputs();
  // The request depends on the key only: encoded and hashed before the lock is taken.
  if (!HeadTable::is_named(key.kind())) return intern_parts(HeadTable::request(key, seed_), inputs);
  std::string& bytes = scratch_bytes();
  encode_head(bytes, key);
  return intern_parts(HeadTable::request(bytes, seed_), inputs);
}

Result<NodeId, BadNodeId> GraphStore::intern(const NamedHeadView& head, std::span<const NodeId> inputs) {
  // Encoded on the stack when it fits, as nearly every head does, else into a per-thread
  // buffer that only grows: no allocation and no zero-filling either way.
  char local[256];
  char* buffer = local;
  const std::size_t bound = encoded_size_bound(head.name(), head.entries());
  if (bound > sizeof local) {
    thread_local std::unique_ptr<char[]> large;
    thread_local std::size_t capacity = 0;
    if (bound > capacity) {
      large = std::make_unique_for_overwrite<char[]>(bound);
      capacity = bound;
    }
    buffer = large.get();
  }
  char* end = encode_head(buffer, head.kind(), head.name(), head.entries());
  const std::string_view bytes(buffer, static_cast<std::size_t>(end - buffer));
  return intern_parts(HeadTable::request(bytes, seed_), inputs);
}

namespace {
/// The shape checks of a batch, made before any head is encoded.
void check_batch(std::size_t head_count, std::span<const std::uint32_t> head_of,
                 std::span<const std::size_t> input_begin) {
  const std::size_t count = head_of.size();
  if (input_begin.size() != count + 1 && !(count == 0 && input_begin.empty())) {
    throw InternalFault("intern_batch: one input range per node");
  }
  for (std::uint32_t h : head_of) {
    if (h >= head_count) throw InternalFault("intern_batch: head index out of range");
  }
}

/// Encodes each head that `wanted` accepts, back to back into `bytes`, and returns a request
/// for each in order; the requests view `bytes`, which must not change after.
template <class Heads, class Wanted>
std::vector<HeadTable::Request> encoded_requests(const Heads& heads, Wanted&& wanted, std::string& bytes,
                                                 std::uint64_t seed) {
  std::vector<std::size_t> ends;
  for (const auto& head : heads) {
    if (!wanted(head)) continue;
    encode_head(bytes, head);
    ends.push_back(bytes.size());
  }
  std::vector<HeadTable::Request> requests;
  requests.reserve(ends.size());
  std::size_t begin = 0;
  for (std::size_t end : ends) {
    requests.push_back(HeadTable::request(std::string_view(bytes).substr(begin, end - begin), seed));
    begin = end;
  }
  return requests;
}
}  // namespace

Result<Ok, BadNodeId> GraphStore::intern_batch(std::span<const NamedHeadView> heads,
                                               std::span<const std::uint32_t> head_of,
                                               std::span<const NodeId> input_pool,
                                               std::span<const std::size_t> input_begin, NodeIds& ids) {
  check_batch(heads.size(), head_of, input_begin);
  if (head_of.empty()) return Ok{};
  // Head requests depend on the request only: encoded and hashed before the lock is taken.
  std::string bytes;
  const std::vector<HeadTable::Request> requests = encoded_requests(
      heads, [](const NamedHeadView&) { return true; }, bytes, seed_);
  return intern_requests(requests, head_of, input_pool, input_begin, /*by_position=*/false, ids);
}

Result<Ok, BadNodeId> GraphStore::intern_graph(std::span<NodeKey> heads, std::span<const std::uint32_t> head_of,
                                               std::span<const NodeId> input_pool,
                                               std::span<const std::size_t> input_begin, NodeIds& ids) {
  check_batch(heads.size(), head_of, input_begin);
  if (head_of.empty()) return Ok{};
  // Named heads are encoded as `intern` encodes them, the others hashed as it hashes them,
  // all before the lock is taken.
  std::string bytes;
  const std::vector<HeadTable::Request> encoded = encoded_requests(
      heads, [](const NodeKey& head) { return HeadTable::is_named(head.kind()); }, bytes, seed_);
  std::vector<HeadTable::Request> requests;
  requests.reserve(heads.size());
  std::size_t next_encoded = 0;
  for (NodeKey& head : heads) {
    if (HeadTable::is_named(head.kind())) {
      requests.push_back(encoded[next_encoded++]);
    } else {
      (void)head.take_inputs();
      requests.push_back(HeadTable::request(head, seed_));
    }
  }
  return intern_requests(requests, head_of, input_pool, input_begin, /*by_position=*/true, ids);
}

Result<Ok, BadNodeId> GraphStore::intern_requests(std::span<const HeadTable::Request> requests,
                                                  std::span<const std::uint32_t> head_of,
                                                  std::span<const NodeId> input_pool,
                                                  std::span<const std::size_t> input_begin, bool by_position,
                                                  NodeIds& ids) {
  const std::size_t count = head_of.size();
  const std::size_t base = ids.size();  // position p's id is ids[base + p]
  // Each head's stored id, found (or added) when the first node that has it is interned, so
  // heads are added in the order one intern per node would add them.
  std::vector<std::uint32_t> head_ids(requests.size(), kNoId);
  // Growing by at least doubling: a caller that interns a long graph in chunks without
  // reserving room itself would otherwise have `ids` copied whole once per chunk.
  if (ids.capacity() < base + count) ids.reserve(std::max(base + count, 2 * ids.capacity()));
  NodeIds mapped;  // a node's inputs as ids, when they are given by position
  StoreLimits::Reached full = StoreLimits::Reached::kNone;
  auto result = mutex_.locked([&]() -> Result<Ok, BadNodeId> {
    GraphStoreInner& in = *inner_;
    if (by_position) {
      // A graph in compact form holds distinct nodes as a rule: room for all of them up front,
      // and in the node index for all but the first node of each head.
      reserve_locked(count, input_pool.size(), count - std::min(count, requests.size()));
    }
    // A batch is interned faster than its tables can be read at random: the slot a later
    // node will probe is fetched while the nodes before it are interned, whenever what that
    // probe hashes is known already.
    // The hash a fetch worked out is kept for the probe, by position (a fetch is at most
    // kFetchAhead positions ahead of its probe).
    struct Fetched {
      std::size_t position = ~std::size_t{0};
      std::uint64_t hash = 0;
    };
    std::array<Fetched, 2 * kFetchAhead> fetched{};
    auto fetch_ahead = [&](std::size_t j) {
      const std::uint32_t hid = head_ids[head_of[j]];
      if (hid == kNoId) {
        in.heads.prefetch(requests[head_of[j]]);
        return;
      }
      // Only a later node of its head probes the node index, under a hash of its head and
      // its inputs' ids.
      if (hid >= in.first_of_head.size() || in.first_of_head[hid] == kNoId) return;
      const std::size_t n = input_begin[j + 1] - input_begin[j];
      if (n > kAheadInputs) return;
      NodeId inputs[kAheadInputs];
      for (std::size_t k = 0; k < n; ++k) {
        NodeId x = input_pool[input_begin[j] + k];
        if (by_position) {
          if (x >= ids.size() - base) return;  // a node not interned yet
          x = ids[base + x];
        }
        inputs[k] = x;
      }
      const std::uint64_t hash = hash_node(hid, std::span<const NodeId>(inputs, n), seed_);
      fetched[j % fetched.size()] = Fetched{j, hash};
      in.node_index.prefetch(hash);
    };
    for (std::size_t i = 0; i < count; ++i) {
      if (i + kFetchAhead < count) fetch_ahead(i + kFetchAhead);
      std::span<const NodeId> inputs = input_pool.subspan(input_begin[i], input_begin[i + 1] - input_begin[i]);
      if (by_position) {
        mapped.clear();
        for (NodeId p : inputs) {
          if (p >= i) return Err{BadNodeId{p}};
          mapped.push_back(ids[base + p]);
        }
        inputs = mapped;
      } else {
        const std::uint64_t n = in.head_of.size();
        for (NodeId id : inputs) {
          if (id >= n) return Err{BadNodeId{id}};
        }
      }
      const std::uint32_t h = head_of[i];
      if (head_ids[h] == kNoId) {
        head_ids[h] = head_id_locked(requests[h], inputs.size(), full);
        if (head_ids[h] == kNoId) return Ok{};  // `full` says which limit
      }
      // A fetch knew the node's head and inputs as they are now, so its hash is the probe's.
      const Fetched& f = fetched[i % fetched.size()];
      const NodeId id = node_id_locked(head_ids[h], inputs, full, f.position == i ? &f.hash : nullptr);
      if (id == kNoId) return Ok{};  // `full` says which limit
      ids.push_back(id);
    }
    return Ok{};
  });
  if (full != StoreLimits::Reached::kNone) throw_full(full);
  return result;
}

void GraphStore::reserve(std::uint64_t nodes, std::uint64_t inputs, std::uint64_t indexed) {
  mutex_.locked([&] { reserve_locked(nodes, inputs, indexed); });
}

void GraphStore::reserve_locked(std::uint64_t nodes, std::uint64_t inputs, std::uint64_t indexed) {
  GraphStoreInner& in = *inner_;
  // A hint, capped by what the store can still hold. Room that cannot be had is left to be
  // made node by node: each reservation either succeeds or changes nothing.
  const std::uint64_t room = limits_.nodes - std::min<std::uint64_t>(limits_.nodes, in.head_of.size());
  nodes = std::min(nodes, room);
  indexed = std::min(indexed, room);
  inputs = std::min(inputs, limits_.inputs - std::min<std::uint64_t>(limits_.inputs, in.input_pool.size()));
  try {
    in.head_of.reserve(in.head_of.size() + nodes);
    in.input_begin.reserve(in.input_begin.size() + nodes);
    in.input_pool.reserve(in.input_pool.size() + inputs);
    in.node_index.reserve(in.node_index.size() + indexed);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
}

Result<Ok, BadNodeId> GraphStore::mark_output(NodeId id) {
  return mutex_.locked([&]() -> Result<Ok, BadNodeId> {
    GraphStoreInner& in = *inner_;
    if (id >= in.head_of.size()) return Err{BadNodeId{id}};
    grow_for_one(in.marked, 1);  // before the set changes: the append cannot fail after it
    if (in.marked_set.insert(id).second) in.marked.push_back(id);
    return Ok{};
  });
}

Result<Ok, BadNodeId> GraphStore::mark_outputs(std::span<const NodeId> ids) {
  return mutex_.locked([&]() -> Result<Ok, BadNodeId> {
    GraphStoreInner& in = *inner_;
    for (NodeId id : ids) {
      if (id >= in.head_of.size()) return Err{BadNodeId{id}};
    }
    for (NodeId id : ids) {
      grow_for_one(in.marked, 1);  // before the set changes: the append cannot fail after it
      if (in.marked_set.insert(id).second) in.marked.push_back(id);
    }
    return Ok{};
  });
}

std::uint64_t GraphStore::node_count() const {
  return mutex_.locked([&] { return inner_->head_of.size(); });
}

NodeIds GraphStore::outputs() const {
  return mutex_.locked([&] { return inner_->marked; });
}

NodeKey GraphStore::View::key(NodeId i) const {
  auto in = inputs(i);
  return inner_.heads.key(head_id(i), NodeIds(in.begin(), in.end()));
}

StoreSnapshot GraphStore::snapshot() const {
  return with_view([](const View& v) {
    StoreSnapshot s;
    const std::uint64_t n = v.node_count();
    s.nodes.reserve(n);
    for (NodeId i = 0; i < n; ++i) s.nodes.push_back(v.key(i));
    s.marked = v.marked();
    return s;
  });
}

std::vector<NodeKey> GraphStore::snapshot_from(std::uint64_t start) const {
  return with_view([start](const View& v) {
    std::vector<NodeKey> out;
    const std::uint64_t n = v.node_count();
    if (start >= n) return out;
    out.reserve(n - start);
    for (auto i = static_cast<NodeId>(start); i < n; ++i) out.push_back(v.key(i));  // start < n: an id
    return out;
  });
}

std::size_t GraphStore::memory_bytes() const {
  return mutex_.locked([&] {
    const GraphStoreInner& in = *inner_;
    return in.heads.memory_bytes() + in.head_of.capacity() * 4 + in.input_begin.capacity() * sizeof(std::uint32_t) +
           in.input_pool.capacity() * sizeof(NodeId) + in.first_of_head.capacity() * sizeof(NodeId) +
           in.node_index.memory_bytes();
  });
}

}  // namespace vantrel
