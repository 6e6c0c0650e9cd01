// Reduced stores: reducing against marks or explicit outputs, the refusal of bad output ids
// before any work, the ids and marks of the new store, and its two invariant faults.
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

#include "common/fault.hpp"
#include "optimizer/flat_graph.hpp"
#include "optimizer/reduced_store.hpp"
#include "optimizer_support.hpp"

namespace vantrel {
namespace {

using namespace vantrel::testing;

std::vector<NodeKey> five_nodes() { return {src("a"), src("b"), op("exp", {0}), op("exp", {1}), op("add", {2, 1})}; }

std::vector<NodeKey> nodes_of(const GraphStore& s) { return s.snapshot().nodes; }

TEST(ReducedStore, ReducesAgainstMarks) {
  auto store = make_store(five_nodes(), {4});
  IdentityEngine engine;
  ReducedStore r = reduce_with(*store, engine, false);
  std::vector<NodeKey> expected = {src("a"), src("b"),
                                   stage({0, 1}, {member("op|exp", {in(0)}), member("op|add", {mem(0), in(1)})})};
  EXPECT_EQ(nodes_of(*r.store), expected);
  EXPECT_EQ(r.store->outputs(), NodeIds{2});
  EXPECT_EQ(r.report.reduced_nodes, r.store->node_count());
  EXPECT_EQ(store->node_count(), 5u);  // the source store is untouched
}

TEST(ReducedStore, OutputIdsFollowTheRequestWithRepeats) {
  auto store = make_store(five_nodes());
  IdentityEngine engine;
  auto r = reduce_with_outputs(*store, NodeIds{4, 1, 4, 0}, engine, false);
  ASSERT_TRUE(r.ok());
  const ReducedStore& out = r.value();
  ASSERT_EQ(out.output_ids.size(), 4u);
  EXPECT_EQ(out.output_ids[0], out.output_ids[2]);
  EXPECT_EQ(out.store->outputs(), (NodeIds{out.output_ids[0], out.output_ids[1], out.output_ids[3]}));
  const std::vector<NodeKey> nodes = nodes_of(*out.store);
  EXPECT_EQ(nodes[out.output_ids[1]], src("b"));
  EXPECT_EQ(nodes[out.output_ids[3]], src("a"));
  EXPECT_NE(nodes[out.output_ids[0]].get_if<Stage>(), nullptr);
}

TEST(ReducedStore, NoMarksOrNoOutputsGiveAnEmptyStore) {
  IdentityEngine engine;
  auto unmarked = make_store(five_nodes());
  ReducedStore a = reduce_with(*unmarked, engine, false);
  EXPECT_EQ(a.store->node_count(), 0u);
  EXPECT_EQ(a.report, (ReductionReport{5, 0, 0, 0, 0, 0}));

  auto marked = make_store(five_nodes(), {4});
  auto b = reduce_with_outputs(*marked, NodeIds{}, engine, false);
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(b.value().store->node_count(), 0u);
  EXPECT_TRUE(b.value().store->outputs().empty());
  EXPECT_EQ(b.value().report, (ReductionReport{5, 0, 0, 0, 0, 0}));
}

TEST(ReducedStore, FirstBadOutputIdInListOrderIsRefused) {
  auto store = make_store(five_nodes());
  // An engine that must never run: the refusal comes before any work.
  auto never = FnEngine([](const EngineGraph&) -> EngineGraph { throw std::logic_error("engine ran"); });
  for (auto [outputs, bad] : {std::pair{NodeIds{5}, NodeId{5}}, std::pair{NodeIds{0, 9, 7}, NodeId{9}}}) {
    auto r = reduce_with_outputs(*store, outputs, never, false);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), BadNodeId{bad});
  }
  EXPECT_EQ(store->node_count(), 5u);
}

TEST(ReducedStore, OutputsMapToMarksInOrderOnce) {
  auto store = make_store({src("a"), op("exp", {0}), op("neg", {1}), op("log", {0})});
  IdentityEngine engine;
  auto twice = reduce_with_outputs(*store, NodeIds{2, 2}, engine, false);
  ASSERT_TRUE(twice.ok());
  EXPECT_EQ(twice.value().store->outputs().size(), 1u);

  auto ordered = reduce_with_outputs(*store, NodeIds{3, 1}, engine, false);
  ASSERT_TRUE(ordered.ok());
  const GraphStore& s = *ordered.value().store;
  const NodeIds marks = s.outputs();
  ASSERT_EQ(marks.size(), 2u);
  const auto nodes = nodes_of(s);
  EXPECT_EQ(nodes[marks[0]].get_if<Stage>()->members.back().op, "op|log");
  EXPECT_EQ(nodes[marks[1]].get_if<Stage>()->members.back().op, "op|exp");
}

TEST(ReducedStore, SecondReductionIsStable) {
  auto store = make_store({src("a"), src("b"), op("exp", {0}), op("neg", {2}), op("log", {2}), op("add", {3, 1}),
                           red("sum", {5}), op("add", {4, 6})},
                          {7});
  IdentityEngine engine;
  ReducedStore once = reduce_with(*store, engine, true);
  ReducedStore twice = reduce_with(*once.store, engine, true);
  EXPECT_EQ(nodes_of(*twice.store), nodes_of(*once.store));
  EXPECT_EQ(twice.store->outputs(), once.store->outputs());
}

