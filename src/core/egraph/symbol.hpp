#pragma once
/// Process-wide interned texts. A `GlobalSymbol` is a 32-bit handle: equal texts give equal
/// symbols for the life of the process, and the text can be read back from the handle
/// without taking a lock. Interned texts are never freed.
#include <compare>
#include <cstdint>
#include <string_view>

namespace vantrel::egraph {

class GlobalSymbol {
 public:
  constexpr GlobalSymbol() = default;

  /// Interns `text` (thread-safe; one shard lock per call) and returns its symbol.
  static GlobalSymbol intern(std::string_view text);
  /// Rebuilds a symbol from its raw value; only values obtained from `value()` are valid.
  static constexpr GlobalSymbol from_value(std::uint32_t v) {
    GlobalSymbol s;
    s.value_ = v;
    return s;
  }

  /// The interned text; stays valid for the life of the process.
  std::string_view text() const;
  constexpr std::uint32_t value() const { return value_; }

  /// Symbols order by their handle value, which does not follow the order of the texts.
  friend constexpr auto operator<=>(GlobalSymbol, GlobalSymbol) = default;

 private:
  std::uint32_t value_ = 0;
};

}  // namespace vantrel::egraph
