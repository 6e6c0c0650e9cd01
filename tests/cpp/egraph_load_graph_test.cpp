// Loading a whole graph, equal e-nodes included: the ids and the e-graph must be exactly what
// adding the e-nodes one by one gives, and the rules must then run the same way on both.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "egraph/load_graph.hpp"
#include "egraph/runner.hpp"
#include "egraph_test_support.hpp"

namespace vantrel::egraph {
namespace {

using testing::default_rules;
using testing::random_graph;
using testing::sym;

// `add` on each e-node in order, each child replaced by the id its e-node got.
std::vector<Id> add_one_by_one(EGraph& g, std::vector<SymbolLang> enodes) {
  std::vector<Id> ids;
  for (SymbolLang& e : enodes) {
    for (Id& c : e.children) c = ids[c];
    ids.push_back(g.find_compress(g.add(std::move(e))));
  }
  return ids;
}

std::vector<SymbolLang> graph_of(const std::string& kind, std::size_t n) {
  if (kind == "random") return random_graph(n * 7 + 1, n);
  std::vector<SymbolLang> g;
  for (std::size_t i = 0; i < n; ++i) {
    if (kind == "one leaf") g.push_back(SymbolLang{sym("source|only"), {}});
    if (kind == "distinct") g.push_back(SymbolLang{sym("source|" + std::to_string(i)), {}});
    // Repeats that only become equal once their children are mapped: neg(leaf k) for two
    // equal leaves k.
    if (kind == "equal children") {
      g.push_back(i % 2 == 0 ? SymbolLang{sym("source|" + std::to_string(i % 6)), {}}
                             : SymbolLang{sym("op|neg"), {static_cast<Id>(i - 1)}});
    }
    // Three and five children read from far back, some equal once mapped (the sources repeat).
    if (kind == "wide") {
      if (i < 10 || i % 4 == 0) {
        g.push_back(SymbolLang{sym("source|" + std::to_string(i % 5)), {}});
        continue;
      }
      const auto a = static_cast<Id>(i / 2), b = static_cast<Id>(i / 3);
      const auto c = static_cast<Id>(((i * 2654435761ULL) >> 7) % i);
      if (i % 4 == 1) g.push_back(SymbolLang{sym("op|where"), {a, b, c}});
      if (i % 4 == 2) g.push_back(SymbolLang{sym("op|stack"), {a, b, c, a, b}});
      if (i % 4 == 3) g.push_back(SymbolLang{sym("op|add"), {c, a}});
    }
  }
  return g;
}

void expect_same_classes(const EGraph& a, const EGraph& b) {
  ASSERT_EQ(a.id_count(), b.id_count());
  ASSERT_EQ(a.enode_count(), b.enode_count());
  ASSERT_EQ(a.class_count(), b.class_count());
  for (Id id = 0; id < a.id_count(); ++id) {
    ASSERT_TRUE(a.added(id) == b.added(id)) << id;
    ASSERT_TRUE(a[id].enodes == b[id].enodes) << id;
    ASSERT_TRUE(a[id].users == b[id].users) << id;
  }
}

class LoadGraph : public ::testing::TestWithParam<std::pair<std::string, std::size_t>> {
 protected:
  void expect_loads_as_added_one_by_one(bool likely_distinct);
};

// Either way of loading (the one-pass load tried first, or loading in order straight away).
TEST_P(LoadGraph, EndsAsAddingOneByOneAndRunsTheSame) {
  for (const bool likely_distinct : {true, false}) {
    SCOPED_TRACE(likely_distinct ? "one-pass load tried first" : "loaded in order");
    expect_loads_as_added_one_by_one(likely_distinct);
  }
}

void LoadGraph::expect_loads_as_added_one_by_one(bool likely_distinct) {
  const auto& [kind, n] = GetParam();
  const std::vector<SymbolLang> graph = graph_of(kind, n);
  Runner loaded, single;
  std::vector<SymbolLang> copy = graph;
  const std::vector<Id> ids = load_graph(loaded.e_graph, copy, likely_distinct);
  const std::vector<Id> expected = add_one_by_one(single.e_graph, graph);
  ASSERT_EQ(ids, expected);
  const EGraph& a = loaded.e_graph;
  const EGraph& b = single.e_graph;
  expect_same_classes(a, b);

  for (Runner* r : {&loaded, &single}) {
    r->iteration_limit = 12;
    r->e_node_limit = 4 * graph.size() + 1024;
    r->time_budget = std::chrono::hours(1);
    r->run(default_rules());
  }
  ASSERT_EQ(loaded.iteration_records.size(), single.iteration_records.size());
  for (std::size_t i = 0; i < loaded.iteration_records.size(); ++i) {
    const Iteration& x = loaded.iteration_records[i];
    const Iteration& y = single.iteration_records[i];
    EXPECT_EQ(x.e_nodes_at_start, y.e_nodes_at_start) << i;
    EXPECT_EQ(x.classes_at_start, y.classes_at_start) << i;
    EXPECT_EQ(x.applied_counts, y.applied_counts) << i;
    EXPECT_EQ(x.rebuild_merges, y.rebuild_merges) << i;
  }
  EXPECT_EQ(loaded.outcome, single.outcome);
  for (Id id : ids) ASSERT_EQ(a.find(id), b.find(id));
}

// Loading in order, whether or not any two e-nodes are equal.
TEST_P(LoadGraph, AddAllEndsAsAddingOneByOne) {
  const auto& [kind, n] = GetParam();
  const std::vector<SymbolLang> graph = graph_of(kind, n);
  EGraph loaded, single;
  std::vector<SymbolLang> copy = graph;
  ASSERT_EQ(loaded.add_all(copy), add_one_by_one(single, graph));
  EXPECT_TRUE(copy.empty());
  // Every graph here but the distinct ones repeats e-nodes once it is this large.
  if (kind != "distinct" && n >= 1000) {
    EXPECT_LT(loaded.id_count(), graph.size());
  }
  expect_same_classes(loaded, single);
}

INSTANTIATE_TEST_SUITE_P(Graphs, LoadGraph,
                         ::testing::Values(std::pair<std::string, std::size_t>{"random", 0},
                                           std::pair<std::string, std::size_t>{"random", 1},
                                           std::pair<std::string, std::size_t>{"random", 300},
                                           std::pair<std::string, std::size_t>{"random", 20000},
                                           std::pair<std::string, std::size_t>{"random", 200000},
                                           std::pair<std::string, std::size_t>{"one leaf", 1000},
                                           std::pair<std::string, std::size_t>{"distinct", 1000},
                                           std::pair<std::string, std::size_t>{"equal children", 1000},
                                           std::pair<std::string, std::size_t>{"wide", 5000}));

}  // namespace
}  // namespace vantrel::egraph
