#!/usr/bin/env bash
# Runs the Python suite against the extension built with AddressSanitizer +
# UndefinedBehaviorSanitizer in BUILD_DIR (tools/test_all.sh builds it beside the sanitized
# C++ tests): the module is loaded from there into the plain interpreter, the pure-Python
# package from a copy of src/ that holds the sanitized node handles, and the sanitizer runtime
# is preloaded (it must come first). Python objects go through malloc so that the sanitizer
# sees them too. Child processes that tests start inherit the environment, and so the preload.
#
# Leak detection is off: at exit the interpreter keeps much of its own memory on purpose, and
# every such allocation's stack passes through the interpreter as the module's do, so no
# suppression could tell them apart. tests/python/test_leaks.py measures the module's leaks.
#
#   usage: tools/test_sanitized_python.sh BUILD_DIR [pytest args...]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
module_dir=$(cd "$1" && pwd)
shift

venv=$root/build/venv-asan
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check pytest hypothesis 2>&1 | grep -v '^WARNING: Location' || true

cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$module_dir/CMakeCache.txt")
if "$cxx" --version | grep -qi clang; then
  runtime=$("$cxx" -print-file-name=libclang_rt.asan-"$(uname -m)".so)
else
  runtime=$("$cxx" -print-file-name=libasan.so)
fi
[ -f "$runtime" ] || { echo "sanitizer runtime not found: $runtime" >&2; exit 1; }
# The C++ runtime is preloaded too: the interpreter does not link it, and the sanitizer binds
# its exception-throw interceptor at start-up, so a library that arrives later with the
# module would leave that interceptor without a target (any C++ throw then aborts).
cxxrt=$("$cxx" -print-file-name=libstdc++.so)
[ -f "$cxxrt" ] || { echo "C++ runtime not found: $cxxrt" >&2; exit 1; }

# The pure-Python package, with its own small extension (the node handles) from the same
# sanitized build placed inside it, as an installed wheel has it.
stage=$module_dir/python-package
rm -rf "$stage" && mkdir -p "$stage"
cp -r "$root/src/vantrel" "$stage/vantrel"
cp "$module_dir"/_nodes.*.so "$stage/vantrel/"

export LD_PRELOAD="$runtime $cxxrt" PYTHONPATH=$module_dir:$stage PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd tests/python
"$venv/bin/python" - "$module_dir" <<'PY'
import sys
import vantrel_core
from vantrel import _nodes
for module in (vantrel_core, _nodes):
    assert module.__file__.startswith(sys.argv[1] + "/"), f"not the sanitized module: {module.__file__}"
assert "asan" in open("/proc/self/maps").read(), "the sanitizer runtime is not loaded"
print("testing", vantrel_core.__file__)
PY
# Left out: the checks of the shipped artifact itself (the files the installed wheel holds,
# the symbols the release module exports), which this run neither installs nor builds.
"$venv/bin/python" -m pytest -q -p no:cacheprovider \
  --deselect tests/python/test_typing_usage.py::test_stubs_and_typed_package_ship_with_the_module \
  --ignore test_symbols.py "$@" .
