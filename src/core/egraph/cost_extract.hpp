#pragma once
/// Extraction by cost: for every class, the e-node whose term is cheapest, where a term costs
/// its operator's cost plus what its children's terms cost. Ties go to the e-node added
/// first, so the loaded graph's own nodes (added before any rule ran, in input order) win
/// over e-nodes the rules created, and the result depends on the e-graph's history only.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "egraph/egraph.hpp"
#include "engine/rewrite_engine.hpp"

namespace vantrel::egraph {

/// Marks a class that no term reaches; the costs of terms saturate one below it.
inline constexpr std::uint64_t kNoCost = ~std::uint64_t{0};

/// What `choose_by_cost` picked, indexed by canonical class id (other entries unused).
struct CostChoices {
  std::vector<std::uint64_t> cost;  ///< the cheapest term's cost; kNoCost for none
  std::vector<Id> chosen;           ///< the id the chosen e-node was added under
};

/// Picks the cheapest e-node of every class of a clean e-graph. A class's choice is fixed
/// only once all the classes its e-node reads are fixed, cheapest first, so the choices
/// never form a cycle, even with zero costs. `cost_of` gives an operator's own cost.
CostChoices choose_by_cost(const EGraph& egraph, const std::function<std::uint64_t(GlobalSymbol)>& cost_of);

/// The chosen terms of `roots` as a flat graph: every class the roots reach once, children
/// before their users, in the order a depth-first walk from the roots (in order, children in
/// order) finishes them. `nodes[k].children` hold positions in `nodes`; `roots` positions.
struct ExtractedGraph {
  std::vector<SymbolLang> nodes;
  std::vector<Id> roots;
};
/// `class_positions`, when given, receives per class id the position of its term, or kNoId
/// for a class the roots do not reach.
ExtractedGraph extract_terms(const EGraph& egraph, const CostChoices& choices, std::span<const Id> roots,
                             std::vector<Id>* class_positions = nullptr);

/// A loaded graph read back by cost: the classes its outputs reach, each as its cheapest term,
/// in `extract_terms` order. `label_symbols[l]` is the symbol label l was loaded under (a local
/// symbol numbered l, or a rule's symbol), `ids[i]` the class node i was loaded into. A term
/// a rule created may carry a text the graph did not have: it is listed in `added_labels`. An
/// op node costs what `op_costs` (escaped op name to cost, sorted by name) says, any other 1.
/// With `graph.with_positions`, `positions` says where each loaded node's class went.
LabelResult read_back_by_cost(const EGraph& egraph, const LabelGraph& graph,
                              std::span<const GlobalSymbol> label_symbols, std::span<const Id> ids,
                              std::span<const std::pair<std::string, std::uint64_t>> op_costs);

}  // namespace vantrel::egraph