TEST(ReducedStore, BrokenRecordsAreInternalFaults) {
  Reduced forward{as_graph({src("a"), op("neg", {5})}), {1}, {}};
  try {
    from_reduced(std::move(forward));
    FAIL();
  } catch (const InternalFault& f) {
    EXPECT_STREQ(f.what(), "reduced graph references only earlier nodes: BadNodeId(5)");
  }
  Reduced bad_output{as_graph({src("a")}), {9}, {}};
  try {
    from_reduced(std::move(bad_output));
    FAIL();
  } catch (const InternalFault& f) {
    EXPECT_STREQ(f.what(), "reduced output is valid: BadNodeId(9)");
  }
}

TEST(ReducedStore, RepeatedKeysInARecordShareAnIdAndRenumberTheirUsers) {
  // Not something the pipeline emits, but the store must behave as if each key were interned
  // in turn: the repeat of "a" takes id 0, and the nodes that read position 2 read id 0.
  Reduced repeated{as_graph({src("a"), src("b"), src("a"), op("neg", {2}), op("neg", {0})}), {3, 4, 2}, {}};
  ReducedStore r = from_reduced(std::move(repeated));
  std::vector<NodeKey> expected = {src("a"), src("b"), op("neg", {0})};
  EXPECT_EQ(nodes_of(*r.store), expected);
  EXPECT_EQ(r.store->outputs(), (NodeIds{2, 0}));

  // After a repeat, a position beyond the interned ones is left as it is and refused.
  Reduced forward{as_graph({src("a"), src("a"), op("neg", {2})}), {2}, {}};
  try {
    from_reduced(std::move(forward));
    FAIL();
  } catch (const InternalFault& f) {
    EXPECT_STREQ(f.what(), "reduced graph references only earlier nodes: BadNodeId(2)");
  }
}

TEST(ReducedStore, PoisonedStoreIsAnInternalFault) {
  auto store = make_store(five_nodes(), {4});
  store->poison_for_testing();
  IdentityEngine engine;
  EXPECT_THROW(reduce_with(*store, engine, false), InternalFault);
  EXPECT_THROW((void)reduce_with_outputs(*store, NodeIds{1}, engine, false), InternalFault);
}

TEST(FlatSnapshot, CopiesFromStartWithSharedHeads) {
  auto store = make_store({src("a"), op("exp", {0}), op("exp", {1}), op("neg", {2})}, {3});
  FlatSnapshot all = flat_snapshot(*store, 0, true);
  EXPECT_EQ(all.graph.keys(), nodes_of(*store));
  EXPECT_EQ(all.graph.heads.size(), 3u);
  EXPECT_EQ(all.marked, NodeIds{3});
  FlatSnapshot tail = flat_snapshot(*store, 2, false);
  EXPECT_EQ(tail.graph.keys(), (std::vector<NodeKey>{op("exp", {1}), op("neg", {2})}));
  EXPECT_EQ(flat_snapshot(*store, 4, false).graph.size(), 0u);
  EXPECT_EQ(flat_snapshot(*store, 100, false).graph.size(), 0u);
}

TEST(FlatSnapshot, WholeStoreAndTailCopiesAgreeOnEveryKindOfHead) {
  // A copy of the whole store takes its tables as they are; a copy from a later node maps
  // head by head. Both must spell the store's own keys.
  auto store = make_store({src("a"), ext(PayloadDescriptor{"m", "h", "f", "1", "s", {}}, {0}), exch({1}),
                           red("sum", {2}), stage({3}, {member("op|exp", {in(0)})}), op("exp", {4}), op("exp", {3})},
                          {5});
  const std::vector<NodeKey> keys = nodes_of(*store);
  const FlatSnapshot all = flat_snapshot(*store, 0, true);
  EXPECT_EQ(all.graph.keys(), keys);
  EXPECT_EQ(all.graph.heads.size(), 6u);
  EXPECT_EQ(all.marked, NodeIds{5});
  const FlatSnapshot tail = flat_snapshot(*store, 1, false);
  EXPECT_EQ(tail.graph.keys(), std::vector<NodeKey>(keys.begin() + 1, keys.end()));
}

TEST(ReducedStoreConcurrent, ReduceWhileAnotherThreadAddsNodes) {
  GraphStore store;
  ASSERT_TRUE(store.intern(src("x")).ok());
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    NodeId last = 0;
    for (int i = 0; i < 20000 && !stop; ++i) last = store.intern(op(i % 2 ? "exp" : "neg", {last})).value();
  });
  IdentityEngine engine;
  for (int round = 0; round < 20; ++round) {
    const auto n = static_cast<NodeId>(store.node_count());
    auto r = reduce_with_outputs(store, NodeIds{n - 1}, engine, false);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().report.reachable_nodes, n);
    EXPECT_LE(r.value().store->node_count(), 2u);
  }
  stop = true;
  writer.join();
}

}  // namespace
}  // namespace vantrel
