#include "ir/param.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "ir/utf8.hpp"

namespace vantrel {

std::uint64_t canonical_bits(double x) {
  if (std::isnan(x)) return 0x7ff8000000000000ULL;
  std::uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return bits;
}

bool ParamValue::operator==(const ParamValue& other) const {
  const ParamValueView a = view();
  const ParamValueView b = other.view();
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case Int: return a.i == b.i;
    case Float: return canonical_bits(a.f) == canonical_bits(b.f);
    case Bool: return a.b == b.b;
    case Str: return a.s == b.s;
  }
  return false;
}

void ParamValue::hash_into(Hasher& h) const {
  const ParamValueView v = view();
  h.add(v.kind);
  switch (v.kind) {
    case Int: h.add(static_cast<std::uint64_t>(v.i)); break;
    case Float: h.add(canonical_bits(v.f)); break;
    case Bool: h.add(v.b ? 1 : 0); break;
    case Str: h.add_bytes(v.s); break;
  }
}

ParamValue ParamValueView::to_value() const {
  switch (kind) {
    case ParamValue::Int: return ParamValue::of_int(i);
    case ParamValue::Float: return ParamValue::of_float(f);
    case ParamValue::Bool: return ParamValue::of_bool(b);
    case ParamValue::Str: return ParamValue::of_str(std::string(s));
  }
  return ParamValue::of_int(0);
}

namespace {

void append_value_token(std::string& out, const ParamValueView& v) {
  switch (v.kind) {
    case ParamValue::Int: {
      char buf[24];
      auto r = std::to_chars(buf, buf + sizeof buf, v.i);
      out.push_back('i');
      out.append(buf, r.ptr);
      break;
    }
    case ParamValue::Float: {
      static const char* digits = "0123456789abcdef";
      std::uint64_t bits = canonical_bits(v.f);
      out.push_back('f');
      for (int shift = 60; shift >= 0; shift -= 4) out.push_back(digits[(bits >> shift) & 0xf]);
      break;
    }
    case ParamValue::Bool: out.append(v.b ? "btrue" : "bfalse"); break;
    case ParamValue::Str:
      out.push_back('s');
      append_escaped(out, v.s);
      break;
  }
}

std::optional<std::int64_t> parse_i64(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  // Accumulate the magnitude unsigned so that -9223372036854775808 is accepted.
  std::uint64_t mag = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    std::uint64_t d = static_cast<std::uint64_t>(c - '0');
    if (mag > (UINT64_MAX - d) / 10) return std::nullopt;
    mag = mag * 10 + d;
  }
  if (negative) {
    if (mag > 0x8000000000000000ULL) return std::nullopt;
    return static_cast<std::int64_t>(0 - mag);
  }
  if (mag > 0x7fffffffffffffffULL) return std::nullopt;
  return static_cast<std::int64_t>(mag);
}

std::optional<std::uint64_t> parse_hex_u64(std::string_view s) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    std::uint64_t d;
    if (c >= '0' && c <= '9')
      d = static_cast<std::uint64_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
      d = static_cast<std::uint64_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      d = static_cast<std::uint64_t>(c - 'A' + 10);
    else
      return std::nullopt;
    if (v >> 60) return std::nullopt;  // another digit would overflow 64 bits
    v = (v << 4) | d;
  }
  return v;
}

std::optional<ParamValue> parse_value_token(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::string_view rest = text.substr(1);
  switch (text[0]) {
    case 'b':
      if (rest == "true") return ParamValue::of_bool(true);
      if (rest == "false") return ParamValue::of_bool(false);
      return std::nullopt;
    case 'i': {
      auto v = parse_i64(rest);
      if (!v) return std::nullopt;
      return ParamValue::of_int(*v);
    }
    case 'f': {
      auto bits = parse_hex_u64(rest);
      if (!bits) return std::nullopt;
      double d;
      std::memcpy(&d, &*bits, sizeof d);
      return ParamValue::of_float(d);
    }
    case 's': return ParamValue::of_str(unescape_token(rest));
    default: return std::nullopt;
  }
}

}  // namespace

std::string ParamValue::token() const {
  std::string out;
  append_value_token(out, view());
  return out;
}

