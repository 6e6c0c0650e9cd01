#pragma once
/// `EGraph`: terms with a proven equivalence between them, kept closed under congruence.
/// `add` and `union_` only queue work and clear `clean`; `rebuild` restores every invariant in
/// one pass. Iteration order over classes depends only on the history of operations, never
/// on a per-process seed.
#include <optional>
#include <vector>

#include "common/prefetch.hpp"
#include "egraph/eclass.hpp"
#include "egraph/hashcons.hpp"
#include "egraph/union_find.hpp"

namespace vantrel::egraph {

class EGraph {
 public:
  EGraph() = default;

  /// Inserts an e-node whose children are ids of this e-graph; returns an id of its class
  /// (the existing one if an equal e-node is known). Not necessarily canonical.
  Id add(SymbolLang enode);

  /// Loads `enodes` into an empty e-graph as `add` called on each in order would, when no two
  /// of them are equal: e-node i gets id i (its children are the ids of earlier ones). The
  /// hash-cons is filled in one pass, in table order, rather than one random probe per
  /// e-node. When two are equal, nothing is added and the answer is false (load them with
  /// `add_all` instead). On success `enodes` is left empty: the e-graph takes over the list
  /// and its capacity (reserve room for the e-nodes the rules will add); otherwise it is
  /// untouched. A child that is not an earlier e-node is an internal fault.
  bool add_all_distinct(std::vector<SymbolLang>& enodes);

  /// Loads `enodes` (children are positions of earlier e-nodes) into an empty e-graph as
  /// `add` called on each in order would, with each child replaced by the id its e-node got,
  /// and returns the id of each: an e-node equal to an earlier one gets that one's id, and
  /// the others get 0, 1, 2, ... in order. One probe per e-node; `enodes` is left empty, the
  /// e-graph taking over the list and its capacity. A child that is not an earlier e-node is
  /// an internal fault, found when its e-node is reached (the e-graph is then unusable).
  std::vector<Id> add_all(std::vector<SymbolLang>& enodes);

  /// Makes room for `n` e-nodes and classes, so that loading a graph of known size does not
  /// reallocate and copy its tables while it grows.
  void reserve(std::size_t n);

  /// Hands over the (empty) list of added e-nodes with the room `reserve` made for it, for a
  /// loader that fills it and passes it to `add_all_distinct`, which takes it back: its pages
  /// are brought in once, not once here and again for the loader's own list.
  std::vector<SymbolLang> take_enode_room();

  /// A hint that `add(enode)` follows soon: starts fetching the hash-cons slot it probes.
  /// `enode`'s children must already be canonical for the hint to be of use.
  void prefetch_add(const SymbolLang& enode) const { hashcons_.prefetch(enode); }

  Id find(Id id) const { return unionfind_.find(id); }
  /// A hint that `find(id)` follows soon.
  void prefetch_find(Id id) const { unionfind_.prefetch(id); }
  Id find_compress(Id id) { return unionfind_.find_compress(id); }

  /// Merges the classes of `id1` and `id2`; true when they were different. The class with
  /// more `users` entries survives; on a tie the class of `id1`.
  bool union_(Id id1, Id id2);

  /// Restores congruence closure and canonical, sorted, duplicate-free class node lists.
  /// Returns the number of merges congruence caused.
  std::size_t rebuild();

  /// The canonical id of the class holding `enode` (children canonicalized first), if any.
  std::optional<Id> lookup(SymbolLang enode) const;

  /// The class of `find(id)`; an unknown id is an internal fault.
  const EClass& operator[](Id id) const;

  /// Calls `f(const EClass&)` for every class, in table order.
  template <class F>
  void for_each_class(F&& f) const {
    for (const EClass& c : classes_) {
      if (live(c)) f(c);
    }
  }

  /// Ids of the classes holding an e-node of the (single) operator kind, as of the last
  /// rebuild; this is every class (the language has one kind). The name is the one the
  /// e-graph's design gives this list. E-matching takes its candidates from here.
  const std::vector<Id>& classes_by_kind() const { return by_kind_; }

  /// Keeps, from now on, the list of classes that hold an e-node with `symbol` (in
  /// `classes_by_kind` order). E-matching uses it to visit only the classes that can match a
  /// pattern rooted at that symbol; the result is the same as visiting every class.
  void watch_symbol(GlobalSymbol symbol);
  /// The list kept for a watched symbol, or null.
  const std::vector<Id>* classes_with_symbol(GlobalSymbol symbol) const;

  /// The class of an id that is canonical (e.g. taken from `classes_by_kind` of a clean
  /// e-graph); no `find`.
  const EClass& canonical_class(Id id) const {
    if (id >= classes_.size()) throw InternalFault("e-class id out of range");
    return classes_[id];
  }

