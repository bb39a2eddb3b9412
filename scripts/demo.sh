#!/usr/bin/env bash
# The main job: installs what is needed, builds everything, makes a sample
# firmware image with the image tool, and upgrades a simulated device with it:
# the driver service runs the example device on a private socket, vlmu-flash
# lists the devices and upgrades the device with serial number SN0001 with a
# progress bar, and the image the device stored is compared with the file.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
TARGETS="velmora_dfu_x64 velmora-driverd velmora-driverctl vldtool vlmu-flash" bash scripts/build.sh build
OUT=build/demo
source scripts/common.sh
make_sample_image "$OUT"
build/tools/vldtool/vldtool info "$OUT/sample.vld"
build/tools/vldtool/vldtool verify "$OUT/sample.vld"

# The driver service with the example device, on a socket of its own.
rm -f "$OUT/stored.bin"
start_example_service "$OUT"

echo "== devices"
build/tools/flasher/vlmu-flash list
echo "== upgrade"
build/tools/flasher/vlmu-flash --log "$OUT/library.log" upgrade --serial SN0001 "$OUT/sample.vld"
echo "== check"
"$CTL" firmware example "$OUT/stored.bin"
if cmp "$OUT/sample.vld" "$OUT/stored.bin"; then
  echo "The device stored the image byte for byte ($(stat -c %s "$OUT/sample.vld") bytes)."
else
  echo "The firmware the device stored differs from the image." >&2
  exit 1
fi
build/tools/flasher/vlmu-flash list
