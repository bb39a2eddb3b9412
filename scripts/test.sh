#!/usr/bin/env bash
# Runs the whole test suite: the format check (scripts/lint.sh), the normal
# build, the Debian package installed and used (scripts/package.sh,
# tests/packaging/install_and_use_test.sh; needs root), the address +
# undefined behaviour sanitizer build, the thread sanitizer build of the
# threaded tests, the Windows build under Wine (scripts/test-windows.sh).
# Each stage prints its wall time.
# Warnings are errors in every build (scripts/build.sh).
#   --quick                     normal build only
#   --package                   the package stage only
#   --sanitize address|thread   one sanitizer build only
#   --fuzz                      builds the libFuzzer targets with clang and runs
#                               each on its corpus in fuzz/corpus/ for
#                               FUZZ_SECONDS (default 30)
#   --windows                   the Windows stage only
set -euo pipefail
unset TARGETS  # the tests need every target
cd "$(dirname "$0")/.."
usage() { sed -n '2,15s/^# \{0,1\}//p' "$0" >&2; exit 2; }
MODE=all; SAN=""
case "${1:-}" in
  "") ;;
  --quick) MODE=quick; shift ;;
  --sanitize)
    MODE=one; SAN=${2:-}
    [ "$SAN" = address ] || [ "$SAN" = thread ] || { echo "test.sh: --sanitize needs address or thread" >&2; usage; }
    shift 2 ;;
  --fuzz) MODE=fuzz; shift ;;
  --windows) MODE=windows; shift ;;
  --package) MODE=package; shift ;;
  -h|--help) usage ;;
  *) echo "test.sh: unknown option $1" >&2; usage ;;
esac
[ $# -eq 0 ] || { echo "test.sh: unexpected argument $1" >&2; usage; }

# Each stage says how long it took.
stage() { # name command...
  local name=$1 start=$SECONDS; shift
  echo "== stage $name"
  "$@"
  echo "== stage $name: $((SECONDS - start)) s"
}
run() { # build-dir ctest-args cmake-args...
  local dir=$1 args=$2; shift 2
  bash scripts/build.sh "$dir" "$@"
  (cd "$dir" && ctest --output-on-failure -j2 $args)
}
# The thread sanitizer checks the threaded tests: it builds only them and
# the programs they start.
sanitize() { # address|thread
  if [ "$1" = thread ]; then
    BUILD_TYPE=Debug TARGETS=threaded_tests run build-thread "-L threaded" -DVLMU_SANITIZE=thread -DVLMU_BUILD_BENCH=OFF
  else
    BUILD_TYPE=Debug run "build-$1" "" -DVLMU_SANITIZE="$1" -DVLMU_BUILD_BENCH=OFF
  fi
}
package_stage() { # builds the package and installs and uses it
  bash scripts/package.sh
  bash tests/packaging/install_and_use_test.sh build-package/velmora-dfu_*.deb build
}

# The package installer runs only when a package is missing.
bash scripts/install-deps.sh --check >/dev/null || bash scripts/install-deps.sh
if [ "$MODE" = windows ]; then
  stage windows bash scripts/test-windows.sh
  exit 0
fi
if [ "$MODE" = package ]; then
  TARGETS=usb_testbed_run bash scripts/build.sh build
  stage package package_stage
  exit 0
fi
if [ "$MODE" = fuzz ]; then
  FUZZERS=(descriptor_walk image_reader ini_reader frame_decoder control_json)
  CC=clang CXX=clang++ BUILD_TYPE=Debug TARGETS="${FUZZERS[*]/%/_fuzzer}" \
    bash scripts/build.sh build-fuzz -DVLMU_BUILD_FUZZ=ON -DVLMU_SANITIZE=address -DVLMU_BUILD_BENCH=OFF
  for f in "${FUZZERS[@]}"; do
    # New inputs go to a scratch corpus; the committed one is only read.
    mkdir -p "build-fuzz/corpus-work/$f"
    echo "== $f (${FUZZ_SECONDS:-30} s)"
    if ! "build-fuzz/fuzz/${f}_fuzzer" -max_total_time="${FUZZ_SECONDS:-30}" -artifact_prefix="build-fuzz/$f-" \
        "build-fuzz/corpus-work/$f" "fuzz/corpus/$f" > "build-fuzz/$f.log" 2>&1; then
      tail -40 "build-fuzz/$f.log"
      echo "$f found a fault (input saved as build-fuzz/$f-*)"
      exit 1
    fi
    grep -E "DONE" "build-fuzz/$f.log" || true
  done
  exit 0
fi
if [ "$MODE" = one ]; then
  stage "$SAN-sanitizer" sanitize "$SAN"
  exit 0
fi
if [ "$MODE" = all ]; then
  stage format bash scripts/lint.sh
fi
stage normal run build ""
if [ "$MODE" = all ]; then
  stage package package_stage
  stage address-sanitizer sanitize address
  stage thread-sanitizer sanitize thread
  stage windows bash scripts/test-windows.sh
fi
