#pragma once
/// UTF-8 helpers for display and validation. Decoding is lenient (a byte that does not
/// start a well-formed sequence is reported as U+FFFD) so that display never fails.
#include <cstdint>
#include <string_view>

namespace vantrel {

/// Strict validation: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view bytes);

/// Whether the Display form of a string writes this code point as "\u{..}": characters that
/// are not printable and grapheme-extending marks.
bool needs_unicode_escape(char32_t cp);

/// Calls fn(code point, raw bytes) for each character of the text.
template <class Fn>
void for_each_code_point(std::string_view s, Fn&& fn) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t len = 1;
    char32_t cp = 0xFFFD;
    if (b0 < 0x80) {
      cp = b0;
    } else {
      std::size_t want = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC0 ? 2 : 0;
      if (want != 0 && i + want <= s.size() && valid_utf8(s.substr(i, want))) {
        cp = b0 & (0x7F >> want);
        for (std::size_t k = 1; k < want; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        len = want;
      }
    }
    fn(cp, s.substr(i, len));
    i += len;
  }
}

}  // namespace vantrel
