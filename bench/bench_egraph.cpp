// Rewrite-engine figures: e-node insertion rate, loading a graph of distinct e-nodes, canonicalize time at three sizes
// with the iterations taken and the stop reason, and the cost per e-node of a rebuild. Each line carries a baseline
// measured in the same run, so the ratio survives a noisy machine.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <unordered_map>
#include <vector>

#include "egraph/load_graph.hpp"
#include "egraph_engine/egg_engine.hpp"

using namespace vantrel;
using namespace vantrel::egraph;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// CPU time of this process: on a shared machine wall time also counts the time other
// processes held the cores.
double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Minor page faults of this process so far: first touches of fresh memory, which at 10^6
// nodes cost about as much as the work done in that memory.
long page_faults() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_minflt;
}

struct Rng {
  std::uint64_t s;
  std::uint64_t next() {
    std::uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  std::uint64_t below(std::uint64_t n) { return next() % n; }
};

// A pipeline-like mix: sources, parameterless adds and muls (a third of them mirrored later),
// the four identity ops, and other ops with and without parameters. Inputs are mostly recent.
EngineGraph realistic_graph(std::size_t n, std::uint64_t seed) {
  static const char* kIdentity[] = {
      "op|add|scalar=f0000000000000000;side=sr", "op|add|scalar=f0000000000000000;side=sl",
      "op|mul|scalar=f3ff0000000000000;side=sr", "op|mul|scalar=f3ff0000000000000;side=sl"};
  static const char* kOther[] = {"op|exp",
                                 "op|neg",
                                 "op|sub",
                                 "op|add|axis=i1",
                                 "op|mul|scalar=f4000000000000000;side=sr",
                                 "op|where",
                                 "op|maximum|axis=i0"};
  static const int kOtherArity[] = {1, 1, 2, 2, 1, 3, 2};
  Rng rng{seed};
  EngineGraph g;
  g.nodes.reserve(n);
  std::vector<std::pair<std::string, NodeIds>> mirrors;
  auto pick = [&](std::size_t i) -> NodeId {
    if (rng.below(8) == 0) return static_cast<NodeId>(rng.below(i));
    const std::uint64_t span = std::min<std::uint64_t>(i, 32);
    return static_cast<NodeId>(i - 1 - rng.below(span));
  };
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t r = rng.below(100);
    if (i < 4 || r < 10) {
      g.nodes.push_back(EngineNode{"src|table" + std::to_string(i) + "|parquet", {}, true});
    } else if (!mirrors.empty() && r < 20) {
      auto m = std::move(mirrors.back());
      mirrors.pop_back();
      g.nodes.push_back(EngineNode{m.first, {m.second[1], m.second[0]}, false});
    } else if (r < 40) {
      std::string op = rng.below(2) ? "op|add" : "op|mul";
      NodeIds in{pick(i), pick(i)};
      if (rng.below(3) == 0) mirrors.emplace_back(op, in);
      g.nodes.push_back(EngineNode{op, std::move(in), false});
    } else if (r < 50) {
      g.nodes.push_back(EngineNode{kIdentity[rng.below(4)], {pick(i)}, false});
    } else if (r < 53) {
      g.nodes.push_back(EngineNode{"red|sum|axis=i0", {pick(i)}, true});
    } else {
      const std::size_t k = rng.below(7);
      NodeIds in;
      for (int a = 0; a < kOtherArity[k]; ++a) in.push_back(pick(i));
      g.nodes.push_back(EngineNode{kOther[k], std::move(in), false});
    }
  }
  for (std::size_t o = 0; o < 16 && o < n; ++o) g.outputs.push_back(static_cast<NodeId>(n - 1 - o));
  return g;
}

std::vector<SymbolLang> enodes_of(const EngineGraph& g) {
  std::vector<SymbolLang> out;
  out.reserve(g.nodes.size());
  for (const EngineNode& n : g.nodes) {
    SymbolLang e;
    e.symbol = GlobalSymbol::intern(n.op);
    for (std::uint64_t j : n.inputs) e.children.push_back(static_cast<Id>(j));
    out.push_back(std::move(e));
  }
  return out;
}

