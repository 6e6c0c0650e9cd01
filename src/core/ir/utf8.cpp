#include "ir/utf8.hpp"

#include <algorithm>

namespace vantrel {

namespace {
struct CodeRange {
  char32_t lo, hi;
};
#include "ir/unicode_tables.inc"

template <std::size_t N>
bool in_ranges(const CodeRange (&table)[N], char32_t cp) {
  auto it =
      std::upper_bound(std::begin(table), std::end(table), cp, [](char32_t c, const CodeRange& r) { return c < r.lo; });
  if (it == std::begin(table)) return false;
  --it;
  return cp <= it->hi;
}
}  // namespace

bool needs_unicode_escape(char32_t cp) {
  if (cp >= 0x20 && cp < 0x7F) return false;
  return in_ranges(kNonPrintable, cp) || in_ranges(kGraphemeExtend, cp);
}

bool valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0)
        lo = 0xA0;  // no overlong forms
      else if (c == 0xED)
        hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0)
        lo = 0x90;
      else if (c == 0xF4)
        hi = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (i + len > n) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
    }
    i += len;
  }
  return true;
}

}  // namespace vantrel
