// E-matching: runs a pattern's program against the classes of a clean e-graph.
#include <algorithm>

#include "common/fault.hpp"
#include "egraph/engine_config.hpp"
#include "egraph/pattern.hpp"

namespace vantrel::egraph {

std::size_t first_candidate(std::span<const SymbolLang> sorted, GlobalSymbol op) {
  if (sorted.size() >= EngineConfig::kBinarySearchFrom) {
    return static_cast<std::size_t>(std::lower_bound(sorted.begin(), sorted.end(), op,
                                                     [](const SymbolLang& n, GlobalSymbol s) { return n.symbol < s; }) -
                                    sorted.begin());
  }
  std::size_t i = 0;
  while (i < sorted.size() && sorted[i].symbol < op) ++i;
  return i;
}

namespace {

// A backtracking interpreter for `Program`. Choice points live on an explicit stack, so
// pattern depth never becomes call depth.
class Machine {
 public:
  Machine(const EGraph& egraph, const Program& program)
      : egraph_(egraph), program_(program), regs_(program.registers, 0) {}

  void run(Id eclass, std::size_t limit, std::vector<Subst>& out) {
    if (limit == 0) return;
    regs_[0] = eclass;
    bindings_.clear();
    choices_.clear();
    std::size_t pc = 0;
    std::size_t from = 0;  // where a resumed Bind continues in its class's node list
    bool resuming = false;
    for (;;) {
      bool ok = true;
      if (pc == program_.instructions.size()) {
        out.push_back(current());
        if (out.size() >= limit) return;
        ok = false;
      } else {
        const Instruction& ins = program_.instructions[pc];
        if (ins.kind == Instruction::Kind::Check) {
          ok = check(ins);
        } else {
          ok = bind(ins, pc, resuming ? from : kFresh);
        }
        resuming = false;
        if (ok) ++pc;
      }
      if (ok) continue;
      if (choices_.empty()) return;
      const Choice c = choices_.back();
      choices_.pop_back();
      bindings_.resize(c.bindings);
      pc = c.pc;
      from = c.next;
      resuming = true;
    }
  }

 private:
  static constexpr std::size_t kFresh = static_cast<std::size_t>(-1);

  struct Choice {
    std::size_t pc;
    std::size_t next;      // next node position to try
    std::size_t bindings;  // bindings made before this choice
  };

  Subst current() const {
    Subst s;
    for (const auto& [v, id] : bindings_) s.insert(v, id);
    return s;
  }

  bool check(const Instruction& ins) {
    const Id cls = regs_[ins.reg];
    for (const auto& [v, id] : bindings_) {
      if (v == ins.var) return id == cls;
    }
    bindings_.emplace_back(ins.var, cls);
    return true;
  }

  bool bind(const Instruction& ins, std::size_t pc, std::size_t from) {
    const auto& nodes = egraph_.canonical_class(regs_[ins.reg]).enodes;
    std::size_t i = from == kFresh ? first_candidate(nodes, ins.op) : from;
    // Nodes are sorted, so the ones with this symbol are contiguous.
    for (; i < nodes.size() && nodes[i].symbol == ins.op; ++i) {
      if (nodes[i].children.size() != ins.arity) continue;
      choices_.push_back(Choice{pc, i + 1, bindings_.size()});
      const Id* kids = nodes[i].children.data();
      for (std::uint32_t k = 0; k < ins.arity; ++k) regs_[ins.out + k] = kids[k];
      return true;
    }
    return false;
  }

