#pragma once
/// Loading a whole graph into an empty e-graph.
#include <vector>

#include "egraph/egraph.hpp"

namespace vantrel::egraph {

/// Loads `enodes`, whose children are positions of earlier e-nodes, into the empty `egraph`
/// as `add` called on each in order would (with each child replaced by the id its e-node
/// got), and returns the id of each: equal e-nodes share the id of the first. The e-graph
/// takes over the list and its capacity (reserve room for the e-nodes the rules will add).
/// Pairwise distinct e-nodes load in one pass in table order; otherwise they load in order,
/// one hash-cons probe each.
std::vector<Id> load_graph(EGraph& egraph, std::vector<SymbolLang>& enodes);

}  // namespace vantrel::egraph
