// The first node of each head is found through the head, every later one through the node
// index. Whichever way a node is found, interning must number nodes exactly as a plain map
// from key to first-seen id does.
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <string>
#include <utility>

#include "common/fault.hpp"
#include "store/graph_store.hpp"

namespace vantrel {
namespace {

TEST(StoreFirstNode, AHeadWhoseFirstNodeWasRefusedGetsOneWhenThereIsRoom) {
  GraphStore s;
  ASSERT_TRUE(s.intern(Source{"a", {}}).ok());
  s.set_node_limit_for_testing(1);
  // The head is added, its node refused.
  EXPECT_THROW((void)s.intern(Op{"f", {}, {0}}), InternalFault);
  s.set_node_limit_for_testing(10);
  EXPECT_EQ(s.intern(Op{"f", {}, {0}}).value(), 1u);
  EXPECT_EQ(s.intern(Op{"f", {}, {0}}).value(), 1u);
  EXPECT_EQ(s.intern(Op{"f", {}, {0, 0}}).value(), 2u);  // same head, other inputs
  EXPECT_EQ(s.intern(Op{"f", {}, {0, 0}}).value(), 2u);
  EXPECT_EQ(s.intern(Op{"f", {}, {0}}).value(), 1u);
  EXPECT_EQ(s.node_count(), 3u);
}

TEST(StoreFirstNode, NumbersNodesAsAMapFromKeyToFirstSeenId) {
  std::mt19937_64 rng(5);
  auto below = [&](std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng); };
  GraphStore s;
  std::map<std::pair<std::string, NodeIds>, NodeId> reference;
  for (int i = 0; i < 4000; ++i) {
    const std::uint64_t count = s.node_count();
    NodeKey key = Source{"s" + std::to_string(below(50)), {}};
    std::string text = key.token();
    if (count > 0 && below(4) != 0) {
      // Few heads, so most nodes share a head with earlier ones; inputs from a small window
      // make repeats common.
      NodeIds inputs;
      for (std::uint64_t k = below(3); k > 0; --k)
        inputs.push_back(static_cast<NodeId>(count - 1 - below(std::min<std::uint64_t>(count, 6))));
      const std::string name = "op" + std::to_string(below(4));
      key = Op{name, {}, inputs};
      text = name;
      auto [it, fresh] = reference.try_emplace({text, inputs}, static_cast<NodeId>(count));
      ASSERT_EQ(s.intern(std::move(key)).value(), it->second) << "node " << i;
      continue;
    }
    auto [it, fresh] = reference.try_emplace({text, NodeIds{}}, static_cast<NodeId>(count));
    ASSERT_EQ(s.intern(std::move(key)).value(), it->second) << "node " << i;
  }
  EXPECT_EQ(s.node_count(), reference.size());
}

}  // namespace
}  // namespace vantrel
