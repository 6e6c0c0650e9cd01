// Randomized regression tests: canonicalize and raw e-graph operations on many generated
// inputs, digested and compared with digests recorded from a known-good build. They pin
// every observable detail (result graphs, iteration records, union-find roots, class order,
// search order), so a speed-up that changes the tie-break or an iteration order fails here.
#include <algorithm>
#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <tuple>
#include <vector>

#include "egraph_engine/egg_engine.hpp"

namespace vantrel::egraph {
namespace {

// Set to true to print the digests instead of checking them (when recording new ones).
constexpr bool kRecord = false;

struct Digest {
  std::uint64_t h = 1469598103934665603ULL;
  void add(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) {
      h ^= (v >> (8 * i)) & 0xff;
      h *= 1099511628211ULL;
    }
  }
  void add(std::string_view s) {
    add(s.size());
    for (unsigned char c : s) {
      h ^= c;
      h *= 1099511628211ULL;
    }
  }
};

struct Rng {
  std::uint64_t s;
  std::uint64_t next() {
    std::uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : next() % n; }
};

const char* const kBinary[] = {"op|add", "op|mul",     "op|and",     "op|or",  "op|eq",
                               "op|ne",  "op|maximum", "op|minimum", "op|sub", "op|add|axis=i0"};
const char* const kUnary[] = {"op|add|scalar=f0000000000000000;side=sr",
                              "op|add|scalar=f0000000000000000;side=sl",
                              "op|mul|scalar=f3ff0000000000000;side=sr",
                              "op|mul|scalar=f3ff0000000000000;side=sl",
                              "op|neg",
                              "op|exp",
                              "red|sum|axis=i0",
                              "op|add|scalar=f8000000000000000;side=sr"};

// Graphs with few sources (many duplicates and congruences), mirrored binary pairs, identity
// chains and a sprinkle of three-input nodes. `sources` and `window` vary the density; a
// `vocab` of 1 uses only add/mul and the four identities, so rules collect many matches.
EngineGraph random_graph(std::uint64_t seed, std::size_t n, std::size_t sources, std::size_t window,
                         std::size_t vocab = 5) {
  Rng rng{seed};
  EngineGraph g;
  std::vector<std::pair<std::string, NodeIds>> mirrors;
  auto pick = [&](std::size_t i) -> NodeId {
    if (rng.below(6) == 0) return static_cast<NodeId>(rng.below(i));
    return static_cast<NodeId>(i - 1 - rng.below(std::min<std::uint64_t>(i, window)));
  };
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t r = rng.below(100);
    if (i < 2 || (r < 8 && i < sources * 4)) {
      g.nodes.push_back(EngineNode{"src|s" + std::to_string(rng.below(sources)), {}, true});
    } else if (!mirrors.empty() && r < 25) {
      auto m = std::move(mirrors.back());
      mirrors.pop_back();
      g.nodes.push_back(EngineNode{m.first, {m.second[1], m.second[0]}, false});
    } else if (r < 60) {
      std::string op = kBinary[rng.below(2 * vocab)];
      NodeIds in{pick(i), pick(i)};
      if (rng.below(2) == 0) mirrors.emplace_back(op, in);
      g.nodes.push_back(EngineNode{op, std::move(in), false});
    } else if (r < 90) {
      g.nodes.push_back(EngineNode{kUnary[rng.below(vocab == 1 ? 4 : 8)], {pick(i)}, false});
    } else {
      g.nodes.push_back(EngineNode{"op|add", {pick(i), pick(i), pick(i)}, false});
    }
  }
  const std::size_t outs = rng.below(6);
  for (std::size_t o = 0; o < outs && n > 0; ++o) g.outputs.push_back(static_cast<NodeId>(rng.below(n)));
  return g;
}

