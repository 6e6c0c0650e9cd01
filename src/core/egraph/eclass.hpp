#pragma once
/// `EClass`: one equivalence class of e-nodes.
#include "common/small_vec.hpp"
#include "egraph/symbol_lang.hpp"

namespace vantrel::egraph {

struct EClass {
  /// The canonical id.
  Id id = 0;
  /// After a rebuild: children canonical, sorted in e-node order, no duplicates.
  SmallVec<SymbolLang, 2> enodes;
  /// The e-nodes that have this class among their children. Each entry is the id an e-node
  /// was added under; the pair it stands for is (`EGraph::added(entry)`, entry). Entries are
  /// appended and never removed, so stale and repeated ones are expected.
  SmallVec<Id, 2> users;
};

}  // namespace vantrel::egraph
