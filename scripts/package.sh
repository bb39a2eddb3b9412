#!/usr/bin/env bash
# Builds the Debian package (velmora-dfu_<version>_<arch>.deb) in
# build-package/ with the prefix /usr, lists its contents and checks it:
# lintian (no errors; the warnings it keeps are listed in
# docs/packaging.md), desktop-file-validate, appstreamcli validate and
# systemd-analyze verify on the unpacked package, and a small program built
# against the unpacked library.
#   scripts/package.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build-package}
bash scripts/install-deps.sh --check >/dev/null || bash scripts/install-deps.sh
# Debian's build flags, with every hardening feature (bind now, fortified
# functions, stack protector, relocations read-only).
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} bash scripts/build.sh "$BUILD" \
  -DCMAKE_INSTALL_PREFIX=/usr -DVLMU_BUILD_TESTS=OFF -DVLMU_BUILD_BENCH=OFF \
  -DCMAKE_C_FLAGS="$(flags CPPFLAGS) $(flags CFLAGS)" -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" -DCMAKE_SHARED_LINKER_FLAGS="$(flags LDFLAGS)"
rm -f "$BUILD"/velmora-dfu_*.deb
(cd "$BUILD" && cpack -G DEB >/dev/null)
deb=$(ls "$BUILD"/velmora-dfu_*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

echo "== lintian"
# Errors fail the build; warnings and notes are shown.
lintian --fail-on error --display-info "$deb"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
echo "== desktop-file-validate, appstreamcli validate"
desktop-file-validate "$root"/usr/share/applications/*.desktop
appstreamcli validate --no-net --pedantic "$root"/usr/share/metainfo/*.metainfo.xml
echo "== systemd-analyze verify"
# Inside the unpacked package: the programs the units start are looked up
# there; the system's own units and the man pages are not (the install test
# verifies the installed unit whole).
units=$(find "$root" -path '*/systemd/system/*.service')
systemd-analyze verify --root="$root" --man=no --recursive-errors=no $units
# The unpacked package serves a consumer program through pkg-config and
# find_package, as an installed one would.
bash tests/packaging/build_consumer.sh "$root/usr" tests/packaging/consumer
echo "$deb"