std::uint64_t canonicalize_digest(const EggEngine& engine, const EngineGraph& g) {
  CanonicalizeStats stats;
  const EngineGraph out = engine.canonicalize_with_stats(g, &stats);
  Digest d;
  d.add(out.nodes.size());
  for (const EngineNode& node : out.nodes) {
    d.add(node.op);
    d.add(node.opaque ? 1 : 0);
    d.add(node.inputs.size());
    for (auto j : node.inputs) d.add(j);
  }
  for (auto o : out.outputs) d.add(o);
  d.add(stats.iterations);
  d.add(describe(stats.stop));
  d.add(stats.enode_count);
  d.add(stats.class_count);
  for (const Iteration& it : stats.records) {
    d.add(it.e_nodes_at_start);
    d.add(it.classes_at_start);
    d.add(it.rebuild_merges);
    for (const auto& [name, count] : it.applied_counts) {
      d.add(name.text());
      d.add(count);
    }
  }
  for (Id r : stats.roots) d.add(r);
  return d.h;
}

void check(const char* what, const std::vector<std::uint64_t>& got, const std::vector<std::uint64_t>& expected) {
  if (kRecord) {
    std::printf("%s:", what);
    for (auto v : got) std::printf(" 0x%016llxULL,", static_cast<unsigned long long>(v));
    std::printf("\n");
    return;
  }
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], expected[i]) << what << " group " << i;
}

TEST(Golden, CanonicalizeSmallRandomGraphs) {
  const EggEngine engine;
  std::vector<std::uint64_t> groups;
  for (std::uint64_t group = 0; group < 12; ++group) {
    Digest d;
    for (std::uint64_t k = 0; k < 25; ++k) {
      const std::uint64_t seed = group * 1000 + k;
      Rng shape{seed ^ 0xabcdefULL};
      const std::size_t n = shape.below(300);
      const std::size_t sources = 1 + shape.below(6);
      const std::size_t window = 1 + shape.below(12);
      d.add(canonicalize_digest(engine, random_graph(seed, n, sources, window)));
    }
    groups.push_back(d.h);
  }
  check("small", groups,
        {0x9e0a574b835f76aaULL, 0x29de2d74153af34fULL, 0xa2816111387f25c6ULL, 0xa795b0f183c3e293ULL,
         0x13bfb7c4b0288df1ULL, 0x51825644d8bd2738ULL, 0x9e31fd6789c7db49ULL, 0xf7942877af392e23ULL,
         0xef2ba6ac61d7edccULL, 0x2ff9e5c735c02823ULL, 0x7e183ddf760830d1ULL, 0x97e689749dba7538ULL});
}

// Large enough for rules to pass the match threshold, so bans, backoff and fast-forwarding
// decide which matches are applied in which iteration.
TEST(Golden, CanonicalizeGraphsThatTriggerBans) {
  const EggEngine engine;
  std::vector<std::uint64_t> got;
  const std::tuple<std::uint64_t, std::size_t, std::size_t, std::size_t, std::size_t> cases[] = {
      {1, 3000, 50, 8, 5},      {2, 6000, 200, 16, 1},    {3, 9000, 3000, 32, 1},   {4, 12000, 12000, 4, 1},
      {5, 20000, 20000, 24, 5}, {6, 30000, 30000, 16, 1}, {7, 50000, 50000, 32, 1}, {8, 40000, 300, 8, 2},
  };
  for (const auto& [seed, n, sources, window, vocab] : cases) {
    got.push_back(canonicalize_digest(engine, random_graph(seed, n, sources, window, vocab)));
  }
  check("bans", got,
        {0xf127fe441ded7543ULL, 0x41d19a4a66ce90b1ULL, 0xd381af986fcd892aULL, 0x8565c0612840d0ceULL,
         0x0b5705e2b0f05423ULL, 0x6e6e0a50a129e6baULL, 0xe111c80b081400daULL, 0x81eb99db00e4d759ULL});
}

