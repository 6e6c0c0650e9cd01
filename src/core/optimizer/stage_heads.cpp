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
  const auto list = lists_[k];
  return std::equal(list.begin(), list.end(), words_.begin(), words_.end());
}

}  // namespace vantrel
