// C++-side blob and DOT throughput, side by side with a plain copy of the blob's bytes.
//
//   bench_persist [nodes]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "serialize/reader.hpp"
#include "serialize/writer.hpp"

using namespace vantrel;

namespace {

template <class Fn>
double best_of(int repeat, Fn&& fn) {
  double best = 1e300;
  for (int i = 0; i < repeat; ++i) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

std::unique_ptr<GraphStore> mixed(std::uint64_t n) {
  auto g = std::make_unique<GraphStore>();
  auto desc =
      std::make_shared<const PayloadDescriptor>(PayloadDescriptor{"model", "sha256:ab12", "torch", "2.1", "t", {}});
  const std::uint64_t sources = std::min<std::uint64_t>(n, 1000);
  for (std::uint64_t i = 0; i < sources; ++i) {
    (void)g->intern(Source{"col" + std::to_string(i), ParamMap::make({{"dtype", ParamValue::of_str("f64")}})});
  }
  for (std::uint64_t i = sources; i < n; ++i) {
    const auto a = static_cast<NodeId>((i * 7919) % i), b = static_cast<NodeId>((i * 104729) % i);
    switch (i % 10) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 4:
      case 5:
        (void)g->intern(
            Op{i % 2 ? "add" : "mul",
               ParamMap::make({{"scalar", ParamValue::of_float(double(i))}, {"side", ParamValue::of_str("r")}}),
               {a, b}});
        break;
      case 6:
      case 7:
        (void)g->intern(Reduction{"sum", ParamMap::make({{"axis", ParamValue::of_int(std::int64_t(i))}}), {a}});
        break;
      case 8:
        (void)g->intern(Exchange{
            ParamMap::make({{"scheme", ParamValue::of_str("hash")}, {"parts", ParamValue::of_int(std::int64_t(i))}}),
            {a}});
        break;
      default:
        (void)g->intern(External{desc, ParamMap::make({{"batch", ParamValue::of_int(std::int64_t(i))}}), {a, b}});
    }
  }
  return g;
}

std::unique_ptr<GraphStore> chain(std::uint64_t n) {
  auto g = std::make_unique<GraphStore>();
  (void)g->intern(Source{"x", {}});
  for (NodeId i = 1; i < n; ++i) (void)g->intern(Op{"f", {}, {i - 1}});
  return g;
}

void report(const char* name, const GraphStore& g, int repeat) {
  const auto n = static_cast<NodeId>(g.node_count());
  const NodeIds outputs{n - 1};
  std::string blob = serialize_with(g, outputs).value();
  const double t_ser = best_of(repeat, [&] { blob = serialize_with(g, outputs).value(); });
  std::unique_ptr<char[]> copy(new char[blob.size()]);
  const double t_copy = best_of(repeat, [&] {
    std::memcpy(copy.get(), blob.data(), blob.size());
    asm volatile("" ::"r"(copy.get()) : "memory");
  });
  const double t_de = best_of(std::max(1, repeat / 2), [&] { auto r = deserialize(blob); });
  std::string dot;
  const double t_dot = best_of(std::max(1, repeat / 2), [&] { dot = g.to_dot(); });
  const double mb = double(blob.size()) / 1e6;
  std::printf("%s: %llu nodes, blob %.1f MB (%.1f B/node)\n", name, (unsigned long long)n, mb,
              double(blob.size()) / double(n));
  std::printf("  serialize   %8.1f MB/s %7.2f M nodes/s | memcpy floor %8.1f MB/s | ratio %.2fx\n", mb / t_ser,
              double(n) / t_ser / 1e6, mb / t_copy, t_ser / t_copy);
  std::printf("  deserialize %8.1f MB/s %7.2f M nodes/s | memcpy floor %8.1f MB/s | ratio %.2fx\n", mb / t_de,
              double(n) / t_de / 1e6, mb / t_copy, t_de / t_copy);
  std::printf("  to_dot      %8.1f MB/s %7.2f M nodes/s | memcpy floor %8.1f MB/s | ratio %.2fx\n",
              double(dot.size()) / 1e6 / t_dot, double(n) / t_dot / 1e6, mb / t_copy, t_dot / t_copy);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  report("mixed", *mixed(n), 7);
  report("chain", *chain(n), 7);
}
