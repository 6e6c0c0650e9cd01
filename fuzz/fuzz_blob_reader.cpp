// Fuzzes the blob reader: any byte string must decode to a store or a DecodeError without a
// crash, leak or sanitizer report. When it decodes, writing the store and reading that blob
// again must give the same nodes and marks, and writing that gives the same bytes.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "harness.hpp"
#include "seed_writer.hpp"
#include "serialize/reader.hpp"
#include "serialize/writer.hpp"

using namespace vantrel;
using fuzzing::fail;
using fuzzing::params;

namespace {

std::string blob_of(const GraphStore& s) {
  auto r = serialize_marked(s);
  if (!r) fail("a valid store failed to write");
  return std::move(r).value();
}

std::vector<std::string> seeds() {
  std::vector<std::string> out;
  GraphStore empty;
  out.push_back(blob_of(empty));

  GraphStore small;
  (void)small.intern(Source{"x", {}});
  (void)small.intern(Op{"add", params({{"k", ParamValue::of_int(2)}}), {0}});
  if (!small.mark_output(1)) std::abort();
  out.push_back(blob_of(small));

  GraphStore all;
  (void)all.intern(Source{"", params({{"s", ParamValue::of_str("日本")}, {"b", ParamValue::of_bool(true)}})});
  (void)all.intern(
      Source{"y", params({{"f", ParamValue::of_float(-0.0)}, {"n", ParamValue::of_float(std::nan("7"))}})});
  (void)all.intern(
      Op{"mul", params({{"scalar", ParamValue::of_float(1.0)}, {"side", ParamValue::of_str("l")}}), {0, 1}});
  (void)all.intern(Reduction{"sum", params({{"axis", ParamValue::of_int(-1)}}), {2, 2}});
  auto d = std::make_shared<const PayloadDescriptor>(PayloadDescriptor{"model", "h", "fw", "1", "io", "pre"});
  auto d2 = std::make_shared<const PayloadDescriptor>(PayloadDescriptor{"m", "", "", "", "", std::nullopt});
  (void)all.intern(External{d, params({{"q", ParamValue::of_int(3)}}), {3}});
  (void)all.intern(External{d2, {}, {}});
  (void)all.intern(Stage{
      {4, 0},
      {StageOp{"op|f|a=i1", {{StageRef::Input, 0}}}, StageOp{"red|g", {{StageRef::Member, 0}, {StageRef::Input, 1}}}}});
  (void)all.intern(Exchange{{}, {6}});
  (void)all.intern(Exchange{params({{"scheme", ParamValue::of_str("hash")}}), {7, 5}});
  if (!all.mark_output(8)) std::abort();
  if (!all.mark_output(2)) std::abort();
  out.push_back(blob_of(all));

  GraphStore chain;
  (void)chain.intern(Source{"x", {}});
  for (NodeId i = 1; i < 16; ++i) (void)chain.intern(Op{i % 2 ? "f" : "g", {}, {i - 1}});
  if (!chain.mark_output(15)) std::abort();
  out.push_back(blob_of(chain));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::maybe_write_seeds(seeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto decoded = deserialize(bytes);
  if (!decoded) {
    if (decoded.error().message().empty()) fail("empty decode error message");
    return 0;
  }
  const GraphStore& store = *decoded.value();
  (void)store.to_dot();

  const std::string blob = blob_of(store);
  auto again = deserialize(blob);
  if (!again) fail("a written blob failed to read");
  const StoreSnapshot a = store.snapshot(), b = again.value()->snapshot();
  if (!(a.nodes == b.nodes)) fail("nodes differ after a round trip");
  if (a.marked != b.marked) fail("marks differ after a round trip");
  if (blob_of(*again.value()) != blob) fail("writing a read blob changed its bytes");
  return 0;
}
