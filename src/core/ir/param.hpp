#pragma once
/// Parameter values and maps: the named scalars every node carries, with equality by
/// canonical float bits, hashing that agrees with it, and the canonical text token that node
/// tokens embed and that `ParamMap::from_token` reads back.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/hash.hpp"

namespace vantrel {

/// The 64-bit pattern of a float, with every NaN folded to 0x7ff8000000000000.
std::uint64_t canonical_bits(double x);

struct ParamValueView;

class ParamValue {
 public:
  /// Variant order is the value kind index used by hashing and the blob format.
  enum Kind : std::uint8_t { Int = 0, Float = 1, Bool = 2, Str = 3 };

  static ParamValue of_int(std::int64_t v) { return ParamValue(Storage(std::in_place_index<Int>, v)); }
  static ParamValue of_float(double v) { return ParamValue(Storage(std::in_place_index<Float>, v)); }
  static ParamValue of_bool(bool v) { return ParamValue(Storage(std::in_place_index<Bool>, v)); }
  static ParamValue of_str(std::string v) { return ParamValue(Storage(std::in_place_index<Str>, std::move(v))); }

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  std::int64_t as_int() const { return std::get<Int>(v_); }
  double as_float() const { return std::get<Float>(v_); }
  bool as_bool() const { return std::get<Bool>(v_); }
  const std::string& as_str() const { return std::get<Str>(v_); }
  /// The value as a view, the form that each operation below reads: one switch over the
  /// value kinds per operation serves owned and borrowed values alike.
  ParamValueView view() const;

  bool operator==(const ParamValue& other) const;
  void hash_into(Hasher& h) const;

  /// "i42", "f3ff0000000000000", "btrue", "s" + escaped text.
  std::string token() const;
  /// Human-readable form: decimal ints, shortest round-trip floats without exponent, quoted
  /// and escaped strings.
  std::string display() const;

 private:
  using Storage = std::variant<std::int64_t, double, bool, std::string>;
  explicit ParamValue(Storage v) : v_(std::move(v)) {}
  Storage v_;
};

/// A borrowed parameter value: the owned value's view, or a value read in place (from a
/// Python object, an encoded head, a blob) that only becomes owned when it must be kept.
struct ParamValueView {
  ParamValue::Kind kind = ParamValue::Int;
  std::int64_t i = 0;
  double f = 0;
  bool b = false;
  std::string_view s;

  ParamValue to_value() const;
  /// The text of `ParamValue::display`.
  std::string display() const;
};

inline ParamValueView ParamValue::view() const {
  ParamValueView v;
  v.kind = kind();
  switch (v.kind) {
    case Int: v.i = as_int(); break;
    case Float: v.f = as_float(); break;
    case Bool: v.b = as_bool(); break;
    case Str: v.s = as_str(); break;
  }
  return v;
}

struct ParamEntry {
  std::string key;
  ParamValue value;
  bool operator==(const ParamEntry& other) const = default;
};

struct ParamEntryView {
  std::string_view key;
  ParamValueView value;
};

/// Maps of up to this many entries are sorted by insertion: nearly every map has a handful,
/// where insertion beats `std::stable_sort`, which also allocates a buffer; past it the
/// quadratic worst case would cost more than that buffer.
inline constexpr std::size_t kInsertionSortMax = 16;

/// Sorts entries (`ParamEntry` or `ParamEntryView`) stably by key bytes: the order of a map.
template <class Entry>
void sort_by_key(std::span<Entry> e) {
  // Keys compare as unsigned bytes, a shorter prefix first: the key order of a map.
  auto less = [](const Entry& a, const Entry& b) { return a.key < b.key; };
  if (e.size() > kInsertionSortMax) {
    std::stable_sort(e.begin(), e.end(), less);
    return;
  }
  for (std::size_t i = 1; i < e.size(); ++i) {
    if (!less(e[i], e[i - 1])) continue;
    Entry moving = std::move(e[i]);
    std::size_t j = i;
    for (; j > 0 && less(moving, e[j - 1]); --j) e[j] = std::move(e[j - 1]);
    e[j] = std::move(moving);
  }
}

/// Entries sorted by key bytes (stable, duplicates kept in their given order).
class ParamMap {
 public:
  ParamMap() = default;
  /// Builds a map from entries in any order, sorting them stably by key.
  static ParamMap make(std::vector<ParamEntry> entries);
  /// Reads a map token; no map when the text is not a well-formed token.
  static std::optional<ParamMap> from_token(std::string_view text);

  const std::vector<ParamEntry>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }
  std::size_t size() const { return entries_.size(); }

  bool operator==(const ParamMap& other) const { return entries_ == other.entries_; }
  void hash_into(Hasher& h) const;

  /// Entries as escaped key + "=" + value token, joined with ";" ("" when empty).
  std::string token() const;
  void append_token(std::string& out) const;
  /// "{k=2, mode="fast"}"; "{}" when empty.
  std::string display() const;

 private:
  std::vector<ParamEntry> entries_;
};

/// Escapes "%", ";", "=", "|" (in that order) as "%25", "%3B", "%3D", "%7C".
std::string escape_token(std::string_view text);
void append_escaped(std::string& out, std::string_view text);
/// Reverses `escape_token`; any other "%" sequence is kept literally.
std::string unescape_token(std::string_view text);

/// Shortest round-trip decimal text of a float, never in exponent form.
std::string display_float(double x);
/// A text quoted the way the Display form of a string value writes it.
std::string quote_display(std::string_view text);

}  // namespace vantrel
