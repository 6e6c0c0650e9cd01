#pragma once
/// `Id`: the identifier of an e-class, dense from 0 in creation order.
#include <cstdint>

namespace vantrel::egraph {

using Id = std::uint32_t;

}  // namespace vantrel::egraph
