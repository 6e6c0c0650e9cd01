#include "optimizer/pipeline.hpp"

#include <algorithm>
#include <chrono>
#include <memory>
#include <numeric>

#include "common/fault.hpp"
#include "common/hash.hpp"
#include "common/open_table.hpp"
#include "optimizer/stage_fusion.hpp"
#include "optimizer/token_table.hpp"

namespace vantrel {

namespace {

class PassClock {
 public:
  explicit PassClock(PassTimings* t) : t_(t), last_(now()) {}
  void lap(double PassTimings::*field) {
    if (t_ == nullptr) return;
    const auto n = now();
    t_->*field += std::chrono::duration<double>(n - last_).count();
    last_ = n;
  }

 private:
  static std::chrono::steady_clock::time_point now() { return std::chrono::steady_clock::now(); }
  PassTimings* t_;
  std::chrono::steady_clock::time_point last_;
};

/// What dead-code elimination found: which nodes are reachable, how many, and how many
/// inputs they have in all (so the live graph is sized once).
struct Live {
  std::vector<std::uint8_t> reachable;  ///< per node
  std::uint64_t nodes = 0;
  std::uint64_t inputs = 0;
};

Live dead_code_elimination(const FlatGraph& g, std::span<const NodeId> outputs) {
  const std::uint64_t n = g.size();
  for (NodeId o : outputs) {
    if (o >= n) throw InternalFault("output " + std::to_string(o) + " is not a node of the graph");
  }
  // Every input is an earlier node, so one sweep from the last node down reaches each live
  // node before any node it reads: the graph is read in order, with no stack.
  Live out;
  std::vector<std::uint8_t>& live = out.reachable;
  live.assign(n, 0);
  for (NodeId o : outputs) live[o] = 1;
  for (std::uint64_t i = n; i-- > 0;) {
    if (!live[i]) continue;
    const auto in = g.inputs(i);
    ++out.nodes;
    out.inputs += in.size();
    for (NodeId x : in) {
      if (x >= i)
        throw InternalFault("node " + std::to_string(i) + " takes input " + std::to_string(x) +
                            ", which is not an earlier node");
      live[x] = 1;
    }
  }
  return out;
}

/// The live nodes in compact engine form: a label id per node (one per distinct head, from
/// `tokens`) and their renumbered inputs in one pool; `outputs` renumbered likewise.
LabelledNodes to_labelled_nodes(const FlatGraph& g, const Live& live, TokenTable& tokens, NodeIds& outputs,
                                NodeIds* live_positions) {
  LabelledNodes nodes;
  nodes.reserve(live.nodes, live.inputs);
  // Read only at live nodes and their inputs, which are live and numbered before they are read.
  const std::uint64_t n = g.size();
  const auto position = std::make_unique_for_overwrite<NodeId[]>(n);
  std::vector<std::uint32_t> head_label(g.heads.size(), kNoId);
  for (std::uint64_t i = 0; i < n; ++i) {
    if (!live.reachable[i]) continue;
    position[i] = static_cast<NodeId>(nodes.size());  // at most i
    const std::uint32_t h = g.head_of[i];
    if (head_label[h] == kNoId) head_label[h] = tokens.add(g.heads[h]);
    nodes.label.push_back(head_label[h]);
    for (NodeId x : g.inputs(i)) nodes.input_pool.push_back(position[x]);
    nodes.input_begin.push_back(nodes.input_pool.size());
  }
  for (NodeId& o : outputs) o = position[o];
  if (live_positions != nullptr) {
    live_positions->resize(n);
    for (std::uint64_t i = 0; i < n; ++i) (*live_positions)[i] = live.reachable[i] ? position[i] : kNoId;
  }
  return nodes;
}

/// What the pipeline still checks of a compact result (the adapter to the spelled-out form
/// has already checked the `opaque` flags, which the compact form does not carry).
void check_label_result(const LabelResult& result, std::size_t n_outputs, std::size_t n_labels) {
  auto broken = [](const std::string& what) { throw InternalFault("rewrite engine broke its contract: " + what); };
  const LabelledNodes& nodes = result.nodes;
  const std::uint64_t m = nodes.size();
  if (nodes.input_begin.size() != m + 1 || nodes.input_begin.front() != 0 ||
      nodes.input_begin.back() != nodes.input_pool.size())
    broken("the input offsets do not match the node list");
  const std::uint64_t label_count = n_labels + result.added_labels.size();
  for (std::uint64_t i = 0; i < m; ++i) {
    if (nodes.input_begin[i] > nodes.input_begin[i + 1]) broken("the input offsets do not match the node list");
    for (NodeId x : nodes.inputs(i)) {
      if (x >= i) broken("node " + std::to_string(i) + " reads position " + std::to_string(x));
    }
    if (nodes.label[i] >= label_count) broken("node " + std::to_string(i) + " has an unknown label id");
  }
  if (result.outputs.size() != n_outputs) broken("the output list changed length");
  for (std::uint64_t o : result.outputs) {
    if (o >= m) broken("output position " + std::to_string(o) + " is out of range");
  }
}

/// The common-subexpression index. A node can only equal an earlier node with the same first
/// input, so the first few kept nodes that read a position as their first input are chained
/// from that position: a lookup walks a short list of nodes that were kept moments ago and
/// are still in cache, and hashes nothing. Once a position has kChain such users, the rest
/// go to a hash table (as do nodes without inputs), so a lookup never walks more than
/// kChain entries whatever the fan-out. The index is only probed, never iterated. Labels and
/// texts are one to one, so equal label ids mean equal labels.
class CseIndex {
 public:
  explicit CseIndex(std::uint64_t m) : head_(m, kNoId), chained_(m, 0) {
    if (m > kNoId) throw InternalFault("graph too large for common-subexpression elimination");
    next_.reserve(m);
  }

