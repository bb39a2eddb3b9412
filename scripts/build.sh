#!/usr/bin/env bash
# scripts/build.sh [build-dir] [extra cmake args...]
# Configures (Ninja, warnings as errors) and builds everything, or only the
# targets named in $TARGETS.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}; shift || true
# A compiler cache, where there is one, makes a second build of the same
# sources (another build directory or clone) cheap.
LAUNCHER=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=true
  LAUNCHER=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} -DVLMU_WERROR=ON \
  "${LAUNCHER[@]}" "$@" >/dev/null
cmake --build "$BUILD" ${TARGETS:+--target $TARGETS}
