#include "serialize/writer.hpp"

#include <algorithm>
#include <span>
#include <string_view>
#include <type_traits>
#include <variant>

#include "common/fault.hpp"
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
  /// A value's tag and payload.
  void value(const ParamValueView& v) {
    n += 1;
    switch (v.kind) {
      case ParamValue::Int:
      case ParamValue::Float: n += 8; break;
      case ParamValue::Bool: n += 1; break;
      case ParamValue::Str: text(v.s); break;
    }
  }
  void params(const ParamMap& m) {
    count(m.size(), "parameter count");
    for (const ParamEntry& e : m.entries()) {
      text(e.key);
      value(e.value.view());
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

  /// The size of a record's head part (tag, name, parameters) for a head stored encoded;
  /// the inputs follow it, except for a source.
  void head_part(const EncodedHead& head) {
    n += 1;
    text(head.name());
    count(head.size(), "parameter count");
    head.for_each_entry([&](std::string_view key, const ParamValueView& v) {
      text(key);
      value(v);
    });
  }

  /// The size of one node record (tag included).
  void record(const NodeKey& head, std::span<const NodeId> inputs) {
    n += 1;
    std::visit(
        [&](const auto& node) {
          using T = std::decay_t<decltype(node)>;
          if constexpr (std::is_same_v<T, Source>) {
            text(node.name);
            params(node.params);
          } else if constexpr (std::is_same_v<T, Op> || std::is_same_v<T, Reduction>) {
            text(node.name);
            params(node.params);
            ids(inputs);
          } else if constexpr (std::is_same_v<T, External>) {
            const PayloadDescriptor& d = *node.descriptor;
            text(d.kind);
            text(d.content_hash);
            text(d.framework);
            text(d.version);
            text(d.io_schema);
            n += 1;
            if (d.preprocessing_ref) text(*d.preprocessing_ref);
            params(node.params);
            ids(inputs);
          } else if constexpr (std::is_same_v<T, Stage>) {
            ids(inputs);
            members(node.members);
          } else {
            static_assert(std::is_same_v<T, Exchange>, "a new node kind needs its record measured");
            params(node.params);
            ids(inputs);
          }
        },
        head.variant());
  }
};

// The writers below assume a Sizer has measured the same data and found it within limits.

char* write_text(char* p, std::string_view s) {
  p = put_u32(p, static_cast<std::uint32_t>(s.size()));
  if (s.size() <= 16) {
    for (char c : s) *p++ = c;  // names and keys are short: skip the library call
    return p;
  }
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

char* write_value(char* p, const ParamValueView& v) {
  switch (v.kind) {
    case ParamValue::Int: p = put_u8(p, kInt); return put_u64(p, static_cast<std::uint64_t>(v.i));
    case ParamValue::Float:
      p = put_u8(p, kFloat);
      return put_u64(p, std::bit_cast<std::uint64_t>(v.f));  // exact bits, NaN payloads kept
    case ParamValue::Bool: p = put_u8(p, kBool); return put_u8(p, v.b ? 1 : 0);
    case ParamValue::Str: p = put_u8(p, kStr); return write_text(p, v.s);
  }
  return p;
}

char* write_params(char* p, const ParamMap& m) {
  p = put_u32(p, static_cast<std::uint32_t>(m.size()));
  for (const ParamEntry& e : m.entries()) {
    p = write_text(p, e.key);
    p = write_value(p, e.value.view());
  }
  return p;
}

char* write_ids(char* p, std::span<const NodeId> ids) {
  p = put_u32(p, static_cast<std::uint32_t>(ids.size()));
  // 64-bit fields in the blob, 32-bit ids in memory: each id is widened on its way out.
  for (NodeId id : ids) p = put_u64(p, id);
  return p;
}

// The head part of the record of a node whose head is stored encoded: the same bytes as for
// the owned key.
char* write_head_part(char* p, const EncodedHead& head) {
  p = put_u8(p, static_cast<std::uint8_t>(head.kind()));
  p = write_text(p, head.name());
  p = put_u32(p, static_cast<std::uint32_t>(head.size()));
  head.for_each_entry([&](std::string_view key, const ParamValueView& value) {
    p = write_text(p, key);
    p = write_value(p, value);
  });
  return p;
}

// `head` is a stored key without its inputs; the node's inputs come separately.
char* write_record(char* p, const NodeKey& head, std::span<const NodeId> inputs) {
  p = put_u8(p, static_cast<std::uint8_t>(head.kind()));
  return std::visit(
      [&](const auto& node) {
        using T = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<T, Source>) {
          p = write_text(p, node.name);
          return write_params(p, node.params);
        } else if constexpr (std::is_same_v<T, Op> || std::is_same_v<T, Reduction>) {
          p = write_text(p, node.name);
          p = write_params(p, node.params);
          return write_ids(p, inputs);
        } else if constexpr (std::is_same_v<T, External>) {
          const PayloadDescriptor& d = *node.descriptor;
          p = write_text(p, d.kind);
          p = write_text(p, d.content_hash);
          p = write_text(p, d.framework);
          p = write_text(p, d.version);
          p = write_text(p, d.io_schema);
          p = put_u8(p, d.preprocessing_ref ? 1 : 0);
          if (d.preprocessing_ref) p = write_text(p, *d.preprocessing_ref);
          p = write_params(p, node.params);
          return write_ids(p, inputs);
        } else if constexpr (std::is_same_v<T, Stage>) {
          p = write_ids(p, inputs);
          p = put_u32(p, static_cast<std::uint32_t>(node.members.size()));
          for (const StageOp& m : node.members) {
            p = write_text(p, m.op);
            p = put_u32(p, static_cast<std::uint32_t>(m.args.size()));
            for (const StageRef& r : m.args) {
              p = put_u8(p, r.kind == StageRef::Input ? kInput : kMember);
              p = put_u32(p, static_cast<std::uint32_t>(r.index));
            }
          }
          return p;
        } else {
          static_assert(std::is_same_v<T, Exchange>, "a new node kind needs its record written");
          p = write_params(p, node.params);
          return write_ids(p, inputs);
        }
      },
      head.variant());
}

/// The exact size of the blob of nodes 0..n-1 with these outputs, or why it cannot be written.
Result<std::size_t, EncodeError> measure(const GraphStore::View& v, std::uint64_t n, const NodeIds& outputs) {
  if (n > kMaxCount) return Err{EncodeError{EncodeError::TooLarge{"node count", n}}};
  if (outputs.size() > kMaxCount) return Err{EncodeError{EncodeError::TooLarge{"output count", outputs.size()}}};
  for (NodeId id : outputs) {
    if (id >= n) return Err{EncodeError{EncodeError::UnknownOutput{id}}};
  }
  Sizer size;
  size.n = 8;
  // Runs of nodes with one head (chains, repeated ops) measure the head part once.
  std::uint32_t last = kNoId;
  std::size_t last_size = 0;
  bool last_has_inputs = false;
  for (NodeId i = 0; i < n; ++i) {
    const std::uint32_t h = v.head_id(i);
    if (h != last) {
      const HeadTable::Stored head = v.stored_head(i);
      if (head.owned != nullptr) {
        size.record(*head.owned, v.inputs(i));
        if (size.error) return Err{*size.error};
        continue;
      }
      const std::size_t before = size.n;
      const EncodedHead encoded(head.bytes);
      size.head_part(encoded);
      last = h;
      last_size = size.n - before;
      last_has_inputs = encoded.kind() != NodeKey::kSource;
    } else {
      size.n += last_size;
    }
    if (last_has_inputs) size.ids(v.inputs(i));
    if (size.error) return Err{*size.error};
  }
  size.ids(outputs);
  return size.n;
}

void write(const GraphStore::View& v, const BlobPlan& plan, char* dest) {
  char* p = dest;
  std::memcpy(p, kMagic, 4);
  p = put_u32(p + 4, static_cast<std::uint32_t>(plan.node_count));
  // A node with the same head as the node before it copies that node's head part.
  std::uint32_t last = kNoId;
  const char* last_part = nullptr;
  std::size_t last_size = 0;
  bool last_has_inputs = false;
  for (NodeId i = 0; i < plan.node_count; ++i) {
    const std::uint32_t h = v.head_id(i);
    if (h != last) {
      const HeadTable::Stored head = v.stored_head(i);
      if (head.owned != nullptr) {
        p = write_record(p, *head.owned, v.inputs(i));
        continue;
      }
      const EncodedHead encoded(head.bytes);
      char* start = p;
      p = write_head_part(p, encoded);
      last = h;
      last_part = start;
      last_size = static_cast<std::size_t>(p - start);
      last_has_inputs = encoded.kind() != NodeKey::kSource;
    } else {
      std::memcpy(p, last_part, last_size);
      p += last_size;
    }
    if (last_has_inputs) p = write_ids(p, v.inputs(i));
  }
  p = write_ids(p, plan.outputs);
  // Nodes never change once interned, so the bytes measured are the bytes written.
  if (p != dest + plan.size) throw InternalFault("vantrel IR blob size changed between measuring and writing");
}

}  // namespace

