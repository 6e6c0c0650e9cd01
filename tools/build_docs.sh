#!/usr/bin/env bash
# Builds the documentation with warnings as errors and runs every example in it (the ">>>"
# blocks of docs/*.rst) against the installed package. Run with the venv's python.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${1:-python3}
out=${DOCS_OUT:-build/docs}
start=$(date +%s)
"$py" -m sphinx -W --keep-going -q -b html docs "$out/html"
echo "docs built in $(( $(date +%s) - start )) s: $out/html/index.html"
"$py" -m pytest -q -p no:cacheprovider --doctest-glob='*.rst' docs
