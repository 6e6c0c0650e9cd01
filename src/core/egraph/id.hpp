#pragma once
/// `Id`: the identifier of an e-class, dense from 0 in creation order. It is a type of its own,
/// not a `NodeId`: the e-graph makes and merges classes, and one class may stand for many
/// nodes. It shares the 32-bit width of every dense id, and its sentinel, `kNoId`.
#include <cstdint>

#include "common/node_id.hpp"

namespace vantrel::egraph {

using Id = std::uint32_t;

}  // namespace vantrel::egraph
