#!/usr/bin/env bash
# Builds and runs every test: the C++ suite (plain, with AddressSanitizer +
# UndefinedBehaviorSanitizer, and its concurrency tests with ThreadSanitizer), the fuzzers
# for a bounded time, then the Python half (tools/test_python.sh: sdist and wheel, the Python
# suite on every interpreter >= 3.10, typed interface, docs). Warnings are errors throughout.
# On a fresh machine it first installs the Debian packages it needs (tools/require_packages.sh:
# apt-get as root; otherwise it names the packages and the install command, and stops).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash tools/require_packages.sh
jobs=${JOBS:-2}
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)

step() { printf '\n=== %s ===\n' "$*"; }

configure_and_build() {  # dir, extra cmake args...
  local dir=$1
  shift
  cmake -S . -B "$dir" "${gen[@]}" -DVANTREL_BUILD_PYTHON=OFF -DVANTREL_BUILD_TESTS=ON -DVANTREL_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

step "C++ tests"
configure_and_build build/test-release -DCMAKE_BUILD_TYPE=Release
ctest --test-dir build/test-release --output-on-failure -j "$jobs"

step "C++ tests with AddressSanitizer and UndefinedBehaviorSanitizer"
configure_and_build build/test-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  build/test-asan/vantrel_tests --gtest_brief=1

step "C++ concurrency tests with ThreadSanitizer"
configure_and_build build/test-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_SANITIZE=thread
# ThreadSanitizer's shadow memory does not fit every address-space layout; run without ASLR.
TSAN_OPTIONS=halt_on_error=1 setarch "$(uname -m)" -R build/test-tsan/vantrel_tests --gtest_filter='*Concurrent*' --gtest_brief=1

if [ -x fuzz/run.sh ] || [ -f fuzz/run.sh ]; then
  if command -v clang++ >/dev/null 2>&1; then
    step "Fuzzing (${FUZZ_SECONDS:-45} s per harness)"
    bash fuzz/run.sh
  else
    echo "clang++ not found: cannot build the fuzzers" >&2
    exit 1
  fi
fi

bash tools/test_python.sh
step "All tests passed"
