#include "egraph/load_graph.hpp"

#include "common/page_in.hpp"

namespace vantrel::egraph {

std::vector<Id> load_graph(EGraph& egraph, std::vector<SymbolLang>& enodes, bool likely_distinct) {
  const std::size_t n = enodes.size();
  if (likely_distinct && egraph.add_all_distinct(enodes)) {
    std::vector<Id> ids;
    reserve_paged(ids, n);
    for (std::size_t i = 0; i < n; ++i) ids.push_back(static_cast<Id>(i));
    return ids;
  }
  return egraph.add_all(enodes);
}

}  // namespace vantrel::egraph
