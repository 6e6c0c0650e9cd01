#include "optimizer/token_table.hpp"

#include "common/fault.hpp"
#include "common/hash.hpp"
#include "optimizer/flat_graph.hpp"

namespace vantrel {

namespace {

std::uint64_t text_hash(std::string_view s, std::uint64_t seed) {
  Hasher h(seed);
  h.add_bytes(s);
  return h.finish();
}

std::string renamed_label(const std::string& token, std::uint32_t k) {
  const std::size_t bar = token.find('|');
  const std::string mark = "#" + std::to_string(k);
  if (bar == std::string::npos) return token + mark;
  std::string out;
  out.reserve(token.size() + mark.size());
  out.append(token, 0, bar);
  out += mark;
  out.append(token, bar, std::string::npos);
  return out;
}

}  // namespace

TokenTable::TokenTable() : seed_(process_hash_seed()) {}

const NodeKey* TokenTable::find(std::string_view label) const {
  const std::uint64_t h = text_hash(label, seed_);
  const std::uint32_t id =
      by_label_.find(h, [&](std::uint32_t i) { return label_hash_[i] == h && labels_[i] == label; });
  return id == kNoId ? nullptr : label_head_[id];
}

std::uint32_t TokenTable::insert_label(std::string label, const NodeKey* head) {
  const std::uint64_t h = text_hash(label, seed_);
  const std::uint64_t id = labels_.size();
  by_label_.insert(h, id);
  labels_.push_back(std::move(label));
  label_hash_.push_back(h);
  label_head_.push_back(head);
  collisions_.push_back(0);
  return static_cast<std::uint32_t>(id);
}

std::uint32_t TokenTable::add(const NodeKey& head) {
  std::string token = head.token();
  const std::uint64_t th = text_hash(token, seed_);
  const std::uint32_t first =
      by_label_.find(th, [&](std::uint32_t i) { return label_hash_[i] == th && labels_[i] == token; });
  if (first == kNoId) return insert_label(std::move(token), &head);
  if (same_head(*label_head_[first], head)) return first;

  // A different head shares this token: only stages and external nodes can get here.
  if (head.kind() == NodeKey::kOp) throw InternalFault("two different op heads share the token " + token);
  const std::uint64_t hh = head_hash(head, seed_);
  const std::uint32_t seen = by_head_.find(
      hh, [&](std::uint32_t i) { return renamed_hash_[i] == hh && same_head(*label_head_[renamed_[i]], head); });
  if (seen != kNoId) return renamed_[seen];

  const std::uint32_t k = ++collisions_[first];
  const std::uint32_t id = insert_label(renamed_label(token, k), &head);
  const std::uint64_t slot = renamed_.size();
  by_head_.insert(hh, slot);
  renamed_.push_back(id);
  renamed_hash_.push_back(hh);
  return id;
}

}  // namespace vantrel
