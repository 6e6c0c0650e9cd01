#include "ir/head_view.hpp"

#include <algorithm>

namespace vantrel {

ParamValue ParamValueView::to_value() const {
  switch (kind) {
    case ParamValue::Int: return ParamValue::of_int(i);
    case ParamValue::Float: return ParamValue::of_float(f);
    case ParamValue::Bool: return ParamValue::of_bool(b);
    case ParamValue::Str: return ParamValue::of_str(std::string(s));
  }
  return ParamValue::of_int(0);
}

std::string ParamValueView::display() const {
  switch (kind) {
    case ParamValue::Int: return std::to_string(i);
    case ParamValue::Float: return display_float(f);
    case ParamValue::Bool: return b ? "true" : "false";
    case ParamValue::Str: return quote_display(s);
  }
  return {};
}

bool ParamValueView::equals(const ParamValue& v) const {
  if (v.kind() != kind) return false;
  switch (kind) {
    case ParamValue::Int: return v.as_int() == i;
    case ParamValue::Float: return canonical_bits(v.as_float()) == canonical_bits(f);
    case ParamValue::Bool: return v.as_bool() == b;
    case ParamValue::Str: return v.as_str() == s;
  }
  return false;
}

void ParamValueView::hash_into(Hasher& h) const {
  h.add(kind);
  switch (kind) {
    case ParamValue::Int: h.add(static_cast<std::uint64_t>(i)); break;
    case ParamValue::Float: h.add(canonical_bits(f)); break;
    case ParamValue::Bool: h.add(b ? 1 : 0); break;
    case ParamValue::Str: h.add_bytes(s); break;
  }
}

void sort_entries(std::span<ParamEntryView> e) {
  if (e.size() > 16) {  // no quadratic insertion sort for a large map
    std::stable_sort(e.begin(), e.end(),
                     [](const ParamEntryView& a, const ParamEntryView& b) { return a.key < b.key; });
    return;
  }
  for (std::size_t i = 1; i < e.size(); ++i) {
    if (!(e[i].key < e[i - 1].key)) continue;
    ParamEntryView moving = e[i];
    std::size_t j = i;
    for (; j > 0 && moving.key < e[j - 1].key; --j) e[j] = e[j - 1];
    e[j] = moving;
  }
}

void NamedHeadView::hash_into(Hasher& h) const {
  // Mirrors NodeKey::hash_head_into for named kinds and ParamMap::hash_into.
  h.add(kind_);
  h.add_bytes(name_);
  h.add(entries_.size());
  for (const ParamEntryView& e : entries_) {
    h.add_bytes(e.key);
    e.value.hash_into(h);
  }
}

bool NamedHeadView::equals(const NodeKey& head) const {
  if (head.kind() != kind_ || head.name() != name_) return false;
  const auto& entries = head.params().entries();
  if (entries.size() != entries_.size()) return false;
  for (std::size_t k = 0; k < entries_.size(); ++k) {
    if (entries[k].key != entries_[k].key || !entries_[k].value.equals(entries[k].value)) return false;
  }
  return true;
}

NodeKey NamedHeadView::to_key() const {
  std::vector<ParamEntry> owned;
  owned.reserve(entries_.size());
  for (const ParamEntryView& e : entries_) owned.push_back(ParamEntry{std::string(e.key), e.value.to_value()});
  ParamMap params = ParamMap::make(std::move(owned));
  std::string name(name_);
  switch (kind_) {
    case NodeKey::kOp: return Op{std::move(name), std::move(params), {}};
    case NodeKey::kReduction: return Reduction{std::move(name), std::move(params), {}};
    default: return Source{std::move(name), std::move(params)};
  }
}

}  // namespace vantrel
