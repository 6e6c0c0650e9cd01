// Interning a batch: the same ids and table as one intern per node, one shared head or one
// head per node, and a refused node that keeps exactly the nodes before it.
#include <gtest/gtest.h>

#include "store/graph_store.hpp"

namespace vantrel {
namespace {

struct Batch {
  std::vector<std::vector<ParamEntryView>> params;  // one per node, or one shared
  std::vector<NodeIds> inputs;

  std::vector<std::uint32_t> head_of() const {
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i < inputs.size(); ++i)
      out.push_back(params.size() == 1 ? 0 : static_cast<std::uint32_t>(i));
    return out;
  }
  std::vector<NamedHeadView> heads() const {
    std::vector<NamedHeadView> out;
    for (const auto& p : params) out.emplace_back(NodeKey::kOp, "f", p);
    return out;
  }
  std::pair<NodeIds, std::vector<std::size_t>> pool() const {
    NodeIds pool;
    std::vector<std::size_t> begin{0};
    for (const auto& in : inputs) {
      pool.insert(pool.end(), in.begin(), in.end());
      begin.push_back(pool.size());
    }
    return {pool, begin};
  }
};

ParamEntryView int_entry(std::string_view key, std::int64_t v) {
  ParamEntryView e;
  e.key = key;
  e.value.kind = ParamValue::Int;
  e.value.i = v;
  return e;
}

GraphStore& with_sources(GraphStore& s, int n) {
  for (int i = 0; i < n; ++i) {
    auto r = s.intern(Source{"s" + std::to_string(i), {}});
    EXPECT_TRUE(r.ok());
  }
  return s;
}

/// What one intern per node gives: ids until the first refusal, and the refusal.
std::pair<NodeIds, std::optional<NodeId>> one_by_one(GraphStore& s, const Batch& b) {
  NodeIds ids;
  const auto heads = b.heads();
  for (std::size_t i = 0; i < b.inputs.size(); ++i) {
    auto r = s.intern(heads[heads.size() == 1 ? 0 : i], b.inputs[i]);
    if (!r) return {ids, r.error().id};
    ids.push_back(r.value());
  }
  return {ids, std::nullopt};
}

void expect_same_as_one_by_one(const Batch& b) {
  GraphStore batch_store, single_store;
  with_sources(batch_store, 2);
  with_sources(single_store, 2);
  const auto heads = b.heads();
  const auto [pool, begin] = b.pool();
  NodeIds ids;
  auto r = batch_store.intern_batch(heads, b.head_of(), pool, begin, ids);
  const auto [expected, refused] = one_by_one(single_store, b);
  EXPECT_EQ(ids, expected);
  EXPECT_EQ(r.ok(), !refused.has_value());
  if (!r) {
    EXPECT_EQ(r.error().id, *refused);
  }
  const auto a = batch_store.snapshot(), e = single_store.snapshot();
  EXPECT_EQ(a.nodes, e.nodes);
}

TEST(GraphStoreBatch, SharedHeadMatchesOneInternPerNode) {
  Batch b;
  b.params = {{int_entry("k", 1)}};
  b.inputs = {{0}, {0, 1}, {2}, {0}, {3, 4}, {}, {2}};
  expect_same_as_one_by_one(b);
}

TEST(GraphStoreBatch, OwnHeadsMatchOneInternPerNode) {
  Batch b;
  b.params = {{int_entry("k", 1)}, {int_entry("k", 2)}, {int_entry("k", 1)}, {}, {int_entry("a", 1)}};
  b.inputs = {{0}, {0}, {0}, {2, 3}, {4}};
  expect_same_as_one_by_one(b);
}

TEST(GraphStoreBatch, RecurringHeadsByIndexMatchOneInternPerNode) {
  const std::vector<ParamEntryView> p1{int_entry("k", 1)}, p2{int_entry("k", 2)};
  const std::vector<NamedHeadView> heads{{NodeKey::kOp, "f", p1}, {NodeKey::kOp, "f", p2}, {NodeKey::kOp, "f", p1}};
  const std::vector<std::uint32_t> head_of{1, 0, 2, 1, 0};
  const NodeIds pool{0, 0, 1, 0, 2};
  const std::vector<std::size_t> begin{0, 1, 2, 3, 4, 5};
  GraphStore batch_store, single_store;
  with_sources(batch_store, 2);
  with_sources(single_store, 2);
  NodeIds ids, expected;
  ASSERT_TRUE(batch_store.intern_batch(heads, head_of, pool, begin, ids).ok());
  for (std::size_t i = 0; i < head_of.size(); ++i) {
    expected.push_back(single_store.intern(heads[head_of[i]], std::span<const NodeId>(pool).subspan(i, 1)).value());
  }
  EXPECT_EQ(ids, expected);
  EXPECT_EQ(batch_store.snapshot().nodes, single_store.snapshot().nodes);
}

TEST(GraphStoreBatch, MalformedBatchIsAnInternalFault) {
  GraphStore s;
  const std::vector<ParamEntryView> none;
  const std::vector<NamedHeadView> heads{{NodeKey::kOp, "f", none}};
  NodeIds ids;
  const std::vector<std::uint32_t> bad_head{1};
  const std::vector<std::size_t> begin{0, 0};
  EXPECT_THROW((void)s.intern_batch(heads, bad_head, {}, begin, ids), InternalFault);
  const std::vector<std::uint32_t> two{0, 0};
  EXPECT_THROW((void)s.intern_batch(heads, two, {}, begin, ids), InternalFault);
  EXPECT_EQ(s.node_count(), 0u);
}

TEST(GraphStoreBatch, FirstRefusedNodeKeepsTheNodesBeforeIt) {
  Batch b;
  b.params = {{}};
  b.inputs = {{0}, {2}, {1, 9, 12}, {3}};  // node 2 names 9 first; node 3 is never looked at
  GraphStore s;
  with_sources(s, 2);
  const auto heads = b.heads();
  const auto [pool, begin] = b.pool();
  NodeIds ids;
  auto r = s.intern_batch(heads, b.head_of(), pool, begin, ids);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().id, 9u);
  EXPECT_EQ(ids, (NodeIds{2, 3}));
  EXPECT_EQ(s.node_count(), 4u);
  expect_same_as_one_by_one(b);
}

