// The interned store: validation, hash-consing, marks, snapshots, the poisoned lock, index
// growth, and concurrent interning.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <thread>

#include "store/graph_store.hpp"

namespace vantrel {
namespace {

using PV = ParamValue;

ParamMap map_of(std::vector<ParamEntry> entries) { return ParamMap::make(std::move(entries)); }

NodeId must_intern(GraphStore& s, NodeKey key) {
  auto r = s.intern(std::move(key));
  EXPECT_TRUE(r.ok()) << (r ? "" : r.error().debug());
  return r ? r.value() : ~NodeId{0};
}

/// The id the store refused, as given to `narrowing` (the ids of an unnarrowed key are as given).
std::optional<WideNodeId> refused(GraphStore& s, NodeKey key, const IdNarrowing& narrowing = {}) {
  auto r = s.intern(std::move(key));
  if (r) return std::nullopt;
  return narrowing.as_given(r.error().id);
}

std::vector<NodeKey> three_sources(GraphStore& s) {
  std::vector<NodeKey> keys = {Source{"a", {}}, Source{"b", {}}, Source{"c", {}}};
  for (const auto& k : keys) must_intern(s, k);
  return keys;
}

// ---------------------------------------------------------------------------------------
// Validation

TEST(GraphStore, FreshStoreIsEmpty) {
  GraphStore s;
  EXPECT_EQ(s.node_count(), 0u);
  EXPECT_TRUE(s.outputs().empty());
  StoreSnapshot snap = s.snapshot();
  EXPECT_TRUE(snap.nodes.empty());
  EXPECT_TRUE(snap.marked.empty());
  EXPECT_TRUE(s.snapshot_from(0).empty());
}

TEST(GraphStore, BadNodeIdDebugText) {
  EXPECT_EQ(BadNodeId{7}.debug(), "BadNodeId(7)");
  EXPECT_EQ(BadNodeId{18446744073709551615ULL}.debug(), "BadNodeId(18446744073709551615)");
}

struct BadInputsCase {
  const char* name;
  int existing;                    // sources interned first
  std::vector<WideNodeId> inputs;  // as a caller gives them, narrowed on the way in
  WideNodeId refused;
};

class InternRefuses : public ::testing::TestWithParam<BadInputsCase> {};

TEST_P(InternRefuses, FirstBadIdAndStoreUnchanged) {
  GraphStore s;
  for (int i = 0; i < GetParam().existing; ++i) must_intern(s, Source{"s" + std::to_string(i), {}});
  const StoreSnapshot before = s.snapshot();
  IdNarrowing narrowing;
  NodeIds in;
  for (WideNodeId id : GetParam().inputs) in.push_back(narrowing.narrow(id));
  const std::vector<NodeKey> keys = {Op{"f", {}, in}, Reduction{"f", {}, in}, Exchange{{}, in},
                                     External{std::make_shared<const PayloadDescriptor>(), {}, in},
                                     Stage{in, {StageOp{"op|f", {}}}}};
  for (const NodeKey& k : keys) {
    EXPECT_EQ(refused(s, k, narrowing), GetParam().refused) << k.token();
    const StoreSnapshot after = s.snapshot();
    EXPECT_EQ(after.nodes, before.nodes);
    EXPECT_EQ(after.marked, before.marked);
  }
  // The refusal left nothing behind: the same head is still new, the count grows by one.
  NodeIds good(in.size(), 0);
  if (GetParam().existing > 0) {
    EXPECT_EQ(must_intern(s, Op{"f", {}, good}), static_cast<NodeId>(GetParam().existing));
  }
}

INSTANTIATE_TEST_SUITE_P(
    All, InternRefuses,
    ::testing::Values(BadInputsCase{"EmptyStore", 0, {0}, 0}, BadInputsCase{"FirstBadNotLargest", 3, {0, 5, 7}, 5},
                      BadInputsCase{"EqualToCount", 3, {3}, 3}, BadInputsCase{"LaterBadAfterGood", 3, {2, 1, 0, 9}, 9},
                      BadInputsCase{"LargestId", 2, {1, 18446744073709551615ULL}, 18446744073709551615ULL},
                      BadInputsCase{"RepeatedBad", 1, {4, 4}, 4}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(GraphStore, SelfReferenceIsRefused) {
  GraphStore s;
  three_sources(s);
  // A key naming the id it would get (3) refers to itself: refused.
  EXPECT_EQ(refused(s, Op{"loop", {}, {3}}), 3u);
  EXPECT_EQ(must_intern(s, Op{"ok", {}, {2}}), 3u);
}

// ---------------------------------------------------------------------------------------
// Hash-consing

TEST(GraphStore, SameKeySameId) {
  GraphStore s;
  EXPECT_EQ(must_intern(s, Source{"x", {}}), 0u);
  EXPECT_EQ(must_intern(s, Source{"x", {}}), 0u);
  EXPECT_EQ(s.node_count(), 1u);
  EXPECT_EQ(must_intern(s, Source{"x", map_of({{"k", PV::of_int(1)}})}), 1u);
  EXPECT_EQ(must_intern(s, Source{"x", map_of({{"k", PV::of_int(1)}})}), 1u);
  EXPECT_EQ(s.node_count(), 2u);
}

TEST(GraphStore, DistinctKeysGetDistinctIds) {
  GraphStore s;
  three_sources(s);
  auto d = std::make_shared<const PayloadDescriptor>(PayloadDescriptor{"m", "h", "f", "1", "s", std::nullopt});
  auto d_empty = std::make_shared<const PayloadDescriptor>(PayloadDescriptor{"m", "h", "f", "1", "s", ""});
  const std::vector<NodeKey> keys = {
      Op{"f", {}, {0, 1}},
      Op{"f", {}, {1, 0}},
      Reduction{"f", {}, {0, 1}},
      Op{"f", {}, {0, 1, 1}},
      Op{"f", {}, {}},
      Op{"g", {}, {0, 1}},
      Exchange{{}, {0}},
      Exchange{map_of({{"scheme", PV::of_str("hash")}}), {0}},
      External{d, {}, {0}},
      External{d_empty, {}, {0}},
      Stage{{0}, {StageOp{"op|f", {{StageRef::Input, 0}}}}},
      Stage{{0}, {StageOp{"op|f", {{StageRef::Member, 0}}}}},
      Op{"f", map_of({{"x", PV::of_float(0.0)}}), {0}},
      Op{"f", map_of({{"x", PV::of_float(-0.0)}}), {0}},
  };
  for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(must_intern(s, keys[i]), 3 + i) << keys[i].token();
  for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(must_intern(s, keys[i]), 3 + i) << keys[i].token();
  EXPECT_EQ(s.node_count(), 3 + keys.size());
}

TEST(GraphStore, EqualDescriptorValuesAreOneNode) {
  GraphStore s;
  auto a = std::make_shared<const PayloadDescriptor>(PayloadDescriptor{"m", "h", "f", "1", "s", "p"});
  auto b = std::make_shared<const PayloadDescriptor>(PayloadDescriptor{"m", "h", "f", "1", "s", "p"});
  EXPECT_EQ(must_intern(s, External{a, {}, {}}), 0u);
  EXPECT_EQ(must_intern(s, External{b, {}, {}}), 0u);
}

TEST(GraphStore, AllNaNsAreOneNode) {
  GraphStore s;
  EXPECT_EQ(must_intern(s, Source{"x", map_of({{"v", PV::of_float(std::nan(""))}})}), 0u);
  EXPECT_EQ(must_intern(s, Source{"x", map_of({{"v", PV::of_float(-std::nan("7"))}})}), 0u);
}

TEST(GraphStore, DuplicateInputsAreKept) {
  GraphStore s;
  three_sources(s);
  const NodeId id = must_intern(s, Op{"add", {}, {1, 1}});
  EXPECT_EQ(id, 3u);
  EXPECT_EQ(must_intern(s, Op{"add", {}, {1, 1}}), id);
  EXPECT_EQ(must_intern(s, Op{"add", {}, {1}}), 4u);
  auto nodes = s.snapshot_from(id);
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0], NodeKey(Op{"add", {}, {1, 1}}));
}

TEST(GraphStore, StageMemberReferencesAreNotStoreIds) {
  GraphStore s;
  three_sources(s);
  EXPECT_EQ(must_intern(s, Stage{{2}, {StageOp{"op|f", {{StageRef::Input, 40}, {StageRef::Member, 99}}}}}), 3u);
}

TEST(GraphStore, SnapshotReturnsKeysInIdOrder) {
  GraphStore s;
  std::vector<NodeKey> keys = three_sources(s);
  keys.push_back(Op{"f", map_of({{"k", PV::of_str("v")}}), {2, 0}});
  keys.push_back(Exchange{{}, {3}});
  must_intern(s, keys[3]);
  must_intern(s, keys[4]);
  ASSERT_TRUE(s.mark_output(4).ok());
  StoreSnapshot snap = s.snapshot();
  EXPECT_EQ(snap.nodes, keys);
  EXPECT_EQ(snap.marked, (NodeIds{4}));
}

// ---------------------------------------------------------------------------------------
// Marks and snapshot_from

TEST(GraphStore, MarkOutputKeepsFirstPositionAndRefusesN) {
  GraphStore s;
  three_sources(s);
  EXPECT_TRUE(s.mark_output(2).ok());
  EXPECT_TRUE(s.mark_output(0).ok());
  EXPECT_TRUE(s.mark_output(2).ok());
  EXPECT_EQ(s.outputs(), (NodeIds{2, 0}));
  auto bad = s.mark_output(3);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().id, 3u);
  bad = s.mark_output(~NodeId{0});
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().id, ~NodeId{0});
  EXPECT_EQ(s.outputs(), (NodeIds{2, 0}));
  EXPECT_EQ(s.snapshot().marked, (NodeIds{2, 0}));
}

