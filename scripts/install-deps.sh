#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
#   --check   only report the missing packages (exit status 1 if any)
set -euo pipefail
PKGS=(build-essential cmake ninja-build pkg-config
      libgtest-dev libgmock-dev libbenchmark-dev
      zlib1g-dev nlohmann-json3-dev dfu-util
      clang libclang-rt-14-dev binutils clang-format clang-tidy
      qt6-base-dev fonts-liberation2 fonts-dejavu-core xvfb xauth imagemagick librsvg2-bin
      libusb-1.0-0-dev umockdev libumockdev-dev
      dpkg-dev gzip ccache lintian desktop-file-utils appstream systemd passwd init-system-helpers
      g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev wine wine64 x11-apps)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${1:-}" = --check ]; then
  ((${#missing[@]})) && { echo "missing: ${missing[*]}"; exit 1; }
  exit 0
fi
if ((${#missing[@]})); then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y "${missing[@]}"
fi
