// Loading a graph of pairwise distinct e-nodes in one pass: the e-graph must end exactly as
// if every e-node had been added one by one, and a graph with two equal e-nodes must be
// refused without leaving anything behind.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "common/fault.hpp"
#include "egraph/egraph.hpp"
#include "egraph/runner.hpp"
#include "egraph_test_support.hpp"

namespace vantrel::egraph {
namespace {

using testing::Lcg;
using testing::sym;

/// `n` distinct e-nodes over earlier ones: leaves, then ops of one to four children (so
/// e-nodes kept inline in the hash-cons and ones kept aside both occur), each new by
/// construction because its first child or its symbol is unique to it.
std::vector<SymbolLang> distinct_graph(std::size_t n, std::uint64_t seed) {
  Lcg rng{seed};
  const GlobalSymbol ops[] = {sym("op|add"), sym("op|mul"), sym("op|neg"), sym("op|sum4")};
  std::vector<SymbolLang> out;
  for (std::size_t i = 0; i < n; ++i) {
    SymbolLang e;
    if (i < 8 || rng.below(10) == 0) {
      e.symbol = sym("src|" + std::to_string(i));
    } else {
      e.symbol = ops[rng.below(4)];
      const std::uint32_t arity = 1 + static_cast<std::uint32_t>(rng.below(4));
      e.children.push_back(static_cast<Id>(i - 1));  // the previous e-node: no earlier e-node has it first
      for (std::uint32_t k = 1; k < arity; ++k) e.children.push_back(static_cast<Id>(rng.below(i)));
    }
    out.push_back(std::move(e));
  }
  return out;
}

void expect_same(const EGraph& a, const EGraph& b, const std::vector<SymbolLang>& enodes) {
  ASSERT_EQ(a.id_count(), b.id_count());
  EXPECT_EQ(a.enode_count(), b.enode_count());
  EXPECT_EQ(a.class_count(), b.class_count());
  for (Id id = 0; id < a.id_count(); ++id) {
    const EClass& ca = a[id];
    const EClass& cb = b[id];
    ASSERT_EQ(ca.id, cb.id);
    ASSERT_TRUE(ca.enodes == cb.enodes) << id;
    ASSERT_TRUE(ca.users == cb.users) << id;
    ASSERT_TRUE(a.added(id) == b.added(id)) << id;
  }
  for (std::size_t i = 0; i < enodes.size(); ++i) {
    ASSERT_EQ(a.lookup(enodes[i]), b.lookup(enodes[i])) << i;
    ASSERT_EQ(a.lookup(enodes[i]), std::optional<Id>(static_cast<Id>(i)));
  }
}

class BulkLoad : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BulkLoad, EndsAsAddingOneByOne) {
  const std::vector<SymbolLang> enodes = distinct_graph(GetParam(), GetParam() * 31 + 7);
  EGraph one_by_one;
  one_by_one.reserve(enodes.size());
  for (const SymbolLang& e : enodes) one_by_one.add(e);
  EGraph bulk;
  bulk.reserve(enodes.size());
  std::vector<SymbolLang> copy = enodes;
  ASSERT_TRUE(bulk.add_all_distinct(copy));
  EXPECT_TRUE(copy.empty());
  expect_same(bulk, one_by_one, enodes);
  EXPECT_FALSE(bulk.clean());

  // Both go on the same way: a merge, congruence, and e-nodes added afterwards.
  if (enodes.size() < 9) return;
  for (EGraph* g : {&bulk, &one_by_one}) {
    g->rebuild();
    g->union_(3, 5);
    g->add(SymbolLang{sym("op|neg"), {0}});
    g->add(SymbolLang{sym("op|add"), {1, 2}});
    g->rebuild();
  }
  EXPECT_EQ(bulk.classes_by_kind(), one_by_one.classes_by_kind());
  EXPECT_EQ(bulk.enode_count(), one_by_one.enode_count());
  for (Id id : bulk.classes_by_kind()) ASSERT_TRUE(bulk[id].enodes == one_by_one[id].enodes) << id;
}

// Sizes below and above the 2^16 buckets the load sorts by, and the empty graph.
INSTANTIATE_TEST_SUITE_P(Sizes, BulkLoad, ::testing::Values(0, 1, 9, 1000, 300000));

TEST(BulkLoad, TwoEqualENodesAreRefusedAndNothingStays) {
  std::vector<SymbolLang> enodes = distinct_graph(5000, 3);
  enodes.push_back(enodes[4000]);  // equal to an earlier e-node
  for (std::size_t i = 0; i < 10; ++i)
    enodes.push_back(SymbolLang{sym("op|tail"), {static_cast<Id>(enodes.size() - 1)}});
  const std::vector<SymbolLang> before = enodes;
  EGraph g;
  g.reserve(enodes.size());
  EXPECT_FALSE(g.add_all_distinct(enodes));
  EXPECT_EQ(enodes.size(), before.size());
  for (std::size_t i = 0; i < enodes.size(); ++i) ASSERT_TRUE(enodes[i] == before[i]);
  EXPECT_EQ(g.id_count(), 0u);
  EXPECT_EQ(g.enode_count(), 0u);
  EXPECT_EQ(g.class_count(), 0u);
  EXPECT_FALSE(g.lookup(enodes[0]).has_value());

  // The e-graph is as new: adding one by one works and merges the repeat.
  std::vector<Id> ids;
  for (SymbolLang e : enodes) {
    for (Id& c : e.children) c = ids[c];
    ids.push_back(g.find_compress(g.add(std::move(e))));
  }
  EXPECT_EQ(ids[5000], ids[4000]);
  EXPECT_EQ(g.enode_count(), 5000u + 10u);
}

// A loader fills the e-graph's own reserved room; loading takes the same block back, and a
// refused load leaves it with the loader.
TEST(BulkLoad, EnodeRoomGoesOutAndComesBack) {
  EGraph g;
  g.reserve(20000);
  std::vector<SymbolLang> room = g.take_enode_room();
  EXPECT_TRUE(room.empty());
  EXPECT_GE(room.capacity(), 20000u);
  for (SymbolLang& e : distinct_graph(10000, 5)) room.push_back(std::move(e));
  const SymbolLang* block = room.data();
  ASSERT_TRUE(g.add_all_distinct(room));
  EXPECT_EQ(&g.added(0), block);
  EXPECT_EQ(g.enode_count(), 10000u);
  EXPECT_THROW(g.take_enode_room(), InternalFault);
}

TEST(BulkLoad, BrokenInputIsAnInternalFault) {
  EGraph g;
  std::vector<SymbolLang> forward = {SymbolLang{sym("src|a"), {}}, SymbolLang{sym("op|neg"), {1}}};
  EXPECT_THROW(g.add_all_distinct(forward), InternalFault);
  EXPECT_EQ(forward.size(), 2u);

  EGraph used;
  used.add(SymbolLang{sym("src|a"), {}});
  std::vector<SymbolLang> more = {SymbolLang{sym("src|b"), {}}};
  EXPECT_THROW(used.add_all_distinct(more), InternalFault);

  EGraph fresh;
  EXPECT_THROW(fresh.add_all(forward), InternalFault);
  EXPECT_THROW(used.add_all(more), InternalFault);
}

}  // namespace
}  // namespace vantrel::egraph
