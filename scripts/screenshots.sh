#!/usr/bin/env bash
# Renders the upgrade program's dialogs into docs/images/ on the offscreen
# platform: the main dialog with the example device selected and an image
# chosen, the About box, and the progress dialog in the middle of a download,
# at its successful end and after a failed one.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
TARGETS="velmora_dfu_x64 velmora-driverd velmora-driverctl vldtool vlmapp-screenshots" bash scripts/build.sh build
OUT=build/screenshots
source scripts/common.sh
make_sample_image "$OUT" 196608 >/dev/null
start_example_service "$OUT"
export QT_QPA_PLATFORM=offscreen
mkdir -p docs/images
# Slow enough that a poll falls into the transfer.
"$CTL" behaviour example '{"pollTimeout":{"dfuDNBUSY":20,"dfuMANIFEST":50},"busyPolls":1}' >/dev/null
build/tools/screenshots/vlmapp-screenshots docs/images "$PWD/$OUT/sample.vld" success
# The device stalls the fifth download block.
"$CTL" behaviour example '{"faults":[{"bRequest":1,"occurrence":5,"action":"stall"}]}' >/dev/null
build/tools/screenshots/vlmapp-screenshots docs/images "$PWD/$OUT/sample.vld" failure
ls -l docs/images
