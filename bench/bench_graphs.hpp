#pragma once
// Pipeline-shaped graphs for the reduction benchmarks: sources feeding chains of elementwise
// ops with fan-out, scalar identities and commuted duplicates, reductions, exchange
// boundaries, and dead branches that no output needs.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include "store/graph_store.hpp"

namespace vantrel::bench {

inline ParamMap scalar_side(double scalar, const char* side) {
  return ParamMap::make({{"scalar", ParamValue::of_float(scalar)}, {"side", ParamValue::of_str(side)}});
}

/// Builds a store of about `n` nodes and marks the tips of its live chains as outputs.
inline std::unique_ptr<GraphStore> pipeline_graph(std::uint64_t n, std::uint64_t seed = 1) {
  auto store = std::make_unique<GraphStore>();
  std::mt19937_64 rng(seed);
  auto pick = [&](std::uint64_t below) { return std::uniform_int_distribution<std::uint64_t>(0, below - 1)(rng); };
  auto intern = [&](NodeKey k) { return store->intern(std::move(k)).value(); };
  const char* unary[] = {"exp", "neg", "log", "abs", "sqrt"};
  const char* binary[] = {"add", "mul", "maximum", "sub"};
  std::uint64_t source_count = 0;
  while (store->node_count() < n) {
    // One segment: a source (or an exchange of an earlier tip), a chain with fan-out and
    // joins, then a reduction; a quarter of the segments are dead branches.
    const bool dead = pick(4) == 0;
    NodeId tip;
    const auto have = static_cast<NodeId>(store->node_count());
    if (have == 0 || pick(3) != 0) {
      tip = intern(Source{"src" + std::to_string(source_count++),
                          ParamMap::make({{"part", ParamValue::of_int(static_cast<std::int64_t>(pick(8)))}})});
    } else {
      tip = intern(Exchange{ParamMap::make({{"scheme", ParamValue::of_str("hash")}}),
                            {static_cast<NodeId>(have - 1 - pick(std::min<std::uint64_t>(have, 64)))}});
    }
    const std::uint64_t len = 20 + pick(60);
    NodeId prev = tip;
    for (std::uint64_t i = 0; i < len; ++i) {
      const std::uint64_t what = pick(20);
      NodeId next;
      if (what < 9) {
        next = intern(Op{unary[pick(5)], {}, {prev}});
      } else if (what < 13) {
        // A fan-out: two branches of the same value joined again, sometimes in both operand
        // orders (a commuted duplicate).
        NodeId a = intern(Op{unary[pick(5)], {}, {prev}});
        NodeId b = intern(Op{unary[pick(5)], {}, {prev}});
        const char* name = binary[pick(4)];
        next = intern(Op{name, {}, {a, b}});
        if (pick(2) == 0) next = intern(Op{"add", {}, {next, intern(Op{name, {}, {b, a}})}});
      } else if (what < 16) {
        next = intern(Op{pick(2) ? "add" : "mul", pick(2) ? scalar_side(0.0, "r") : scalar_side(1.0, "l"), {prev}});
      } else if (what < 18) {
        next = intern(Op{"mul", {}, {prev, tip}});
      } else {
        next = intern(Op{"add", ParamMap::make({{"alpha", ParamValue::of_float(0.5)}}), {prev, tip}});
      }
      prev = next;
    }
    NodeId end = intern(Reduction{"sum", ParamMap::make({{"axis", ParamValue::of_int(0)}}), {prev}});
    if (!dead && !store->mark_output(end)) std::abort();
  }
  return store;
}

}  // namespace vantrel::bench