TEST(GraphStoreBatch, EmptyBatchAndPoisonedStore) {
  GraphStore s;
  NodeIds ids;
  EXPECT_TRUE(s.intern_batch({}, {}, {}, {}, ids).ok());
  EXPECT_TRUE(ids.empty());
  Batch b;
  b.params = {{}};
  b.inputs = {{}};
  const auto heads = b.heads();
  const auto [pool, begin] = b.pool();
  s.poison_for_testing();
  EXPECT_THROW((void)s.intern_batch(heads, b.head_of(), pool, begin, ids), InternalFault);
}

TEST(GraphStoreBatch, ManyNodesAcrossIndexGrowth) {
  Batch b;
  b.params = {{int_entry("k", 7)}};
  for (NodeId i = 0; i < 5000; ++i) b.inputs.push_back({i + 1, i / 2});
  expect_same_as_one_by_one(b);
}

TEST(GraphStoreBatch, ReservedRoomChangesNothingVisible) {
  Batch b;
  b.params = {{int_entry("k", 7)}};
  for (NodeId i = 0; i < 3000; ++i) b.inputs.push_back({i % 3 == 0 ? NodeId{0} : i + 1, i / 2});
  const auto heads = b.heads();
  const auto [pool, begin] = b.pool();
  GraphStore reserved, plain;
  with_sources(reserved, 2);
  with_sources(plain, 2);
  const std::size_t bytes = reserved.memory_bytes();
  reserved.reserve(b.inputs.size(), 2 * b.inputs.size(), b.inputs.size());
  EXPECT_EQ(reserved.node_count(), 2u);
  EXPECT_GT(reserved.memory_bytes(), bytes);
  NodeIds with_room, without;
  ASSERT_TRUE(reserved.intern_batch(heads, b.head_of(), pool, begin, with_room).ok());
  ASSERT_TRUE(plain.intern_batch(heads, b.head_of(), pool, begin, without).ok());
  EXPECT_EQ(with_room, without);
  EXPECT_EQ(reserved.snapshot().nodes, plain.snapshot().nodes);
}

}  // namespace
}  // namespace vantrel