TEST(GraphStore, MarkOutputsChecksEveryIdBeforeMarking) {
  GraphStore s;
  three_sources(s);
  EXPECT_TRUE(s.mark_outputs(NodeIds{1}).ok());
  auto bad = s.mark_outputs(NodeIds{2, 5, 0, 7});
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().id, 5u);
  EXPECT_EQ(s.outputs(), NodeIds{1});  // nothing of the refused call was marked
  EXPECT_TRUE(s.mark_outputs(NodeIds{2, 1, 0, 2}).ok());
  EXPECT_EQ(s.outputs(), (NodeIds{1, 2, 0}));
  EXPECT_TRUE(s.mark_outputs(NodeIds{}).ok());
  EXPECT_EQ(s.outputs(), (NodeIds{1, 2, 0}));
}

TEST(GraphStore, IdentityIsNeverReused) {
  std::vector<std::uint64_t> seen;
  for (int i = 0; i < 100; ++i) {
    auto s = std::make_unique<GraphStore>();  // destroyed at once: its address is reused
    seen.push_back(s->identity());
  }
  GraphStore kept;
  seen.push_back(kept.identity());
  for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_GT(seen[i], seen[i - 1]);
}

TEST(GraphStore, MarkOutputOnEmptyStore) {
  GraphStore s;
  auto bad = s.mark_output(0);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), BadNodeId{0});
}

