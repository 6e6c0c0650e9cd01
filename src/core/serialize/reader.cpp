#include "serialize/reader.hpp"

#include <algorithm>
#include <bit>

#include "ir/utf8.hpp"
#include "serialize/bytes.hpp"

namespace vantrel {

namespace {

using namespace blob;

const DecodeError kTruncated{DecodeError::Truncated{}};

// The fewest bytes an item can take, so that a count claimed by the data never reserves
// more entries than the rest of the data could hold.
constexpr std::size_t kMinIdBytes = 8;
constexpr std::size_t kMinParamBytes = 6;   // empty key, tag, shortest payload (Bool)
constexpr std::size_t kMinMemberBytes = 8;  // empty op token, argument count
constexpr std::size_t kMinArgBytes = 5;     // kind, index

std::size_t capped(std::uint64_t count, std::size_t remaining, std::size_t min_bytes) {
  return static_cast<std::size_t>(std::min<std::uint64_t>(count, remaining / min_bytes));
}

}  // namespace

Result<std::uint8_t, DecodeError> Reader::u8() {
  if (remaining() < 1) return Err{kTruncated};
  return static_cast<std::uint8_t>(data_[pos_++]);
}

Result<std::uint32_t, DecodeError> Reader::u32() {
  if (remaining() < 4) return Err{kTruncated};
  const auto v = get_le<std::uint32_t>(data_.data() + pos_);
  pos_ += 4;
  return v;
}

Result<std::uint64_t, DecodeError> Reader::u64() {
  if (remaining() < 8) return Err{kTruncated};
  const auto v = get_le<std::uint64_t>(data_.data() + pos_);
  pos_ += 8;
  return v;
}

Result<std::string_view, DecodeError> Reader::text() {
  auto len = u32();
  if (!len) return Err{len.error()};
  // Compared against what is left rather than by adding to the position: no overflow.
  if (len.value() > remaining()) return Err{kTruncated};
  const std::string_view bytes = data_.substr(pos_, len.value());
  if (!valid_utf8(bytes)) return Err{DecodeError{DecodeError::BadUtf8{}}};
  pos_ += bytes.size();
  return bytes;
}

Result<std::string, DecodeError> Reader::string() {
  auto bytes = text();
  if (!bytes) return Err{bytes.error()};
  return std::string(bytes.value());
}

Result<Ok, DecodeError> Reader::param_views(std::vector<ParamEntryView>& out) {
  out.clear();
  auto count = u32();
  if (!count) return Err{count.error()};
  out.reserve(capped(count.value(), remaining(), kMinParamBytes));
  for (std::uint32_t i = 0; i < count.value(); ++i) {
    auto key = text();
    if (!key) return Err{key.error()};
    auto tag = u8();
    if (!tag) return Err{tag.error()};
    ParamEntryView e{key.value(), {}};
    switch (tag.value()) {
      case kInt: {
        auto v = u64();
        if (!v) return Err{v.error()};
        e.value.kind = ParamValue::Int;
        e.value.i = static_cast<std::int64_t>(v.value());
        break;
      }
      case kFloat: {
        auto v = u64();
        if (!v) return Err{v.error()};
        e.value.kind = ParamValue::Float;
        e.value.f = std::bit_cast<double>(v.value());
        break;
      }
      case kBool: {
        auto v = u8();
        if (!v) return Err{v.error()};
        e.value.kind = ParamValue::Bool;
        e.value.b = v.value() != 0;
        break;
      }
      case kStr: {
        auto v = text();
        if (!v) return Err{v.error()};
        e.value.kind = ParamValue::Str;
        e.value.s = v.value();
        break;
      }
      default: return Err{DecodeError{DecodeError::BadTag{"param", tag.value()}}};
    }
    out.push_back(e);
  }
  return Ok{};
}

Result<ParamMap, DecodeError> Reader::params() {
  std::vector<ParamEntryView> views;
  if (auto read = param_views(views); !read) return Err{read.error()};
  if (views.empty()) return ParamMap{};
  std::vector<ParamEntry> entries;
  entries.reserve(views.size());
  for (const ParamEntryView& e : views) entries.push_back({std::string(e.key), e.value.to_value()});
  return ParamMap::make(std::move(entries));
}

Result<NodeIds, DecodeError> Reader::inputs(std::uint64_t limit) {
  NodeIds ids;
  auto read = inputs_into(limit, ids);
  if (!read) return Err{read.error()};
  return ids;
}

Result<Ok, DecodeError> Reader::inputs_into(std::uint64_t limit, NodeIds& ids) {
  ids.clear();
  auto count = u32();
  if (!count) return Err{count.error()};
  ids.reserve(capped(count.value(), remaining(), kMinIdBytes));
  for (std::uint32_t i = 0; i < count.value(); ++i) {
    auto id = u64();
    if (!id) return Err{id.error()};
    if (id.value() >= limit) return Err{DecodeError{DecodeError::BadRef{id.value()}}};
    ids.push_back(static_cast<NodeId>(id.value()));  // below `limit`, a node count
  }
  return Ok{};
}

namespace {

Result<std::vector<StageOp>, DecodeError> read_members(Reader& r, std::size_t input_count) {
  auto count = r.u32();
  if (!count) return Err{count.error()};
  std::vector<StageOp> members;
  members.reserve(capped(count.value(), r.remaining(), kMinMemberBytes));
  for (std::uint32_t j = 0; j < count.value(); ++j) {
    auto op = r.string();
    if (!op) return Err{op.error()};
    auto nargs = r.u32();
    if (!nargs) return Err{nargs.error()};
    StageArgs args;
    args.reserve(capped(nargs.value(), r.remaining(), kMinArgBytes));
    for (std::uint32_t a = 0; a < nargs.value(); ++a) {
      if (r.remaining() < 5) return Err{kTruncated};  // kind and index come as one field
      const std::uint8_t kind = r.u8().value();
      const std::uint32_t index = r.u32().value();
      if (kind == kInput) {
        if (index >= input_count) return Err{DecodeError{DecodeError::BadRef{index}}};
        args.push_back({StageRef::Input, index});
      } else if (kind == kMember) {
        if (index >= j) return Err{DecodeError{DecodeError::BadRef{index}}};
        args.push_back({StageRef::Member, index});
      } else {
        return Err{DecodeError{DecodeError::BadTag{"stage-ref", kind}}};
      }
    }
    members.push_back({std::move(op).value(), std::move(args)});
  }
  return members;
}

Result<std::shared_ptr<const PayloadDescriptor>, DecodeError> read_descriptor(Reader& r) {
  auto d = std::make_shared<PayloadDescriptor>();
  for (std::string* field : {&d->kind, &d->content_hash, &d->framework, &d->version, &d->io_schema}) {
    auto s = r.string();
    if (!s) return Err{s.error()};
    *field = std::move(s).value();
  }
  auto flag = r.u8();
  if (!flag) return Err{flag.error()};
  if (flag.value() != 0) {
    auto s = r.string();
    if (!s) return Err{s.error()};
    d->preprocessing_ref = std::move(s).value();
  }
  return std::shared_ptr<const PayloadDescriptor>(std::move(d));
}

/// One node record at blob position k: its inputs may only name positions before k.
Result<NodeKey, DecodeError> read_node(Reader& r, std::uint64_t k) {
  auto tag = r.u8();
  if (!tag) return Err{tag.error()};
  switch (tag.value()) {
    case NodeKey::kSource: {
      auto name = r.string();
      if (!name) return Err{name.error()};
      auto params = r.params();
      if (!params) return Err{params.error()};
      return NodeKey(Source{std::move(name).value(), std::move(params).value()});
    }
    case NodeKey::kOp:
    case NodeKey::kReduction: {
      auto name = r.string();
      if (!name) return Err{name.error()};
      auto params = r.params();
      if (!params) return Err{params.error()};
      auto inputs = r.inputs(k);
      if (!inputs) return Err{inputs.error()};
      if (tag.value() == NodeKey::kOp) {
        return NodeKey(Op{std::move(name).value(), std::move(params).value(), std::move(inputs).value()});
      }
      return NodeKey(Reduction{std::move(name).value(), std::move(params).value(), std::move(inputs).value()});
    }
    case NodeKey::kExternal: {
      auto descriptor = read_descriptor(r);
      if (!descriptor) return Err{descriptor.error()};
      auto params = r.params();
      if (!params) return Err{params.error()};
      auto inputs = r.inputs(k);
      if (!inputs) return Err{inputs.error()};
      return NodeKey(External{std::move(descriptor).value(), std::move(params).value(), std::move(inputs).value()});
    }
    case NodeKey::kStage: {
      auto inputs = r.inputs(k);
      if (!inputs) return Err{inputs.error()};
      auto members = read_members(r, inputs.value().size());
      if (!members) return Err{members.error()};
      return NodeKey(Stage{std::move(inputs).value(), std::move(members).value()});
    }
    case NodeKey::kExchange: {
      auto params = r.params();
      if (!params) return Err{params.error()};
      auto inputs = r.inputs(k);
      if (!inputs) return Err{inputs.error()};
      return NodeKey(Exchange{std::move(params).value(), std::move(inputs).value()});
    }
    default: return Err{DecodeError{DecodeError::BadTag{"node", tag.value()}}};
  }
}

}  // namespace

Result<std::unique_ptr<GraphStore>, DecodeError> deserialize(std::string_view bytes) {
  if (bytes.size() < 4) return Err{kTruncated};
  if (bytes.substr(0, 4) != std::string_view(kMagic, 4)) return Err{DecodeError{DecodeError::BadMagic{}}};
  Reader r(bytes.substr(4));
  auto n = r.u32();
  if (!n) return Err{n.error()};

  auto store = std::make_unique<GraphStore>();
  // Sources, ops and reductions are read as views into the blob and interned from them,
  // with no owned copy of their texts; the reads and their errors are those of `read_node`.
  std::vector<ParamEntryView> entries;
  NodeIds inputs;
  for (std::uint64_t k = 0; k < n.value(); ++k) {
    if (r.remaining() >= 1 &&
        HeadTable::is_named(static_cast<NodeKey::Kind>(static_cast<std::uint8_t>(bytes[4 + r.position()])))) {
      const auto kind = static_cast<NodeKey::Kind>(r.u8().value());
      auto name = r.text();
      if (!name) return Err{name.error()};
      if (auto read = r.param_views(entries); !read) return Err{read.error()};
      inputs.clear();
      if (kind != NodeKey::kSource) {
        if (auto read = r.inputs_into(k, inputs); !read) return Err{read.error()};
      }
      sort_entries(entries);
      auto id = store->intern(NamedHeadView(kind, name.value(), entries), inputs);
      if (!id) return Err{DecodeError{DecodeError::BadRef{id.error().id}}};
      continue;
    }
    auto key = read_node(r, k);
    if (!key) return Err{key.error()};
    // A blob that repeats a node interns the copy onto the first one's id, so the store can
    // have fewer nodes than positions read; `intern` checks the inputs against its count.
    auto id = store->intern(std::move(key).value());
    if (!id) return Err{DecodeError{DecodeError::BadRef{id.error().id}}};
  }

  auto m = r.u32();
  if (!m) return Err{m.error()};
  for (std::uint32_t j = 0; j < m.value(); ++j) {
    auto id = r.u64();
    if (!id) return Err{id.error()};
    const std::optional<NodeId> narrow = narrow_node_id(id.value());
    if (!narrow) return Err{DecodeError{DecodeError::BadRef{id.value()}}};
    auto marked = store->mark_output(*narrow);
    if (!marked) return Err{DecodeError{DecodeError::BadRef{marked.error().id}}};
  }
  return store;
}

}  // namespace vantrel
