#include "store/encoded_head.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "common/fault.hpp"
#include "common/small_vec.hpp"

namespace vantrel {

namespace {

// The writers below write into room the caller made for `encoded_size_bound`.
char* write_varint(char* p, std::uint64_t v) {
  while (v >= 0x80) {
    *p++ = static_cast<char>(static_cast<std::uint8_t>(v) | 0x80);
    v >>= 7;
  }
  *p++ = static_cast<char>(v);
  return p;
}

char* write_text(char* p, std::string_view s) {
  p = write_varint(p, s.size());
  const char* from = s.data();
  const std::size_t n = s.size();
  // Names and keys are short: copied by two fixed-size moves that may overlap, instead of a
  // library call or a loop over the bytes.
  if (n >= 8 && n <= 16) {
    std::memcpy(p, from, 8);
    std::memcpy(p + n - 8, from + n - 8, 8);
  } else if (n >= 4 && n < 8) {
    std::memcpy(p, from, 4);
    std::memcpy(p + n - 4, from + n - 4, 4);
  } else if (n > 0 && n < 4) {
    p[0] = from[0];
    p[n / 2] = from[n / 2];
    p[n - 1] = from[n - 1];
  } else if (n > 16) {
    std::memcpy(p, from, n);
  }
  return p + n;
}

// The longest varint: ten groups of seven bits hold 64.
constexpr std::size_t kVarintMax = 10;

/// Views of an owned key's entries: the encoder reads views only. Inline room for the few
/// entries nearly every map has, so encoding an owned key allocates nothing of its own.
using EntryViews = SmallVec<ParamEntryView, 8>;

EntryViews entry_views(const ParamMap& params) {
  EntryViews out;
  out.reserve(params.size());
  for (const ParamEntry& e : params.entries()) out.push_back(ParamEntryView{e.key, e.value.view()});
  return out;
}

void append_encoded(std::string& out, NodeKey::Kind kind, std::string_view name,
                    std::span<const ParamEntryView> entries) {
  const std::size_t start = out.size();
  out.resize(start + encoded_size_bound(name, entries));
  char* end = encode_head(out.data() + start, kind, name, entries);
  out.resize(static_cast<std::size_t>(end - out.data()));
}

/// A copy of a head marked kHasNaN whose NaNs all carry the canonical bits.
std::string canonical_copy(std::string_view bytes) {
  const EncodedHead head(bytes);
  EntryViews entries;
  entries.reserve(head.size());
  head.for_each_entry([&](std::string_view key, ParamValueView value) {
    if (value.kind == ParamValue::Float) value.f = std::bit_cast<double>(canonical_bits(value.f));
    entries.push_back(ParamEntryView{key, value});
  });
  std::string out;
  append_encoded(out, head.kind(), head.name(), std::span<const ParamEntryView>(entries.data(), entries.size()));
  return out;
}

}  // namespace

std::size_t encoded_size_bound(std::string_view name, std::span<const ParamEntryView> entries) {
  std::size_t bound = 1 + kVarintMax + name.size() + kVarintMax;
  for (const ParamEntryView& e : entries) {
    bound += kVarintMax + e.key.size() + 1 + kVarintMax + (e.value.kind == ParamValue::Str ? e.value.s.size() : 0);
  }
  return bound;
}

char* encode_head(char* const first, NodeKey::Kind kind, std::string_view name,
                  std::span<const ParamEntryView> entries) {
  char* p = first + 1;
  p = write_text(p, name);
  p = write_varint(p, entries.size());
  bool nan = false;
  for (const ParamEntryView& e : entries) {
    p = write_text(p, e.key);
    *p++ = static_cast<char>(e.value.kind);
    switch (e.value.kind) {
      case ParamValue::Int: {
        const auto u = static_cast<std::uint64_t>(e.value.i);
        p = write_varint(p, (u << 1) ^ (0 - (u >> 63)));
        break;
      }
      case ParamValue::Float: {
        const auto bits = std::bit_cast<std::uint64_t>(e.value.f);
        for (int k = 0; k < 8; ++k) *p++ = static_cast<char>(static_cast<std::uint8_t>(bits >> (8 * k)));
        nan |= std::isnan(e.value.f);
        break;
      }
      case ParamValue::Bool: *p++ = e.value.b ? 1 : 0; break;
      case ParamValue::Str: p = write_text(p, e.value.s); break;
    }
  }
  *first = static_cast<char>(nan ? static_cast<std::uint8_t>(kind) | kHasNaN : static_cast<std::uint8_t>(kind));
  return p;
}

void encode_head(std::string& out, const NamedHeadView& head) {
  append_encoded(out, head.kind(), head.name(), head.entries());
}

void encode_head(std::string& out, const NodeKey& key) {
  const EntryViews entries = entry_views(key.params());
  append_encoded(out, key.kind(), key.name(), std::span<const ParamEntryView>(entries.data(), entries.size()));
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
    case NodeKey::kSource: break;
    case NodeKey::kOp: return Op{std::move(name), std::move(params), std::move(inputs)};
    case NodeKey::kReduction: return Reduction{std::move(name), std::move(params), std::move(inputs)};
    case NodeKey::kExternal:
    case NodeKey::kStage:
    case NodeKey::kExchange: throw InternalFault("an encoded head is a source, an op or a reduction");
  }
  return Source{std::move(name), std::move(params)};
}

namespace {

std::uint64_t load8(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

std::uint64_t load4(const char* p) {
  std::uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

/// A hash of a byte string for the head index only (seeded per process, never stored or
/// shown). Its last word is read as the final 8 bytes, overlapping the one before, so that no
/// byte count needs a library copy.
std::uint64_t hash_bytes(std::string_view bytes, std::uint64_t seed) {
  Hasher h(seed);
  const char* p = bytes.data();
  const std::size_t n = bytes.size();
  h.add(n);
  if (n >= 8) {
    const char* last = p + n - 8;
    for (; p < last; p += 8) h.add(load8(p));
    h.add(load8(last));
  } else if (n >= 4) {
    h.add(load4(p) << 32 | load4(p + n - 4));
  } else if (n > 0) {
    const auto byte = [&](std::size_t k) { return std::uint64_t{static_cast<std::uint8_t>(p[k])}; };
    h.add(byte(0) << 16 | byte(n / 2) << 8 | byte(n - 1));
  }
  return h.finish();
}

}  // namespace

std::uint64_t hash_encoded_head(std::string_view bytes, std::uint64_t seed) {
  if ((static_cast<std::uint8_t>(bytes[0]) & kHasNaN) == 0) return hash_bytes(bytes, seed);
  return hash_bytes(canonical_copy(bytes), seed);
}

bool same_encoded_head(std::string_view a, std::string_view b) {
  if (a[0] != b[0]) return false;
  if ((static_cast<std::uint8_t>(a[0]) & kHasNaN) == 0) return a == b;
  return canonical_copy(a) == canonical_copy(b);
}

}  // namespace vantrel