TEST(GraphStore, SnapshotFromBounds) {
  GraphStore s;
  const std::vector<NodeKey> keys = three_sources(s);
  EXPECT_EQ(s.snapshot_from(0), keys);
  EXPECT_EQ(s.snapshot_from(2), std::vector<NodeKey>{keys[2]});
  EXPECT_TRUE(s.snapshot_from(3).empty());
  EXPECT_TRUE(s.snapshot_from(4).empty());
  EXPECT_TRUE(s.snapshot_from(~NodeId{0}).empty());
}

// ---------------------------------------------------------------------------------------
// Poisoned lock

TEST(GraphStore, PoisonedStoreFailsEveryOperation) {
  GraphStore s;
  three_sources(s);
  s.poison_for_testing();
  const std::vector<std::pair<const char*, std::function<void()>>> ops = {
      {"intern new",
       [&] {
         (void)s.intern(Source{"new", {}});
       }},
      {"intern existing",
       [&] {
         (void)s.intern(Source{"a", {}});
       }},
      {"intern bad",
       [&] {
         (void)s.intern(Op{"f", {}, {99}});
       }},
      {"mark_output", [&] { (void)s.mark_output(0); }},
      {"mark_output bad", [&] { (void)s.mark_output(99); }},
      {"node_count", [&] { (void)s.node_count(); }},
      {"outputs", [&] { (void)s.outputs(); }},
      {"snapshot", [&] { (void)s.snapshot(); }},
      {"snapshot_from", [&] { (void)s.snapshot_from(0); }},
      {"to_dot", [&] { (void)s.to_dot(); }},
      {"with_view", [&] { s.with_view([](const GraphStore::View&) { return 0; }); }},
      {"memory_bytes", [&] { (void)s.memory_bytes(); }},
  };
  for (int round = 0; round < 2; ++round) {
    for (const auto& [name, op] : ops) {
      try {
        op();
        ADD_FAILURE() << name << " did not fail";
      } catch (const InternalFault& e) {
        EXPECT_STREQ(e.what(), "vantrel-core store mutex poisoned: PoisonError { .. }") << name;
      }
    }
  }
}

