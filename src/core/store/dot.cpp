// DOT rendering of a store: one labelled node line per node in id order (marked outputs
// drawn as double circles), then one edge line per input in input order. The whole text is
// rendered under the store lock so that it shows one consistent state.
#include <string>
#include <string_view>

#include "common/fault.hpp"
#include "store/graph_store.hpp"

namespace vantrel {

namespace {

void append_id(std::string& out, std::uint64_t id) {
  char buf[24];
  char* end = buf + sizeof buf;
  char* p = end;
  do {
    *--p = static_cast<char>('0' + id % 10);
    id /= 10;
  } while (id != 0);
  out.append(p, static_cast<std::size_t>(end - p));
}

/// Appends a label, escaped for a double-quoted DOT string: backslashes doubled, then double
/// quotes preceded by a backslash. A NUL, which ends a DOT string early and so makes the text
/// unreadable, is shown as the two characters \0 (written with the backslash doubled).
/// Everything else passes through unchanged.
void append_escaped_label(std::string& out, std::string_view label) {
  for (char c : label) {
    if (c == '\0') {
      out.append("\\\\0");
      continue;
    }
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
}

void append_params(std::string& label, const ParamMap& params) {
  if (params.empty()) return;
  label.push_back(' ');
  label += params.display();
}

std::string label_of(const NodeKey& head) {
  std::string label;
  switch (head.kind()) {
    case NodeKey::kSource: label = "Source "; break;
    case NodeKey::kOp: label = "Op "; break;
    case NodeKey::kReduction: label = "Reduction "; break;
    case NodeKey::kExternal: {
      const PayloadDescriptor& d = *head.get_if<External>()->descriptor;
      label = "External ";
      label += d.kind;
      label += ':';
      label += d.content_hash;
      label += " [";
      label += d.framework;
      label += ' ';
      label += d.version;
      label += ']';
      append_params(label, head.params());
      return label;
    }
    case NodeKey::kStage:
      label = "Stage[";
      append_id(label, head.get_if<Stage>()->members.size());
      label += " members]";
      return label;
    case NodeKey::kExchange:
      label = "Exchange";
      append_params(label, head.params());
      return label;
  }
  label += head.name();
  append_params(label, head.params());
  return label;
}

/// The same label as for the owned key, read from the encoded form.
std::string label_of(const EncodedHead& head) {
  std::string label;
  switch (head.kind()) {
    case NodeKey::kSource: label = "Source "; break;
    case NodeKey::kOp: label = "Op "; break;
    case NodeKey::kReduction: label = "Reduction "; break;
    case NodeKey::kExternal:
    case NodeKey::kStage:
    case NodeKey::kExchange: throw InternalFault("an encoded head is a source, an op or a reduction");
  }
  label += head.name();
  if (head.size() == 0) return label;
  label += " {";
  bool first = true;
  head.for_each_entry([&](std::string_view key, const ParamValueView& value) {
    if (!first) label += ", ";
    first = false;
    label += key;
    label.push_back('=');
    label += value.display();
  });
  label.push_back('}');
  return label;
}

}  // namespace

std::string GraphStore::to_dot() const {
  return with_view([](const View& v) {
    const std::uint64_t n = v.node_count();
    std::string out = "digraph vantrel {\n";
    out.reserve(32 + 48 * n);
    // Runs of nodes with one head (chains, repeated ops) render its label once.
    std::uint32_t last = kNoId;
    std::string label;
    for (NodeId i = 0; i < n; ++i) {
      out += "  n";
      append_id(out, i);
      out += " [label=\"";
      if (v.head_id(i) != last) {
        last = v.head_id(i);
        label.clear();
        v.visit_head(i, [&](const auto& head) { append_escaped_label(label, label_of(head)); });
      }
      out += label;
      out += v.is_marked(i) ? "\", shape=doublecircle];\n" : "\"];\n";
    }
    for (NodeId i = 0; i < n; ++i) {
      for (NodeId m : v.inputs(i)) {
        out += "  n";
        append_id(out, m);
        out += " -> n";
        append_id(out, i);
        out += ";\n";
      }
    }
    out += "}\n";
    return out;
  });
}

}  // namespace vantrel