Result<BlobPlan, EncodeError> plan_blob(const GraphStore& store, NodeIds outputs) {
  return store.with_view([&](const GraphStore::View& v) -> Result<BlobPlan, EncodeError> {
    const std::uint64_t n = v.node_count();
    auto size = measure(v, n, outputs);
    if (!size) return Err{size.error()};
    return BlobPlan{n, std::move(outputs), size.value()};
  });
}

Result<BlobPlan, EncodeError> plan_blob_marked(const GraphStore& store) {
  return store.with_view([&](const GraphStore::View& v) -> Result<BlobPlan, EncodeError> {
    const std::uint64_t n = v.node_count();
    auto size = measure(v, n, v.marked());
    if (!size) return Err{size.error()};
    return BlobPlan{n, v.marked(), size.value()};
  });
}

void write_blob(const GraphStore& store, const BlobPlan& plan, char* dest) {
  store.with_view([&](const GraphStore::View& v) {
    if (v.node_count() < plan.node_count) throw InternalFault("vantrel IR blob planned for another store");
    write(v, plan, dest);
  });
}

namespace {
Result<std::string, EncodeError> plan_and_write(const GraphStore& store, Result<BlobPlan, EncodeError> plan) {
  if (!plan) return Err{plan.error()};
  std::string out(plan.value().size, '\0');
  write_blob(store, plan.value(), out.data());
  return out;
}
}  // namespace

Result<std::string, EncodeError> serialize_with(const GraphStore& store, const NodeIds& outputs) {
  return plan_and_write(store, plan_blob(store, outputs));
}

Result<std::string, EncodeError> serialize_marked(const GraphStore& store) {
  return plan_and_write(store, plan_blob_marked(store));
}

std::optional<EncodeError> put_params(std::string& out, const ParamMap& params) {
  Sizer size;
  size.params(params);
  if (size.error) return size.error;
  const std::size_t old = out.size();
  out.resize(old + size.n);
  write_params(out.data() + old, params);
  return std::nullopt;
}

}  // namespace vantrel
