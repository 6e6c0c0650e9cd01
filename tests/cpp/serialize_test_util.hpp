#pragma once
// Helpers for the blob tests: a tiny byte builder for hand-made blobs, and the two stores
// that the golden tests describe.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "serialize/reader.hpp"
#include "serialize/writer.hpp"
#include "store/graph_store.hpp"

namespace vantrel::testing {

/// Appends little-endian fields to a byte string.
struct Bytes {
  std::string b;
  Bytes& raw(std::string_view s) {
    b += s;
    return *this;
  }
  Bytes& u8(std::uint8_t v) {
    b.push_back(static_cast<char>(v));
    return *this;
  }
  Bytes& zeros(std::size_t n) {
    b.append(n, '\0');
    return *this;
  }
  Bytes& u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes& u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes& text(std::string_view s) {
    u32(static_cast<std::uint32_t>(s.size()));
    return raw(s);
  }
  /// "VIR1" and a node count.
  Bytes& header(std::uint32_t nodes) { return raw("VIR1").u32(nodes); }
  Bytes& source(std::string_view name) { return u8(0).text(name).u32(0); }
  Bytes& op(std::string_view name, std::initializer_list<std::uint64_t> inputs) {
    u8(1).text(name).u32(0).u32(static_cast<std::uint32_t>(inputs.size()));
    for (auto id : inputs) u64(id);
    return *this;
  }
  Bytes& outputs(std::initializer_list<std::uint64_t> ids) {
    u32(static_cast<std::uint32_t>(ids.size()));
    for (auto id : ids) u64(id);
    return *this;
  }
};

inline ParamMap params(std::initializer_list<ParamEntry> entries) { return ParamMap::make(entries); }

/// Node 0 = source x, node 1 = op add {k: 2} on [0]; node 1 marked when `mark`.
inline std::unique_ptr<GraphStore> worked_example(bool mark = true) {
  auto s = std::make_unique<GraphStore>();
  EXPECT_TRUE(s->intern(Source{"x", {}}).ok());
  EXPECT_TRUE(s->intern(Op{"add", params({{"k", ParamValue::of_int(2)}}), {0}}).ok());
  if (mark) {
    EXPECT_TRUE(s->mark_output(1).ok());
  }
  return s;
}

inline std::string blob_of(const GraphStore& s) {
  auto r = serialize_marked(s);
  if (!r) throw std::runtime_error(r.error().message());
  return std::move(r).value();
}

inline std::string decode_message(std::string_view bytes) {
  auto r = deserialize(bytes);
  return r ? std::string("ok") : r.error().message();
}

}  // namespace vantrel::testing
