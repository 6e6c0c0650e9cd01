#pragma once
/// A value or an error value. Expected failures (a refused node id, an undecodable blob)
/// are returned this way instead of being thrown, and the compiler insists that they are looked
/// at.
#include <utility>
#include <variant>

namespace vantrel {

template <class E>
struct Err {
  E error;
};
template <class E>
Err(E) -> Err<E>;

/// The value of a result that carries nothing but success.
using Ok = std::monostate;

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}         // NOLINT(implicit)
  Result(Err<E> err) : v_(std::in_place_index<1>, std::move(err.error)) {}  // NOLINT(implicit)

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const E& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

}  // namespace vantrel
