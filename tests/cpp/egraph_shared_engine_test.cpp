// One EggEngine shared by threads that reduce at the same time: the engine keeps no per-call
// state in itself, so every thread gets exactly the result it gets alone. Run under
// ThreadSanitizer by the test command (the suite's name ends in "Concurrent").
#include <gtest/gtest.h>
#include <thread>
#include <vector>

#include "egraph_engine/egg_engine.hpp"
#include "optimizer/incremental.hpp"
#include "optimizer/reduced_store.hpp"
#include "optimizer_support.hpp"

namespace vantrel {
namespace {

using namespace vantrel::testing;

/// A graph with commuted pairs and identities for the rules to work on; `salt` varies it.
std::vector<NodeKey> busy_graph(int salt) {
  std::vector<NodeKey> nodes = {src("x" + std::to_string(salt)), src("y")};
  for (int i = 0; i < 300; ++i) {
    const auto a = static_cast<NodeId>(nodes.size() - 1), b = static_cast<NodeId>(nodes.size() - 2);
    switch ((i + salt) % 4) {
      case 0: nodes.push_back(op("add", {a, b})); break;
      case 1: nodes.push_back(op("add", {b, a})); break;
      case 2: nodes.push_back(add_zero(a)); break;
      default: nodes.push_back(op("mul", {a, 0})); break;
    }
  }
  return nodes;
}

std::vector<NodeKey> keys_of(const GraphStore& s) { return s.snapshot().nodes; }

TEST(SharedEngineConcurrent, ThreadsReduceWithOneEngine) {
  const egraph::EggEngine engine;
  constexpr int kThreads = 4;
  std::vector<std::unique_ptr<GraphStore>> stores;
  std::vector<std::vector<NodeKey>> alone;
  for (int t = 0; t < kThreads; ++t) {
    stores.push_back(make_store(busy_graph(t)));
    const auto last = static_cast<NodeId>(stores.back()->node_count() - 1);
    alone.push_back(keys_of(*reduce_with_outputs(*stores.back(), NodeIds{last, 3}, engine, false).value().store));
  }
  std::vector<std::vector<NodeKey>> together(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        const auto last = static_cast<NodeId>(stores[t]->node_count() - 1);
        together[t] = keys_of(*reduce_with_outputs(*stores[t], NodeIds{last, 3}, engine, false).value().store);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(together, alone);
}

TEST(SharedEngineConcurrent, ReducersFinalizeWithOneEngine) {
  const egraph::EggEngine engine;
  constexpr int kThreads = 3;
  std::vector<std::unique_ptr<GraphStore>> stores;
  for (int t = 0; t < kThreads; ++t) stores.push_back(make_store(busy_graph(t)));
  std::vector<std::size_t> sizes(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      IncrementalReducer r;
      ASSERT_TRUE(r.step_store(*stores[t]).ok());
      auto reduced = r.finalize(NodeIds{static_cast<NodeId>(stores[t]->node_count() - 1)}, engine, t % 2 == 0);
      ASSERT_TRUE(reduced.ok());
      sizes[t] = from_reduced(std::move(reduced).value()).store->node_count();
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    IncrementalReducer r;
    ASSERT_TRUE(r.step_store(*stores[t]).ok());
    auto reduced = r.finalize(NodeIds{static_cast<NodeId>(stores[t]->node_count() - 1)}, engine, t % 2 == 0);
    EXPECT_EQ(sizes[t], from_reduced(std::move(reduced).value()).store->node_count());
  }
}

}  // namespace
}  // namespace vantrel