std::string display_float(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  if (x == 0) return std::signbit(x) ? "-0" : "0";
  // Shortest round-trip digits in scientific form, then laid out positionally.
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  std::string out;
  if (sci[0] == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  std::size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = 0;
  std::string_view exp_text = sci.substr(e_pos + 1);
  if (!exp_text.empty() && exp_text[0] == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  const int k = static_cast<int>(digits.size());
  if (exponent >= k - 1) {
    out += digits;
    out.append(static_cast<std::size_t>(exponent - (k - 1)), '0');
  } else if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
  } else {
    out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(exponent + 1), std::string::npos);
  }
  return out;
}

std::string quote_display(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for_each_code_point(text, [&out](char32_t cp, std::string_view raw) {
    switch (cp) {
      case '\\': out += "\\\\"; return;
      case '"': out += "\\\""; return;
      case '\t': out += "\\t"; return;
      case '\r': out += "\\r"; return;
      case '\n': out += "\\n"; return;
      case 0: out += "\\0"; return;
      default: break;
    }
    if (needs_unicode_escape(cp)) {
      char buf[16];
      auto r = std::to_chars(buf, buf + sizeof buf, static_cast<std::uint32_t>(cp), 16);
      out += "\\u{";
      out.append(buf, r.ptr);
      out.push_back('}');
    } else {
      out.append(raw);
    }
  });
  out.push_back('"');
  return out;
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

std::string ParamValue::display() const { return view().display(); }

ParamMap ParamMap::make(std::vector<ParamEntry> entries) {
  ParamMap m;
  m.entries_ = std::move(entries);
  sort_by_key(std::span<ParamEntry>(m.entries_));
  return m;
}

std::optional<ParamMap> ParamMap::from_token(std::string_view text) {
  if (text.empty()) return ParamMap{};
  std::vector<ParamEntry> entries;
  std::size_t start = 0;
  while (true) {
    std::size_t end = text.find(';', start);
    std::string_view piece = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    std::size_t eq = piece.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    auto value = parse_value_token(piece.substr(eq + 1));
    if (!value) return std::nullopt;
    entries.push_back(ParamEntry{unescape_token(piece.substr(0, eq)), std::move(*value)});
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return make(std::move(entries));
}

void ParamMap::hash_into(Hasher& h) const {
  h.add(entries_.size());
  for (const auto& e : entries_) {
    h.add_bytes(e.key);
    e.value.hash_into(h);
  }
}

void ParamMap::append_token(std::string& out) const {
  bool first = true;
  for (const auto& e : entries_) {
    if (!first) out.push_back(';');
    first = false;
    append_escaped(out, e.key);
    out.push_back('=');
    append_value_token(out, e.value.view());
  }
}

std::string ParamMap::token() const {
  std::string out;
  append_token(out);
  return out;
}

std::string ParamMap::display() const {
  std::string out = "{";
  bool first = true;
  for (const auto& e : entries_) {
    if (!first) out += ", ";
    first = false;
    out += e.key;
    out.push_back('=');
    out += e.value.display();
  }
  out.push_back('}');
  return out;
}

void append_escaped(std::string& out, std::string_view text) {
  // One left-to-right pass gives the same text as escaping "%" first and then ";", "=",
  // "|": the sequences introduced contain none of the later characters.
  for (char c : text) {
    switch (c) {
      case '%': out += "%25"; break;
      case ';': out += "%3B"; break;
      case '=': out += "%3D"; break;
      case '|': out += "%7C"; break;
      default: out.push_back(c);
    }
  }
}

std::string escape_token(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(out, text);
  return out;
}

std::string unescape_token(std::string_view text) {
  // Equivalent to the four whole-text passes ("%7C", "%3D", "%3B", then "%25"): matches
  // cannot overlap (each starts with the only "%"), and a replaced character never forms a
  // new sequence for a later pass, except "%" from the last pass, after which nothing runs.
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      std::string_view seq = text.substr(i, 3);
      char r = 0;
      if (seq == "%7C")
        r = '|';
      else if (seq == "%3D")
        r = '=';
      else if (seq == "%3B")
        r = ';';
      else if (seq == "%25")
        r = '%';
      if (r != 0) {
        out.push_back(r);
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

}  // namespace vantrel
