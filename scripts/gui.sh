#!/usr/bin/env bash
# Starts the upgrade program VelmoraFlashTool_x64 against the simulated example
# device: builds what it needs, makes a sample image (build/gui/sample.vld, to
# pick with "Open"), runs the driver service on a private socket and the
# program on the current display. The service stops when the program ends.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
TARGETS="velmora_dfu_x64 velmora-driverd velmora-driverctl vldtool VelmoraFlashTool_x64" bash scripts/build.sh build
OUT=build/gui
source scripts/common.sh
make_sample_image "$OUT" >/dev/null
start_example_service "$OUT"
echo "Sample image: $PWD/$OUT/sample.vld"
build/app/qt/VelmoraFlashTool_x64
