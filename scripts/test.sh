#!/usr/bin/env bash
# Runs the whole test suite: the normal build, then the address + undefined
# behaviour sanitizer build, then the thread sanitizer build of the threaded
# tests. Options: --quick (normal build only), --sanitize address|thread (one
# sanitizer build only).
set -euo pipefail
unset TARGETS  # the tests need every target
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
MODE=all; SAN=""
case "${1:-}" in
  --quick) MODE=quick ;;
  --sanitize) MODE=one; SAN=${2:?address or thread} ;;
esac
run() { # build-dir ctest-args cmake-args...
  local dir=$1 args=$2; shift 2
  bash scripts/build.sh "$dir" "$@"
  (cd "$dir" && ctest --output-on-failure -j2 $args)
}
if [ "$MODE" = one ]; then
  BUILD_TYPE=Debug run "build-$SAN" "" -DVLMU_SANITIZE="$SAN" -DVLMU_BUILD_BENCH=OFF
  exit 0
fi
run build ""
if [ "$MODE" = all ]; then
  BUILD_TYPE=Debug run build-address "" -DVLMU_SANITIZE=address -DVLMU_BUILD_BENCH=OFF
  BUILD_TYPE=Debug run build-thread "-L threaded" -DVLMU_SANITIZE=thread -DVLMU_BUILD_BENCH=OFF
fi
