#pragma once
/// The blob reader. Any byte string gives either a new store or one `DecodeError`: fields
/// are read strictly in format order, every read is bounds-checked against the remaining
/// bytes, and the first failing read decides the error. Counts read from the data never
/// reserve more storage than the remaining bytes could fill. Bytes after the outputs are
/// ignored.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "ir/head_view.hpp"
#include "ir/node_key.hpp"
#include "ir/param.hpp"
#include "serialize/errors.hpp"
#include "store/graph_store.hpp"

namespace vantrel {

/// A cursor over blob bytes. Each read advances past what it consumed; a failed read leaves
/// the position unspecified (decoding stops at the first failure anyway).
class Reader {
 public:
  explicit Reader(std::string_view data) : data_(data) {}

  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return data_.size() - pos_; }

  Result<std::uint8_t, DecodeError> u8();
  Result<std::uint32_t, DecodeError> u32();
  Result<std::uint64_t, DecodeError> u64();

  /// TEXT: a u32 length and that many bytes of strict UTF-8 (`Truncated`, `BadUtf8`).
  Result<std::string, DecodeError> string();
  /// The same, as a view into the blob.
  Result<std::string_view, DecodeError> text();
  /// PARAMS, sorted stably by key as any map is (`Truncated`, `BadUtf8`, `BadTag` "param").
  Result<ParamMap, DecodeError> params();
  /// The same checks, the entries read as views into the blob, in blob order (unsorted).
  Result<Ok, DecodeError> param_views(std::vector<ParamEntryView>& out);
  /// IDS; every id must be below `limit`, else `BadRef` with the first id that is not.
  Result<NodeIds, DecodeError> inputs(std::uint64_t limit);
  /// The same checks, read into `out` (replacing what it held).
  Result<Ok, DecodeError> inputs_into(std::uint64_t limit, NodeIds& out);

 private:
  std::string_view data_;
  std::size_t pos_ = 0;
};

/// Reads a blob into a new store through `intern` and `mark_output`, so node k of the blob
/// gets id k (unless the blob repeats a node) and the outputs are marked in blob order.
///
/// Beyond the format's own checks, a stage member's `Input` argument must name one of the
/// stage's inputs (`BadRef` with the index otherwise): a stage whose member reads an input it
/// does not have could not be evaluated, and the writer never produces one.
Result<std::unique_ptr<GraphStore>, DecodeError> deserialize(std::string_view bytes);

}  // namespace vantrel