TEST(GraphStore, FaultInsideViewPoisonsTheStore) {
  GraphStore s;
  three_sources(s);
  EXPECT_THROW(s.with_view([](const GraphStore::View&) -> int { throw InternalFault("boom"); }), InternalFault);
  try {
    (void)s.node_count();
    ADD_FAILURE() << "node_count worked on a poisoned store";
  } catch (const InternalFault& e) {
    EXPECT_STREQ(e.what(), kStorePoisonedMessage);
  }
}

TEST(GraphStore, PoisonDoesNotSpreadToOtherStores) {
  GraphStore a, b;
  a.poison_for_testing();
  EXPECT_EQ(must_intern(b, Source{"x", {}}), 0u);
  EXPECT_EQ(b.node_count(), 1u);
}

// ---------------------------------------------------------------------------------------
// Growth

TEST(GraphStore, GrowthKeepsEveryIdFindable) {
  // Enough distinct heads and enough distinct (head, inputs) pairs to rehash both indexes
  // many times; every key must come back with its id afterwards.
  GraphStore s;
  std::vector<NodeKey> keys;
  const int kSources = 3000;
  for (int i = 0; i < kSources; ++i) keys.push_back(Source{"s" + std::to_string(i), {}});
  const ParamMap shared_params[] = {map_of({}), map_of({{"k", PV::of_int(1)}}), map_of({{"mode", PV::of_str("fast")}})};
  for (int i = 0; i < 150000; ++i) {
    const NodeId a = static_cast<NodeId>(i % kSources), b = static_cast<NodeId>((i / kSources) % kSources);
    const ParamMap& p = shared_params[i % 3];
    switch (i % 4) {
      case 0: keys.push_back(Op{"add", p, {a, b}}); break;
      case 1: keys.push_back(Reduction{"sum", p, {a, b}}); break;
      case 2: keys.push_back(Op{"n" + std::to_string(i), p, {a}}); break;  // many distinct heads
      default: keys.push_back(Exchange{p, {a, b, a}}); break;
    }
  }
  std::vector<NodeId> ids;
  ids.reserve(keys.size());
  std::size_t distinct = 0;
  for (const NodeKey& k : keys) {
    const NodeId id = must_intern(s, k);
    if (id == distinct) ++distinct;
    ASSERT_LT(id, distinct);
    ids.push_back(id);
  }
  EXPECT_EQ(s.node_count(), distinct);
  for (std::size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(must_intern(s, keys[i]), ids[i]) << keys[i].token();
  EXPECT_EQ(s.node_count(), distinct);
  const StoreSnapshot snap = s.snapshot();
  for (std::size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(snap.nodes[ids[i]], keys[i]);
}

// ---------------------------------------------------------------------------------------
// Concurrency (these also run under ThreadSanitizer)

TEST(GraphStore, ConcurrentInternSameAndDifferentKeys) {
  GraphStore s;
  constexpr int kThreads = 8;
  constexpr int kShared = 2000;
  constexpr int kOwn = 1000;
  // Every thread interns the same shared keys (each refers to the previous shared key, so
  // their inputs only become valid in order) interleaved with keys of its own.
  std::vector<std::vector<NodeId>> shared_ids(kThreads), own_ids(kThreads);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      NodeId prev = 0;
      for (int i = 0; i < kShared; ++i) {
        NodeKey shared =
            i == 0 ? NodeKey(Source{"root", {}}) : NodeKey(Op{"step", map_of({{"i", PV::of_int(i)}}), {prev}});
        auto r = s.intern(std::move(shared));
        ASSERT_TRUE(r.ok());
        prev = r.value();
        shared_ids[t].push_back(prev);
        if (i < kOwn) {
          auto own = s.intern(Op{"own" + std::to_string(t), map_of({{"i", PV::of_int(i)}}), {prev, prev}});
          ASSERT_TRUE(own.ok());
          own_ids[t].push_back(own.value());
        }
      }
    });
  }
  for (auto& th : threads) th.join();

  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(shared_ids[t], shared_ids[0]);
  std::set<NodeId> all(shared_ids[0].begin(), shared_ids[0].end());
  for (int t = 0; t < kThreads; ++t) all.insert(own_ids[t].begin(), own_ids[t].end());
  const std::uint64_t expected = kShared + static_cast<std::uint64_t>(kThreads) * kOwn;
  EXPECT_EQ(all.size(), expected);  // no id handed out twice for different keys
  EXPECT_EQ(s.node_count(), expected);
  EXPECT_EQ(*all.begin(), 0u);
  EXPECT_EQ(*all.rbegin(), expected - 1);  // dense

  const StoreSnapshot snap = s.snapshot();
  for (int i = 0; i < kShared; ++i) {
    const NodeKey& k = snap.nodes[shared_ids[0][i]];
    EXPECT_EQ(k.name(), i == 0 ? "root" : "step");
  }
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kOwn; ++i) {
      const NodeKey& k = snap.nodes[own_ids[t][i]];
      ASSERT_EQ(k.name(), "own" + std::to_string(t));
      ASSERT_EQ(k.inputs()[0], shared_ids[t][i]);
    }
  }
}