  /// The position of a kept node equal to (label, ins), or kNoId; `kept` holds the kept nodes.
  std::uint32_t find(std::uint32_t label, std::span<const NodeId> ins, const LabelledNodes& kept) {
    hashed_ = false;
    if (!ins.empty()) {
      const std::uint64_t p = ins[0];
      for (std::uint32_t k = head_[p]; k != kNoId; k = next_[k]) {
        if (same_node(kept, k, label, ins)) return k;
      }
      if (chained_[p] < kChain) return kNoId;
    }
    hash_ = hash_node(label, ins, seed_);
    hashed_ = true;
    const Slot* s = table_.find(hash_, Probe{hash_, label, ins, kept});
    return s == nullptr ? kNoId : s->id_plus_one - 1;
  }

  /// Enters kept node k, which the last `find` (for the same label and inputs) did not find.
  void insert(std::uint32_t k, std::uint32_t label, std::span<const NodeId> ins) {
    next_.push_back(kNoId);
    if (!ins.empty() && chained_[ins[0]] < kChain) {
      const std::uint64_t p = ins[0];
      next_[k] = head_[p];
      head_[p] = k;
      ++chained_[p];
      return;
    }
    if (!hashed_) hash_ = hash_node(label, ins, seed_);
    table_.insert_new(hash_, Slot{hash_, k + 1});
  }

 private:
  // Eight: a walk of eight recently kept nodes, still in cache, costs less than a hash and a
  // probe of the table, and a node rarely has more users with its first input than that.
  static constexpr std::uint8_t kChain = 8;
  struct Slot {
    std::uint64_t hash;
    std::uint32_t id_plus_one;  // 0: empty
    bool empty() const { return id_plus_one == 0; }
  };
  // A node looked for: its hash, its label and inputs, and the kept nodes it is compared to.
  struct Probe {
    std::uint64_t hash;
    std::uint32_t label;
    std::span<const NodeId> ins;
    const LabelledNodes& kept;
  };
  static bool same_node(const LabelledNodes& kept, std::uint32_t k, std::uint32_t label, std::span<const NodeId> ins) {
    const auto other = kept.inputs(k);
    return kept.label[k] == label && std::equal(other.begin(), other.end(), ins.begin(), ins.end());
  }
  // Slots keep the full hash: growing reads no node, and most mismatches end at the hash.
  struct Keys {
    static std::uint64_t hash(const Slot& s) { return s.hash; }
    static bool equal(const Slot& s, const Probe& p) {
      return s.hash == p.hash && same_node(p.kept, s.id_plus_one - 1, p.label, p.ins);
    }
  };

