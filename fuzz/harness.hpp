#pragma once
// What every fuzz harness shares: how a broken property stops the run, and a short way to
// write a parameter map in seeds.
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "ir/param.hpp"

namespace vantrel::fuzzing {

/// Stops the run so that the fuzzer keeps the input that broke the property.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

inline ParamMap params(std::initializer_list<ParamEntry> entries) { return ParamMap::make(entries); }

}  // namespace vantrel::fuzzing
