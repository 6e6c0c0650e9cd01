#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (AddressSanitizer + UndefinedBehaviorSanitizer,
# the core instrumented for coverage) and runs each for a bounded time, starting from seeds
# the harness writes itself. Exits non-zero on any finding; the crashing input is kept in
# the build directory's artifacts folder and should become a regression test.
#
#   FUZZ_SECONDS  seconds per harness (default 45)
#   FUZZ_BUILD    build directory (default build/fuzz)
#   JOBS          parallel compile jobs (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${FUZZ_SECONDS:-45}
build=${FUZZ_BUILD:-build/fuzz}
jobs=${JOBS:-2}
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)

CC=clang CXX=clang++ cmake -S . -B "$build" "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTREL_BUILD_PYTHON=OFF -DVANTREL_BUILD_TESTS=OFF -DVANTREL_BUILD_FUZZ=ON -DVANTREL_WERROR=ON \
  "-DVANTREL_SANITIZE=fuzzer-no-link,address,undefined" >/dev/null
cmake --build "$build" -j "$jobs" --target fuzz_blob_reader fuzz_param_token

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for harness in fuzz_blob_reader fuzz_param_token; do
  corpus="$build/corpus-$harness"
  artifacts="$build/artifacts-$harness/"
  mkdir -p "$corpus" "$artifacts"
  VANTREL_WRITE_SEEDS="$corpus" "$build/$harness"
  echo "fuzzing $harness for ${secs}s"
  if ! "$build/$harness" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
      -artifact_prefix="$artifacts" -print_final_stats=1 "$corpus" 2>"$build/$harness.log"; then
    tail -n 60 "$build/$harness.log" >&2
    echo "$harness: finding, see $artifacts" >&2
    status=1
  else
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "$build/$harness.log" || true
  fi
done
exit $status
