# Sourced by the build scripts: CMake arguments that compile through ccache when it is installed,
# with paths taken relative to the checkout, so that another clone of the same sources (CI's)
# finds what an earlier build compiled.   Sets cache_args.
cache_args=()
if command -v ccache >/dev/null 2>&1; then
  cache_args=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$(pwd -P)}"
  export CCACHE_NOHASHDIR=1
fi
