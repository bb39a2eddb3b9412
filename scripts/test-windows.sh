#!/usr/bin/env bash
# The Windows stage of the test suite: cross-builds velmora_dfu_x64.dll,
# VelmoraFlashTool_x64.exe and their tests with mingw-w64 (build-win64/) and
# runs the tests under Wine on a private Xvfb display, in a Wine prefix of
# its own (build-win64/wineprefix). The screenshots of the program's main
# dialog and About box go to build-win64/screenshots/ (to docs/images/ with
# --screenshots).
set -euo pipefail
cd "$(dirname "$0")/.."
SHOTS=build-win64/screenshots
[ "${1:-}" = --screenshots ] && SHOTS=docs/images
BUILD=build-win64
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} -DVLMU_WERROR=ON >/dev/null
cmake --build "$BUILD"

export WINEPREFIX="$PWD/$BUILD/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINE=$(command -v wine64 || command -v wine)
xvfb_pid=""
stop() {
  wineserver -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap stop EXIT

# A display of our own: Xvfb picks a free number and writes it to fd 3.
display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$display_file")"
rm -f "$display_file"

# Start the Wine server and its helper processes before the tests, with no
# pipe of the test runner inherited: ctest would otherwise wait for helpers
# that keep its output pipes open. The programs of this prefix run in one
# virtual desktop with window frames drawn by Wine.
# The first run creates the prefix; the desktop setting takes effect when the
# server starts again.
"$WINE" cmd /c exit </dev/null >/dev/null 2>&1
"$WINE" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f </dev/null >/dev/null 2>&1
"$WINE" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 760x440 /f </dev/null >/dev/null 2>&1
wineserver -k
wineserver -w
wineserver -p
"$WINE" cmd /c exit </dev/null >/dev/null 2>&1

mkdir -p "$SHOTS"
# One test at a time: the dialog tests and the program share the desktop.
(cd "$BUILD" && VLMU_SCREENSHOT_DIR="$PWD/../$SHOTS" ctest --output-on-failure -j1)
