#include "egraph/egraph.hpp"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <optional>
#include <utility>

#include "common/fault.hpp"
#include "common/page_in.hpp"

namespace vantrel::egraph {
namespace {

/// Classes (or e-nodes) from which the tables a pass reads at random outgrow the caches (8 MiB
/// of classes alone, with the hash-cons and union-find beside them). Below that, fetching
/// ahead has little to hide and its hints cost more than they save: loading a graph of 10^5
/// e-nodes with equal ones among them costs about 77 ns an e-node with them, 54 without; at
/// 3 x 10^5, 86 with them, 99 without.
constexpr std::size_t kFetchWorthIt = std::size_t{1} << 17;

// Keeps the longer list and appends the shorter one (the survivor's list first on a tie), so
// a merge moves the smaller half.
template <class T, std::uint32_t N>
void concat(SmallVec<T, N>& survivor, SmallVec<T, N>& other) {
  if (other.size() > survivor.size()) {
    other.append_moved(survivor);
    survivor = std::move(other);
  } else {
    survivor.append_moved(other);
  }
}

}  // namespace

std::uint64_t EGraph::next_identity() {
  static std::atomic<std::uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

Id EGraph::add(SymbolLang enode) {
  canonicalize_children(enode);
  Id id = 0;
  if (auto known = hashcons_.get_or_insert(enode, [&] { return id = unionfind_.make_set(); })) return *known;

  open_class(id, enode);
  added_.push_back(std::move(enode));
  return id;
}

void EGraph::open_class(Id id, const SymbolLang& enode) {
  for (Id child : enode.children) classes_[child].users.push_back(id, user_blocks_);
  // Built where it stays: an e-class is a cache line, and moving one in costs as much again.
  EClass& cls = classes_.emplace_back();
  cls.id = id;
  cls.enodes.push_back(enode);
  replaced_.push_back(0);
  repair_list_.push_back(Repair{id, merges_ + 1});
  ++class_count_;
  clean_ = false;
}

bool EGraph::add_all_distinct(std::vector<SymbolLang>& enodes) {
  if (unionfind_.size() != 0) throw InternalFault("add_all_distinct needs an empty e-graph");
  if (enodes.size() >= kNoId) throw InternalFault("e-graph id space exhausted");
  // (Children that are not earlier e-nodes are found while the keys are hashed.)
  if (!hashcons_.insert_all_distinct(enodes)) return false;
  open_classes(enodes);
  return true;
}

std::vector<Id> EGraph::add_all(std::vector<SymbolLang>& enodes) {
  if (unionfind_.size() != 0) throw InternalFault("add_all needs an empty e-graph");
  if (enodes.size() >= kNoId) throw InternalFault("e-graph id space exhausted");
  const std::size_t n = enodes.size();
  hashcons_.reserve(n);
  std::vector<Id> first = paged_list<Id>(n);
  // A child read from far back has its id out of the caches, and every slot is met at
  // random: the ids of e-node i + 2d's children are fetched first, then at i + d its slot,
  // under the children it will most likely have (those not settled yet are taken to be new,
  // as all but a few are). A wrong guess costs one wasted fetch.
  constexpr std::uint32_t kMaxGuessed = 4;
  auto fetch_slot = [&](std::size_t j, std::size_t kept, std::size_t i) {
    const SymbolLang& e = enodes[j];
    const std::uint32_t count = e.children.size();
    if (count > kMaxGuessed) return;
    Id guess[kMaxGuessed];
    for (std::uint32_t k = 0; k < count; ++k) {
      const Id c = e.children[k];
      guess[k] = c < i ? first[c] : static_cast<Id>(kept + (c - i));
    }
    hashcons_.prefetch(hash_enode(e.symbol.value(), guess, count));
  };
  const bool fetch = n >= kFetchWorthIt;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (fetch && i + 2 * kFetchAhead < n) {
      for (Id c : enodes[i + 2 * kFetchAhead].children) {
        if (c < i) prefetch_line(&first[c]);
      }
    }
    if (fetch && i + kFetchAhead < n) fetch_slot(i + kFetchAhead, kept, i);
    SymbolLang& e = enodes[i];
    for (Id& c : e.children) {
      if (c >= i) throw InternalFault("add_all: a child is not an earlier e-node");
      c = first[c];
    }
    const std::optional<Id> found = hashcons_.get_or_insert(e, [&] { return static_cast<Id>(kept); });
    if (found) {
      first[i] = *found;
      continue;
    }
    if (kept != i) enodes[kept] = std::move(e);
    first[i] = static_cast<Id>(kept++);
  }
  enodes.erase(enodes.begin() + static_cast<std::ptrdiff_t>(kept), enodes.end());
  open_classes(enodes);
  return first;
}

void EGraph::open_classes(std::vector<SymbolLang>& enodes) {
  // What `add` does for a new e-node, in the same order; no merge has happened, so every
  // child is its own root. A child read from far back has its class out of the caches:
  // fetched a few e-nodes ahead.
  const std::size_t n = enodes.size();
  const bool fetch = n >= kFetchWorthIt;
  for (std::size_t i = 0; i < n; ++i) {
    if (fetch && i + kFetchAhead < n) {
      for (Id c : enodes[i + kFetchAhead].children) {
        if (c < i) prefetch_line(&classes_[c]);
      }
    }
    open_class(unionfind_.make_set(), enodes[i]);
  }
  // The e-nodes as added, in id order, are the list itself: it is taken over whole (with its
  // capacity), not copied.
  added_ = std::move(enodes);
  enodes.clear();
}

void EGraph::reserve(std::size_t n) {
  // Loading fills these front to back: one call per list brings its pages in, rather than
  // a fault per page.
  unionfind_.reserve(n);
  hashcons_.reserve(n);
  reserve_paged(added_, n);
  reserve_paged(replaced_, n);
  reserve_paged(classes_, n);
  reserve_paged(repair_list_, n);
  reserve_paged(by_kind_, n);
}

std::vector<SymbolLang> EGraph::take_enode_room() {
  if (!added_.empty()) throw InternalFault("take_enode_room needs an empty e-graph");
  return std::exchange(added_, {});
}

bool EGraph::union_(Id id1, Id id2) {
  clean_ = false;
  Id r1 = unionfind_.find_compress(id1);
  Id r2 = unionfind_.find_compress(id2);
  if (r1 == r2) return false;
  if (classes_[r1].users.size() < classes_[r2].users.size()) std::swap(r1, r2);

  unionfind_.set_parent(r2, r1);
  touched_.push_back(r1);
  EClass& keep = classes_[r1];
  EClass& gone = classes_[r2];
  repair_list_.reserve(repair_list_.size() + gone.users.size());
  for (Id u : gone.users) repair_list_.push_back(Repair{u, 0});
  concat(keep.enodes, gone.enodes);
  keep.users.take_all(gone.users, user_blocks_);
  --class_count_;
  ++merges_;
  merged_since_pass_ = true;
  return true;
}

std::size_t EGraph::rebuild() {
  std::size_t merges = 0;
  // Entries queued by merges name e-nodes all over the table, whose children and hash-cons
  // slots lie anywhere too: an entry's e-node is fetched three steps ahead, its children's
  // union-find entries two, and one step ahead, the slot it will probe under the roots its
  // children have then (when it will probe at all). Entries queued meanwhile only make a
  // hint miss. In an e-graph whose classes fit in the caches the finds and hashes of the
  // hints would only add to its rebuild (about a tenth at 10^4).
  const bool fetch = classes_.size() >= kFetchWorthIt;
  auto ahead = [&](std::size_t steps) -> const Repair* {
    return fetch && repair_list_.size() > steps ? &repair_list_[repair_list_.size() - 1 - steps] : nullptr;
  };
  // An e-node with more children than this (rare: nearly all have one or two) is not fetched
  // ahead, so that the roots of its children fit a small array on the stack.
  constexpr std::uint32_t kMaxFetched = 4;
  while (!repair_list_.empty()) {
    if (const Repair* e = ahead(3 * kFetchAhead)) prefetch_line(&added_[e->id]);
    if (const Repair* e = ahead(2 * kFetchAhead); e != nullptr && e->epoch != merges_ + 1) {
      for (Id c : added_[e->id].children) unionfind_.prefetch(c);
    }
    if (const Repair* e = ahead(kFetchAhead); e != nullptr && e->epoch != merges_ + 1) {
      const SymbolLang& n = added_[e->id];
      const std::uint32_t count = n.children.size();
      if (count <= kMaxFetched) {
        Id roots[kMaxFetched];
        bool moved = false;
        for (std::uint32_t k = 0; k < count; ++k) {
          roots[k] = unionfind_.find(n.children[k]);
          moved |= roots[k] != n.children[k];
        }
        if (moved || replaced_[e->id]) hashcons_.prefetch(hash_enode(n.symbol.value(), roots, count));
      }
    }
    const Repair r = repair_list_.back();
    repair_list_.pop_back();
    if (r.epoch == merges_ + 1) continue;
    const Id id = r.id;
    // Queued by a merge: a child of this e-node may have merged away, so the class holding
    // its copy needs the class pass.
    if (r.epoch == 0) touched_.push_back(id);
    // The stored e-node is only ever read canonicalized, so updating it in place is safe
    // and saves a copy per repair.
    SymbolLang& node = added_[id];
    // `node` is the key last stored for `id`. When no child changes and no other id has
    // replaced `id` as that key's value since, re-inserting it would find `id` itself and
    // change nothing: the probe is skipped.
    bool changed = false;
    for (Id& c : node.children) {
      const Id root = unionfind_.find_compress(c);
      changed |= root != c;
      c = root;
    }
    if (!changed && !replaced_[id]) continue;
    replaced_[id] = 0;
    if (auto old = hashcons_.insert(node, id)) {
      if (*old != id) replaced_[*old] = 1;
      if (union_(*old, id)) ++merges;
    }
  }

  if (merged_since_pass_) {
    class_pass_after_merges();
  } else {
    // No merge since the last pass: the old classes are as that pass left them, and the new
    // ones hold one e-node each, added with canonical children. Their ids are the largest,
    // so appending keeps table order.
    // Its one e-node is the one added under its id: the symbol is read from the list of
    // added e-nodes, a quarter of the memory of the class table.
    for (std::size_t id = ids_at_pass_; id < classes_.size(); ++id) {
      by_kind_.push_back(static_cast<Id>(id));
      if (!watched_.empty()) note_watched_symbol(added_[id].symbol, static_cast<Id>(id));
    }
  }
  merged_since_pass_ = false;
  ids_at_pass_ = classes_.size();
  clean_ = true;
  return merges;
}

void EGraph::class_pass_after_merges() {
  // Only two kinds of class can hold a list that is not canonical, sorted and free of
  // duplicates: one that took in another class's e-nodes (each survivor of a merge), and one
  // holding an e-node with a child whose class merged away. Every such e-node was queued for
  // repair by that merge, since a class's `users` lists every e-node with a child in it, so
  // the class of each repaired e-node is the other kind. Classes created since the last pass
  // are new to the lists. Every other class is as the last pass left it and is not visited.
  // Marked by class, then listed in table order by one scan of the marks, which costs less
  // than sorting the (often long, repetitive) record of touched ids.
  in_pass_.assign(classes_.size(), 0);
  for (Id id : touched_) in_pass_[unionfind_.find(id)] = 1;
  touched_.clear();
  for (std::size_t id = ids_at_pass_; id < classes_.size(); ++id) {
    if (is_root(static_cast<Id>(id))) in_pass_[id] = 1;
  }
  std::vector<Id>& pass = touched_;
  for (std::size_t id = 0; id < in_pass_.size(); ++id) {
    if (in_pass_[id]) pass.push_back(static_cast<Id>(id));
  }

  // A visited class may have gained a watched symbol: its entries in the watched lists are
  // dropped here and noted again as it is visited, while its line is in the cache; the notes
  // are merged into the kept entries afterwards.
  std::vector<std::vector<Id>> kept(watched_.size());
  for (std::size_t w = 0; w < watched_.size(); ++w) {
    std::vector<Id>& ids = watched_[w].second;
    std::erase_if(ids, [&](Id id) { return !is_root(id) || in_pass_[id]; });
    kept[w].swap(ids);
  }

  for (std::size_t k = 0; k < pass.size(); ++k) {
    if (k + kFetchAhead < pass.size()) prefetch_class(pass[k + kFetchAhead]);
    EClass& c = classes_[pass[k]];
    for (SymbolLang& n : c.enodes) canonicalize_children(n);
    if (c.enodes.size() == 2) {
      // The usual case after a merge (one e-node met another): what sort and unique do, inline.
      if (c.enodes[1] < c.enodes[0]) std::swap(c.enodes[0], c.enodes[1]);
      if (c.enodes[0] == c.enodes[1]) c.enodes.truncate(c.enodes.begin() + 1);
    } else if (c.enodes.size() > 2) {
      std::sort(c.enodes.begin(), c.enodes.end());
      c.enodes.truncate(std::unique(c.enodes.begin(), c.enodes.end()));
    }
    note_watched(c);
  }

  // The lists stay in table order: the old entries that are still classes (every id in them
  // is below the new ones), then the new classes.
  std::erase_if(by_kind_, [&](Id id) { return !is_root(id); });
  for (std::size_t id = ids_at_pass_; id < classes_.size(); ++id) {
    if (is_root(static_cast<Id>(id))) by_kind_.push_back(static_cast<Id>(id));
  }
  for (std::size_t w = 0; w < watched_.size(); ++w) {
    std::vector<Id>& ids = watched_[w].second;
    std::vector<Id> merged;
    merged.reserve(kept[w].size() + ids.size());
    std::merge(kept[w].begin(), kept[w].end(), ids.begin(), ids.end(), std::back_inserter(merged));
    ids.swap(merged);
  }
  pass.clear();
}

void EGraph::note_watched_symbol(GlobalSymbol s, Id id) {
  const std::uint8_t e = watch_index_[watch_slot(s)];
  if (e == 0) return;
  if (e != kSharedSlot) {
    auto& [sym, ids] = watched_[e - 1];
    if (sym == s) ids.push_back(id);
    return;
  }
  for (auto& [sym, ids] : watched_) {
    if (sym == s) ids.push_back(id);
  }
}

void EGraph::note_watched(const EClass& c) {
  if (watched_.empty()) return;
  const SymbolLang* n = c.enodes.begin();
  const SymbolLang* end = c.enodes.end();
  if (n == end) return;
  GlobalSymbol last = n->symbol;
  note_watched_symbol(last, c.id);
  for (++n; n != end; ++n) {
    if (n->symbol == last) continue;  // sorted: one entry per run of a symbol
    last = n->symbol;
    note_watched_symbol(last, c.id);
  }
}

void EGraph::watch_symbol(GlobalSymbol symbol) {
  if (classes_with_symbol(symbol) != nullptr) return;
  std::vector<Id> ids;
  for (Id id : by_kind_) {
    const auto& nodes = classes_[id].enodes;
    if (std::any_of(nodes.begin(), nodes.end(), [&](const SymbolLang& n) { return n.symbol == symbol; }))
      ids.push_back(id);
  }
  watched_.emplace_back(symbol, std::move(ids));
  std::uint8_t& e = watch_index_[watch_slot(symbol)];
  e = e == 0 && watched_.size() < kSharedSlot ? static_cast<std::uint8_t>(watched_.size()) : kSharedSlot;
}

const std::vector<Id>* EGraph::classes_with_symbol(GlobalSymbol symbol) const {
  for (const auto& [sym, ids] : watched_) {
    if (sym == symbol) return &ids;
  }
  return nullptr;
}

std::optional<Id> EGraph::lookup(SymbolLang enode) const {
  for (Id& c : enode.children) c = unionfind_.find(c);
  auto id = hashcons_.get(enode);
  if (!id) return std::nullopt;
  return unionfind_.find(*id);
}

const EClass& EGraph::operator[](Id id) const {
  const EClass& c = classes_[unionfind_.find(id)];
  if (!live(c)) throw InternalFault("e-class missing for a canonical id");
  return c;
}

}  // namespace vantrel::egraph
