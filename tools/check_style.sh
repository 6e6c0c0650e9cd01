#!/usr/bin/env bash
# Fails on an include that crosses the core's layers (tools/check_layers.py), a formatting
# difference (.clang-format) or a clang-tidy finding (.clang-tidy) in the C++ tree. Tidy
# reads compile_commands.json from a configured (not built) CMake tree that includes the
# extension, so the binding is checked with the core.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 tools/check_layers.py
mapfile -t files < <(git ls-files '*.cpp' '*.hpp')
clang-format --dry-run --Werror "${files[@]}"
cmake -S . -B build/tidy -DVANTREL_BUILD_PYTHON=ON -DVANTREL_BUILD_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DPython_EXECUTABLE="$(python3 -c 'import sys; print(sys.executable)')" >/dev/null
git ls-files 'src/core/*.cpp' 'src/python/*.cpp' | xargs -P "${JOBS:-2}" -n 4 clang-tidy -p build/tidy --quiet \
  --extra-arg=-Wno-unknown-warning-option 2>/dev/null
