#include "optimizer/stage_heads.hpp"

#include <algorithm>

namespace vantrel {

std::uint64_t StageHeads::hash_words() const {
  Hasher h(seed_);
  h.add(words_.size());
  for (std::uint64_t w : words_) h.add(w);
  return h.finish();
}

bool StageHeads::same_words(std::uint32_t k) const {
  const auto b = static_cast<std::ptrdiff_t>(begin_[k]);
  const auto e = static_cast<std::ptrdiff_t>(begin_[k + 1]);
  return std::equal(store_.begin() + b, store_.begin() + e, words_.begin(), words_.end());
}

}  // namespace vantrel