struct VecHash {
  std::size_t operator()(const std::vector<std::uint32_t>& v) const {
    std::size_t h = 1469598103934665603ULL;
    for (auto x : v) h = (h ^ x) * 1099511628211ULL;
    return h;
  }
};

// Baseline: hash-consing `nodes` (children are positions) in std::unordered_map with vector
// keys, the textbook structure. Returns the wall time it took.
double unordered_map_hash_consing(const std::vector<SymbolLang>& nodes) {
  const auto t0 = Clock::now();
  std::unordered_map<std::vector<std::uint32_t>, std::uint32_t, VecHash> table;
  std::vector<std::uint32_t> ids;
  ids.reserve(nodes.size());
  for (const SymbolLang& e : nodes) {
    std::vector<std::uint32_t> key{e.symbol.value()};
    for (Id k : e.children) key.push_back(ids[k]);
    auto [it, fresh] = table.emplace(std::move(key), static_cast<std::uint32_t>(table.size()));
    ids.push_back(it->second);
  }
  return seconds_since(t0);
}

void bench_add(std::size_t n) {
  const EngineGraph g = realistic_graph(n, 7);
  const std::vector<SymbolLang> nodes = enodes_of(g);
  // Children are positions; every node is new or equal to an earlier one, as in loading.
  auto t0 = Clock::now();
  EGraph eg;
  std::vector<Id> ids;
  ids.reserve(n);
  for (const SymbolLang& e : nodes) {
    SymbolLang c = e;
    for (Id& k : c.children) k = ids[k];
    ids.push_back(eg.add(std::move(c)));
  }
  const double t_egraph = seconds_since(t0);

  const double t_base = unordered_map_hash_consing(nodes);
  std::printf(
      "e-graph add: %.2f M e-nodes/s (%.0f ns/e-node, %zu e-nodes)   baseline std::unordered_map hash-consing: %.2f "
      "M/s (%.0f ns)   ratio %.2fx\n",
      n / t_egraph / 1e6, t_egraph / n * 1e9, eg.enode_count(), n / t_base / 1e6, t_base / n * 1e9, t_base / t_egraph);
}

// Loading a graph whose nodes are pairwise distinct (every graph a store hands the engine):
// `add_all_distinct`, which fills the hash-cons in table order, beside the baseline of `add`
// called node by node on an equally reserved e-graph.
void bench_load_distinct(std::size_t n) {
  Rng rng{5};
  const GlobalSymbol ops[] = {GlobalSymbol::intern("op|add"), GlobalSymbol::intern("op|mul"),
                              GlobalSymbol::intern("op|neg")};
  std::vector<SymbolLang> nodes;
  nodes.reserve(n + n / 4);
  for (std::size_t i = 0; i < n; ++i) {
    SymbolLang e;
    if (i < 16 || rng.below(8) == 0) {
      e.symbol = GlobalSymbol::intern("src|t" + std::to_string(i));
    } else {
      // The previous node as first child makes every op new; the other child is a recent node,
      // as in a pipeline, where a node mostly reads what was built just before it.
      e.symbol = ops[rng.below(3)];
      e.children.push_back(static_cast<Id>(i - 1));
      if (e.symbol != ops[2]) e.children.push_back(static_cast<Id>(i - 1 - rng.below(std::min<std::size_t>(i, 64))));
    }
    nodes.push_back(std::move(e));
  }
  std::vector<SymbolLang> copy = nodes;
  double c0 = cpu_seconds();
  long f0 = page_faults();
  {
    EGraph eg;
    eg.reserve(n + n / 4);
    for (const SymbolLang& e : nodes) eg.add(e);
  }
  const double t_base = cpu_seconds() - c0;
  const long f_base = page_faults() - f0;
  c0 = cpu_seconds();
  f0 = page_faults();
  bool ok = false;
  {
    EGraph eg;
    eg.reserve(n + n / 4);
    ok = eg.add_all_distinct(copy);
  }
  const double t_bulk = cpu_seconds() - c0;
  const long f_bulk = page_faults() - f0;
  std::printf(
      "load %zu distinct e-nodes: %.3f s cpu (%.0f ns/e-node, %ld page faults)%s   baseline add one by one: %.3f s "
      "(%.0f ns, %ld page faults)   ratio %.2fx\n",
      n, t_bulk, t_bulk / n * 1e9, f_bulk, ok ? "" : " [refused]", t_base, t_base / n * 1e9, f_base, t_base / t_bulk);
}

