#include "store/head_table.hpp"

namespace vantrel {

namespace {

std::uint64_t owned_hash(const NodeKey& head, std::uint64_t seed) {
  Hasher h(seed);
  head.hash_head_into(h);
  return h.finish();
}

}  // namespace

HeadTable::Request HeadTable::request(NodeKey& head, std::uint64_t seed) {
  return Request{{}, &head, owned_hash(head, seed)};
}

const NodeKey* HeadTable::owned(std::uint32_t h) const { return stored(h).owned; }

NodeKey HeadTable::key(std::uint32_t h, NodeIds inputs) const {
  if (const NodeKey* k = owned(h)) return k->with_inputs(std::move(inputs));
  return encoded(h).to_key(std::move(inputs));
}

bool HeadTable::matches(std::uint32_t h, const Request& r) const {
  if (r.owned == nullptr) return same_encoded_head(r.bytes, bytes_of(h));
  const NodeKey* k = owned(h);
  return k != nullptr && *k == *r.owned;
}

std::uint32_t HeadTable::find_or_add(const Request& r, bool& added) {
  // Every head takes at least one byte, so the byte limit keeps head ids below kNoId too.
  const auto next = static_cast<std::uint32_t>(size());
  const std::size_t bytes = r.owned == nullptr ? r.bytes.size() : 5;
  // Room for a new head is made before the index learns of it: a shortage of memory leaves
  // the table as it was, and nothing after the index entry allocates.
  auto make_room = [&]() -> std::uint64_t {
    // A limit lowered for a test may be below what the arena holds already.
    if (arena_.size() > byte_limit_ || bytes > byte_limit_ - arena_.size()) return kNoId;
    grow_for_one(arena_, bytes);
    grow_for_one(begin_, 1);
    if (r.owned != nullptr) grow_for_one(owned_, 1);
    return next;
  };
  const std::uint32_t id = index_.find_or_insert(
      r.hash, [&](std::uint32_t h) { return matches(h, r); }, make_room);
  added = id == next;
  if (!added) return id;  // found, or kNoId when refused
  if (r.owned == nullptr) {
    arena_.append(r.bytes);
  } else {
    const auto index = static_cast<std::uint32_t>(owned_.size());
    owned_.push_back(std::move(*r.owned));
    arena_.push_back(static_cast<char>(owned_.back().kind()));
    for (int k = 0; k < 4; ++k) arena_.push_back(static_cast<char>(static_cast<std::uint8_t>(index >> (8 * k))));
  }
  begin_.push_back(static_cast<std::uint32_t>(arena_.size()));  // at most byte_limit_
  return id;
}

std::size_t HeadTable::memory_bytes() const {
  return arena_.capacity() + begin_.capacity() * sizeof(std::uint32_t) + owned_.capacity() * sizeof(NodeKey) +
         index_.memory_bytes();
}

}  // namespace vantrel
