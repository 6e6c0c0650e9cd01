#include "serialize/writer.hpp"

#include <algorithm>
#include <span>
#include <string_view>

#include "serialize/bytes.hpp"

namespace vantrel {

namespace {

using namespace blob;

/// Measures a record before it is written, and notices any count beyond the u32 fields.
/// Writing then needs no bounds checks: the buffer is grown once per record.
struct Sizer {
  std::size_t n = 0;
  std::optional<EncodeError> error;

  void count(std::size_t c, const char* what) {
    if (c > kMaxCount && !error) error = EncodeError{EncodeError::TooLarge{what, c}};
    n += 4;
  }
  void text(std::string_view s) {
    count(s.size(), "text length");
    n += s.size();
  }
  void params(const ParamMap& m) {
    count(m.size(), "parameter count");
    for (const ParamEntry& e : m.entries()) {
      text(e.key);
      n += 1;
      switch (e.value.kind()) {
        case ParamValue::Int:
        case ParamValue::Float: n += 8; break;
        case ParamValue::Bool: n += 1; break;
        case ParamValue::Str: text(e.value.as_str()); break;
      }
    }
  }
  void ids(std::span<const NodeId> ids) {
    count(ids.size(), "input count");
    n += 8 * ids.size();
  }
  void members(const std::vector<StageOp>& members) {
    count(members.size(), "member count");
    for (const StageOp& m : members) {
      text(m.op);
      count(m.args.size(), "argument count");
      n += 5 * m.args.size();
      for (const StageRef& r : m.args) {
        if (r.index > kMaxCount && !error) error = EncodeError{EncodeError::TooLarge{"stage argument index", r.index}};
      }
    }
  }