// Warm costs per node at one size: the engine's, and the baseline's of hash-consing the same
// graph in std::unordered_map. How each grows with the size tells the engine's own growth
// apart from what any hash-consing table of that size pays in the memory system.
struct WarmCost {
  double engine = 0;
  double baseline = 0;
};

// Returns the warm costs per node (the best of several runs), for the larger sizes to compare with.
WarmCost bench_canonicalize(const EggEngine& engine, std::size_t n, double per_node_10k, const WarmCost& warm_10k) {
  const EngineGraph g = realistic_graph(n, 11);
  // Baseline: a pass that only interns every token and copies the graph (the floor any
  // engine pays to read its input).
  auto t0 = Clock::now();
  const long f0 = page_faults();
  EngineGraph copy;
  copy.nodes.reserve(n);
  for (const EngineNode& node : g.nodes) {
    GlobalSymbol::intern(node.op);
    copy.nodes.push_back(node);
  }
  const double t_base = seconds_since(t0);

  const long f_base = page_faults() - f0;

  // The engine is timed on the compact form the optimizer hands it; the conversion from the
  // spelled-out graph is done before the clock starts.
  std::vector<std::string> labels;
  const LabelGraph compact = to_label_graph(g, labels);
  CanonicalizeStats stats;
  t0 = Clock::now();
  const double c0 = cpu_seconds();
  const long f1 = page_faults();
  const LabelResult out = engine.canonicalize_labels_with_stats(compact, &stats);
  const long faults = page_faults() - f1;
  const double cpu = cpu_seconds() - c0;
  const double t = seconds_since(t0);
  const double per_node = cpu / n * 1e9;
  std::printf(
      "canonicalize %8zu nodes: %7.3f s wall, %7.3f s cpu (%5.0f ns/node cpu, x%.2f of the 10^4 per-node cost) -> %zu "
      "nodes, %zu iterations, stop %s   baseline intern+copy: %.3f s   ratio %.1fx\n",
      n, t, cpu, per_node, per_node_10k > 0 ? per_node / per_node_10k : 1.0, out.nodes.size(), stats.iterations,
      describe(stats.stop).c_str(), t_base, t / t_base);
  // The run above is the process's first at this size and pays for bringing in fresh memory;
  // beside it, the best of it and more runs (many for small graphs, whose best of three is
  // noise), compared with the same figure at 10^4.
  const int runs = n < 100000 ? 100 : 3;
  double warm = cpu;
  for (int r = 1; r < runs; ++r) {
    const double w0 = cpu_seconds();
    engine.canonicalize_labels(compact);
    warm = std::min(warm, cpu_seconds() - w0);
  }
  const std::vector<SymbolLang> enodes = enodes_of(g);
  double base = unordered_map_hash_consing(enodes);
  for (int r = 1; r < runs; ++r) base = std::min(base, unordered_map_hash_consing(enodes));
  const WarmCost now{warm / n * 1e9, base / n * 1e9};
  auto growth = [](double x, double at_10k) { return at_10k > 0 ? x / at_10k : 1.0; };
  std::printf(
      "    warm (best of %d runs): %5.0f ns/node cpu, x%.2f of the same figure at 10^4   baseline std::unordered_map "
      "hash-consing of the same graph: %.0f ns/node, x%.2f of the same figure at 10^4\n",
      runs, now.engine, growth(now.engine, warm_10k.engine), now.baseline, growth(now.baseline, warm_10k.baseline));
  std::printf("    page faults: %.3f per node (%ld)   baseline intern+copy: %.3f per node (%ld)\n",
              static_cast<double>(faults) / n, faults, static_cast<double>(f_base) / n, f_base);
  std::printf("    phases (wall): load %.3f s, run %.3f s, read back %.3f s\n    iterations:", stats.load_time,
              stats.run_time, stats.readback_time);
  for (const Iteration& it : stats.records) {
    std::size_t applied = 0;
    for (const auto& [name, c] : it.applied_counts) applied += c;
    std::printf(
        " [%zu enodes, %zu classes, %zu applied, %zu rebuild merges, %.3f s: search %.3f, apply %.3f, rebuild %.3f]",
        it.e_nodes_at_start, it.classes_at_start, applied, it.rebuild_merges, it.total_time, it.search_time,
        it.apply_time, it.rebuild_time);
  }
  std::printf("\n");
  return now;
}

