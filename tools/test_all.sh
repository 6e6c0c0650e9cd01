#!/usr/bin/env bash
# Builds and runs every test: the C++ suite (plain, with AddressSanitizer +
# UndefinedBehaviorSanitizer, and its concurrency tests with ThreadSanitizer), the fuzzers
# for a bounded time, and the Python suite on the default interpreter and on 3.13 when
# pyenv has it (the no-GIL slot is compiled only there). Warnings are errors throughout.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
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

python_suite() {  # interpreter
  local py=$1 tag
  tag=$("$py" -c 'import sys; print("%d%d" % sys.version_info[:2])')
  step "Python tests on $("$py" --version 2>&1)"
  local venv=build/venv-py$tag
  [ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  "$venv/bin/python" -m pip install -q pytest hypothesis
  "$venv/bin/python" -m pip install -q . --config-settings=build-dir="$root/build/py$tag" \
    --config-settings=cmake.define.VANTREL_WERROR=ON
  (cd tests/python && "$root/$venv/bin/python" -m pytest -q -p no:cacheprovider .)
}

python_suite "$(command -v python3)"
py313=""
if command -v pyenv >/dev/null 2>&1; then
  py313=$(pyenv root)/versions/$(pyenv versions --bare 2>/dev/null | grep -E '^3\.13(\.|$)' | tail -n 1)/bin/python3
fi
if [ -n "$py313" ] && [ -x "$py313" ] && [ "$("$py313" -c 'import sys; print(sys.version_info[:2])')" != "$(python3 -c 'import sys; print(sys.version_info[:2])')" ]; then
  python_suite "$py313"
fi
step "All tests passed"
