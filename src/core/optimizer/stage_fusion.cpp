#include "optimizer/stage_fusion.hpp"

#include <numeric>

#include "common/fault.hpp"

namespace vantrel {

namespace {

// Positions in the graph, 32 bits wide like node ids.
using Pos = NodeId;

/// Root of i, pointing every entry on the walked path straight at it afterwards.
Pos find_root(std::vector<Pos>& parent, Pos i) {
  Pos root = i;
  while (parent[root] != root) root = parent[root];
  while (parent[i] != root) {
    const Pos next = parent[i];
    parent[i] = root;
    i = next;
  }
  return root;
}

/// The default rule needs only each position's use count (saturated at 2) and its first user.
std::vector<Pos> group_single_use(const std::vector<EngineNode>& nodes, const std::vector<std::uint8_t>& is_output) {
  const Pos m = static_cast<Pos>(nodes.size());
  std::vector<Pos> sole_user(m, kNoId);
  std::vector<std::uint8_t> uses(m, 0);
  for (Pos p = 0; p < m; ++p) {
    for (std::uint64_t x : nodes[p].inputs) {
      if (uses[x] == 0) sole_user[x] = p;
      if (uses[x] < 2) ++uses[x];
    }
  }
  std::vector<Pos> parent(m);
  std::iota(parent.begin(), parent.end(), Pos{0});
  for (Pos i = 0; i < m; ++i) {
    if (nodes[i].opaque || uses[i] != 1 || is_output[i]) continue;
    const Pos c = sole_user[i];
    if (nodes[c].opaque) continue;
    const Pos ri = find_root(parent, i);
    const Pos rc = find_root(parent, c);
    if (ri == rc) continue;
    if (ri < rc) {
      parent[rc] = ri;
    } else {
      parent[ri] = rc;
    }
  }
  // An opaque node never joins and is never joined, so it is its own root.
  for (Pos i = 0; i < m; ++i) parent[i] = find_root(parent, i);
  return parent;
}

/// Users of each position in increasing order of the user, one entry per use.
struct Consumers {
  std::vector<std::uint64_t> begin;  // m + 1
  std::vector<Pos> users;

