#pragma once
// Seeds for the fuzz harnesses come from the system itself (blobs the writer produces,
// tokens the map printer produces), so nothing binary is kept in the repository. A harness
// started with VANTREL_WRITE_SEEDS=DIR writes its seeds into DIR and exits.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::fuzzing {

inline void write_seed_files(const char* dir, const std::vector<std::string>& seeds) {
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    const std::string path = std::string(dir) + "/seed-" + std::to_string(i);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
      std::perror(path.c_str());
      std::exit(1);
    }
    std::fwrite(seeds[i].data(), 1, seeds[i].size(), f);
    std::fclose(f);
  }
  std::fprintf(stderr, "wrote %zu seeds to %s\n", seeds.size(), dir);
}

/// Writes the seeds and exits when VANTREL_WRITE_SEEDS is set; returns otherwise.
template <class MakeSeeds>
void maybe_write_seeds(MakeSeeds&& make) {
  if (const char* dir = std::getenv("VANTREL_WRITE_SEEDS")) {
    write_seed_files(dir, make());
    std::exit(0);
  }
}

}  // namespace vantrel::fuzzing
