# Shared steps of the scripts: a sample firmware image and the driver service
# with the simulated example device on a private socket. Source it from the
# project root after building vldtool, velmora-driverd and velmora-driverctl.

CTL=build/tools/driverctl/velmora-driverctl

# make_sample_image OUTDIR: writes OUTDIR/payload.bin and OUTDIR/sample.vld.
make_sample_image() {
  local out=$1 size=${2:-65536}
  mkdir -p "$out"
  head -c "$size" /dev/urandom > "$out/payload.bin"
  build/tools/vldtool/vldtool create --out "$out/sample.vld" --version 1 --model 0x00010203 \
    --sw-version 0x01020304 --hwid 0x0000000A --vendor-id 0x123456 \
    --date 20261207 --time 120000 --info "Velmora sample firmware" \
    --payload "$out/payload.bin" --suffix --vid 0x1234 --pid 0x5678
}

# start_example_service OUTDIR: the service with the example device on
# OUTDIR/driver.sock (exported as VLMU_DRIVER_SOCKET), stopped when the
# calling script exits.
start_example_service() {
  local out=$1
  export VLMU_DRIVER_SOCKET="$PWD/$out/driver.sock"
  rm -f "$VLMU_DRIVER_SOCKET"
  trap '"$CTL" shutdown >/dev/null 2>&1 || true' EXIT
  build/driver/velmora-driverd --socket "$VLMU_DRIVER_SOCKET" \
    --device driver/devices/example-device.json --trace "$out/driver-trace.jsonl"
}
