#pragma once
/// The distinct stage heads (member lists) met by stage fusion. Many stages repeat a member
/// list, so each list is spelled into a reused scratch buffer as label ids and argument words
/// and looked up among the lists met before; only a list not met before becomes a `Stage` key
/// (with its op texts) in the caller's head list.
#include <cstdint>
#include <vector>

#include "common/fault.hpp"
#include "common/hash.hpp"
#include "common/id_table.hpp"
#include "common/ragged.hpp"
#include "ir/node_key.hpp"

namespace vantrel {

class StageHeads {
 public:
  StageHeads() : seed_(process_hash_seed()) {}

  /// Starts the member list of the next stage.
  void begin() {
    words_.clear();
    members_ = 0;
  }
  /// Appends a member with this label id, whose `args` arguments follow through `arg`.
  void member(std::uint32_t label, std::uint64_t args) {
    if (args > kNoId) throw InternalFault("a stage member with too many arguments");
    words_.push_back(std::uint64_t{label} | args << 32);
    ++members_;
  }
  void arg(StageRef::Kind kind, std::uint32_t index) { words_.push_back(std::uint64_t{index} << 1 | kind); }

  /// The index in `heads` of the stage head spelled since `begin`; a list not met before is
  /// appended as a `Stage` without inputs, its member texts given by `text(label id)`.
  /// Equal labels stand for equal texts, so equal lists are equal heads; distinct labels are
  /// expected to have distinct texts (else two equal heads get two indices, which costs the
  /// store a lookup, nothing more).
  template <class Text>
  std::uint32_t intern(std::vector<NodeKey>& heads, Text&& text) {
    const std::uint64_t hash = hash_words();
    const std::uint32_t found = index_.find(hash, [&](std::uint32_t k) { return same_words(k); });
    if (found != kNoId) return head_of_[found];
    index_.insert(hash, head_of_.size());
    lists_.push(words_);
    head_of_.push_back(static_cast<std::uint32_t>(heads.size()));
    heads.push_back(spelled(text));
    return head_of_.back();
  }

 private:
  std::uint64_t hash_words() const;
  bool same_words(std::uint32_t k) const;
  template <class Text>
  NodeKey spelled(Text& text) const {
    Stage stage;
    stage.members.reserve(members_);
    for (std::size_t w = 0; w < words_.size();) {
      const std::uint64_t head = words_[w++];
      StageOp& op = stage.members.emplace_back(StageOp{text(static_cast<std::uint32_t>(head)), {}});
      const std::uint64_t args = head >> 32;
      op.args.reserve(args);
      for (std::uint64_t a = 0; a < args; ++a, ++w) {
        op.args.push_back(StageRef{static_cast<StageRef::Kind>(words_[w] & 1), words_[w] >> 1});
      }
    }
    return stage;
  }

  std::uint64_t seed_;
  std::uint64_t members_ = 0;           ///< members of the list being spelled
  std::vector<std::uint64_t> words_;    ///< the list being spelled: per member its header, then its args
  Ragged<std::uint64_t> lists_;         ///< the distinct lists
  std::vector<std::uint32_t> head_of_;  ///< per distinct list: its index in the caller's heads
  IdTable index_;
};

}  // namespace vantrel
