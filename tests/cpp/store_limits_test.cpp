// A store keeps its input offsets and head offsets in 32 bits, so the inputs of all nodes and
// the bytes of all distinct heads have limits, as the node count has. Reaching one refuses the
// new node before anything changes; the limits are lowered here so that tests can reach them.
#include <gtest/gtest.h>
#include <string>

#include "common/fault.hpp"
#include "store/graph_store.hpp"

namespace vantrel {
namespace {

NodeKey source(const std::string& name) { return Source{name, {}}; }

std::string refusal(GraphStore& s, NodeKey key) {
  try {
    (void)s.intern(std::move(key));
  } catch (const InternalFault& e) {
    return e.what();
  }
  return "accepted";
}

TEST(StoreLimits, InputsPastTheLimitAreRefusedAndTheStoreStaysWhole) {
  GraphStore s;
  StoreLimits limits;
  limits.inputs = 5;
  s.set_limits_for_testing(limits);
  ASSERT_TRUE(s.intern(source("a")).ok());
  ASSERT_TRUE(s.intern(Op{"f", {}, {0, 0}}).ok());  // 2 inputs in all
  ASSERT_TRUE(s.intern(Op{"f", {}, {0, 1}}).ok());  // 4, a later node of the head
  const StoreSnapshot before = s.snapshot();
  // A new head's first node and a later node of a known head are refused alike.
  EXPECT_EQ(refusal(s, Op{"g", {}, {0, 1}}), "the store is full: its nodes hold at most 5 inputs in all");
  EXPECT_EQ(refusal(s, Op{"f", {}, {1, 1}}), "the store is full: its nodes hold at most 5 inputs in all");
  EXPECT_EQ(s.snapshot().nodes, before.nodes);
  // The refused node's new head was not kept either: every head has a node.
  EXPECT_EQ(s.with_view([](const GraphStore::View& v) { return v.head_count(); }), 2u);
  // Existing nodes are still found, and a node that fits exactly still goes in.
  EXPECT_EQ(s.intern(Op{"f", {}, {0, 1}}).value(), 2u);
  EXPECT_EQ(s.intern(Op{"f", {}, {2}}).value(), 3u);  // 5 in all: the limit itself
  EXPECT_EQ(s.intern(source("b")).value(), 4u);       // no inputs: still room
  EXPECT_EQ(refusal(s, Op{"f", {}, {4}}), "the store is full: its nodes hold at most 5 inputs in all");
  s.with_view([](const GraphStore::View& v) {
    ASSERT_EQ(v.input_offsets().size(), 6u);
    EXPECT_EQ(v.input_offsets().back(), 5u);
    EXPECT_EQ(v.input_pool().size(), 5u);
  });
}

TEST(StoreLimits, HeadBytesPastTheLimitAreRefusedButKnownHeadsStillTakeNodes) {
  GraphStore s;
  ASSERT_TRUE(s.intern(source("a")).ok());
  StoreLimits limits;
  limits.head_bytes = 20;  // "a" took 4 bytes: kind, name length, name, entry count
  s.set_limits_for_testing(limits);
  const std::string message = "the store is full: its distinct heads take at most 20 bytes in all";
  EXPECT_EQ(refusal(s, source("a name too long for the room left")), message);
  EXPECT_EQ(refusal(s, Op{"a name too long for the room left", {}, {0}}), message);
  EXPECT_EQ(s.node_count(), 1u);
  // A head that fits, then later nodes of a known head, which add no head bytes.
  EXPECT_EQ(s.intern(Op{"f", {}, {0}}).value(), 1u);
  EXPECT_EQ(s.intern(Op{"f", {}, {1}}).value(), 2u);
  EXPECT_EQ(s.intern(Op{"f", {}, {0}}).value(), 1u);
  EXPECT_EQ(s.with_view([](const GraphStore::View& v) { return v.head_count(); }), 2u);
  // Owned heads take their bytes in the same table.
  const NodeKey stage = Stage{{0}, {StageOp{"op", {StageRef{StageRef::Input, 0}}}}};
  EXPECT_EQ(s.intern(NodeKey(stage)).value(), 3u);  // 5 more bytes: 13 in all
  EXPECT_EQ(refusal(s, source("abcdefgh")), message);
  EXPECT_EQ(s.node_count(), 4u);
  EXPECT_EQ(s.snapshot().nodes[3], stage);
}

TEST(StoreLimits, ABatchStopsAtTheLimitWithTheNodesBeforeItAdded) {
  GraphStore s;
  ASSERT_TRUE(s.intern(source("a")).ok());
  StoreLimits limits;
  limits.inputs = 3;
  s.set_limits_for_testing(limits);
  const NamedHeadView heads[] = {{NodeKey::kOp, "f", {}}, {NodeKey::kOp, "g", {}}};
  const std::vector<std::uint32_t> head_of = {0, 1, 0};
  const NodeIds pool = {0, 0, 1, 1, 2};
  const std::vector<std::size_t> begin = {0, 1, 3, 5};
  NodeIds ids;
  try {
    (void)s.intern_batch(heads, head_of, pool, begin, ids);
    ADD_FAILURE() << "a batch went past the input limit";
  } catch (const InternalFault& e) {
    EXPECT_EQ(std::string(e.what()), "the store is full: its nodes hold at most 3 inputs in all");
  }
  EXPECT_EQ(ids, (NodeIds{1, 2}));
  EXPECT_EQ(s.node_count(), 3u);

  StoreLimits bytes;
  bytes.head_bytes = 12;  // "a", "f" and "g" took 4 bytes each
  s.set_limits_for_testing(bytes);
  const NamedHeadView more[] = {{NodeKey::kOp, "f", {}}, {NodeKey::kOp, "h", {}}};
  const std::vector<std::uint32_t> more_of = {0, 1};
  const NodeIds more_pool = {2, 2};
  const std::vector<std::size_t> more_begin = {0, 1, 2};
  ids.clear();
  EXPECT_THROW((void)s.intern_batch(more, more_of, more_pool, more_begin, ids), InternalFault);
  EXPECT_EQ(ids, NodeIds{3});  // the node of a known head went in
}

TEST(StoreLimits, ReservingNeverPassesALimitAndTheNodeLimitKeepsItsMessage) {
  GraphStore s;
  StoreLimits limits;
  limits.nodes = 2;
  limits.inputs = 1;
  s.set_limits_for_testing(limits);
  s.reserve(1000, 1000, 1000);  // a hint, capped by the limits: nothing to see
  ASSERT_TRUE(s.intern(source("a")).ok());
  ASSERT_TRUE(s.intern(Op{"f", {}, {0}}).ok());
  EXPECT_EQ(refusal(s, source("b")), "the store is full: it holds at most 2 nodes");
  EXPECT_EQ(refusal(s, Op{"f", {}, {1}}), "the store is full: it holds at most 2 nodes");
  EXPECT_EQ(s.intern(Op{"f", {}, {0}}).value(), 1u);  // a node it holds is still found
  EXPECT_EQ(s.with_view([](const GraphStore::View& v) { return v.head_count(); }), 2u);
  EXPECT_LE(s.memory_bytes(), std::size_t{1} << 16);
}

TEST(StoreLimits, ALimitBelowWhatTheStoreHoldsRefusesEveryNewNode) {
  GraphStore s;
  ASSERT_TRUE(s.intern(source("a")).ok());
  ASSERT_TRUE(s.intern(Op{"f", {}, {0, 0}}).ok());
  StoreLimits inputs;
  inputs.inputs = 1;  // the pool holds 2
  s.set_limits_for_testing(inputs);
  const std::string inputs_message = "the store is full: its nodes hold at most 1 inputs in all";
  EXPECT_EQ(refusal(s, Op{"f", {}, {1}}), inputs_message);
  EXPECT_EQ(refusal(s, source("b")), inputs_message);  // even with no inputs of its own
  EXPECT_EQ(s.intern(Op{"f", {}, {0, 0}}).value(), 1u);
  StoreLimits bytes;
  bytes.head_bytes = 4;  // the heads take 8
  s.set_limits_for_testing(bytes);
  EXPECT_EQ(refusal(s, source("c")), "the store is full: its distinct heads take at most 4 bytes in all");
  EXPECT_EQ(s.intern(Op{"f", {}, {1, 1}}).value(), 2u);  // a known head takes no bytes
  EXPECT_EQ(s.node_count(), 3u);
  EXPECT_EQ(s.with_view([](const GraphStore::View& v) { return v.head_count(); }), 2u);
}

}  // namespace
}  // namespace vantrel
