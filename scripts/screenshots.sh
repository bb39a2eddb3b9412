#!/usr/bin/env bash
# Renders the upgrade program's dialogs into docs/images/ on the offscreen
# platform: the main dialog with the example device selected and an image
# chosen, the About box, the progress dialog in the middle of a download, at
# its successful end and after a failed one, and the main dialog when no
# driver service answers (at the system service's socket), and the desktop
# entry's icon at the sizes the package installs. The image is
# chosen from a neutral folder, so that no path of this machine shows.
# QT_SCALE_FACTOR=2 in the environment renders them at twice the size.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
TARGETS="velmora_dfu_x64 velmora-driverd velmora-driverctl vldtool vlmapp-screenshots vlmu_package_files" \
  bash scripts/build.sh build
OUT=build/screenshots
IMAGES=${SCREENSHOTS_DIR:-docs/images}
source scripts/common.sh
make_sample_image "$OUT" 196608 >/dev/null
firmware=/tmp/velmora-firmware
rm -rf "$firmware" && mkdir -p "$firmware"
cp "$OUT/sample.vld" "$firmware/sample.vld"
start_example_service "$OUT"
trap '"$CTL" shutdown >/dev/null 2>&1 || true; rm -rf "$firmware"' EXIT
export QT_QPA_PLATFORM=offscreen
mkdir -p "$IMAGES"
# Slow enough that a poll falls into the transfer.
"$CTL" behaviour example '{"pollTimeout":{"dfuDNBUSY":20,"dfuMANIFEST":50},"busyPolls":1}' >/dev/null
build/tools/screenshots/vlmapp-screenshots "$IMAGES" "$firmware/sample.vld" success
# The device stalls the fifth download block.
"$CTL" behaviour example '{"faults":[{"bRequest":1,"occurrence":5,"action":"stall"}]}' >/dev/null
build/tools/screenshots/vlmapp-screenshots "$IMAGES" "$firmware/sample.vld" failure
env -u VLMU_DRIVER_SOCKET -u XDG_RUNTIME_DIR \
  build/tools/screenshots/vlmapp-screenshots "$IMAGES" "$firmware/sample.vld" no-service
# The icon as the desktop shows it, with the entry's name.
entry=packaging/desktop/com.velmora.flashtool.desktop
icons=()
for size in 16 24 32 48 64 128; do
  icons+=(-label "${size}px" "build/packaging/icons/$size/$(sed -n 's/^Icon=//p' "$entry").png")
done
montage -background '#f0f0f0' -font Liberation-Sans -pointsize 12 "${icons[@]}" -tile x1 -geometry +14+10 \
  "$OUT/icons.png"
convert "$OUT/icons.png" -gravity south -background '#f0f0f0' -splice 0x28 -font Liberation-Sans -pointsize 15 \
  -annotate +0+6 "$(sed -n 's/^Name=//p' "$entry") ($(basename "$entry"))" "$IMAGES/desktop-icon.png"
ls -l "$IMAGES"
