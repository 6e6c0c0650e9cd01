#!/usr/bin/env bash
# Builds the CPython interpreters that the Python suite runs on beside the system's and
# pyenv's: one series with the GIL and free-threaded (3.14 and 3.14t), from the distribution's
# source package. Each is built once into a cache outside the checkout and reused while it is
# there; a missing or half-built one is built again.
#
#   usage: tools/build_python.sh
#
# Prints the path of each interpreter it has, one a line, on stdout; everything else goes to
# stderr. Where the mirror has no 3.14 source it says so in one line and builds 3.13t alone
# (the machine's own interpreters cover 3.13 with the GIL); where it has no source at all it
# says so in one line and prints nothing, so the rest of the tests still run.
#
# The deb-src entry is derived from the machine's own apt configuration (the first enabled
# deb822 stanza of the distribution's main suite, with its URIs and keyring; Types becomes
# deb-src and Suites the suites named below), and apt runs on private state directories in
# the cache, leaving the machine's apt state untouched.
#
# Knobs: VANTREL_PYTHON_CACHE (default ~/.cache/vantrel-python), VANTREL_PYTHON_SOURCES
# ("series:suite,suite ...", in order of preference), JOBS (default 2). The build leaves out
# what the suite never uses (PGO, LTO, CPython's own tests and test modules, pip in the
# prefix): about 6 minutes each on 2 cores.
set -euo pipefail

cache=${VANTREL_PYTHON_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vantrel-python}
jobs=${JOBS:-2}
# Series in order of preference, each with the suites that carry it. The mirror may lag its
# index (the index names a release whose files are not there yet), so every suite is tried.
candidates=(${VANTREL_PYTHON_SOURCES:-3.14:sid,forky 3.13:trixie})

mkdir -p "$cache"
# One build at a time per cache: concurrent test runs wait for the first to finish, then reuse.
exec 9>"$cache/.lock"
flock 9

say() { echo "$*" >&2; }
complete_marker() { echo "$cache/$1/.built"; }
interpreter_of() { echo "$cache/$1/bin/python$1"; }
have() { [ -f "$(complete_marker "$1")" ] && [ -x "$(interpreter_of "$1")" ]; }

variants_of() {  # index series: both flavours of the preferred series, the free-threaded
  # one alone of a fallback (the machine's own interpreters cover the older ones with a GIL)
  if [ "$1" = 0 ]; then echo "$2 ${2}t"; else echo "${2}t"; fi
}
have_all() {
  local v
  for v in "$@"; do have "$v" || return 1; done
}

# The preferred pair, when it is in the cache, is used without asking apt anything.
first=${candidates[0]%%:*}
if have_all $(variants_of 0 "$first"); then
  for v in $(variants_of 0 "$first"); do interpreter_of "$v"; done
  exit 0
fi

