#!/usr/bin/env bash
# scripts/build.sh [build-dir] [extra cmake args...]
# Configures (Ninja, warnings as errors) and builds everything, or only the
# targets named in $TARGETS.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}; shift || true
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} -DVLMU_WERROR=ON "$@" >/dev/null
cmake --build "$BUILD" ${TARGETS:+--target $TARGETS}
