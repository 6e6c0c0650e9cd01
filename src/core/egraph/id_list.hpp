#pragma once
/// `IdList`: the children of an e-node. Up to two ids live inline, so the common e-node (no,
/// one or two children) costs no allocation.
#include "common/small_vec.hpp"
#include "egraph/id.hpp"

namespace vantrel::egraph {

using IdList = SmallVec<Id, 2>;

}  // namespace vantrel::egraph
