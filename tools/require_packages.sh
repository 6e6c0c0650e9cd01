#!/usr/bin/env bash
# Makes sure the Debian packages the test command needs are on this machine. As root it
# installs the missing ones with apt-get; otherwise it names them in one line, with the
# command that installs them, and exits non-zero. Extra package names may be passed as
# arguments ("PACKAGE:CHECK" pairs are not needed for those: they are checked with dpkg).
set -euo pipefail

need=()
require() {  # debian-package, command that succeeds when the package's files are present...
  local pkg=$1
  shift
  "$@" >/dev/null 2>&1 || need+=("$pkg")
}

require libgtest-dev test -f /usr/include/gtest/gtest.h
require cmake command -v cmake
require ninja-build command -v ninja
require g++ command -v g++
require clang command -v clang++
# The style stage: formatting and lint of the C++ tree.
require clang-format command -v clang-format
require clang-tidy command -v clang-tidy
require libclang-rt-14-dev sh -c 'ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a'
# Pictures in the docs and the rendering tests; the Python package works without it.
require graphviz command -v dot
# Compiles the shared core once for every interpreter the Python suite builds for.
require ccache command -v ccache
for pkg in "$@"; do
  require "$pkg" sh -c "dpkg-query -W -f='\${Status}' '$pkg' | grep -q 'ok installed'"
done

[ ${#need[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
  echo "missing Debian packages: ${need[*]}; install them with: sudo apt-get install -y ${need[*]}" >&2
  exit 1
fi
echo "installing missing Debian packages: ${need[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
