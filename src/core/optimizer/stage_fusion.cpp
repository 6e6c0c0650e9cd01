#include "optimizer/stage_fusion.hpp"

#include <numeric>

#include "common/fault.hpp"

namespace vantrel {

namespace {

constexpr std::uint64_t kNone = ~std::uint64_t{0};

/// Root of i, pointing every entry on the walked path straight at it afterwards.
std::uint64_t find_root(std::vector<std::uint64_t>& parent, std::uint64_t i) {
  std::uint64_t root = i;
  while (parent[root] != root) root = parent[root];
  while (parent[i] != root) {
    const std::uint64_t next = parent[i];
    parent[i] = root;
    i = next;
  }
  return root;
}

/// Users of each position in increasing order of the user, one entry per use.
struct Consumers {
  std::vector<std::uint64_t> begin;  // m + 1
  std::vector<std::uint64_t> users;

  explicit Consumers(const std::vector<EngineNode>& nodes) : begin(nodes.size() + 1, 0) {
    const std::uint64_t m = nodes.size();
    for (std::uint64_t p = 0; p < m; ++p) {
      for (std::uint64_t x : nodes[p].inputs) ++begin[x + 1];
    }
    for (std::uint64_t i = 0; i < m; ++i) begin[i + 1] += begin[i];
    users.resize(begin[m]);
    std::vector<std::uint64_t> fill(begin.begin(), begin.end() - 1);
    for (std::uint64_t p = 0; p < m; ++p) {
      for (std::uint64_t x : nodes[p].inputs) users[fill[x]++] = p;
    }
  }
  std::uint64_t count(std::uint64_t i) const { return begin[i + 1] - begin[i]; }
  const std::uint64_t* of(std::uint64_t i) const { return users.data() + begin[i]; }
};

std::vector<std::uint64_t> group_single_use(const std::vector<EngineNode>& nodes, const Consumers& consumers,
                                            const std::vector<std::uint8_t>& is_output) {
  const std::uint64_t m = nodes.size();
  std::vector<std::uint64_t> parent(m);
  std::iota(parent.begin(), parent.end(), std::uint64_t{0});
  for (std::uint64_t i = 0; i < m; ++i) {
    if (nodes[i].opaque || consumers.count(i) != 1 || is_output[i]) continue;
    const std::uint64_t c = consumers.of(i)[0];
    if (nodes[c].opaque) continue;
    const std::uint64_t ri = find_root(parent, i);
    const std::uint64_t rc = find_root(parent, c);
    if (ri == rc) continue;
    if (ri < rc) {
      parent[rc] = ri;
    } else {
      parent[ri] = rc;
    }
  }
  std::vector<std::uint64_t> stage_of(m);
  for (std::uint64_t i = 0; i < m; ++i) stage_of[i] = nodes[i].opaque ? i : find_root(parent, i);
  return stage_of;
}

std::vector<std::uint64_t> group_maximal(const std::vector<EngineNode>& nodes, const Consumers& consumers,
                                         const std::vector<std::uint8_t>& is_output) {
  const std::uint64_t m = nodes.size();
  std::vector<std::uint64_t> rep(m);
  std::iota(rep.begin(), rep.end(), std::uint64_t{0});
  for (std::uint64_t i = m; i-- > 0;) {
    const std::uint64_t n_users = consumers.count(i);
    if (nodes[i].opaque || is_output[i] || n_users == 0) continue;
    const std::uint64_t* users = consumers.of(i);
    const std::uint64_t s = rep[users[0]];
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
  const std::uint64_t m = nodes.size();
  FusionResult out;

  const Consumers consumers(nodes);
  std::vector<std::uint8_t> is_output(m, 0);
  for (std::uint64_t o : outputs) is_output[o] = 1;

  const std::vector<std::uint64_t> stage_of =
      maximal_fusion ? group_maximal(nodes, consumers, is_output) : group_single_use(nodes, consumers, is_output);

  // Member lists, ascending, laid out by representative; `last` is each group's largest member
  // and `member_index` the place of a node within its group.
  std::vector<std::uint64_t> group_begin(m + 1, 0), last(m, kNone), member_index(m);
  for (std::uint64_t i = 0; i < m; ++i) {
    ++group_begin[stage_of[i] + 1];
    last[stage_of[i]] = i;
  }
  for (std::uint64_t i = 0; i < m; ++i) group_begin[i + 1] += group_begin[i];
  std::vector<std::uint64_t> members(m);
  {
    std::vector<std::uint64_t> fill(group_begin.begin(), group_begin.end() - 1);
    for (std::uint64_t i = 0; i < m; ++i) {
      const std::uint64_t r = stage_of[i];
      member_index[i] = fill[r] - group_begin[r];
      members[fill[r]++] = i;
    }
  }

  // Emission in order of each group's largest member: walking positions upward and emitting a
  // group at its last member visits groups exactly in that order, without a sort.
  std::vector<std::uint64_t> position(m, kNone);
  std::vector<std::uint64_t> input_slot(m, 0), slot_owner(m, kNone);
  auto emitted = [&](std::uint64_t group) {
    const std::uint64_t p = position[group];
    if (p == kNone) throw InternalFault("stage fusion met a group before the groups it reads");
    return p;
  };
  out.nodes.reserve(m);
  for (std::uint64_t i = 0; i < m; ++i) {
    const std::uint64_t r = stage_of[i];
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
      NodeIds foreign;  // representatives of the groups read, in order of first use
      const std::uint64_t* group = members.data() + group_begin[r];
      const std::uint64_t size = group_begin[r + 1] - group_begin[r];
      stage.members.reserve(size);
      for (std::uint64_t j = 0; j < size; ++j) {
        EngineNode& member = nodes[group[j]];
        StageOp op{std::move(member.op), {}};
        op.args.reserve(member.inputs.size());
        for (std::uint64_t x : member.inputs) {
          const std::uint64_t g = stage_of[x];
          if (g == r) {
            op.args.push_back(StageRef{StageRef::Member, member_index[x]});
            continue;
          }
          if (slot_owner[g] != r) {
            slot_owner[g] = r;
            input_slot[g] = foreign.size();
            foreign.push_back(g);
          }
          op.args.push_back(StageRef{StageRef::Input, input_slot[g]});
        }
        stage.members.push_back(std::move(op));
      }
      stage.inputs.reserve(foreign.size());
      for (std::uint64_t g : foreign) stage.inputs.push_back(emitted(g));
      out.nodes.emplace_back(std::move(stage));
      ++out.stages;
    }
    position[r] = out.nodes.size() - 1;
  }

  out.outputs.reserve(outputs.size());
  for (std::uint64_t o : outputs) out.outputs.push_back(emitted(stage_of[o]));
  out.reduced_nodes = out.nodes.size();
  return out;
}

}  // namespace vantrel
