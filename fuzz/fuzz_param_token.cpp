// Fuzzes the map token reader: any text gives a map or nothing, without a crash. When it
// gives a map, printing that map and reading the print gives an equal map, and the printed
// token is a fixed point. The op-token reader and the Display forms ride along.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include "harness.hpp"
#include "ir/node_key.hpp"
#include "ir/param.hpp"
#include "seed_writer.hpp"

using namespace vantrel;
using fuzzing::fail;

namespace {

std::vector<std::string> seeds() {
  std::vector<std::string> out = {
      "",
      "a=sx%3By%3Dz%7C%25;b=i-3;c=f3ff0000000000000;d=btrue",
      "scalar=f0000000000000000;side=sr",
      "=i1",
      "a=i+5;a=i-0",
      "a=fABCDEF;b=f00000000000000001",
      "a=sx=y;b=bfalse",
      "k=i-9223372036854775808",
      "op|add|scalar=f3ff0000000000000;side=sl",
      "red|sum|axis=i0",
  };
  ParamMap m = ParamMap::make({{"ü%;=|", ParamValue::of_str("\t\"\\é")},
                               {"nan", ParamValue::of_float(-std::numeric_limits<double>::quiet_NaN())},
                               {"neg0", ParamValue::of_float(-0.0)}});
  out.push_back(m.token());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::maybe_write_seeds(seeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)parse_op_token(text);
  (void)unescape_token(text);
  auto map = ParamMap::from_token(text);
  if (!map) return 0;
  (void)map->display();
  const std::string token = map->token();
  auto again = ParamMap::from_token(token);
  if (!again) fail("a printed token failed to read");
  if (!(*again == *map)) fail("the map changed after printing and reading");
  if (again->token() != token) fail("printing a read token changed it");
  return 0;
}