  /// A hint that the class of canonical `id` is about to be read.
  void prefetch_class(Id id) const {
    if (id < classes_.size()) prefetch_line(&classes_[id]);
  }
  /// A hint that the e-nodes of canonical `id` are about to be read, once its class is in the
  /// caches: fetches the list when it has outgrown the class and lies on the heap.
  void prefetch_class_nodes(Id id) const {
    if (id < classes_.size() && classes_[id].enodes.size() > 2) prefetch_line(classes_[id].enodes.data());
  }

  /// The e-node as it was added under `id` (its children may have been canonicalized since);
  /// this is the e-node half of a `users` or repair pair.
  const SymbolLang& added(Id id) const { return added_[id]; }

  /// Hash-cons entries, outdated keys included.
  std::size_t enode_count() const { return hashcons_.size(); }
  std::size_t class_count() const { return class_count_; }
  /// Number of ids ever created.
  std::size_t id_count() const { return unionfind_.size(); }
  /// Tells this e-graph apart from every other one made in this process.
  std::uint64_t identity() const { return identity_; }
  /// Changes whenever an e-node or a merge is added: two equal versions of one clean e-graph
  /// mean the same classes with the same lists, so every search finds the same matches.
  std::uint64_t version() const {
    return (std::uint64_t{static_cast<std::uint32_t>(unionfind_.size())} << 32) | merges_;
  }
  bool clean() const { return clean_; }

 private:
  bool live(const EClass& c) const { return !c.enodes.empty(); }
  static std::uint32_t watch_slot(GlobalSymbol s) { return (s.value() * 0x9e3779b9u) >> 26; }
  void note_watched(const EClass& c);
  /// The class pass after a merge: canonicalizes, sorts and dedupes the lists of the classes
  /// that may have changed, and brings `by_kind_` and the watched lists up to date.
  void class_pass_after_merges();
  bool is_root(Id id) const { return unionfind_.find(id) == id; }
  void note_watched_symbol(GlobalSymbol s, Id id);
  /// The class of a new e-node with canonical children, added under `id`: entered in its
  /// children's `users`, queued for repair, all but the e-node's entry in `added_`.
  void open_class(Id id, const SymbolLang& enode);
  /// Opens the class of each of `enodes` (distinct, in the hash-cons already) under ids 0,
  /// 1, 2, ... and takes the list over as the added e-nodes.
  void open_classes(std::vector<SymbolLang>& enodes);
  void canonicalize_children(SymbolLang& n) {
    for (Id& c : n.children) c = unionfind_.find_compress(c);
  }

  static std::uint64_t next_identity();

  std::uint64_t identity_ = next_identity();
  UnionFind unionfind_;
  HashCons hashcons_;
  // Every pair (e-node, id) that enters a `users` or the repair list is an e-node as added
  // together with the id it created, so both lists store just that id.
  std::vector<SymbolLang> added_;
  // A repair entry pushed by `add` carries the merge count at that moment (plus one; 0 marks
  // the entries pushed by a merge). While no merge has happened since, the e-node's children
  // are still canonical and the hash-cons still maps it to its own id, so repairing it would
  // change nothing and it is skipped: a fresh graph's first rebuild costs no probe per e-node.
  // Per id: another id has since been stored as the value of the key this id last stored.
  std::vector<std::uint8_t> replaced_;
  struct Repair {
    Id id;
    std::uint32_t epoch;
  };
  std::vector<Repair> repair_list_;  // processed last-in first-out
  std::uint32_t merges_ = 0;         // successful unions so far (fewer than ids)
  // The blocks of the classes' users lists that outgrew their inline room.
  BlockPool user_blocks_;
  // Indexed by id; only canonical ids hold a live (non-empty) class. Table order is id order.
  std::vector<EClass> classes_;
  std::vector<Id> by_kind_;
  // Watched symbols and their class lists. `watch_index_` maps a symbol's 6-bit slot to the
  // one watched symbol with that slot (its index plus one), 0 when there is none and
  // kSharedSlot when several share it: the class pass settles almost every e-node with one
  // load and one compare.
  static constexpr std::uint8_t kSharedSlot = 0xff;
  std::vector<std::pair<GlobalSymbol, std::vector<Id>>> watched_;
  std::uint8_t watch_index_[64] = {};
  // A rebuild after which no classes merged only needs to list the classes created since
  // the last class pass: every other class is unchanged and still canonical.
  bool merged_since_pass_ = false;
  // Since the last class pass: each merge's surviving class, and each e-node a merge queued
  // for repair (by id). Their classes are the ones the next pass visits.
  std::vector<Id> touched_;
  std::vector<std::uint8_t> in_pass_;  // scratch of the pass, by class id
  std::size_t ids_at_pass_ = 0;
  std::size_t class_count_ = 0;
  bool clean_ = false;
};

}  // namespace vantrel::egraph
