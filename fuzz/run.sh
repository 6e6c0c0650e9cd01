#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (AddressSanitizer + UndefinedBehaviorSanitizer,
# the core instrumented for coverage), replays each harness's kept corpus in full
# (fuzz/corpus/<harness>/), then fuzzes each for a bounded time from that corpus and the
# seeds the harness writes itself. Exits non-zero on any finding; the crashing input is kept
# in the build directory's artifacts folder and should become a regression test (and, once
# fixed, part of the kept corpus).
#
#   FUZZ_SECONDS   seconds of fuzzing per harness (default 30); a long campaign is e.g.
#                  FUZZ_SECONDS=3600 bash fuzz/run.sh
#   FUZZ_HARNESS   run only this harness (default: all)
#   FUZZ_MINIMIZE  1: afterwards, merge what fuzzing found into the kept corpus, minimized
#                  (only inputs that add coverage are kept); commit the result
#   FUZZ_BUILD     build directory (default build/fuzz)
#   JOBS           parallel compile jobs (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${FUZZ_SECONDS:-30}
build=${FUZZ_BUILD:-build/fuzz}
jobs=${JOBS:-2}
harnesses=(fuzz_blob_reader fuzz_param_token fuzz_whole_system)
[ -n "${FUZZ_HARNESS:-}" ] && harnesses=("$FUZZ_HARNESS")
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)

CC=clang CXX=clang++ cmake -S . -B "$build" "${gen[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTREL_BUILD_PYTHON=OFF -DVANTREL_BUILD_TESTS=OFF -DVANTREL_BUILD_FUZZ=ON -DVANTREL_WERROR=ON \
  "-DVANTREL_SANITIZE=fuzzer-no-link,address,undefined" >/dev/null
cmake --build "$build" -j "$jobs" --target "${harnesses[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
flags=(-timeout=10 -rss_limit_mb=2048 -max_len=8192)
status=0
finding() {  # harness, log
  tail -n 60 "$2" >&2
  echo "$1: finding, see $build/artifacts-$1/" >&2
  status=1
}
for harness in "${harnesses[@]}"; do
  kept="fuzz/corpus/$harness"
  work="$build/corpus-$harness"
  artifacts="$build/artifacts-$harness/"
  mkdir -p "$kept" "$work" "$artifacts"
  VANTREL_WRITE_SEEDS="$work" "$build/$harness" 2>/dev/null

  # Every kept input, exactly once: a regression there fails the run before any fuzzing.
  echo "replaying $(find "$kept" -type f | wc -l) kept inputs of $harness"
  if ! "$build/$harness" "${flags[@]}" -runs=0 -artifact_prefix="$artifacts" "$kept" >"$build/$harness.replay.log" 2>&1; then
    finding "$harness" "$build/$harness.replay.log"
    continue
  fi

  # New inputs go to the work folder (first corpus argument); the kept corpus is only read.
  echo "fuzzing $harness for ${secs}s"
  if ! "$build/$harness" "${flags[@]}" -max_total_time="$secs" -artifact_prefix="$artifacts" \
      -print_final_stats=1 "$work" "$kept" 2>"$build/$harness.log"; then
    finding "$harness" "$build/$harness.log"
    continue
  fi
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)' "$build/$harness.log" || true

  if [ "${FUZZ_MINIMIZE:-0}" = 1 ]; then
    merged=$(mktemp -d)
    "$build/$harness" "${flags[@]}" -set_cover_merge=1 "$merged" "$kept" "$work" >"$build/$harness.merge.log" 2>&1
    rm -rf "$kept" && mkdir -p "$kept" && cp "$merged"/* "$kept"/ 2>/dev/null || true
    rm -rf "$merged"
    echo "kept corpus of $harness: $(find "$kept" -type f | wc -l) inputs, $(du -sk "$kept" | cut -f1) KiB"
  fi
done
exit $status
