// The incremental reducer: the worked example, identity elimination by exact token, operand
// order of commutative ops, split independence, the refused input and finalize.
#include <gtest/gtest.h>
#include <mutex>
#include <random>
#include <thread>

#include "egraph_engine/egg_engine.hpp"
#include "optimizer/flat_graph.hpp"
#include "optimizer/incremental.hpp"
#include "optimizer_support.hpp"

namespace vantrel {
namespace {

using namespace vantrel::testing;

std::uint64_t step_ok(IncrementalReducer& r, std::vector<NodeKey> delta) {
  auto n = r.step(delta);
  EXPECT_TRUE(n.ok());
  return n.ok() ? n.value() : 0;
}

TEST(Incremental, WorkedExample) {
  IncrementalReducer r;
  EXPECT_EQ(r.watermark() + r.total_work() + r.canonical_count(), 0u);
  EXPECT_EQ(step_ok(r, {src("x"), add_zero(0), src("y")}), 3u);
  EXPECT_EQ(r.canonical(), (std::vector<NodeKey>{src("x"), src("y")}));
  EXPECT_EQ(r.id_map(), (NodeIds{0, 0, 1}));
  EXPECT_EQ(step_ok(r, {op("add", {1, 2}), op("add", {2, 0})}), 2u);
  EXPECT_EQ(r.canonical(), (std::vector<NodeKey>{src("x"), src("y"), op("add", {0, 1})}));
  EXPECT_EQ(r.id_map(), (NodeIds{0, 0, 1, 2, 2}));
  EXPECT_EQ(r.watermark(), 5u);
  EXPECT_EQ(r.total_work(), 5u);
  EXPECT_EQ(r.canonical_count(), 3u);
  EXPECT_EQ(r.cons_table(op("add", {0, 1})), std::optional<std::uint64_t>{2});
  EXPECT_EQ(r.cons_table(op("add", {1, 0})), std::nullopt);  // stored in its first order only
  EXPECT_EQ(step_ok(r, {}), 0u);
  EXPECT_EQ(r.watermark(), 5u);
}

// A step abandoned part way (by a shortage of memory) is undone by rolling back to a mark:
// the reducer then folds the same nodes again as if the step had never run.
TEST(Incremental, RollBackUndoesAStep) {
  std::vector<NodeKey> first = {src("x"), src("y"), op("add", {0, 1})};
  std::vector<NodeKey> second;
  for (NodeId i = 0; i < 200; ++i) second.push_back(op(i % 2 ? "mul" : "add", {i + 2, i % 3}));
  IncrementalReducer plain, undone;
  step_ok(plain, first);
  step_ok(undone, first);
  const IncrementalReducer::Mark mark = undone.mark();
  step_ok(undone, second);
  undone.roll_back(mark);
  EXPECT_EQ(undone.canonical(), plain.canonical());
  EXPECT_EQ(undone.id_map(), plain.id_map());
  EXPECT_EQ(undone.total_work(), plain.total_work());
  EXPECT_EQ(undone.cons_table(op("add", {2, 0})), std::nullopt);  // folded after the mark
  EXPECT_EQ(undone.cons_table(op("add", {0, 1})), std::optional<std::uint64_t>{2});
  step_ok(plain, second);
  step_ok(undone, second);
  EXPECT_EQ(undone.canonical(), plain.canonical());
  EXPECT_EQ(undone.id_map(), plain.id_map());
  EXPECT_EQ(undone.cons_table(op("mul", {5, 0})), plain.cons_table(op("mul", {5, 0})));
}

TEST(Incremental, IdentityOnlyByExactToken) {
  const ParamMap zero_r = pmap({{"scalar", ParamValue::of_float(0.0)}, {"side", ParamValue::of_str("r")}});
  struct Case {
    const char* what;
    NodeKey key;
    bool identity;
  };
  const std::vector<Case> cases = {
      {"x + 0 right", add_zero(1, "r"), true},
      {"x + 0 left", add_zero(1, "l"), true},
      {"x * 1 right", mul_one(1, "r"), true},
      {"x * 1 left", mul_one(1, "l"), true},
      {"two inputs", op("add", {0, 1}, zero_r), false},
      {"no inputs", op("add", {}, zero_r), false},
      {"integer zero", op("add", {1}, pmap({{"scalar", ParamValue::of_int(0)}, {"side", ParamValue::of_str("r")}})),
       false},
      {"negative zero",
       op("add", {1}, pmap({{"scalar", ParamValue::of_float(-0.0)}, {"side", ParamValue::of_str("r")}})), false},
      {"x * 0", op("mul", {1}, pmap({{"scalar", ParamValue::of_float(0.0)}, {"side", ParamValue::of_str("r")}})),
       false},
      {"other side", op("add", {1}, pmap({{"scalar", ParamValue::of_float(0.0)}, {"side", ParamValue::of_str("x")}})),
       false},
      {"reduction", Reduction{"add", zero_r, {1}}, false},
  };
  for (const Case& c : cases) {
    IncrementalReducer r;
    step_ok(r, {src("a"), src("b"), c.key});
    EXPECT_EQ(r.id_map()[2] == 1, c.identity) << c.what;
    EXPECT_EQ(r.canonical_count(), c.identity ? 2u : 3u) << c.what;
  }
}

TEST(Incremental, IdentityChainsFoldAsTheyArrive) {
  IncrementalReducer r;
  step_ok(r, {src("x"), add_zero(0), mul_one(1, "l"), op("exp", {2})});
  EXPECT_EQ(r.canonical(), (std::vector<NodeKey>{src("x"), op("exp", {0})}));
  EXPECT_EQ(r.id_map(), (NodeIds{0, 0, 0, 1}));
}

TEST(Incremental, CommutativeOpsOnlyWithoutParameters) {
  struct Case {
    NodeKey first, second;
    std::uint64_t canonical;
  };
  const ParamMap alpha = pmap({{"alpha", ParamValue::of_int(1)}});
  const std::vector<Case> cases = {
      {op("add", {0, 1}), op("add", {1, 0}), 3},
      {op("maximum", {1, 0}), op("maximum", {0, 1}), 3},
      {op("eq", {0, 1}), op("eq", {1, 0}), 3},
      {op("sub", {0, 1}), op("sub", {1, 0}), 4},
      {op("add", {0, 1}, alpha), op("add", {1, 0}, alpha), 4},
      {Reduction{"add", {}, {0, 1}}, Reduction{"add", {}, {1, 0}}, 4},
      {op("add", {0, 1}), op("add", {0, 1}), 3},
  };
  for (const Case& c : cases) {
    IncrementalReducer r;
    step_ok(r, {src("a"), src("b"), c.first, c.second});
    EXPECT_EQ(r.canonical_count(), c.canonical) << c.first.token();
    EXPECT_EQ(r.canonical()[2], c.first) << "the first operand order is the one stored";
  }
}

TEST(Incremental, BadInputEndsTheStepButKeepsConsumedKeys) {
  IncrementalReducer r;
  auto res = r.step(std::vector<NodeKey>{src("a"), op("exp", {0}), op("neg", {5}), src("b")});
  ASSERT_FALSE(res.ok());
  EXPECT_EQ(res.error(), BadNodeId{5});
  EXPECT_EQ(r.watermark(), 2u);
  EXPECT_EQ(r.total_work(), 0u);
  EXPECT_EQ(r.canonical_count(), 2u);
}

/// A random store-shaped graph: sources, elementwise ops with fan-out (some commutative, some
/// with parameters), identities, reductions.
void random_graph(std::mt19937_64& rng, std::uint64_t n, GraphStore& store) {
  auto pick = [&](std::uint64_t below) {
    return static_cast<NodeId>(std::uniform_int_distribution<std::uint64_t>(0, below - 1)(rng));
  };
  const char* names[] = {"add", "mul", "sub", "maximum", "exp", "neg"};
  for (std::uint64_t step = 0; step < n; ++step) {
    const auto i = static_cast<NodeId>(store.node_count());
    const std::uint64_t kind = i < 2 ? 0 : pick(10);
    std::vector<NodeKey> g;
    if (kind == 0) {
      g.push_back(src("s" + std::to_string(pick(3))));
    } else if (kind <= 5) {
      g.push_back(op(names[pick(4)], {pick(i), pick(i)}));
    } else if (kind == 6) {
      g.push_back(op(names[4 + pick(2)], {pick(i)}));
    } else if (kind == 7) {
      g.push_back(pick(2) ? add_zero(pick(i), pick(2) ? "r" : "l") : mul_one(pick(i)));
    } else if (kind == 8) {
      g.push_back(op("add", {pick(i), pick(i)}, pmap({{"alpha", ParamValue::of_int(2)}})));
    } else {
      g.push_back(red("sum", {pick(i)}));
    }
    if (!store.intern(g.back()).ok()) throw std::runtime_error("bad random node");
  }
}

TEST(Incremental, AnySplitGivesTheSameResultAsOneStep) {
  std::mt19937_64 rng(42);
  IdentityEngine engine;
  for (int trial = 0; trial < 30; ++trial) {
    auto store = std::make_unique<GraphStore>();
    random_graph(rng, 1 + rng() % 120, *store);
    const auto n = static_cast<NodeId>(store->node_count());
    const NodeIds outputs = {n - 1, n / 2, n - 1};

    IncrementalReducer whole;
    ASSERT_TRUE(whole.step(flat_snapshot(*store, 0, false).graph).ok());
    auto expected = whole.finalize(outputs, engine, false);
    ASSERT_TRUE(expected.ok());

    IncrementalReducer split;
    while (split.watermark() < n) {
      const std::uint64_t cut = split.watermark() + 1 + rng() % 20;
      auto all = store->snapshot().nodes;
      std::vector<NodeKey> delta(all.begin() + static_cast<std::ptrdiff_t>(split.watermark()),
                                 all.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(cut, n)));
      ASSERT_TRUE(split.step(delta).ok());
    }
    EXPECT_EQ(split.canonical(), whole.canonical());
    EXPECT_EQ(split.id_map(), whole.id_map());
    EXPECT_EQ(split.total_work(), n);
    EXPECT_EQ(split.watermark(), n);
    auto got = split.finalize(outputs, engine, false);
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(got.value().keys(), expected.value().keys());
    EXPECT_EQ(got.value().outputs, expected.value().outputs);
    EXPECT_EQ(got.value().report, expected.value().report);
  }
}

// New nodes enter the canonical form at once but its index only in batches: a node equal to
// one still waiting must be found all the same, by a fold and by `cons_table`, whatever the
// step sizes. Checked on a graph with many equal nodes, in steps of 1 to 150 nodes.
TEST(Incremental, NodesWaitingForTheIndexAreFoundLikeIndexedOnes) {
  std::mt19937_64 rng(7);
  auto store = std::make_unique<GraphStore>();
  random_graph(rng, 4000, *store);
  const auto n = static_cast<NodeId>(store->node_count());
  const auto all = store->snapshot().nodes;
  IncrementalReducer r;
  while (r.watermark() < n) {
    const std::uint64_t cut = std::min<std::uint64_t>(n, r.watermark() + 1 + rng() % (rng() % 2 ? 3 : 150));
    std::vector<NodeKey> delta(all.begin() + static_cast<std::ptrdiff_t>(r.watermark()),
                               all.begin() + static_cast<std::ptrdiff_t>(cut));
    ASSERT_TRUE(r.step(delta).ok());
    // Every canonical key is found at its own position, and no two are equal.
    const std::vector<NodeKey> canon = r.canonical();
    for (std::uint64_t p = 0; p < canon.size(); ++p) {
      ASSERT_EQ(r.cons_table(canon[p]), std::optional<std::uint64_t>{p}) << "position " << p << " of " << canon.size();
    }
  }
  // And the same canonical form and id map as one step over the whole graph.
  IncrementalReducer whole;
  ASSERT_TRUE(whole.step(all).ok());
  EXPECT_EQ(r.canonical(), whole.canonical());
  EXPECT_EQ(r.id_map(), whole.id_map());
  EXPECT_LT(r.canonical_count(), n);  // the graph does have equal nodes
}

void expect_same(const Reduced& got, const Reduced& expected) {
  EXPECT_EQ(got.keys(), expected.keys());
  EXPECT_EQ(got.outputs, expected.outputs);
  EXPECT_EQ(got.report, expected.report);
}

TEST(Incremental, StepFromTheStoreMatchesStepOnACopy) {
  std::mt19937_64 rng(7);
  for (int trial = 0; trial < 30; ++trial) {
    auto store = std::make_unique<GraphStore>();
    random_graph(rng, 1 + rng() % 150, *store);
    IncrementalReducer whole;
    ASSERT_TRUE(whole.step(flat_snapshot(*store, 0, false).graph).ok());

    // Fed step by step while the store grows.
    auto grown = std::make_unique<GraphStore>();
    IncrementalReducer split;
    std::uint64_t consumed = 0;
    const auto all = store->snapshot().nodes;
    for (std::uint64_t i = 0; i < all.size(); ++i) {
      ASSERT_TRUE(grown->intern(all[i]).ok());
      if (rng() % 4 == 0) consumed += split.step_store(*grown).value();
    }
    consumed += split.step_store(*grown).value();
    EXPECT_EQ(split.step_store(*grown).value(), 0u);
    EXPECT_EQ(consumed, all.size());
    EXPECT_EQ(split.canonical(), whole.canonical());
    EXPECT_EQ(split.id_map(), whole.id_map());
    EXPECT_EQ(split.total_work(), all.size());
  }
}

TEST(Incremental, DeltasAroundTheInPlaceSizeMatchOneStep) {
  // Deltas of a few nodes are folded as they are read, longer ones copied out first: steps
  // of every size on both sides of the limit, and mixes of the two, give one result.
  std::mt19937_64 rng(11);
  for (const std::uint64_t size : {1, 2, 15, 16, 17, 31, 64, 0}) {
    auto store = std::make_unique<GraphStore>();
    random_graph(rng, 200, *store);
    IncrementalReducer whole;
    ASSERT_TRUE(whole.step(flat_snapshot(*store, 0, false).graph).ok());

    auto grown = std::make_unique<GraphStore>();
    IncrementalReducer split;
    const auto all = store->snapshot().nodes;
    std::uint64_t pending = 0, consumed = 0;
    const std::uint64_t every = size == 0 ? 1 + rng() % 40 : size;  // 0: a new random size each time
    std::uint64_t next = every;
    for (const NodeKey& key : all) {
      ASSERT_TRUE(grown->intern(key).ok());
      if (++pending < next) continue;
      const auto n = split.step_store(*grown);
      ASSERT_TRUE(n.ok());
      EXPECT_EQ(n.value(), pending);
      consumed += n.value();
      pending = 0;
      next = size == 0 ? 1 + rng() % 40 : size;
    }
    consumed += split.step_store(*grown).value();
    EXPECT_EQ(consumed, all.size()) << size;
    EXPECT_EQ(split.canonical(), whole.canonical()) << size;
    EXPECT_EQ(split.id_map(), whole.id_map()) << size;
    EXPECT_EQ(split.total_work(), all.size()) << size;
    // The store's lock was released after every step, in-place or not.
    EXPECT_EQ(grown->node_count(), all.size());
  }
}

TEST(Incremental, StepFromAnotherStoreReadsItsOwnHeads) {
  // Head ids of the second store name other contents than those of the first.
  auto first = make_store({src("a"), op("exp", {0})});
  auto second = make_store({src("b"), op("neg", {0}), op("exp", {1}), add_zero(2)});
  IncrementalReducer r;
  EXPECT_EQ(r.step_store(*first).value(), 2u);
  EXPECT_EQ(r.step_store(*second).value(), 2u);

  IncrementalReducer expected;
  step_ok(expected, {src("a"), op("exp", {0}), op("exp", {1}), add_zero(2)});
  EXPECT_EQ(r.canonical(), expected.canonical());
  EXPECT_EQ(r.id_map(), expected.id_map());
}

/// Random graphs built to hit every rule: duplicates, both operand orders, identities of
/// every kind (and their near misses), parameterised commutative ops, non-op heads that share
/// a token.
void rule_heavy_graph(std::mt19937_64& rng, std::uint64_t n, GraphStore& store) {
  auto pick = [&](std::uint64_t below) {
    return static_cast<NodeId>(std::uniform_int_distribution<std::uint64_t>(0, below - 1)(rng));
  };
  const char* binary[] = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum", "sub"};
  const char* unary[] = {"exp", "neg"};
  auto near = [&](NodeId x) {
    switch (pick(5)) {
      case 0: return op("add", {x}, pmap({{"scalar", ParamValue::of_float(-0.0)}, {"side", ParamValue::of_str("r")}}));
      case 1: return op("add", {x}, pmap({{"scalar", ParamValue::of_int(0)}, {"side", ParamValue::of_str("r")}}));
      case 2: return op("add|scalar=f0000000000000000;side=sr", {x});
      case 3: return add_zero(x, "l");
      default: return mul_one(x, pick(2) ? "l" : "r");
    }
  };
  while (store.node_count() < n) {
    const auto i = static_cast<NodeId>(store.node_count());
    NodeKey k = src("s");
    const std::uint64_t kind = i < 3 ? 0 : pick(12);
    if (kind == 0) {
      k = src("s" + std::to_string(pick(4)));
    } else if (kind <= 5) {
      k = op(binary[pick(9)],
             {i - 1 - pick(std::min<std::uint64_t>(i, 6)), i - 1 - pick(std::min<std::uint64_t>(i, 6))});
    } else if (kind == 6) {
      k = op(unary[pick(2)], {i - 1 - pick(std::min<std::uint64_t>(i, 4))});
    } else if (kind == 7) {
      k = near(i - 1 - pick(std::min<std::uint64_t>(i, 4)));
    } else if (kind == 8) {
      k = op("add", {pick(i), pick(i)}, pmap({{"alpha", ParamValue::of_int(1)}}));
    } else if (kind == 9) {
      k = op("add", {pick(i), pick(i), pick(i)});
    } else if (kind == 10) {
      k = stage({pick(i)}, {member(pick(2) ? "op|exp" : "op|neg", {in(0)})});
    } else {
      k = red("sum", {pick(i)});
    }
    if (!store.intern(std::move(k)).ok()) throw std::runtime_error("bad random node");
  }
}

TEST(Incremental, FollowsTheStoreOfItsFirstStepOnly) {
  auto first = make_store({src("a"), op("exp", {0})});
  auto copy = make_store({src("a"), op("exp", {0})});  // equal contents, another store
  IncrementalReducer r;
  EXPECT_TRUE(r.follows(*first));
  EXPECT_TRUE(r.follows(*copy));  // nothing recorded before the first step
  EXPECT_EQ(r.step_store(*first).value(), 2u);
  EXPECT_TRUE(r.follows(*first));
  EXPECT_FALSE(r.follows(*copy));
}

TEST(Incremental, FinalizeWithDefaultRulesMatchesTheEngine) {
  std::mt19937_64 rng(11);
  const egraph::EggEngine engine;
  for (int trial = 0; trial < 40; ++trial) {
    auto store = std::make_unique<GraphStore>();
    // A few graphs large enough for the rules to be banned and postponed.
    rule_heavy_graph(rng, trial % 20 == 19 ? 30000 : 1 + rng() % 200, *store);
    const auto n = static_cast<NodeId>(store->node_count());
    IncrementalReducer r;
    ASSERT_TRUE(r.step_store(*store).ok());
    for (const NodeIds& outputs : {NodeIds{n - 1, n / 2, n - 1}, NodeIds{}, NodeIds{0}}) {
      for (bool maximal : {false, true}) {
        auto expected = r.finalize(outputs, engine, maximal);
        auto got = r.finalize_default(outputs, engine, maximal);
        ASSERT_TRUE(expected.ok() && got.ok());
        expect_same(got.value(), expected.value());
      }
    }
    // All outputs at once: every node of the canonical form is live.
    NodeIds every(n);
    for (NodeId i = 0; i < n; ++i) every[i] = i;
    auto expected = r.finalize(every, engine, false);
    auto got = r.finalize_default(every, engine, false);
    ASSERT_TRUE(expected.ok() && got.ok());
    expect_same(got.value(), expected.value());
    auto bad = r.finalize_default(NodeIds{n}, engine, false);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error(), BadNodeId{n});
  }
}