  /// The size of one node record (tag included).
  void record(const NodeKey& head, std::span<const NodeId> inputs) {
    n += 1;
    switch (head.kind()) {
      case NodeKey::kSource:
        text(head.name());
        params(head.params());
        return;
      case NodeKey::kOp:
      case NodeKey::kReduction:
        text(head.name());
        params(head.params());
        ids(inputs);
        return;
      case NodeKey::kExternal: {
        const PayloadDescriptor& d = *head.get_if<External>()->descriptor;
        text(d.kind);
        text(d.content_hash);
        text(d.framework);
        text(d.version);
        text(d.io_schema);
        n += 1;
        if (d.preprocessing_ref) text(*d.preprocessing_ref);
        params(head.params());
        ids(inputs);
        return;
      }
      case NodeKey::kStage:
        ids(inputs);
        members(head.get_if<Stage>()->members);
        return;
      case NodeKey::kExchange:
        params(head.params());
        ids(inputs);
        return;
    }
  }
};

// The writers below assume a Sizer has measured the same data and found it within limits.

char* write_text(char* p, std::string_view s) {
  p = put_u32(p, static_cast<std::uint32_t>(s.size()));
  if (!s.empty()) std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

char* write_params(char* p, const ParamMap& m) {
  p = put_u32(p, static_cast<std::uint32_t>(m.size()));
  for (const ParamEntry& e : m.entries()) {
    p = write_text(p, e.key);
    switch (e.value.kind()) {
      case ParamValue::Int:
        p = put_u8(p, kInt);
        p = put_u64(p, static_cast<std::uint64_t>(e.value.as_int()));
        break;
      case ParamValue::Float:
        p = put_u8(p, kFloat);
        p = put_u64(p, std::bit_cast<std::uint64_t>(e.value.as_float()));  // exact bits, NaN payloads kept
        break;
      case ParamValue::Bool:
        p = put_u8(p, kBool);
        p = put_u8(p, e.value.as_bool() ? 1 : 0);
        break;
      case ParamValue::Str:
        p = put_u8(p, kStr);
        p = write_text(p, e.value.as_str());
        break;
    }
  }
  return p;
}

char* write_ids(char* p, std::span<const NodeId> ids) {
  p = put_u32(p, static_cast<std::uint32_t>(ids.size()));
  if constexpr (std::endian::native == std::endian::little) {
    if (!ids.empty()) std::memcpy(p, ids.data(), 8 * ids.size());
    return p + 8 * ids.size();
  } else {
    for (NodeId id : ids) p = put_u64(p, id);
    return p;
  }
}

char* write_record(char* p, const NodeKey& head, std::span<const NodeId> inputs) {
  p = put_u8(p, static_cast<std::uint8_t>(head.kind()));
  switch (head.kind()) {
    case NodeKey::kSource:
      p = write_text(p, head.name());
      return write_params(p, head.params());
    case NodeKey::kOp:
    case NodeKey::kReduction:
      p = write_text(p, head.name());
      p = write_params(p, head.params());
      return write_ids(p, inputs);
    case NodeKey::kExternal: {
      const PayloadDescriptor& d = *head.get_if<External>()->descriptor;
      p = write_text(p, d.kind);
      p = write_text(p, d.content_hash);
      p = write_text(p, d.framework);
      p = write_text(p, d.version);
      p = write_text(p, d.io_schema);
      p = put_u8(p, d.preprocessing_ref ? 1 : 0);
      if (d.preprocessing_ref) p = write_text(p, *d.preprocessing_ref);
      p = write_params(p, head.params());
      return write_ids(p, inputs);
    }
    case NodeKey::kStage: {
      const Stage& s = *head.get_if<Stage>();
      p = write_ids(p, inputs);
      p = put_u32(p, static_cast<std::uint32_t>(s.members.size()));
      for (const StageOp& m : s.members) {
        p = write_text(p, m.op);
        p = put_u32(p, static_cast<std::uint32_t>(m.args.size()));
        for (const StageRef& r : m.args) {
          p = put_u8(p, r.kind == StageRef::Input ? kInput : kMember);
          p = put_u32(p, static_cast<std::uint32_t>(r.index));
        }
      }
      return p;
    }
    case NodeKey::kExchange:
      p = write_params(p, head.params());
      return write_ids(p, inputs);
  }
  return p;
}

/// Makes room for `n` more bytes at the end and returns where they start. Growth is
/// geometric, so the buffer is reallocated O(log size) times over a whole blob.
char* extend(std::string& out, std::size_t n) {
  const std::size_t old = out.size();
  if (out.capacity() - old < n) out.reserve(std::max(out.capacity() * 2, old + n));
  out.resize(old + n);
  return out.data() + old;
}

Result<std::string, EncodeError> write_blob(const GraphStore::View& v, const NodeIds& outputs) {
  const std::uint64_t n = v.node_count();
  if (n > kMaxCount) return Err{EncodeError{EncodeError::TooLarge{"node count", n}}};
  if (outputs.size() > kMaxCount) return Err{EncodeError{EncodeError::TooLarge{"output count", outputs.size()}}};
  for (NodeId id : outputs) {
    if (id >= n) return Err{EncodeError{EncodeError::UnknownOutput{id}}};
  }

  std::string out;
  out.reserve(12 + 8 * outputs.size() + 24 * n);
  char* p = extend(out, 8);
  std::memcpy(p, kMagic, 4);
  put_u32(p + 4, static_cast<std::uint32_t>(n));
  for (NodeId i = 0; i < n; ++i) {
    const NodeKey& head = v.head(i);
    const std::span<const NodeId> inputs = v.inputs(i);
    Sizer size;
    size.record(head, inputs);
    if (size.error) return Err{*size.error};
    write_record(extend(out, size.n), head, inputs);
  }
  p = extend(out, 4 + 8 * outputs.size());
  write_ids(p, outputs);
  return out;
}

}  // namespace

Result<std::string, EncodeError> serialize_with(const GraphStore& store, const NodeIds& outputs) {
  return store.with_view([&](const GraphStore::View& v) { return write_blob(v, outputs); });
}

Result<std::string, EncodeError> serialize_marked(const GraphStore& store) {
  return store.with_view([](const GraphStore::View& v) { return write_blob(v, v.marked()); });
}

std::optional<EncodeError> put_params(std::string& out, const ParamMap& params) {
  Sizer size;
  size.params(params);
  if (size.error) return size.error;
  write_params(extend(out, size.n), params);
  return std::nullopt;
}

}  // namespace vantrel
