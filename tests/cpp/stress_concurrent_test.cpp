// Eight threads share one store and one reducer (serialised by a mutex, as the Python class
// does) and mix building, snapshots, blobs, reductions, steps and finalizations. This is the
// Python thread stress run below the interpreter, where ThreadSanitizer can see every access.
#include <atomic>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "egraph_engine/egg_engine.hpp"
#include "optimizer/incremental.hpp"
#include "optimizer/reduced_store.hpp"
#include "optimizer_support.hpp"
#include "serialize/reader.hpp"
#include "serialize/writer.hpp"

namespace vantrel {
namespace {

using namespace vantrel::testing;

constexpr int kThreads = 8;
constexpr int kSources = 16;
constexpr int kOps = 300;
const char* const kNames[] = {"add", "mul", "f", "g", "max"};

/// One key of the shared key space: sources 0..kSources-1, then ops that read a source and
/// an earlier op, so every thread builds the same graph whatever order it goes in.
struct Key {
  bool is_op;
  int k;
  bool operator<(const Key& o) const { return std::tie(is_op, k) < std::tie(o.is_op, o.k); }
};

class Worker {
 public:
  Worker(int seed, GraphStore& store, IncrementalReducer& reducer, std::mutex& reducer_lock)
      : rng_(seed), store_(store), reducer_(reducer), reducer_lock_(reducer_lock) {}

  NodeId node(Key key) {
    if (auto it = ids_.find(key); it != ids_.end()) return it->second;
    NodeId id;
    if (!key.is_op) {
      id = store_.intern(src("s" + std::to_string(key.k))).value();
    } else {
      NodeId a = node({false, key.k % kSources});
      NodeId b = key.k > 1 ? node({true, key.k / 2}) : node({false, (key.k + 1) % kSources});
      id = store_.intern(key.k % 7 == 0 ? add_zero(b) : op(kNames[key.k % 5], {a, b})).value();
    }
    ids_[key] = id;
    return id;
  }

  NodeIds some_outputs() {
    NodeIds out;
    for (const auto& [key, id] : ids_) {
      if (rng_() % 4 == 0 && out.size() < 3) out.push_back(id);
    }
    return out;
  }

  void run(int rounds) {
    const egraph::EggEngine engine;
    for (int round = 0; round < rounds; ++round) {
      for (int i = 0; i < 6; ++i) {
        node(rng_() % 3 == 0 ? Key{false, static_cast<int>(rng_() % kSources)}
                             : Key{true, static_cast<int>(rng_() % kOps)});
      }
      const std::uint64_t n = store_.node_count();
      ASSERT_GE(n, last_count_);
      last_count_ = n;
      const NodeIds outputs = some_outputs();
      switch (rng_() % 5) {
        case 0: {
          StoreSnapshot snap = store_.snapshot();
          ASSERT_GE(snap.nodes.size(), n);
          for (const auto& [key, id] : ids_) ASSERT_LT(id, snap.nodes.size());
          break;
        }
        case 1: {
          auto blob = serialize_with(store_, outputs);
          ASSERT_TRUE(blob.ok());
          auto back = deserialize(blob.value());
          ASSERT_TRUE(back.ok());
          auto again = serialize_with(*back.value(), outputs);
          ASSERT_TRUE(again.ok());
          ASSERT_EQ(again.value(), blob.value());
          break;
        }
        case 2: {
          auto reduced = reduce_with_outputs(store_, outputs, engine, rng_() % 2 == 0);
          ASSERT_TRUE(reduced.ok());
          break;
        }
        case 3: {
          std::lock_guard<std::mutex> hold(reducer_lock_);
          ASSERT_TRUE(reducer_.step_store(store_).ok());
          break;
        }
        default: {
          std::lock_guard<std::mutex> hold(reducer_lock_);
          ASSERT_TRUE(reducer_.step_store(store_).ok());
          ASSERT_TRUE(reducer_.finalize(outputs, engine, rng_() % 2 == 0).ok());
        }
      }
    }
  }

  const std::map<Key, NodeId>& ids() const { return ids_; }

 private:
  std::mt19937 rng_;
  GraphStore& store_;
  IncrementalReducer& reducer_;
  std::mutex& reducer_lock_;
  std::map<Key, NodeId> ids_;
  std::uint64_t last_count_ = 0;
};

TEST(SharedStoreConcurrent, MixedWorkloadKeepsItsInvariants) {
  GraphStore store;
  IncrementalReducer reducer;
  std::mutex reducer_lock;
  std::vector<Worker> workers;
  for (int t = 0; t < kThreads; ++t) workers.emplace_back(t, store, reducer, reducer_lock);
  std::vector<std::thread> threads;
  for (auto& w : workers) threads.emplace_back([&w] { w.run(60); });
  for (auto& t : threads) t.join();

  // The same key got the same id in every thread, and the ids are exactly 0..n-1.
  std::map<Key, NodeId> all;
  for (const auto& w : workers) {
    for (const auto& [key, id] : w.ids()) {
      auto [it, fresh] = all.emplace(key, id);
      ASSERT_EQ(it->second, id);
    }
  }
  std::vector<bool> seen(store.node_count(), false);
  for (const auto& [key, id] : all) {
    ASSERT_LT(id, seen.size());
    ASSERT_FALSE(seen[id]);
    seen[id] = true;
  }
  EXPECT_EQ(all.size(), store.node_count());

  ASSERT_TRUE(reducer.step_store(store).ok());
  EXPECT_EQ(reducer.total_work(), store.node_count());
  const egraph::EggEngine engine;
  const NodeIds outputs{static_cast<NodeId>(store.node_count() - 1), 0};
  auto bytes = [&] {
    auto reduced = reducer.finalize(outputs, engine, false);
    EXPECT_TRUE(reduced.ok());
    return serialize_marked(*from_reduced(std::move(reduced).value()).store).value();
  };
  EXPECT_EQ(bytes(), bytes());
}

}  // namespace
}  // namespace vantrel