double canonicalize_per_node(const EggEngine& engine, std::size_t n) {
  const EngineGraph g = realistic_graph(n, 11);
  std::vector<std::string> labels;
  const LabelGraph compact = to_label_graph(g, labels);
  engine.canonicalize_labels(compact);  // warm the symbol table
  const double c0 = cpu_seconds();
  for (int r = 0; r < 5; ++r) engine.canonicalize_labels(compact);
  return (cpu_seconds() - c0) / 5 / n * 1e9;
}

// Warm runs only, on one graph: the best and the median of `runs`, for profiling the steady
// state without the first run's fresh memory.
void bench_warm(const EggEngine& engine, std::size_t n, int runs) {
  const EngineGraph g = realistic_graph(n, 11);
  std::vector<std::string> labels;
  const LabelGraph compact = to_label_graph(g, labels);
  engine.canonicalize_labels(compact);
  std::vector<double> per_node, load, run, read_back, search, apply, rebuild;
  const double per = 1e9 / static_cast<double>(n);
  for (int r = 0; r < runs; ++r) {
    CanonicalizeStats stats;
    const double c0 = cpu_seconds();
    engine.canonicalize_labels_with_stats(compact, &stats);
    per_node.push_back((cpu_seconds() - c0) * per);
    load.push_back(stats.load_time * per);
    run.push_back(stats.run_time * per);
    read_back.push_back(stats.readback_time * per);
    double s = 0, a = 0, b = 0;
    for (const Iteration& it : stats.records) {
      s += it.search_time;
      a += it.apply_time;
      b += it.rebuild_time;
    }
    search.push_back(s * per);
    apply.push_back(a * per);
    rebuild.push_back(b * per);
  }
  // Loading alone, on the same graph's e-nodes (a few of them equal): the copy it consumes is
  // made before the clock starts.
  const std::vector<SymbolLang> enodes = enodes_of(g);
  std::vector<double> load_only, drop;
  for (int r = 0; r < runs; ++r) {
    auto eg = std::make_unique<EGraph>();
    eg->reserve(n + n / 4);
    std::vector<SymbolLang> copy = enodes;
    const double c0 = cpu_seconds();
    load_graph(*eg, copy, compact.likely_distinct);
    load_only.push_back((cpu_seconds() - c0) * per);
    const double d0 = cpu_seconds();
    eg.reset();
    drop.push_back((cpu_seconds() - d0) * per);
  }
  for (auto* v : {&per_node, &load, &run, &read_back, &load_only, &drop, &search, &apply, &rebuild})
    std::sort(v->begin(), v->end());
  const std::size_t mid = per_node.size() / 2;
  std::printf(
      "canonicalize %zu nodes, warm, %d runs: best %.0f ns/node cpu, median %.0f; phases best/median (wall): load "
      "%.0f/%.0f, run %.0f/%.0f, read back %.0f/%.0f; load_graph alone %.0f/%.0f, dropping what it loaded %.0f/%.0f\n  "
      "  within run, summed "
      "over iterations, best/median: search %.0f/%.0f, apply %.0f/%.0f, rebuild %.0f/%.0f\n",
      n, runs, per_node.front(), per_node[mid], load.front(), load[mid], run.front(), run[mid], read_back.front(),
      read_back[mid], load_only.front(), load_only[mid], drop.front(), drop[mid], search.front(), search[mid],
      apply.front(), apply[mid], rebuild.front(), rebuild[mid]);
}

