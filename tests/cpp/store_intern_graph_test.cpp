// Interning a graph in compact form: heads of every kind, inputs by position mapped through
// the ids earlier nodes got (also when those ids are not fresh), the refusal of an input that
// does not name an earlier node, and malformed graphs.
#include <gtest/gtest.h>

#include "optimizer/flat_graph.hpp"
#include "optimizer_support.hpp"

namespace vantrel {
namespace {

using namespace vantrel::testing;

/// A store already holding a few nodes, so that positions and ids differ.
void seed(GraphStore& s) {
  ASSERT_TRUE(s.intern(src("x")).ok());
  ASSERT_TRUE(s.intern(src("a")).ok());
  ASSERT_TRUE(s.intern(op("exp", {1})).ok());
}

/// The keys of a graph whose inputs are positions, interned one by one through the ids the
/// positions got; the first refused input ends it.
std::pair<NodeIds, std::optional<NodeId>> one_by_one(GraphStore& s, const FlatGraph& g) {
  NodeIds ids;
  for (std::uint64_t i = 0; i < g.size(); ++i) {
    NodeIds inputs;
    for (NodeId p : g.inputs(i)) {
      if (p >= i) return {ids, p};
      inputs.push_back(ids[p]);
    }
    ids.push_back(s.intern(g.head(i).with_inputs(std::move(inputs))).value());
  }
  return {ids, std::nullopt};
}

void expect_same_as_one_by_one(FlatGraph g) {
  GraphStore graph_store, single_store;
  seed(graph_store);
  seed(single_store);
  const auto [expected, refused] = one_by_one(single_store, g);
  NodeIds ids{77};  // ids are appended
  auto r = graph_store.intern_graph(g.heads, g.head_of, g.input_lists.pool(), g.input_lists.offsets(), ids);
  ids.erase(ids.begin());
  EXPECT_EQ(ids, expected);
  ASSERT_EQ(r.ok(), !refused.has_value());
  if (!r) {
    EXPECT_EQ(r.error().id, *refused);
  }
  EXPECT_EQ(graph_store.snapshot().nodes, single_store.snapshot().nodes);
  graph_store.with_view([&](const GraphStore::View& a) {
    single_store.with_view([&](const GraphStore::View& b) {
      ASSERT_EQ(a.node_count(), b.node_count());
      for (NodeId i = 0; i < a.node_count(); ++i) EXPECT_EQ(a.head_id(i), b.head_id(i));
    });
  });
}

PayloadDescriptor descriptor(std::string hash) { return {"model", std::move(hash), "f", "1", "io", std::nullopt}; }

TEST(GraphStoreInternGraph, HeadsOfEveryKindMatchOneInternPerNode) {
  const NodeKey chain = stage({}, {member("op|exp", {in(0)}), member("op|neg", {mem(0)})});
  FlatGraph g;
  // Heads listed twice, heads the store already holds, and a head given with inputs (ignored).
  g.heads = {
      src("a"),       op("exp", {}), chain,    ext(descriptor("h1"), {}), exch({}),
      red("sum", {}), chain,         src("b"), ext(descriptor("h2"), {}), stage({5, 6}, {member("op|log", {in(0)})})};
  const std::vector<std::pair<std::uint32_t, NodeIds>> nodes = {
      {0, {}},  {1, {0}},    {2, {1}}, {6, {1}}, {3, {2, 3}}, {7, {}},     {4, {5}},
      {9, {6}}, {8, {2, 3}}, {5, {7}}, {2, {6}}, {1, {0}},    {9, {4, 4}}, {0, {}}};
  for (const auto& [h, in] : nodes) g.push(h, in);
  expect_same_as_one_by_one(g);
}

TEST(GraphStoreInternGraph, AnInputNotNamingAnEarlierNodeIsRefused) {
  for (NodeId bad : {NodeId{3}, NodeId{4}, NodeId{100}}) {
    FlatGraph g;
    g.heads = {src("a"), op("exp", {})};
    g.push(0, {});
    g.push(1, NodeIds{0});
    g.push(1, NodeIds{1});
    g.push(1, NodeIds{2, bad, 0});  // node 3: `bad` is itself or later
    g.push(1, NodeIds{0});          // never looked at
    expect_same_as_one_by_one(g);
    GraphStore s;
    NodeIds ids;
    auto r = s.intern_graph(g.heads, g.head_of, g.input_lists.pool(), g.input_lists.offsets(), ids);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), BadNodeId{bad});
    EXPECT_EQ(ids, (NodeIds{0, 1, 2}));
    EXPECT_EQ(s.node_count(), 3u);
  }
}

TEST(GraphStoreInternGraph, MalformedGraphIsAnInternalFaultAndEmptyIsNothing) {
  GraphStore s;
  std::vector<NodeKey> heads = {src("a")};
  NodeIds ids;
  const std::vector<std::uint32_t> bad_head{1};
  const std::vector<std::size_t> begin{0, 0};
  EXPECT_THROW((void)s.intern_graph(heads, bad_head, {}, begin, ids), InternalFault);
  const std::vector<std::uint32_t> two{0, 0};
  EXPECT_THROW((void)s.intern_graph(heads, two, {}, begin, ids), InternalFault);
  EXPECT_TRUE(s.intern_graph(heads, {}, {}, {}, ids).ok());
  EXPECT_EQ(s.node_count(), 0u);
  EXPECT_TRUE(ids.empty());
}

}  // namespace
}  // namespace vantrel
