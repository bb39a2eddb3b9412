#!/usr/bin/env bash
# Builds the Debian package (velmora-dfu_<version>_<arch>.deb) in
# build-package/ with the prefix /usr and lists its contents.
#   scripts/package.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build-package}
bash scripts/install-deps.sh --check >/dev/null || bash scripts/install-deps.sh
BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} bash scripts/build.sh "$BUILD" \
  -DCMAKE_INSTALL_PREFIX=/usr -DVLMU_BUILD_TESTS=OFF -DVLMU_BUILD_BENCH=OFF -DVLMU_BUILD_APP=OFF
(cd "$BUILD" && cpack -G DEB >/dev/null)
deb=$(ls "$BUILD"/velmora-dfu_*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
echo "$deb"
# The unpacked package serves a consumer program through pkg-config and
# find_package, as an installed one would.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
bash tests/packaging/build_consumer.sh "$root/usr" tests/packaging/consumer