  explicit Consumers(const std::vector<EngineNode>& nodes) : begin(nodes.size() + 1, 0) {
    const std::uint64_t m = nodes.size();
    for (std::uint64_t p = 0; p < m; ++p) {
      for (std::uint64_t x : nodes[p].inputs) ++begin[x + 1];
    }
    for (std::uint64_t i = 0; i < m; ++i) begin[i + 1] += begin[i];
    users.resize(begin[m]);
    std::vector<std::uint64_t> fill(begin.begin(), begin.end() - 1);
    for (std::uint64_t p = 0; p < m; ++p) {
      for (std::uint64_t x : nodes[p].inputs) users[fill[x]++] = static_cast<Pos>(p);
    }
  }
  std::uint64_t count(std::uint64_t i) const { return begin[i + 1] - begin[i]; }
  const Pos* of(std::uint64_t i) const { return users.data() + begin[i]; }
};

std::vector<Pos> group_maximal(const std::vector<EngineNode>& nodes, const std::vector<std::uint8_t>& is_output) {
  const Consumers consumers(nodes);
  const Pos m = static_cast<Pos>(nodes.size());
  std::vector<Pos> rep(m);
  std::iota(rep.begin(), rep.end(), Pos{0});
  for (Pos i = m; i-- > 0;) {
    const std::uint64_t n_users = consumers.count(i);
    if (nodes[i].opaque || is_output[i] || n_users == 0) continue;
    const Pos* users = consumers.of(i);
    const Pos s = rep[users[0]];
    bool joins = true;
    for (std::uint64_t k = 0; k < n_users && joins; ++k) {
      joins = !nodes[users[k]].opaque && rep[users[k]] == s;
    }
    if (joins) rep[i] = s;
  }
  return rep;
}

}  // namespace

FusionResult stage_fusion(std::vector<EngineNode> nodes, const NodeIds& outputs, bool maximal_fusion,
                          const TokenTable& tokens) {
  if (nodes.size() >= kNoId) throw InternalFault("graph too large for stage fusion");
  const Pos m = static_cast<Pos>(nodes.size());
  FusionResult out;

  std::vector<std::uint8_t> is_output(m, 0);
  for (std::uint64_t o : outputs) is_output[o] = 1;

  const std::vector<Pos> stage_of =
      maximal_fusion ? group_maximal(nodes, is_output) : group_single_use(nodes, is_output);

  // Member lists, ascending, laid out by representative: `member_index` is the place of a node
  // within its group, `last` each group's largest member, `group_begin` where its list starts.
  std::vector<Pos> group_begin(m, 0), last(m, kNoId), member_index(m);
  Pos groups = 0;
  for (Pos i = 0; i < m; ++i) {
    const Pos r = stage_of[i];
    member_index[i] = group_begin[r]++;  // group sizes for now
    last[r] = i;
  }
  for (Pos i = 0, at = 0; i < m; ++i) {
    const Pos size = group_begin[i];
    group_begin[i] = at;
    at += size;
    groups += size != 0;
  }
  std::vector<Pos> members(m);
  for (Pos i = 0; i < m; ++i) members[group_begin[stage_of[i]] + member_index[i]] = i;

  // Emission in order of each group's largest member: walking positions upward and emitting a
  // group at its last member visits groups exactly in that order, without a sort. `position`,
  // `input_slot` and `slot_owner` are indexed by representative.
  std::vector<Pos> position(m, kNoId), input_slot(m, 0), slot_owner(m, kNoId);
  auto emitted = [&](Pos group) -> NodeId {
    const Pos p = position[group];
    if (p == kNoId) throw InternalFault("stage fusion met a group before the groups it reads");
    return p;
  };
  std::vector<Pos> foreign;  // representatives of the groups the current stage reads, in order of first use
  out.nodes.reserve(groups);
  for (Pos i = 0; i < m; ++i) {
    const Pos r = stage_of[i];
    if (last[r] != i) continue;
    const EngineNode& node = nodes[r];
    if (node.opaque) {
      const NodeKey* head = tokens.find(node.op);
      if (head == nullptr) throw InternalFault("no token-table entry for the opaque label " + node.op);
      NodeIds ins;
      ins.reserve(node.inputs.size());
      for (std::uint64_t x : node.inputs) ins.push_back(emitted(stage_of[x]));
      out.nodes.push_back(head->with_inputs(std::move(ins)));
      ++out.boundary_nodes;
    } else {
      Stage stage;
      foreign.clear();
      const Pos* group = members.data() + group_begin[r];
      const Pos size = member_index[i] + 1;  // i is the group's last member
      stage.members.reserve(size);
      for (Pos j = 0; j < size; ++j) {
        EngineNode& member = nodes[group[j]];
        StageOp& op = stage.members.emplace_back(StageOp{std::move(member.op), {}});
        op.args.reserve(member.inputs.size());
        for (std::uint64_t x : member.inputs) {
          const Pos g = stage_of[x];
          if (g == r) {
            op.args.push_back(StageRef{StageRef::Member, member_index[x]});
            continue;
          }
          if (slot_owner[g] != r) {
            slot_owner[g] = r;
            input_slot[g] = static_cast<Pos>(foreign.size());
            foreign.push_back(g);
          }
          op.args.push_back(StageRef{StageRef::Input, input_slot[g]});
        }
      }
      stage.inputs.reserve(foreign.size());
      for (Pos g : foreign) stage.inputs.push_back(emitted(g));
      out.nodes.emplace_back(std::move(stage));
      ++out.stages;
    }
    position[r] = static_cast<Pos>(out.nodes.size() - 1);
  }

  out.outputs.reserve(outputs.size());
  for (std::uint64_t o : outputs) out.outputs.push_back(emitted(stage_of[o]));
  out.reduced_nodes = out.nodes.size();
  return out;
}

}  // namespace vantrel