  const EGraph& egraph_;
  const Program& program_;
  std::vector<Id> regs_;
  std::vector<std::pair<Var, Id>> bindings_;
  std::vector<Choice> choices_;
};

// A program that binds one e-node at the root and then a distinct variable to each of its
// children, in child order: (op ?a ?b), (op ?x). Every rule of the default engine has this
// shape.
bool is_flat(const Program& program) {
  const auto& ins = program.instructions;
  if (ins.empty() || ins[0].kind != Instruction::Kind::Bind || ins[0].reg != 0) return false;
  if (ins.size() != std::size_t{ins[0].arity} + 1) return false;
  for (std::uint32_t k = 0; k < ins[0].arity; ++k) {
    const Instruction& c = ins[k + 1];
    if (c.kind != Instruction::Kind::Check || c.reg != ins[0].out + k) return false;
    for (std::uint32_t j = 0; j < k; ++j) {
      if (ins[j + 1].var == c.var) return false;
    }
  }
  return true;
}

// What `Machine::run` finds for a flat program, without the interpreter: every e-node of the
// class with the root's symbol and arity, in list order, each giving the bindings of its
// children in child order. Appends at most `limit` substitutions.
void run_flat(const Program& program, std::span<const SymbolLang> nodes, std::size_t limit, std::vector<Subst>& out) {
  const Instruction& root = program.instructions[0];
  for (std::size_t i = first_candidate(nodes, root.op); limit > 0 && i < nodes.size() && nodes[i].symbol == root.op;
       ++i) {
    if (nodes[i].children.size() != root.arity) continue;
    const Id* kids = nodes[i].children.data();
    Subst& s = out.emplace_back();
    for (std::uint32_t k = 0; k < root.arity; ++k) s.insert(program.instructions[k + 1].var, kids[k]);
    --limit;
  }
}

}  // namespace

std::vector<Subst> Pattern::search_eclass_with_limit(const EGraph& egraph, Id eclass, std::size_t limit) const {
  std::vector<Subst> out;
  Machine m(egraph, program_);
  m.run(egraph.find(eclass), limit, out);
  return out;
}

std::vector<SearchMatches> FlatMatches::to_matches() const {
  std::vector<SearchMatches> result;
  result.reserve(classes.size());
  std::size_t begin = 0;
  for (std::size_t k = 0; k < classes.size(); ++k) {
    const auto first = substitutions.begin() + static_cast<std::ptrdiff_t>(begin);
    const auto last = substitutions.begin() + static_cast<std::ptrdiff_t>(ends[k]);
    result.push_back(SearchMatches{classes[k], std::vector<Subst>(first, last)});
    begin = ends[k];
  }
  return result;
}

FlatMatches FlatMatches::from(const std::vector<SearchMatches>& matches) {
  FlatMatches flat;
  flat.classes.reserve(matches.size());
  flat.ends.reserve(matches.size());
  for (const SearchMatches& m : matches) {
    flat.classes.push_back(m.class_id);
    flat.substitutions.insert(flat.substitutions.end(), m.substitutions.begin(), m.substitutions.end());
    flat.ends.push_back(flat.substitutions.size());
  }
  return flat;
}

std::vector<SearchMatches> Pattern::search_with_limit(const EGraph& egraph, std::size_t limit) const {
  FlatMatches flat;
  search_flat(egraph, limit, flat);
  return flat.to_matches();
}

void Pattern::search_flat(const EGraph& egraph, std::size_t limit, FlatMatches& out) const {
  if (!egraph.clean()) throw InternalFault("Tried to search a dirty e-graph!");
  out.clear();
  if (limit == 0) return;
  Machine m(egraph, program_);
  std::vector<Subst>& found = out.substitutions;
  const Instruction& root = program_.instructions.front();
  // Every e-node has the same kind, so the candidates are every class, in table order. When
  // the e-graph keeps the list of classes holding the root symbol, only those are visited:
  // the others cannot match, so the matches and their order are the same.
  const std::vector<Id>* candidates = &egraph.classes_by_kind();
  if (root.kind == Instruction::Kind::Bind) {
    if (const auto* with = egraph.classes_with_symbol(root.op)) candidates = with;
  }
  const std::vector<Id>& list = *candidates;
  const bool flat = is_flat(program_);
  for (std::size_t k = 0; k < list.size(); ++k) {
    const Id cls = list[k];
    // Candidates are scattered over the class table; fetching a few ahead hides the misses.
    // A class whose e-nodes outgrew it has them on the heap: fetched once its line is in.
    if (k + kFetchFarAhead < list.size()) egraph.prefetch_class(list[k + kFetchFarAhead]);
    if (k + kFetchAhead < list.size()) egraph.prefetch_class_nodes(list[k + kFetchAhead]);
    const std::size_t before = found.size();
    if (flat) {
      // The same substitutions in the same order as the interpreter's, with no choice stack
      // and no copy of the bindings.
      const auto& nodes = egraph.canonical_class(cls).enodes;
      if (nodes.size() == 1 && nodes[0].symbol != root.op) continue;
      run_flat(program_, std::span<const SymbolLang>(nodes.begin(), nodes.end()), limit, found);
    } else {
      if (root.kind == Instruction::Kind::Bind) {
        const auto& nodes = egraph.canonical_class(cls).enodes;
        if (nodes.size() == 1 && nodes[0].symbol != root.op) continue;
      }
      // The interpreter stops when its output holds `limit` entries; this output also holds
      // the earlier classes' matches.
      m.run(cls, before + limit, found);
    }
    const std::size_t added = found.size() - before;
    if (added == 0) continue;
    limit -= added;
    out.classes.push_back(cls);
    out.ends.push_back(found.size());
    if (limit == 0) break;
  }
}

}  // namespace vantrel::egraph
