#!/usr/bin/env bash
# The main job: installs what is needed, builds everything, makes a sample
# firmware image with the image tool and prints its details through the library.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
OUT=build/demo; mkdir -p "$OUT"
head -c 65536 /dev/urandom > "$OUT/payload.bin"
build/tools/vldtool/vldtool create --out "$OUT/sample.vld" --version 1 --model 0x00010203 \
  --sw-version 0x01020304 --hwid 0x0000000A --vendor-id 0x123456 \
  --date 20261207 --time 120000 --info "Velmora sample firmware" \
  --payload "$OUT/payload.bin" --suffix --vid 0x1234 --pid 0x5678
build/tools/vldtool/vldtool info "$OUT/sample.vld"
build/tools/vldtool/vldtool verify "$OUT/sample.vld"
