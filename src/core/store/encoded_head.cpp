#include "store/encoded_head.hpp"

#include <bit>
#include <cmath>
#include <utility>
#include <vector>

namespace vantrel {

namespace {

void put_varint(std::string& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>(static_cast<std::uint8_t>(v) | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

void put_text(std::string& out, std::string_view s) {
  put_varint(out, s.size());
  out.append(s);
}

void put_bits(std::string& out, std::uint64_t bits) {
  char b[8];
  for (int k = 0; k < 8; ++k) b[k] = static_cast<char>(static_cast<std::uint8_t>(bits >> (8 * k)));
  out.append(b, 8);
}

/// Appends one value; returns whether it is a NaN.
bool put_value(std::string& out, const ParamValueView& v) {
  out.push_back(static_cast<char>(v.kind));
  switch (v.kind) {
    case ParamValue::Int: {
      const auto u = static_cast<std::uint64_t>(v.i);
      put_varint(out, (u << 1) ^ (0 - (u >> 63)));
      return false;
    }
    case ParamValue::Float: put_bits(out, std::bit_cast<std::uint64_t>(v.f)); return std::isnan(v.f);
    case ParamValue::Bool: out.push_back(v.b ? 1 : 0); return false;
    case ParamValue::Str: put_text(out, v.s); return false;
  }
  return false;
}

ParamValueView view_of(const ParamValue& v) {
  ParamValueView out;
  out.kind = v.kind();
  switch (v.kind()) {
    case ParamValue::Int: out.i = v.as_int(); break;
    case ParamValue::Float: out.f = v.as_float(); break;
    case ParamValue::Bool: out.b = v.as_bool(); break;
    case ParamValue::Str: out.s = v.as_str(); break;
  }
  return out;
}

/// A copy of a head marked kHasNaN whose NaNs all carry the canonical bits.
std::string canonical_copy(std::string_view bytes) {
  const EncodedHead head(bytes);
  std::string out;
  out.reserve(bytes.size());
  out.push_back(bytes[0]);
  put_text(out, head.name());
  put_varint(out, head.size());
  head.for_each_entry([&](std::string_view key, ParamValueView value) {
    put_text(out, key);
    if (value.kind == ParamValue::Float) value.f = std::bit_cast<double>(canonical_bits(value.f));
    put_value(out, value);
  });
  return out;
}

}  // namespace

void encode_head(std::string& out, NodeKey::Kind kind, std::string_view name, std::span<const ParamEntryView> entries) {
  const std::size_t start = out.size();
  out.push_back(static_cast<char>(kind));
  put_text(out, name);
  put_varint(out, entries.size());
  bool nan = false;
  for (const ParamEntryView& e : entries) {
    put_text(out, e.key);
    nan |= put_value(out, e.value);
  }
  if (nan) out[start] = static_cast<char>(static_cast<std::uint8_t>(kind) | kHasNaN);
}

void encode_head(std::string& out, const NodeKey& key) {
  const std::size_t start = out.size();
  const auto& entries = key.params().entries();
  out.push_back(static_cast<char>(key.kind()));
  put_text(out, key.name());
  put_varint(out, entries.size());
  bool nan = false;
  for (const ParamEntry& e : entries) {
    put_text(out, e.key);
    nan |= put_value(out, view_of(e.value));
  }
  if (nan) out[start] = static_cast<char>(static_cast<std::uint8_t>(key.kind()) | kHasNaN);
}

EncodedHead::EncodedHead(std::string_view bytes) : bytes_(bytes) {
  const char* p = bytes.data() + 1;
  name_ = head_codec::read_text(p);
  size_ = head_codec::read_varint(p);
  entries_ = p;
}

NodeKey EncodedHead::to_key(NodeIds inputs) const {
  std::vector<ParamEntry> owned;
  owned.reserve(size_);
  for_each_entry([&](std::string_view key, const ParamValueView& value) {
    owned.push_back(ParamEntry{std::string(key), value.to_value()});
  });
  ParamMap params = ParamMap::make(std::move(owned));
  std::string name(name_);
  switch (kind()) {
    case NodeKey::kOp: return Op{std::move(name), std::move(params), std::move(inputs)};
    case NodeKey::kReduction: return Reduction{std::move(name), std::move(params), std::move(inputs)};
    default: return Source{std::move(name), std::move(params)};
  }
}

std::uint64_t hash_encoded_head(std::string_view bytes, std::uint64_t seed) {
  Hasher h(seed);
  if ((static_cast<std::uint8_t>(bytes[0]) & kHasNaN) == 0) {
    h.add_bytes(bytes);
  } else {
    h.add_bytes(canonical_copy(bytes));
  }
  return h.finish();
}

bool same_encoded_head(std::string_view a, std::string_view b) {
  if (a[0] != b[0]) return false;
  if ((static_cast<std::uint8_t>(a[0]) & kHasNaN) == 0) return a == b;
  return canonical_copy(a) == canonical_copy(b);
}

}  // namespace vantrel
