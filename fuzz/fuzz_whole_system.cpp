// Fuzzes the whole system from bytes: a blob that decodes is rendered, re-encoded, reduced
// under both fusion rules and followed by an incremental reducer, and these must hold:
//   - re-encoding the decoded store and decoding that gives the same bytes again;
//   - every reduced store re-encodes, decodes and reduces again without error;
//   - `finalize` called twice gives the same bytes;
//   - the reducer's total work equals the store's node count.
// The reducer is fed in two cuts (a key slice, then the store itself) at a point drawn from
// the input, so both step paths and the watermark between them are exercised.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "egraph_engine/egg_engine.hpp"
#include "harness.hpp"
#include "optimizer/incremental.hpp"
#include "optimizer/reduced_store.hpp"
#include "seed_writer.hpp"
#include "serialize/reader.hpp"
#include "serialize/writer.hpp"

using namespace vantrel;
using fuzzing::fail;
using fuzzing::params;

namespace {

void add(GraphStore& s, NodeKey key) {
  if (!s.intern(std::move(key))) fail("a seed node was refused");
}

void mark(GraphStore& s, NodeId id) {
  if (!s.mark_output(id)) fail("a seed mark was refused");
}

std::string blob_of(const GraphStore& s) {
  auto r = serialize_marked(s);
  if (!r) fail("a valid store failed to write");
  return std::move(r).value();
}

const egraph::EggEngine& engine() {
  static const egraph::EggEngine e;
  return e;
}

std::vector<std::string> seeds() {
  std::vector<std::string> out;
  GraphStore empty;
  out.push_back(blob_of(empty));

  // Commuted operands, the two scalar identities, a chain to fuse and a shared value.
  GraphStore g;
  const ParamMap zero = params({{"scalar", ParamValue::of_float(0.0)}});
  const ParamMap one = params({{"scalar", ParamValue::of_float(1.0)}});
  add(g, Source{"x", {}});                                                   // 0
  add(g, Source{"y", {}});                                                   // 1
  add(g, Op{"add", {}, {0, 1}});                                             // 2
  add(g, Op{"add", {}, {1, 0}});                                             // 3
  add(g, Op{"add", zero, {2}});                                              // 4
  add(g, Op{"mul", one, {3}});                                               // 5
  add(g, Op{"mul", {}, {4, 5}});                                             // 6
  add(g, Op{"relu", {}, {6}});                                               // 7
  add(g, Reduction{"sum", params({{"axis", ParamValue::of_int(0)}}), {7}});  // 8
  add(g, Exchange{params({{"scheme", ParamValue::of_str("hash")}}), {8}});   // 9
  add(g, Op{"neg", {}, {9}});                                                // 10
  add(g, Op{"exp", {}, {10}});                                               // 11
  add(g, Op{"log", {}, {10}});                                               // 12
  auto d = std::make_shared<const PayloadDescriptor>(PayloadDescriptor{"model", "h", "fw", "1", "io", std::nullopt});
  add(g, External{d, {}, {11, 12}});  // 13
  mark(g, 13);
  mark(g, 7);
  mark(g, 7);
  out.push_back(blob_of(g));

  // An existing stage node among ops, and no outputs marked.
  GraphStore s;
  add(s, Source{"a", {}});
  add(s, Op{"f", {}, {0}});
  add(s, Stage{{1, 0},
               {StageOp{"op|g|", {{StageRef::Input, 0}}},
                StageOp{"op|h|", {{StageRef::Member, 0}, {StageRef::Input, 1}}}}});
  add(s, Op{"max", {}, {2, 1}});
  add(s, Op{"max", {}, {1, 2}});
  out.push_back(blob_of(s));
  return out;
}

/// Encodes, decodes, encodes again and reduces `store` under both rules; used on every
/// reduced store the run produces.
void check_reduced(const GraphStore& store) {
  const std::string blob = blob_of(store);
  auto back = deserialize(blob);
  if (!back) fail("a reduced store's blob failed to read");
  if (blob_of(*back.value()) != blob) fail("a reduced store's blob changed after a round trip");
  (void)reduce_with(*back.value(), engine(), false);
  (void)reduce_with(*back.value(), engine(), true);
}

std::string finalize_bytes(const IncrementalReducer& r, std::span<const NodeId> outputs, bool maximal) {
  auto reduced = r.finalize(outputs, engine(), maximal);
  if (!reduced) fail("finalize refused an output of the fully stepped store");
  ReducedStore store = from_reduced(std::move(reduced).value());
  check_reduced(*store.store);
  return blob_of(*store.store);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::maybe_write_seeds(seeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto decoded = deserialize(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!decoded) return 0;
  const GraphStore& store = *decoded.value();
  (void)store.to_dot();

  const std::string blob = blob_of(store);
  auto again = deserialize(blob);
  if (!again) fail("a written blob failed to read");
  if (blob_of(*again.value()) != blob) fail("re-encoding a decoded blob changed its bytes");

  for (bool maximal : {false, true}) {
    ReducedStore reduced = reduce_with(store, engine(), maximal);
    (void)reduced.store->to_dot();
    check_reduced(*reduced.store);
  }

  const StoreSnapshot snap = store.snapshot();
  const std::size_t cut = size == 0 ? 0 : data[size - 1] % (snap.nodes.size() + 1);
  IncrementalReducer reducer;
  auto first = reducer.step(std::span<const NodeKey>(snap.nodes.data(), cut));
  if (!first || first.value() != cut) fail("a step over a prefix of valid keys was refused");
  auto rest = reducer.step_store(store);
  if (!rest || first.value() + rest.value() != snap.nodes.size()) fail("stepping the store missed nodes");
  if (reducer.total_work() != store.node_count()) fail("total work differs from the node count");

  for (bool maximal : {false, true}) {
    if (finalize_bytes(reducer, snap.marked, maximal) != finalize_bytes(reducer, snap.marked, maximal)) {
      fail("finalize twice gave different bytes");
    }
  }
  return 0;
}