# --- the source tarball, fetched once and kept -------------------------------------------
derive_source_entry() {  # prints a deb822 deb-src stanza for $suite, or fails
  local files=(/etc/apt/sources.list.d/*.sources)
  [ -e "${files[0]}" ] || return 1
  local keyring
  for keyring in archive any; do
    awk -v suite="$suite" -v keyring="$keyring" '
      function emit(   i, line) {
        for (i = 1; i <= n; i++) {
          line = stanza[i]
          if (line ~ /^Types:/) line = "Types: deb-src"
          else if (line ~ /^Suites:/) line = "Suites: " suite
          else if (line ~ /^Components:/) line = "Components: main"
          print line
        }
        found = 1
      }
      function consider() {
        if (n && !found && main_suite && !disabled && (keyring == "any" || archive_key)) emit()
        n = 0; main_suite = 0; disabled = 0; archive_key = 0
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { consider(); next }
      {
        stanza[++n] = $0
        if ($1 == "Suites:") for (i = 2; i <= NF; i++) if ($i !~ /-/) main_suite = 1
        if ($1 == "Enabled:" && $2 == "no") disabled = 1
        if ($1 == "Signed-By:" && $0 ~ /archive-keyring/) archive_key = 1
      }
      END { consider(); exit found ? 0 : 1 }
    ' "${files[@]}" && return 0
  done
  return 1
}

fetch_source() {  # series suites(comma-separated): prints the upstream tarball's path, or fails
  local series=$1 suites=$2 package=python$1 srcdir=$cache/src tarball suite
  tarball=$(ls "$srcdir"/"${package}"_*.orig.tar.xz 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -n "$tarball" ]; then
    echo "$tarball"
    return 0
  fi
  local apt=$cache/apt
  rm -rf "$apt"
  mkdir -p "$apt/parts" "$apt/lists/partial" "$apt/cache/archives/partial" "$srcdir"
  suite=${suites//,/ }
  derive_source_entry >"$apt/parts/source.sources" || return 1
  local opts=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$apt/parts"
    -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
    -o "Debug::NoLocking=1" -o "APT::Sandbox::User=$(id -un)")
  apt-get "${opts[@]}" update >"$apt/update.log" 2>&1 || return 1
  for suite in ${suites//,/ }; do
    (cd "$apt" && apt-get "${opts[@]}" source --download-only "$package/$suite") >>"$apt/source.log" 2>&1 || continue
    tarball=$(ls "$apt"/"${package}"_*.orig.tar.xz 2>/dev/null | sort -V | tail -n 1 || true)
    [ -n "$tarball" ] || continue
    mv "$tarball" "$srcdir/"
    rm -rf "$apt"
    echo "$srcdir/$(basename "$tarball")"
    return 0
  done
  return 1
}

build() {  # variant tarball: builds $cache/VARIANT from the tarball, prints the interpreter
  local v=$1 tarball=$2 series=${1%t}
  local prefix=$cache/$v work=$cache/work-$v log=$cache/build-$v.log src py
  rm -rf "$prefix" "$work"
  mkdir -p "$work/build"
  say "building CPython $v from $(basename "$tarball") into $prefix (log: $log)"
  local started=$SECONDS
  local flags=(--prefix="$prefix" --with-ensurepip=no --disable-test-modules)
  [ "$v" = "$series" ] || flags+=(--disable-gil)
  if ! {
    tar -C "$work" -xf "$tarball" &&
      src=$(ls -d "$work"/Python-"$series".*/ | head -n 1) &&
      (cd "$work/build" && OPT="-DNDEBUG -fwrapv -O2 -Wall" "$src/configure" "${flags[@]}") &&
      make -C "$work/build" -j"$jobs" &&
      make -C "$work/build" install
  } >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    say "building CPython $v failed (log: $log)"
    return 1
  fi
  py=$(interpreter_of "$v")
  "$py" -c 'import sys, sysconfig, ssl, zlib, venv, ensurepip
assert bool(sysconfig.get_config_var("Py_GIL_DISABLED")) == sys.argv[1].endswith("t")' "$v" >&2 ||
    { say "CPython $v was built but is unusable (log: $log)"; return 1; }
  rm -rf "$work"
  basename "$tarball" >"$(complete_marker "$v")"
  say "built CPython $v in $((SECONDS - started)) s"
  echo "$py"
}

# --- build dependencies ------------------------------------------------------------------
# What the interpreter needs for venvs, pip over https and the packages the suite installs.
bash "$(dirname "$0")/require_packages.sh" build-essential pkg-config libssl-dev zlib1g-dev \
  libffi-dev libbz2-dev liblzma-dev libsqlite3-dev uuid-dev libexpat1-dev xz-utils >&2

missed=()
for index in "${!candidates[@]}"; do
  series=${candidates[$index]%%:*}
  suites=${candidates[$index]#*:}
  variants=($(variants_of "$index" "$series"))
  if ! have_all "${variants[@]}" && ! tarball=$(fetch_source "$series" "$suites"); then
    missed+=("python$series from ${suites//,/ or }")
    continue
  fi
  [ ${#missed[@]} -eq 0 ] || say "no source for ${missed[*]}: using ${variants[*]} instead"
  for v in "${variants[@]}"; do
    if have "$v"; then interpreter_of "$v"; else build "$v" "$tarball" || exit 1; fi
  done
  exit 0
done
say "no CPython source could be fetched (${missed[*]}): the suite runs on the other interpreters only"
