#!/usr/bin/env bash
# Checks the typed interface against the installed package (run with the venv's python):
#   - stubtest compares the stubs of vantrel_core and vantrel._nodes with the modules themselves
#     (no allowlist);
#   - mypy --strict --warn-unused-ignores on every example, the pure-Python package and the
#     typed usage file, whose rejected lines must each be refused with the code they name;
#   - pyright (strict) finds the same stubs and accepts the same files.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${1:-python3}
bin=$(dirname "$py")
"$py" -m mypy.stubtest vantrel_core vantrel._nodes
"$py" -m mypy --strict --warn-unused-ignores --no-incremental examples src/vantrel tests/typing
if [ -x "$bin/basedpyright" ]; then
  "$bin/basedpyright" --pythonpath "$py" -p tests/typing/pyrightconfig.json examples src/vantrel tests/typing
else
  echo "pyright check skipped: basedpyright is not installed in $(dirname "$bin")" >&2
  exit 1
fi
