#pragma once
/// Node keys: the complete structural identity of an IR node. Two nodes are one node exactly
/// when their keys are equal field by field (inputs in order); the key's token is the label
/// under which the optimizer and the rewrite engine know the node (it never holds inputs).
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/node_id.hpp"
#include "common/small_vec.hpp"
#include "ir/param.hpp"

namespace vantrel {

/// Reproducibility metadata of an `External` node; all six fields are part of its identity.
struct PayloadDescriptor {
  std::string kind;
  std::string content_hash;
  std::string framework;
  std::string version;
  std::string io_schema;
  std::optional<std::string> preprocessing_ref;

  bool operator==(const PayloadDescriptor&) const = default;
};

/// One argument of a stage member: the stage's k-th input, or the result of an earlier member.
struct StageRef {
  enum Kind : std::uint8_t { Input = 0, Member = 1 };
  Kind kind;
  std::uint64_t index;
  bool operator==(const StageRef&) const = default;
};

/// A member's arguments: nearly every member takes one or two, kept inline, so a stage of
/// many members costs no allocation per member.
using StageArgs = SmallVec<StageRef, 2>;

/// One member operation of a `Stage`: its op token and its arguments.
struct StageOp {
  std::string op;
  StageArgs args;
  bool operator==(const StageOp&) const = default;
};

struct Source {
  std::string name;
  ParamMap params;
  bool operator==(const Source&) const = default;
};
struct Op {
  std::string name;
  ParamMap params;
  NodeIds inputs;
  bool operator==(const Op&) const = default;
};
struct Reduction {
  std::string name;
  ParamMap params;
  NodeIds inputs;
  bool operator==(const Reduction&) const = default;
};
struct External {
  /// Shared because it is immutable: copies of a key stay cheap and compact.
  std::shared_ptr<const PayloadDescriptor> descriptor;
  ParamMap params;
  NodeIds inputs;
  bool operator==(const External& o) const {
    return *descriptor == *o.descriptor && params == o.params && inputs == o.inputs;
  }
};
struct Stage {
  NodeIds inputs;
  std::vector<StageOp> members;
  bool operator==(const Stage&) const = default;
};
struct Exchange {
  ParamMap params;
  NodeIds inputs;
  bool operator==(const Exchange&) const = default;
};

class NodeKey {
 public:
  /// Variant order is the kind index used by hashing and the blob format.
  enum Kind : std::uint8_t { kSource = 0, kOp = 1, kReduction = 2, kExternal = 3, kStage = 4, kExchange = 5 };
  using Variant = std::variant<Source, Op, Reduction, External, Stage, Exchange>;

  NodeKey(Source v) : v_(std::move(v)) {}     // NOLINT(implicit)
  NodeKey(Op v) : v_(std::move(v)) {}         // NOLINT(implicit)
  NodeKey(Reduction v) : v_(std::move(v)) {}  // NOLINT(implicit)
  NodeKey(External v) : v_(std::move(v)) {}   // NOLINT(implicit)
  NodeKey(Stage v) : v_(std::move(v)) {}      // NOLINT(implicit)
  NodeKey(Exchange v) : v_(std::move(v)) {}   // NOLINT(implicit)

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  const Variant& variant() const { return v_; }
  template <class T>
  const T* get_if() const {
    return std::get_if<T>(&v_);
  }

  /// The input list (a stage's own inputs; empty for a source).
  std::span<const NodeId> inputs() const;
  /// The parameter map (empty for a stage).
  const ParamMap& params() const;
  /// The name of a source, op or reduction; empty otherwise.
  std::string_view name() const;

  /// A copy whose input list is replaced (a source is returned unchanged).
  NodeKey with_inputs(NodeIds inputs) const;
  /// Moves the input list out, leaving the key's "head": everything but its inputs.
  NodeIds take_inputs();

  std::string token() const;

  bool operator==(const NodeKey& other) const { return v_ == other.v_; }
  /// Hash of everything but the inputs: a node is filed by its head's id and its inputs
  /// (`hash_node`), its head by this.
  void hash_head_into(Hasher& h) const;

 private:
  Variant v_;
};

/// base, or base + "|" + params token when the map is not empty.
std::string with_params(std::string base, const ParamMap& params);

struct ParsedOpToken {
  std::string kind;  ///< "op" or "red"
  std::string name;
  ParamMap params;
};
/// Reverse of the token of an `Op` or `Reduction` key; nothing when malformed.
std::optional<ParsedOpToken> parse_op_token(std::string_view token);

}  // namespace vantrel
