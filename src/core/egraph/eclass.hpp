#pragma once
/// `EClass`: one equivalence class of e-nodes.
#include "common/small_vec.hpp"
#include "egraph/symbol_lang.hpp"
#include "egraph/user_list.hpp"

namespace vantrel::egraph {

// Aligned so that the class pass and e-matching, which walk classes by the million, touch one
// cache line per class.
struct alignas(64) EClass {
  /// The canonical id.
  Id id = 0;
  /// After a rebuild: children canonical, sorted in e-node order, no duplicates.
  SmallVec<SymbolLang, 2> enodes;
  /// The e-nodes that have this class among their children. Each entry is the id an e-node
  /// was added under; the pair it stands for is (`EGraph::added(entry)`, entry). Entries are
  /// appended and never removed, so stale and repeated ones are expected.
  UserList users;
};

static_assert(sizeof(SymbolLang) == 16 && sizeof(EClass) == 64, "an e-class should fill one cache line");

}  // namespace vantrel::egraph
