#!/usr/bin/env bash
# Fails on an include that crosses the core's layers (tools/check_layers.py), a formatting
# difference (.clang-format) or a clang-tidy finding (.clang-tidy) in the C++ tree, or on a
# difference from the Python formatter or a linter finding in the Python tree. Tidy reads
# compile_commands.json from a configured (not built) CMake tree that includes the extension,
# so the binding is checked with the core. The Python formatter and linter are the ones
# pyproject.toml's `lint` extra names, installed once into a venv under build/.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 tools/check_layers.py
style_venv=build/venv-style
lint_requirement=$(sed -n 's/^lint = \["\(.*\)"\]$/\1/p' pyproject.toml)
[ -x "$style_venv/bin/python" ] || python3 -m venv "$style_venv"
"$style_venv/bin/python" -m pip install --quiet --disable-pip-version-check "$lint_requirement"
"$style_venv/bin/ruff" format --check --quiet .
"$style_venv/bin/ruff" check --quiet .
mapfile -t files < <(git ls-files '*.cpp' '*.hpp')
clang-format --dry-run --Werror "${files[@]}"
cmake -S . -B build/tidy -DVANTREL_BUILD_PYTHON=ON -DVANTREL_BUILD_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DPython_EXECUTABLE="$(python3 -c 'import sys; print(sys.executable)')" >/dev/null
git ls-files 'src/core/*.cpp' 'src/python/*.cpp' 'src/nodes/*.cpp' | xargs -P "${JOBS:-2}" -n 4 clang-tidy -p build/tidy --quiet \
  --extra-arg=-Wno-unknown-warning-option 2>/dev/null
