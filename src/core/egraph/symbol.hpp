#pragma once
/// Process-wide interned texts. A `GlobalSymbol` is a 32-bit handle: equal texts give equal
/// symbols for the life of the process, and the text can be read back from the handle
/// without taking a lock. Interned texts are never freed.
///
/// A caller that only needs symbols to tell its own texts apart (texts no rule mentions) uses
/// local symbols instead: numbered by the caller, distinct from every interned symbol, and
/// costing the table nothing.
#include <compare>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vantrel::egraph {

class GlobalSymbol {
 public:
  constexpr GlobalSymbol() = default;

  /// Interns `text` (thread-safe; one shard lock per call) and returns its symbol.
  static GlobalSymbol intern(std::string_view text);
  /// The local symbol numbered `index` (below `kLocalCount`): equal to `local(index)` alone,
  /// never to an interned symbol. It has no text.
  static constexpr GlobalSymbol local(std::uint32_t index) { return from_value(kLocalBit | index); }
  static constexpr std::uint32_t kLocalCount = std::uint32_t{1} << 31;
  /// How many texts have been interned in this process (for tests and diagnostics).
  static std::size_t interned_count();
  /// Rebuilds a symbol from its raw value; only values obtained from `value()` are valid.
  static constexpr GlobalSymbol from_value(std::uint32_t v) {
    GlobalSymbol s;
    s.value_ = v;
    return s;
  }

  /// The interned text; stays valid for the life of the process. A local symbol has none
  /// (an internal fault).
  std::string_view text() const;
  constexpr bool is_local() const { return (value_ & kLocalBit) != 0; }
  constexpr std::uint32_t value() const { return value_; }

  /// Symbols order by their handle value, which does not follow the order of the texts.
  friend constexpr auto operator<=>(GlobalSymbol, GlobalSymbol) = default;

 private:
  // Interned symbols keep this bit clear (the table stops short of it).
  static constexpr std::uint32_t kLocalBit = std::uint32_t{1} << 31;

  std::uint32_t value_ = 0;
};

}  // namespace vantrel::egraph
