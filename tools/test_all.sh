#!/usr/bin/env bash
# Builds and runs every test: the C++ suite (plain, with AddressSanitizer +
# UndefinedBehaviorSanitizer, and every test that starts threads with ThreadSanitizer), the
# fuzzers (their kept corpora replayed, then a bounded time of fuzzing), the Python suite
# against the extension built with AddressSanitizer + UndefinedBehaviorSanitizer, then the
# Python half (tools/test_python.sh: sdist and wheel, the Python suite on every interpreter
# >= 3.10, typed interface, docs). Warnings are errors throughout. Every stage prints its
# elapsed time, and a table of all of them closes the run.
# On a fresh machine it first installs the Debian packages it needs (tools/require_packages.sh:
# apt-get as root; otherwise it names the packages and the install command, and stops).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash tools/require_packages.sh
source tools/ccache_env.sh  # every build below, C++ and Python, sanitized or not
jobs=${JOBS:-2}
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)

export STAGE_TIMES=$root/build/stage-times.txt
mkdir -p build && : >"$STAGE_TIMES"
source tools/stage_timer.sh
print_stage_times() {
  local status=$?
  end_stage
  printf '\n=== Stage times ===\n'
  cat "$STAGE_TIMES"
  printf '%6d s  %s\n' "$SECONDS" "the whole run"
  return $status
}
trap print_stage_times EXIT

configure_and_build() {  # dir, extra cmake args...
  local dir=$1
  shift
  cmake -S . -B "$dir" "${gen[@]}" -DVANTREL_BUILD_PYTHON=OFF -DVANTREL_BUILD_TESTS=ON -DVANTREL_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

step "Style: the core's layers, clang-format, clang-tidy, ruff"
bash tools/check_style.sh

step "C++ tests"
configure_and_build build/test-release -DCMAKE_BUILD_TYPE=Release
ctest --test-dir build/test-release --output-on-failure -j "$jobs"

step "C++ tests with AddressSanitizer and UndefinedBehaviorSanitizer"
# The extension is built here too, from the same sanitized core, for the sanitized Python run.
configure_and_build build/test-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_SANITIZE=address,undefined \
  -DVANTREL_BUILD_PYTHON=ON -DPython_EXECUTABLE="$(python3 -c 'import sys; print(sys.executable)')"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build/test-asan/vantrel_tests --gtest_brief=1

step "C++ tests that start threads, with ThreadSanitizer"
configure_and_build build/test-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_SANITIZE=thread
threaded=$(python3 tools/threaded_gtests.py tests/cpp)
echo "running: $threaded"
# ThreadSanitizer's shadow memory does not fit every address-space layout; run without ASLR.
TSAN_OPTIONS=halt_on_error=1 setarch "$(uname -m)" -R build/test-tsan/vantrel_tests --gtest_filter="$threaded" --gtest_brief=1

if [ -x fuzz/run.sh ] || [ -f fuzz/run.sh ]; then
  if command -v clang++ >/dev/null 2>&1; then
    step "Fuzzing: kept corpora replayed, then ${FUZZ_SECONDS:-30} s per harness"
    bash fuzz/run.sh
  else
    echo "clang++ not found: cannot build the fuzzers" >&2
    exit 1
  fi
fi

step "Python tests on $(python3 --version 2>&1) against the extension built with AddressSanitizer + UndefinedBehaviorSanitizer"
bash tools/test_sanitized_python.sh build/test-asan

end_stage  # the Python half times each of its own stages
bash tools/test_python.sh
printf '\n=== All tests passed ===\n'
