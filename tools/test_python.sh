#!/usr/bin/env bash
# The Python half of the test command (tools/test_all.sh runs it last; it also runs alone):
#   1. `python -m build`: the sdist, then the wheel built from that sdist;
#   2. a fresh venv installs the wheel and runs the Python suite, the typed-interface checks
#      (stubtest, mypy --strict) and the docs (built with warnings as errors, examples run);
#   3. a clean venv outside the checkout installs the sdist and runs the Python suite;
#   4. the checkout is built and tested on every other interpreter >= 3.10 that pyenv has,
#      and on the two that tools/build_python.sh builds once into a cache outside the checkout
#      (3.14 with the GIL and 3.14t without it; the free-threaded one installs from the sdist).
# ccache (when present, see tools/ccache_env.sh) compiles the shared core once for all of
# these builds.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

source "$root/tools/stage_timer.sh"  # step: stage headings with elapsed times
quiet_pip() {  # pip's own notes about unreachable local indexes are noise here
  local out
  out=$("$@" -q --disable-pip-version-check 2>&1) || { echo "$out" >&2; return 1; }
  grep -v '^WARNING: Location' <<<"$out" || true
}

source "$root/tools/ccache_env.sh"

# The default interpreter first, then one interpreter per other minor version (the newest
# patch release pyenv has), oldest first, then the ones built here that are of none of those.
interpreters() {
  local default py key
  default=$(command -v python3)
  declare -A by_key=()
  local keys=()
  key_of() {
    "$1" -c 'import sys, sysconfig
if sys.version_info >= (3, 10):
    print("%d.%d%s" % (*sys.version_info[:2], "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))' 2>/dev/null
  }
  local default_key
  default_key=$(key_of "$default")
  echo "$default"
  if command -v pyenv >/dev/null 2>&1; then
    for py in $(ls -d "$(pyenv root)"/versions/*/bin/python3 2>/dev/null | sort -V); do
      key=$(key_of "$py") || continue
      [ -n "$key" ] && [ "$key" != "$default_key" ] || continue
      [ -n "${by_key[$key]:-}" ] || keys+=("$key")
      by_key[$key]=$py
    done
  fi
  for key in "${keys[@]}"; do echo "${by_key[$key]}"; done
  for py in "${built[@]}"; do
    key=$(key_of "$py") || continue
    [ -n "$key" ] && [ "$key" != "$default_key" ] && [ -z "${by_key[$key]:-}" ] && echo "$py"
  done
}

fresh_venv() {  # python, dir
  rm -rf "$2"
  "$1" -m venv "$2"
  quiet_pip "$2/bin/python" -m pip install --upgrade pip
}

run_suite() {  # venv, test args...
  local venv=$1
  shift
  (cd "$root/tests/python" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" .)
}

step "Interpreters: CPython 3.14 and 3.14t, built once into a cache outside the checkout"
built_list=$(bash "$root/tools/build_python.sh")  # a failed build stops the run here
mapfile -t built <<<"$built_list"
[ -n "$built_list" ] || built=()
[ ${#built[@]} -eq 0 ] || printf '    %s\n' "${built[@]}"
mapfile -t pythons < <(interpreters)
default_py=${pythons[0]}
tag=$("$default_py" -c 'import sys; print("%d%d" % sys.version_info[:2])')
dist=$root/build/dist

step "Package: sdist and wheel (python -m build, the wheel built from the sdist)"
tools=$root/build/venv-py$tag
fresh_venv "$default_py" "$tools"
quiet_pip "$tools/bin/python" -m pip install build
rm -rf "$dist"
"$tools/bin/python" -m build --outdir "$dist" . >"$root/build/package.log" 2>&1 || { tail -n 40 "$root/build/package.log"; exit 1; }
sdist=$(ls "$dist"/*.tar.gz)
wheel=$(ls "$dist"/*.whl)
ls -l "$dist"
quiet_pip "$tools/bin/python" -m pip install auditwheel twine
"$tools/bin/twine" check --strict "$sdist" "$wheel"
"$tools/bin/auditwheel" show "$wheel"

step "Python tests on $("$default_py" --version 2>&1), from the built wheel"
extras=test,dask
[ -f tools/check_types.sh ] && extras+=,typing
[ -f tools/build_docs.sh ] && extras+=,docs
quiet_pip "$tools/bin/python" -m pip install "$wheel[$extras]"
run_suite "$tools" --cluster  # the local-cluster tests: once per run

if [ -f tools/check_types.sh ]; then
  step "Typed interface: stubtest and mypy --strict"
  bash tools/check_types.sh "$tools/bin/python"
fi

if [ -f tools/build_docs.sh ]; then
  step "Documentation: build with warnings as errors, run every example"
  bash tools/build_docs.sh "$tools/bin/python"
fi

step "The sdist in a clean venv, outside the checkout"
sdist_venv=$root/build/venv-sdist
fresh_venv "$default_py" "$sdist_venv"
(cd "$(mktemp -d)" && quiet_pip "$sdist_venv/bin/python" -m pip install "$sdist" pytest hypothesis)
run_suite "$sdist_venv" -m "not cluster"  # local-cluster tests: once per run is enough

for py in "${pythons[@]:1}"; do
  tag=$("$py" -c 'import sys, sysconfig; print("%d%d%s" % (*sys.version_info[:2], "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
  free_threaded=$([ "${tag%t}" != "$tag" ] && echo 1 || echo 0)
  step "Python tests on $("$py" --version 2>&1)$([ "$free_threaded" = 1 ] && echo ' free-threaded, from the sdist')"
  venv=$root/build/venv-py$tag
  [ -x "$venv/bin/python" ] || fresh_venv "$py" "$venv"
  # Wheels only: a release without a wheel for a new interpreter would be built from source.
  # A free-threaded interpreter also gets NumPy, so that the array paths and the hostile-input
  # tests run where other threads can race them.
  extra=()
  [ "$free_threaded" = 1 ] && extra=(numpy)
  quiet_pip "$venv/bin/python" -m pip install --only-binary hypothesis,numpy pytest hypothesis "${extra[@]}"
  # The free-threaded build installs the sdist, as a user of that interpreter would, unpacked
  # at a fixed place so that ccache finds its objects again on the next run.
  source_tree=.
  if [ "$free_threaded" = 1 ]; then
    source_tree=$root/build/sdist-source
    rm -rf "$source_tree" && mkdir -p "$source_tree"
    tar -xzf "$sdist" -C "$source_tree" --strip-components=1
  fi
  quiet_pip "$venv/bin/python" -m pip install --force-reinstall --no-deps "$source_tree" \
    --config-settings=build-dir="$root/build/py$tag" --config-settings=cmake.define.VANTREL_WERROR=ON
  if [ "$free_threaded" = 1 ]; then
    "$venv/bin/python" -c 'import sys, vantrel_core; sys.exit("importing vantrel_core turned the GIL on" if sys._is_gil_enabled() else 0)'
  fi
  run_suite "$venv" -m "not cluster"
done

if command -v ccache >/dev/null 2>&1; then ccache --show-stats 2>/dev/null | grep -iE 'hits|misses' | head -n 4 || true; fi