  std::vector<std::uint32_t> head_;    ///< per kept position: latest chained user, or kNoId
  std::vector<std::uint8_t> chained_;  ///< per kept position: chained users so far (at most kChain)
  std::vector<std::uint32_t> next_;    ///< per kept node: the next older chained user
  OpenTable<Slot, Keys> table_{64};
  std::uint64_t seed_ = process_hash_seed();
  std::uint64_t hash_ = 0;
  bool hashed_ = false;
};

/// Compacts the kept nodes in place: a kept node's new position and its inputs' new offset
/// are never above their old ones, so the nodes already kept stay where the index expects
/// them, and a node is read before anything overwrites it.
void cse(LabelResult& g, NodeIds* moved) {
  LabelledNodes& nodes = g.nodes;
  const std::uint64_t m = nodes.size();
  NodeIds position(m);
  CseIndex index(m);  // refuses a graph too large for 32-bit positions
  NodeId kept = 0;
  std::uint64_t write = 0;  // end of the kept nodes' inputs in the pool
  for (std::uint64_t i = 0; i < m; ++i) {
    const std::uint64_t begin = nodes.input_begin[i];
    const std::uint64_t end = nodes.input_begin[i + 1];
    const std::span<NodeId> ins = nodes.inputs(i);
    for (NodeId& x : ins) x = position[x];
    const std::uint32_t label = nodes.label[i];
    const std::uint32_t found = index.find(label, ins, nodes);
    if (found != kNoId) {
      position[i] = found;
      continue;
    }
    position[i] = kept;
    if (kept != i) {
      std::copy(nodes.input_pool.begin() + static_cast<std::ptrdiff_t>(begin),
                nodes.input_pool.begin() + static_cast<std::ptrdiff_t>(end),
                nodes.input_pool.begin() + static_cast<std::ptrdiff_t>(write));
      nodes.label[kept] = label;
    }
    // input_begin[kept] is already `write`: it was set when the previous kept node ended
    // (or is the leading 0); entry kept + 1 is at most i + 1, so it has been read.
    write += end - begin;
    nodes.input_begin[kept + 1] = write;
    index.insert(kept, label, nodes.inputs(kept));
    ++kept;
  }
  nodes.label.resize(kept);
  nodes.input_begin.resize(std::uint64_t{kept} + 1);
  nodes.input_pool.resize(write);
  for (NodeId& o : g.outputs) o = position[o];
  if (moved != nullptr) *moved = std::move(position);
}

}  // namespace

std::vector<std::pair<std::string, std::uint64_t>> report_to_map(const ReductionReport& r) {
  return {{"input_nodes", r.input_nodes},         {"reachable_nodes", r.reachable_nodes},
          {"canonical_nodes", r.canonical_nodes}, {"stages", r.stages},
          {"reduced_nodes", r.reduced_nodes},     {"boundary_nodes", r.boundary_nodes}};
}

namespace {

/// Where each pass moved the nodes, kept when the origins of the input nodes are wanted.
struct Trail {
  NodeIds live;               ///< per input node: its live position, or kNoId
  NodeIds merged;             ///< per live node: its CSE position
  std::vector<Origin> fused;  ///< per CSE position: where fusion put it