TEST(GraphStore, ConcurrentReadersSeeConsistentState) {
  GraphStore s;
  must_intern(s, Source{"root", {}});
  std::atomic<bool> done{false};
  std::atomic<int> started{0};
  std::thread writer([&] {
    while (started.load() < 3) std::this_thread::yield();
    for (int i = 1; i < 3000; ++i) {
      auto r = s.intern(Op{"f", map_of({{"i", PV::of_int(i)}}), {static_cast<NodeId>(i - 1)}});
      ASSERT_TRUE(r.ok());
      if (i % 7 == 0) {
        ASSERT_TRUE(s.mark_output(r.value()).ok());
      }
    }
    done = true;
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&, t] {
      std::uint64_t last = 0;
      started.fetch_add(1);
      while (!done.load()) {
        const StoreSnapshot snap = s.snapshot();
        ASSERT_GE(snap.nodes.size(), last);
        last = snap.nodes.size();
        for (NodeId m : snap.marked) ASSERT_LT(m, snap.nodes.size());
        for (std::size_t i = 1; i < snap.nodes.size(); ++i) ASSERT_EQ(snap.nodes[i].inputs()[0], i - 1);
        const auto tail = s.snapshot_from(last / 2 + static_cast<std::uint64_t>(t));
        ASSERT_LE(tail.size(), s.node_count());
        (void)s.outputs();
      }
    });
  }
  writer.join();
  for (auto& r : readers) r.join();
  EXPECT_EQ(s.node_count(), 3000u);
  EXPECT_EQ(s.outputs().size(), 3000u / 7);
}

}  // namespace
}  // namespace vantrel
