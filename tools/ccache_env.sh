# Sourced by the test scripts: compile through ccache when it is there, with its directory
# outside the checkout (VANTREL_CCACHE_DIR, default ~/.cache/vantrel-ccache), so that a fresh
# clone on a machine that has run the tests before compiles only what changed. Paths are
# hashed relative to / and without the build directory, so every clone shares the objects.
# A launcher the caller set already is kept.
if command -v ccache >/dev/null 2>&1 && [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_DIR=${VANTREL_CCACHE_DIR:-${CCACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/vantrel-ccache}}
  export CCACHE_BASEDIR=/ CCACHE_NOHASHDIR=1
fi