TEST(Incremental, FinalizeReadsWithoutChanging) {
  IncrementalReducer r;
  step_ok(r, {src("a"), op("exp", {0}), add_zero(1), op("neg", {2})});
  IdentityEngine engine;
  auto bad = r.finalize(NodeIds{3, 4, 9}, engine, false);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), BadNodeId{4});

  auto empty = r.finalize(NodeIds{}, engine, false);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty.value().report, (ReductionReport{3, 0, 0, 0, 0, 0}));

  auto first = r.finalize(NodeIds{3}, engine, false);
  auto second = r.finalize(NodeIds{3}, engine, false);
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_EQ(first.value().keys(), second.value().keys());
  EXPECT_EQ(first.value().report.input_nodes, 3u);  // the canonical count, not the store's
  EXPECT_EQ(r.watermark(), 4u);

  step_ok(r, {op("log", {3})});  // steps may follow a finalize
  EXPECT_EQ(r.canonical_count(), 4u);
}

TEST(IncrementalConcurrent, SharedReducerConsumesEveryNodeOnce) {
  GraphStore store;
  ASSERT_TRUE(store.intern(src("x")).ok());
  IncrementalReducer reducer;
  std::mutex reducer_lock;
  constexpr int kNodes = 5000;
  std::thread writer([&] {
    NodeId last = 0;
    for (int i = 0; i < kNodes; ++i) {
      last = store.intern(i % 3 == 0 ? add_zero(last) : op(i % 2 ? "exp" : "neg", {last, 0})).value();
    }
  });
  std::vector<std::thread> steppers;
  std::atomic<std::uint64_t> consumed{0};
  for (int t = 0; t < 3; ++t) {
    steppers.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        std::lock_guard<std::mutex> hold(reducer_lock);
        auto n = reducer.step(flat_snapshot(store, reducer.watermark(), false).graph);
        ASSERT_TRUE(n.ok());
        consumed += n.value();
      }
    });
  }
  writer.join();
  for (auto& t : steppers) t.join();
  std::lock_guard<std::mutex> hold(reducer_lock);
  consumed += reducer.step(flat_snapshot(store, reducer.watermark(), false).graph).value();
  EXPECT_EQ(consumed.load(), store.node_count());
  EXPECT_EQ(reducer.total_work(), store.node_count());

  IncrementalReducer one;
  ASSERT_TRUE(one.step(store.snapshot().nodes).ok());
  EXPECT_EQ(reducer.canonical(), one.canonical());
  EXPECT_EQ(reducer.id_map(), one.id_map());
}

}  // namespace
}  // namespace vantrel
