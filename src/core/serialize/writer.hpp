#pragma once
/// The blob writer. A blob is the canonical durable form of a store: the magic "VIR1", the
/// node count, every node record in id order, then the output ids in the order given. The
/// same store and output list give the same bytes in every process, because everything is
/// written from ordered sequences with fixed-width little-endian integers.
#include <optional>
#include <string>

#include "common/result.hpp"
#include "ir/param.hpp"
#include "serialize/errors.hpp"
#include "store/graph_store.hpp"

namespace vantrel {

/// Writes the store's nodes and exactly `outputs` (order and repetitions kept; the store's
/// marks are not consulted). The blob is measured, allocated once at its exact size, and
/// written (see `BlobPlan`); it shows the store as it was when measured. Refused, with
/// nothing written, when an output id is not below the node count (`UnknownOutput`, the first such id) or when a count,
/// text length or stage argument index does not fit the format's u32 fields (`TooLarge`).
Result<std::string, EncodeError> serialize_with(const GraphStore& store, const NodeIds& outputs);

/// Writes the store with its own marks as outputs, nodes and marks taken in one lock hold.
Result<std::string, EncodeError> serialize_marked(const GraphStore& store);

/// A blob measured but not yet written: it covers nodes 0..node_count-1 and these outputs,
/// and takes exactly `size` bytes. Planning and writing are two holds of the store lock with
/// the caller's allocation between them; since interned nodes never change, the written
/// bytes show the store as it was when the plan was made.
struct BlobPlan {
  std::uint64_t node_count;
  NodeIds outputs;
  std::size_t size;
};

/// Measures the blob of the whole store with `outputs`; refused as `serialize_with` is.
Result<BlobPlan, EncodeError> plan_blob(const GraphStore& store, NodeIds outputs);
/// Measures the blob of the whole store with its marks as outputs (one lock hold).
Result<BlobPlan, EncodeError> plan_blob_marked(const GraphStore& store);
/// Writes exactly `plan.size` bytes to `dest`. `plan` must come from this store.
void write_blob(const GraphStore& store, const BlobPlan& plan, char* dest);

/// Appends PARAMS: a u32 entry count, then per entry in map order the key TEXT, a value tag
/// byte and its payload. On `TooLarge` nothing is appended.
[[nodiscard]] std::optional<EncodeError> put_params(std::string& out, const ParamMap& params);

}  // namespace vantrel
