#include "ir/node_key.hpp"

namespace vantrel {

namespace {
const ParamMap kEmptyParams;

template <class Fn>
decltype(auto) visit_inputs(NodeKey::Variant& v, Fn&& fn) {
  return std::visit(
      [&](auto& node) -> decltype(auto) {
        using T = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<T, Source>) {
          return fn(static_cast<NodeIds*>(nullptr));
        } else {
          return fn(&node.inputs);
        }
      },
      v);
}
}  // namespace

std::span<const NodeId> NodeKey::inputs() const {
  return std::visit(
      [](const auto& node) -> std::span<const NodeId> {
        using T = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<T, Source>) {
          return {};
        } else {
          return node.inputs;
        }
      },
      v_);
}

const ParamMap& NodeKey::params() const {
  return std::visit(
      [](const auto& node) -> const ParamMap& {
        using T = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<T, Stage>) {
          return kEmptyParams;
        } else {
          return node.params;
        }
      },
      v_);
}

std::string_view NodeKey::name() const {
  switch (kind()) {
    case kSource: return std::get<Source>(v_).name;
    case kOp: return std::get<Op>(v_).name;
    case kReduction: return std::get<Reduction>(v_).name;
    case kExternal:
    case kStage:
    case kExchange: return {};
  }
  return {};
}

NodeKey NodeKey::with_inputs(NodeIds inputs) const {
  NodeKey copy = *this;
  visit_inputs(copy.v_, [&](NodeIds* in) {
    if (in) *in = std::move(inputs);
  });
  return copy;
}

NodeIds NodeKey::take_inputs() {
  return visit_inputs(v_, [](NodeIds* in) { return in ? std::move(*in) : NodeIds{}; });
}

std::string with_params(std::string base, const ParamMap& params) {
  if (params.empty()) return base;
  base.push_back('|');
  params.append_token(base);
  return base;
}

std::string NodeKey::token() const {
  std::string base;
  switch (kind()) {
    case kSource: base = "src|"; break;
    case kOp: base = "op|"; break;
    case kReduction: base = "red|"; break;
    case kExternal: {
      const PayloadDescriptor& d = *std::get<External>(v_).descriptor;
      base.reserve(16 + d.kind.size() + d.content_hash.size() + d.framework.size() + d.version.size() +
                   d.io_schema.size());
      base += "ext|";
      base += d.kind;
      base += '|';
      base += d.content_hash;
      base += '|';
      base += d.framework;
      base += '|';
      base += d.version;
      base += '|';
      base += d.io_schema;
      base += '|';
      base += d.preprocessing_ref ? *d.preprocessing_ref : std::string("-");
      return with_params(std::move(base), params());
    }
    case kStage: return "stage|" + std::to_string(std::get<Stage>(v_).members.size());
    case kExchange: return with_params("exch", params());
  }
  append_escaped(base, name());
  return with_params(std::move(base), params());
}

void NodeKey::hash_head_into(Hasher& h) const {
  h.add(kind());
  std::visit(
      [&](const auto& node) {
        using T = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<T, Source> || std::is_same_v<T, Op> || std::is_same_v<T, Reduction>) {
          h.add_bytes(node.name);
          node.params.hash_into(h);
        } else if constexpr (std::is_same_v<T, External>) {
          const PayloadDescriptor& d = *node.descriptor;
          h.add_bytes(d.kind);
          h.add_bytes(d.content_hash);
          h.add_bytes(d.framework);
          h.add_bytes(d.version);
          h.add_bytes(d.io_schema);
          h.add(d.preprocessing_ref ? 1 : 0);
          if (d.preprocessing_ref) h.add_bytes(*d.preprocessing_ref);
          node.params.hash_into(h);
        } else if constexpr (std::is_same_v<T, Stage>) {
          h.add(node.members.size());
          for (const StageOp& m : node.members) {
            h.add_bytes(m.op);
            h.add(m.args.size());
            for (const StageRef& r : m.args) h.add((static_cast<std::uint64_t>(r.kind) << 63) ^ r.index);
          }
        } else {
          static_assert(std::is_same_v<T, Exchange>, "a new node kind needs its head hashed");
          node.params.hash_into(h);
        }
      },
      v_);
}

std::optional<ParsedOpToken> parse_op_token(std::string_view token) {
  std::size_t bar1 = token.find('|');
  if (bar1 == std::string_view::npos) return std::nullopt;
  std::string_view kind = token.substr(0, bar1);
  if (kind != "op" && kind != "red") return std::nullopt;
  std::string_view rest = token.substr(bar1 + 1);
  std::size_t bar2 = rest.find('|');
  ParsedOpToken out{std::string(kind), unescape_token(rest.substr(0, bar2)), ParamMap{}};
  if (bar2 != std::string_view::npos) {
    auto params = ParamMap::from_token(rest.substr(bar2 + 1));
    if (!params) return std::nullopt;
    out.params = std::move(*params);
  }
  return out;
}

}  // namespace vantrel
