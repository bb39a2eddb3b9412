#!/usr/bin/env bash
# program_test.sh MODE WINE PROGRAM PROBE: VelmoraFlashTool_x64.exe under Wine
# on the X display $DISPLAY (Xvfb), in a virtual desktop of the Wine prefix.
#
# MODE dialog: the main dialog with the placeholder row and the disabled
# button, a second start that ends at once without a second main dialog, the
# About box from the system menu, the log file in the temporary directory,
# "Exit"; a copy of the program with another text in its string table shows
# that text.
# MODE devices: the program with the real DLL against a simulated device of
# the test fixture (scripts/test-windows.sh; $VLMU_DRIVERCTL and $VLMU_VLDTOOL
# name the Linux tools): the device row, a device plugged while the dialog is
# open, "Open" with an image, "Upgrade Firmware", "Yes", the progress dialog
# to its success text, "Close", the program's end, the image in the device.
#
# With VLMU_SCREENSHOT_DIR set, the dialogs are saved there as PNG files.
set -euo pipefail
mode=$1 wine=$2 program=$3 probe=$4
[ -n "${DISPLAY:-}" ] || { echo "FAIL: no X display (run under Xvfb)"; exit 1; }
work=$(mktemp -d)
first=""
cleanup() {
  [ -n "$first" ] && kill "$first" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Every Wine program of this prefix runs in one virtual desktop (with window
# frames drawn by Wine), so the probe sees the program's windows.
"$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f </dev/null >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 760x440 /f </dev/null >/dev/null 2>&1
probe() { "$wine" "$probe" "$@" </dev/null 2>>"$work/probe.err"; }

shot() { # name title
  [ -n "${VLMU_SCREENSHOT_DIR:-}" ] || return 0
  local geometry
  geometry=$(probe rect "$2" | tr -d '\r')
  sleep 1  # let the dialog finish painting
  xwd -root -silent | convert xwd:- -crop "$geometry" +repage "$VLMU_SCREENSHOT_DIR/$1"
  echo "screenshot: $VLMU_SCREENSHOT_DIR/$1 ($geometry)"
}

# Dialogs that the running program opens over its main dialog get their
# paint messages, but under Wine 8 on Xvfb their content does not reach the
# screen. Their screenshots show the same template of the program file, put
# up by the probe with what the program's dialog shows at that moment
# (show-about, show-progress).
shot_copy() { # name title probe-command
  [ -n "${VLMU_SCREENSHOT_DIR:-}" ] || return 0
  local windows_program shown
  windows_program=$("$wine" winepath -w "$program" </dev/null 2>/dev/null | tr -d '\r')
  "$wine" "$probe" "$3" "$windows_program" 5000 </dev/null >"$work/copy.out" 2>&1 &
  shown=$!
  for _ in $(seq 100); do grep -q shown "$work/copy.out" && break; sleep 0.1; done
  shot "$1" "$2"
  wait "$shown" || true
}

# Output of Wine programs goes to files: helper processes that inherit a
# pipe would keep the test runner waiting.
start_program() {
  "$wine" "$program" </dev/null >"$work/first.out" 2>&1 &
  first=$!
  probe wait-main
}

# Waits (at most 10 s) for the program to end by itself.
wait_program_end() {
  for _ in $(seq 100); do kill -0 "$first" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$first" 2>/dev/null; then echo "FAIL: the program did not end after $1"; exit 1; fi
  wait "$first" || { echo "FAIL: the program ended with status $?"; exit 1; }
  first=""
}

dialog_checks() {
  start_program
  probe check-main
  probe centred "Velmora USB Firmware Upgrade"
  shot windows-main-dialog.png "Velmora USB Firmware Upgrade"

  # A second start ends at once and opens no second main dialog.
  local start count
  start=$(date +%s)
  timeout 60 "$wine" "$program" </dev/null >"$work/second.out" 2>&1 || { echo "FAIL: second start: status $?"; exit 1; }
  echo "second start ended after $(( $(date +%s) - start )) s"
  count=$(probe count-main | tr -d '\r')
  [ "$count" = 1 ] || { echo "FAIL: $count main dialogs after the second start"; exit 1; }
  kill -0 "$first" || { echo "FAIL: the first instance ended"; exit 1; }

  probe about
  probe centred About
  probe close-about
  shot_copy windows-about-box.png About show-about
  probe check-log
  probe exit
  wait_program_end "Exit"

  # The texts come from the program file's string table: a copy of the
  # program with another text 142 shows that text, the program's code the same.
  cp "$program" "$(dirname "$program")/velmora_dfu_x64.dll" "$work/"
  probe patch-text "$("$wine" winepath -w "$work/$(basename "$program")" </dev/null 2>/dev/null | tr -d '\r')" 142 \
    "--- no devices under Wine ---"
  program="$work/$(basename "$program")" start_program
  probe check-row 0 "--- no devices under Wine ---" ""
  probe exit
  wait_program_end "Exit"
}

device_flow() {
  # Global: the exit trap uses it.
  ctl=${VLMU_DRIVERCTL:?names velmora-driverctl}
  local vldtool=${VLMU_VLDTOOL:?names vldtool}
  # A 128 KiB image and a device slow enough (150 ms per block) to be seen
  # in the middle of the download.
  head -c 131072 /dev/urandom >"$work/payload.bin"
  "$vldtool" create --out "$work/upgrade.vld" --version 1 --model 0x00010203 --sw-version 0x01020304 \
    --hwid 0x0000000A --vendor-id 0x123456 --date 20261207 --time 120000 --info "Velmora test firmware" \
    --payload "$work/payload.bin" --suffix --vid 0x1234 --pid 0x5678 >/dev/null
  cat >"$work/main.json" <<'EOF'
{"id": "wine-main", "serialNumber": "SN0001", "reenumerationMs": 50,
 "behaviour": {"busyPolls": 1, "pollTimeout": {"dfuDNBUSY": 150}}}
EOF
  echo '{"id": "wine-plugged", "vendorId": "0x1234", "productId": "0x0042", "serialNumber": "SN0002"}' >"$work/plugged.json"
  "$ctl" add "$work/main.json" >/dev/null
  trap '"$ctl" remove wine-main >/dev/null 2>&1 || true; "$ctl" remove wine-plugged >/dev/null 2>&1 || true; cleanup' EXIT

  start_program
  probe wait-rows 1
  probe check-row 0 "4660 / 22136" SN0001
  # Plugged while the dialog is open: the list is rebuilt with it.
  "$ctl" add "$work/plugged.json" >/dev/null
  probe wait-rows 2
  "$ctl" remove wine-plugged >/dev/null
  probe wait-rows 1
  probe check-row 0 "4660 / 22136" SN0001

  probe open-file "$("$wine" winepath -w "$work/upgrade.vld" </dev/null 2>/dev/null | tr -d '\r')"
  probe upgrade
  probe wait-progress "bytes of" 60
  probe centred "Download progress"
  shot_copy windows-progress-dialog.png "Download progress" show-progress
  probe wait-progress "Download successfully finished." 120
  shot_copy windows-progress-success.png "Download progress" show-progress
  probe close-progress
  wait_program_end "Close"

  "$ctl" firmware wine-main "$work/stored.bin" >/dev/null
  cmp -s "$work/stored.bin" "$work/upgrade.vld" || { echo "FAIL: the device does not hold the image"; exit 1; }
  echo "the device holds the image ($(stat -c %s "$work/stored.bin") bytes)"
}

case "$mode" in
  dialog) dialog_checks ;;
  devices) device_flow ;;
  *) echo "FAIL: unknown mode $mode"; exit 1 ;;
esac
echo "program test ($mode) passed"
