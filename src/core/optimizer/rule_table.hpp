#pragma once
/// The algebraic rules the system reduces by, written once. The rewrite engine builds its
/// rewrites from this table and the incremental reducer folds by it; the reducer's proof that
/// `finalize` may skip the engine pass rests on the two using the same rules.
#include <algorithm>
#include <array>
#include <string_view>

namespace vantrel {

/// Two-input ops whose operands may be swapped; the rules match them without parameters.
inline constexpr std::array<std::string_view, 8> kCommutativeOps = {"add", "mul", "and",     "or",
                                                                    "eq",  "ne",  "maximum", "minimum"};

/// x + 0 and x * 1 with the scalar on either side, matched against the whole op token. Only
/// these exact tokens match: a negative zero, an integer scalar or any extra parameter is
/// a different token.
inline constexpr std::array<std::string_view, 4> kIdentityTokens = {
    "op|add|scalar=f0000000000000000;side=sr",
    "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr",
    "op|mul|scalar=f3ff0000000000000;side=sl",
};

/// The prefix of every op token.
inline constexpr std::string_view kOpTokenPrefix = "op|";

inline bool is_commutative_op(std::string_view name) {
  return std::find(kCommutativeOps.begin(), kCommutativeOps.end(), name) != kCommutativeOps.end();
}

inline bool is_identity_token(std::string_view token) {
  return std::find(kIdentityTokens.begin(), kIdentityTokens.end(), token) != kIdentityTokens.end();
}

/// True for the token of a commutative op without parameters ("op|add", ...): what the
/// engine's commutativity rules match.
inline bool is_commutative_token(std::string_view token) {
  return token.starts_with(kOpTokenPrefix) && is_commutative_op(token.substr(kOpTokenPrefix.size()));
}

}  // namespace vantrel