void bench_rebuild(std::size_t n) {
  // n leaves under a chain of unary and binary ops; merging pairs of leaves makes congruence
  // ripple upward, so the rebuild repairs and re-keys most of the graph.
  EGraph eg;
  std::vector<Id> leaves;
  const std::size_t k = n / 4;
  for (std::size_t i = 0; i < k; ++i)
    leaves.push_back(eg.add(SymbolLang{GlobalSymbol::intern("leaf" + std::to_string(i)), {}}));
  const GlobalSymbol f = GlobalSymbol::intern("op|f");
  const GlobalSymbol h = GlobalSymbol::intern("op|h");
  for (std::size_t i = 0; i < k; ++i) {
    const Id u = eg.add(SymbolLang{f, {leaves[i]}});
    const Id v = eg.add(SymbolLang{h, {u, leaves[(i + 1) % k]}});
    eg.add(SymbolLang{f, {v}});
  }
  auto t0 = Clock::now();
  eg.rebuild();  // first rebuild: every added e-node is on the repair list
  const double t_first = seconds_since(t0);
  const std::size_t before = eg.enode_count();
  for (std::size_t i = 0; i + 1 < k; i += 2) eg.union_(leaves[i], leaves[i + 1]);
  t0 = Clock::now();
  const std::size_t merges = eg.rebuild();
  const double t_merge = seconds_since(t0);
  // Baseline: one find_compress per e-node (the least a rebuild can do).
  t0 = Clock::now();
  std::uint64_t sink = 0;
  for (Id i = 0; i < eg.id_count(); ++i) sink += eg.find_compress(i);
  const double t_find = seconds_since(t0);
  std::printf(
      "rebuild: fresh %.1f ns/e-node (%zu e-nodes); after %zu unions %.1f ns/e-node (%zu merges, %zu e-nodes)   "
      "baseline find per id: %.1f ns   ratio %.1fx%s\n",
      t_first / before * 1e9, before, k / 2, t_merge / eg.enode_count() * 1e9, merges, eg.enode_count(),
      t_find / eg.id_count() * 1e9, (t_merge / eg.enode_count()) / (t_find / eg.id_count()), sink == 0 ? " " : "");
}

}  // namespace

int main(int argc, char** argv) {
  const EggEngine engine;
  // `bench_egraph add|load|canonicalize|rebuild N` runs one figure alone (for profiling);
  // `bench_egraph warm N RUNS` times warm canonicalize runs only.
  if (argc == 4 && std::string(argv[1]) == "warm") {
    bench_warm(engine, static_cast<std::size_t>(std::stoull(argv[2])), std::stoi(argv[3]));
    return 0;
  }
  if (argc == 3) {
    const std::string what = argv[1];
    const auto n = static_cast<std::size_t>(std::stoull(argv[2]));
    if (what == "add") bench_add(n);
    if (what == "load") bench_load_distinct(n);
    if (what == "canonicalize") bench_canonicalize(engine, n, 0, WarmCost{});
    if (what == "rebuild") bench_rebuild(n);
    return 0;
  }
  bench_add(1000000);
  bench_load_distinct(1000000);
  const double base = canonicalize_per_node(engine, 10000);
  WarmCost warm_10k;
  for (std::size_t n : {std::size_t{10000}, std::size_t{100000}, std::size_t{1000000}}) {
    const WarmCost warm = bench_canonicalize(engine, n, base, warm_10k);
    if (warm_10k.engine == 0) warm_10k = warm;
  }
  bench_rebuild(1000000);
  return 0;
}