// Raw e-graph operations: random adds, unions and rebuilds, then the roots of every id, the
// class order, each class's e-nodes and users count, and the matches of a pattern.
TEST(Golden, EGraphOperations) {
  const GlobalSymbol syms[] = {GlobalSymbol::intern("g|f"), GlobalSymbol::intern("g|g"), GlobalSymbol::intern("g|h"),
                               GlobalSymbol::intern("g|leaf1"), GlobalSymbol::intern("g|leaf2")};
  const Pattern pat = pattern_from_text("(g|f ?a ?b)");
  std::vector<std::uint64_t> got;
  for (std::uint64_t seed = 0; seed < 40; ++seed) {
    Rng rng{seed * 77 + 5};
    EGraph g;
    if (seed % 2 == 0) g.watch_symbol(syms[0]);
    Digest d;
    std::vector<Id> ids;
    const std::size_t rounds = 1 + rng.below(12);
    for (std::size_t round = 0; round < rounds; ++round) {
      const std::size_t adds = rng.below(80);
      for (std::size_t k = 0; k < adds; ++k) {
        const std::uint64_t r = ids.size() < 2 ? 3 + rng.below(2) : rng.below(5);
        SymbolLang node{syms[r], {}};
        const std::size_t arity = r == 0 ? 2 : r == 1 ? 1 + rng.below(3) : r == 2 ? 1 : 0;
        for (std::size_t a = 0; a < arity; ++a) node.children.push_back(ids[rng.below(ids.size())]);
        ids.push_back(g.add(std::move(node)));
        d.add(ids.back());
      }
      const std::size_t unions = ids.empty() ? 0 : rng.below(10);
      for (std::size_t k = 0; k < unions; ++k)
        d.add(g.union_(ids[rng.below(ids.size())], ids[rng.below(ids.size())]) ? 1 : 0);
      d.add(g.rebuild());
      d.add(g.enode_count());
      d.add(g.class_count());
      for (Id i = 0; i < g.id_count(); ++i) d.add(g.find(i));
      for (Id c : g.classes_by_kind()) {
        d.add(c);
        const EClass& cls = g[c];
        d.add(cls.users.size());
        std::vector<std::pair<std::string_view, std::vector<Id>>> nodes;
        for (const SymbolLang& n : cls.enodes)
          nodes.emplace_back(n.symbol.text(), std::vector<Id>(n.children.begin(), n.children.end()));
        std::sort(nodes.begin(), nodes.end());  // symbol values depend on the process, texts do not
        for (const auto& [t, kids] : nodes) {
          d.add(t);
          for (Id k : kids) d.add(k);
        }
      }
      for (std::size_t limit : {std::size_t{5}, std::size_t{1000000}}) {
        for (const SearchMatches& m : pat.search_with_limit(g, limit)) {
          d.add(m.class_id);
          for (const Subst& s : m.substitutions) {
            for (std::size_t b = 0; b < s.size(); ++b) d.add(s[b].second);
          }
        }
      }
    }
    got.push_back(d.h);
  }
  check("egraph", got, {0xb73734baa4900106ULL, 0x8d0266cea3aa6274ULL, 0xc371b77c2d21b37bULL, 0xba55efff65a8b628ULL,
                        0x3cff6f11998d1e0bULL, 0xd12833a8edc751d6ULL, 0x120221fe1c3cb72dULL, 0x4984ddf48be55a57ULL,
                        0xc056f46e050637fdULL, 0x61fdc6cb203f3238ULL, 0x4f982c4b93866fd5ULL, 0x21623b94c8a35e20ULL,
                        0x7b71f063bd52df37ULL, 0x5ca7fbfc36b55269ULL, 0x2cc61c3bbf9ff292ULL, 0xec8f739e746b9afeULL,
                        0x1c629e9d7460efcdULL, 0x8d6c14882ffda1dbULL, 0x983b53345e72b8cdULL, 0x0f74b57c7d8e1fc6ULL,
                        0xf08b4c4cfdd42010ULL, 0xc498b209f462e6cfULL, 0x4121b9e1d4ad6257ULL, 0x009239296e2aab10ULL,
                        0xc2cbd0bafe39e56bULL, 0xaa34653a3ff9ef74ULL, 0x1ff2c75beb2e0085ULL, 0x2a8453b9b851e01fULL,
                        0x865e43bfb4b92ba5ULL, 0xcb326aa8cb0ab44eULL, 0x4a649c2d955c5564ULL, 0x4e00020a3c8a6de9ULL,
                        0xd63986561802c1dbULL, 0xacefc02d510dce71ULL, 0x773db540aea57338ULL, 0xb3095c1772b17a0eULL,
                        0xbd6765c415373a01ULL, 0x2e92780c1e19a62dULL, 0x7a220b39dee5a832ULL, 0xba759b420d6536a3ULL});
}

}  // namespace
}  // namespace vantrel::egraph
