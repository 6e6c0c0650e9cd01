// Per-pass timings of a full reduction (store copy, dead-code elimination, labelling, the
// rewrite engine, CSE, stage fusion, reduced-store construction) on pipeline-shaped graphs of
// 10^4 to 10^6 nodes, beside the cost of building the graph itself as the baseline.
//
// Each size is reduced `reps` times and every figure is the fastest of those runs, which
// keeps the per-pass numbers steady on a shared, noisy machine.
//
//   bench_reduce [max_nodes] [reps]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "bench_graphs.hpp"
#include "egraph_engine/egg_engine.hpp"
#include "optimizer/reduced_store.hpp"

using namespace vantrel;

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

void line(const char* what, std::uint64_t n, double seconds, double baseline) {
  std::printf("%-28s n=%-8llu %9.4f s  %12.0f nodes/s   (build %8.4f s, ratio %.2f)\n", what,
              static_cast<unsigned long long>(n), seconds, seconds > 0 ? n / seconds : 0.0, baseline,
              baseline > 0 ? seconds / baseline : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t max_nodes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  for (std::uint64_t n = 10000; n <= max_nodes; n *= 10) {
    double t0 = now();
    auto store = bench::pipeline_graph(n);
    const double build = now() - t0;
    const std::uint64_t count = store->node_count();

    egraph::EggEngine engine;
    PassTimings t;
    double total = 0;
    ReducedStore r;
    for (int rep = 0; rep < reps; ++rep) {
      PassTimings run;
      r = ReducedStore{};  // the previous result is freed outside the timed region
      t0 = now();
      r = reduce_with(*store, engine, false, &run);
      const double seconds = now() - t0;
      auto keep_min = [&](double PassTimings::*f) { t.*f = rep == 0 ? run.*f : std::min(t.*f, run.*f); };
      for (auto f : {&PassTimings::snapshot, &PassTimings::dce, &PassTimings::engine_graph, &PassTimings::engine,
                     &PassTimings::cse, &PassTimings::fusion, &PassTimings::store}) {
        keep_min(f);
      }
      total = rep == 0 ? seconds : std::min(total, seconds);
    }

    line("pass snapshot", count, t.snapshot, build);
    line("pass dce", count, t.dce, build);
    line("pass labels+engine graph", count, t.engine_graph, build);
    line("pass engine", count, t.engine, build);
    line("pass cse", count, t.cse, build);
    line("pass fusion", count, t.fusion, build);
    line("pass store construction", count, t.store, build);
    line("reduce total", count, total, build);
    std::printf("  report: input %llu reachable %llu canonical %llu stages %llu reduced %llu boundary %llu\n",
                static_cast<unsigned long long>(r.report.input_nodes),
                static_cast<unsigned long long>(r.report.reachable_nodes),
                static_cast<unsigned long long>(r.report.canonical_nodes),
                static_cast<unsigned long long>(r.report.stages),
                static_cast<unsigned long long>(r.report.reduced_nodes),
                static_cast<unsigned long long>(r.report.boundary_nodes));
  }
  return 0;
}
