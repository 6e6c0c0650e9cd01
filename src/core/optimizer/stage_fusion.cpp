#include "optimizer/stage_fusion.hpp"

#include <algorithm>
#include <numeric>
#include <string_view>
#include <unordered_map>

#include "common/fault.hpp"
#include "common/ragged.hpp"
#include "optimizer/stage_heads.hpp"

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
std::vector<Pos> group_single_use(const LabelledNodes& nodes, const std::vector<std::uint8_t>& opaque,
                                  const std::vector<std::uint8_t>& is_output) {
  const Pos m = static_cast<Pos>(nodes.size());
  std::vector<Pos> sole_user(m, kNoId);
  std::vector<std::uint8_t> uses(m, 0);
  for (Pos p = 0; p < m; ++p) {
    for (NodeId x : nodes.inputs(p)) {
      if (uses[x] == 0) sole_user[x] = p;
      if (uses[x] < 2) ++uses[x];
    }
  }
  std::vector<Pos> parent(m);
  std::iota(parent.begin(), parent.end(), Pos{0});
  for (Pos i = 0; i < m; ++i) {
    if (opaque[i] || uses[i] != 1 || is_output[i]) continue;
    const Pos c = sole_user[i];
    if (opaque[c]) continue;
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
Ragged<Pos> consumers(const LabelledNodes& nodes) {
  const std::uint64_t m = nodes.size();
  std::vector<std::uint64_t> count(m, 0);
  for (std::uint64_t p = 0; p < m; ++p) {
    for (NodeId x : nodes.inputs(p)) ++count[x];
  }
  Ragged<Pos> users = Ragged<Pos>::of_sizes(count);
  std::fill(count.begin(), count.end(), 0);  // now the users placed so far
  for (std::uint64_t p = 0; p < m; ++p) {
    for (NodeId x : nodes.inputs(p)) users[x][count[x]++] = static_cast<Pos>(p);
  }
  return users;
}

std::vector<Pos> group_maximal(const LabelledNodes& nodes, const std::vector<std::uint8_t>& opaque,
                               const std::vector<std::uint8_t>& is_output) {
  const Ragged<Pos> users_of = consumers(nodes);
  const Pos m = static_cast<Pos>(nodes.size());
  std::vector<Pos> rep(m);
  std::iota(rep.begin(), rep.end(), Pos{0});
  for (Pos i = m; i-- > 0;) {
    const std::span<const Pos> users = users_of[i];
    if (opaque[i] || is_output[i] || users.empty()) continue;
    const Pos s = rep[users[0]];
    bool joins = true;
    for (std::uint64_t k = 0; k < users.size() && joins; ++k) {
      joins = !opaque[users[k]] && rep[users[k]] == s;
    }
    if (joins) rep[i] = s;
  }
  return rep;
}

}  // namespace

FusionResult stage_fusion(const LabelledNodes& nodes, std::span<const std::string> added_labels, const NodeIds& outputs,
                          bool maximal_fusion, const TokenTable& tokens, std::vector<Origin>* origins) {
  if (nodes.size() >= kNoId) throw InternalFault("graph too large for stage fusion");
  const Pos m = static_cast<Pos>(nodes.size());
  FusionResult out;

  const std::size_t known = tokens.size();
  if (added_labels.size() >= kNoId - known) throw InternalFault("too many labels for stage fusion");
  auto text = [&](std::uint32_t label) -> const std::string& {
    if (label < known) return tokens.label(label);
    if (label - known >= added_labels.size()) throw InternalFault("stage fusion met an unknown label id");
    return added_labels[label - known];
  };
  // Opacity is a property of the label: worked out once per label, then read per node.
  std::vector<std::uint8_t> label_opaque(known + added_labels.size());
  for (std::uint32_t l = 0; l < label_opaque.size(); ++l) label_opaque[l] = !is_op_token(text(l));
  std::vector<std::uint8_t> opaque(m);
  for (Pos i = 0; i < m; ++i) {
    const std::uint32_t l = nodes.label[i];
    if (l >= label_opaque.size()) throw InternalFault("stage fusion met an unknown label id");
    opaque[i] = label_opaque[l];
  }

  std::vector<std::uint8_t> is_output(m, 0);
  for (std::uint64_t o : outputs) is_output[o] = 1;

  const std::vector<Pos> stage_of =
      maximal_fusion ? group_maximal(nodes, opaque, is_output) : group_single_use(nodes, opaque, is_output);

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
  // Each distinct head goes into the result once: a boundary head the first time its label is
  // emitted, a stage head the first time its member list is.
  FlatGraph& graph = out.graph;
  std::vector<std::uint32_t> boundary_head(known, kNoId);  // by label
  StageHeads stage_heads;
  std::vector<Pos> foreign;  // representatives of the groups the current stage reads, in order of first use
  graph.head_of.reserve(groups);
  graph.input_lists.reserve(groups, 0);
  for (Pos i = 0; i < m; ++i) {
    const Pos r = stage_of[i];
    if (last[r] != i) continue;
    if (opaque[r]) {
      const std::uint32_t label = nodes.label[r];
      if (label >= known) throw InternalFault("no token-table entry for the opaque label " + text(label));
      std::uint32_t& head = boundary_head[label];
      if (head == kNoId) {
        head = static_cast<std::uint32_t>(graph.heads.size());
        graph.heads.push_back(tokens.head(label).with_inputs({}));
      }
      graph.head_of.push_back(head);
      for (NodeId x : nodes.inputs(r)) graph.input_lists.extend(emitted(stage_of[x]));
      ++out.boundary_nodes;
    } else {
      stage_heads.begin();
      foreign.clear();
      const Pos* group = members.data() + group_begin[r];
      const Pos size = member_index[i] + 1;  // i is the group's last member
      for (Pos j = 0; j < size; ++j) {
        const Pos p = group[j];
        const auto in = nodes.inputs(p);
        stage_heads.member(nodes.label[p], in.size());
        for (NodeId x : in) {
          const Pos g = stage_of[x];
          if (g == r) {
            stage_heads.arg(StageRef::Member, member_index[x]);
            continue;
          }
          if (slot_owner[g] != r) {
            slot_owner[g] = r;
            input_slot[g] = static_cast<Pos>(foreign.size());
            foreign.push_back(g);
          }
          stage_heads.arg(StageRef::Input, input_slot[g]);
        }
      }
      graph.head_of.push_back(stage_heads.intern(graph.heads, text));
      for (Pos g : foreign) graph.input_lists.extend(emitted(g));
      ++out.stages;
    }
    graph.input_lists.close();
    position[r] = static_cast<Pos>(graph.size() - 1);
  }

  out.outputs.reserve(outputs.size());
  for (std::uint64_t o : outputs) out.outputs.push_back(emitted(stage_of[o]));
  out.reduced_nodes = graph.size();
  if (origins != nullptr) {
    origins->resize(m);
    for (Pos p = 0; p < m; ++p) {
      const Pos r = stage_of[p];
      (*origins)[p] = Origin{emitted(r), opaque[r] ? kNoId : member_index[p]};
    }
  }
  return out;
}

FusionResult stage_fusion(const std::vector<EngineNode>& nodes, const NodeIds& outputs, bool maximal_fusion,
                          const TokenTable& tokens) {
  std::unordered_map<std::string_view, std::uint32_t> ids;
  for (std::uint32_t l = 0; l < tokens.size(); ++l) ids.emplace(tokens.label(l), l);
  std::vector<std::string> added;
  LabelledNodes compact;
  for (const EngineNode& node : nodes) {
    if (node.opaque == is_op_token(node.op)) throw InternalFault("an opaque flag disagrees with its label");
    auto [it, fresh] = ids.try_emplace(node.op, static_cast<std::uint32_t>(tokens.size() + added.size()));
    if (fresh) added.push_back(node.op);
    compact.push(it->second, node.inputs);
  }
  return stage_fusion(compact, added, outputs, maximal_fusion, tokens);
}

}  // namespace vantrel