  /// Follows each input node through the passes; `classes` is the engine's `positions`.
  std::vector<Origin> origins(const NodeIds& classes) const {
    auto broken = [](const char* what) { throw InternalFault(std::string("origins of a reduction: ") + what); };
    std::vector<Origin> out(live.size());
    for (std::uint64_t i = 0; i < live.size(); ++i) {
      const NodeId p = live[i];
      if (p == kNoId) continue;
      if (p >= classes.size()) broken("the rewrite engine did not report where every node went");
      const NodeId c = classes[p];
      if (c == kNoId) continue;
      if (c >= merged.size() || merged[c] >= fused.size()) broken("a position out of range");
      out[i] = fused[merged[c]];
    }
    return out;
  }
};

/// The pipeline; a null `engine` stands for an engine that merges nothing.
Reduced run_pipeline(const FlatGraph& graph, std::span<const NodeId> outputs, const RewriteEngine* engine,
                     bool maximal_fusion, PassTimings* timings, bool with_origins) {
  PassClock clock(timings);
  Reduced out;
  out.report.input_nodes = graph.size();
  Trail trail;

  Live live = dead_code_elimination(graph, outputs);
  out.report.reachable_nodes = live.nodes;
  clock.lap(&PassTimings::dce);

  TokenTable tokens;
  LabelGraph eg;
  eg.outputs.assign(outputs.begin(), outputs.end());
  eg.nodes = to_labelled_nodes(graph, live, tokens, eg.outputs, with_origins ? &trail.live : nullptr);
  eg.labels = tokens.labels();
  eg.likely_distinct = true;  // the store's graphs are hash-consed
  eg.with_positions = with_origins;
  live = Live{};
  clock.lap(&PassTimings::engine_graph);

  const std::size_t n_outputs = eg.outputs.size();
  LabelResult canon;
  if (engine != nullptr) {
    canon = engine->canonicalize_labels(eg);
  } else {
    // Every node is its own class: the result is the graph itself.
    canon.nodes = std::move(eg.nodes);
    canon.outputs = std::move(eg.outputs);
    if (with_origins) {
      canon.positions.resize(canon.nodes.size());
      std::iota(canon.positions.begin(), canon.positions.end(), NodeId{0});
    }
  }
  check_label_result(canon, n_outputs, tokens.size());
  eg = LabelGraph{};
  clock.lap(&PassTimings::engine);

  cse(canon, with_origins ? &trail.merged : nullptr);
  out.report.canonical_nodes = canon.nodes.size();
  clock.lap(&PassTimings::cse);

  FusionResult fused = stage_fusion(canon.nodes, canon.added_labels, canon.outputs, maximal_fusion, tokens,
                                    with_origins ? &trail.fused : nullptr);
  out.graph = std::move(fused.graph);
  out.outputs = std::move(fused.outputs);
  out.report.stages = fused.stages;
  out.report.boundary_nodes = fused.boundary_nodes;
  out.report.reduced_nodes = fused.reduced_nodes;
  if (with_origins) out.origins = trail.origins(canon.positions);
  clock.lap(&PassTimings::fusion);
  return out;
}

}  // namespace

Reduced reduce_flat(const FlatGraph& graph, std::span<const NodeId> outputs, const RewriteEngine& engine,
                    bool maximal_fusion, PassTimings* timings, bool with_origins) {
  return run_pipeline(graph, outputs, &engine, maximal_fusion, timings, with_origins);
}

Reduced reduce_flat_unmerged(const FlatGraph& graph, std::span<const NodeId> outputs, bool maximal_fusion,
                             PassTimings* timings, bool with_origins) {
  return run_pipeline(graph, outputs, nullptr, maximal_fusion, timings, with_origins);
}

std::vector<Origin> origins_through(std::span<const NodeId> canonical_of, std::span<const Origin> origins) {
  std::vector<Origin> out(canonical_of.size());
  for (std::size_t k = 0; k < canonical_of.size(); ++k) {
    const NodeId c = canonical_of[k];
    if (c >= origins.size()) throw InternalFault("origins of a reduction: a canonical position out of range");
    out[k] = origins[c];
  }
  return out;
}

Reduced reduce_with_mode(const std::vector<NodeKey>& nodes, std::span<const NodeId> outputs,
                         const RewriteEngine& engine, bool maximal_fusion, PassTimings* timings) {
  return reduce_flat(flatten(nodes), outputs, engine, maximal_fusion, timings);
}

}  // namespace vantrel
