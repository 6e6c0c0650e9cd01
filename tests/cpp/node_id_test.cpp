// Node ids at the edge of their 32-bit range: narrowing at the boundary, the refusal that
// names a too-wide id as given, the store's node limit, and blob ids past the range.
#include "common/node_id.hpp"

#include <gtest/gtest.h>
#include <string>

#include "common/fault.hpp"
#include "serialize/reader.hpp"
#include "serialize/writer.hpp"
#include "store/graph_store.hpp"

namespace vantrel {
namespace {

TEST(NodeId, NarrowingKeepsEveryIdBelowTheSentinel) {
  EXPECT_EQ(narrow_node_id(0), std::optional<NodeId>(0));
  EXPECT_EQ(narrow_node_id(kNoId - 1), std::optional<NodeId>(kNoId - 1));
  for (WideNodeId wide : {WideNodeId{kNoId}, WideNodeId{kNoId} + 1, WideNodeId{1} << 40, ~WideNodeId{0}}) {
    EXPECT_EQ(narrow_node_id(wide), std::nullopt) << wide;
  }
}

TEST(NodeId, ARefusedSentinelIsTheFirstTooWideIdAsGiven) {
  IdNarrowing narrowing;
  EXPECT_EQ(narrowing.narrow(5), 5u);
  EXPECT_EQ(narrowing.as_given(kNoId), WideNodeId{kNoId});  // nothing too wide yet: as it is
  EXPECT_EQ(narrowing.narrow(WideNodeId{1} << 40), kNoId);
  EXPECT_EQ(narrowing.narrow(~WideNodeId{0}), kNoId);
  EXPECT_EQ(narrowing.as_given(kNoId), WideNodeId{1} << 40);
  EXPECT_EQ(narrowing.as_given(7), 7u);  // an ordinary refusal is untouched
}

NodeKey source(int i) { return Source{"s" + std::to_string(i), {}}; }

TEST(NodeId, AFullStoreRefusesANewNodeAndStaysWhole) {
  GraphStore s;
  s.set_node_limit_for_testing(3);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(s.intern(source(i)).ok());
  const StoreSnapshot before = s.snapshot();
  EXPECT_THROW((void)s.intern(source(3)), InternalFault);
  EXPECT_THROW((void)s.intern(Op{"f", {}, {0, 2}}), InternalFault);
  // Existing nodes are still found, marks still work, and nothing was half-added.
  auto again = s.intern(source(1));
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.value(), 1u);
  EXPECT_TRUE(s.mark_output(2).ok());
  EXPECT_EQ(s.node_count(), 3u);
  EXPECT_EQ(s.snapshot().nodes, before.nodes);
  try {
    (void)s.intern(source(4));
    ADD_FAILURE() << "a full store took a new node";
  } catch (const InternalFault& e) {
    EXPECT_EQ(std::string(e.what()), "the store is full: it holds at most 3 nodes");
  }
}

TEST(NodeId, AFullStoreRefusesTheRestOfABatch) {
  GraphStore s;
  s.set_node_limit_for_testing(2);
  ASSERT_TRUE(s.intern(source(0)).ok());
  const NamedHeadView heads[] = {{NodeKey::kSource, "s", {}}, {NodeKey::kSource, "t", {}}};
  const std::vector<std::uint32_t> head_of = {0, 1};
  const std::vector<std::size_t> begin = {0, 0, 0};
  NodeIds ids;
  EXPECT_THROW((void)s.intern_batch(heads, head_of, {}, begin, ids), InternalFault);
  EXPECT_EQ(ids, NodeIds{1});  // the node that fitted was added
  EXPECT_EQ(s.node_count(), 2u);
}

TEST(NodeId, BlobIdsPastTheRangeAreBadReferences) {
  GraphStore s;
  ASSERT_TRUE(s.intern(source(0)).ok());
  std::string blob = serialize_with(s, NodeIds{0}).value();
  // The output id is the last field: a u64 that no store can hold.
  for (WideNodeId wide : {WideNodeId{kNoId}, WideNodeId{kNoId} + 1, ~WideNodeId{0}}) {
    std::string bad = blob;
    for (int i = 0; i < 8; ++i) bad[bad.size() - 8 + i] = static_cast<char>((wide >> (8 * i)) & 0xFF);
    auto read = deserialize(bad);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error(), DecodeError{DecodeError::BadRef{wide}});
    EXPECT_EQ(read.error().message(), "node reference " + std::to_string(wide) + " out of range");
  }
}

}  // namespace
}  // namespace vantrel
