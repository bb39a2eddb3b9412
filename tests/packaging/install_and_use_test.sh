#!/usr/bin/env bash
# The package as a person with a real device uses it: installed with dpkg
# into this machine, the driver service started the way its unit says
# (ExecStart, User, Group, RuntimeDirectory, UMask, no new privileges, no
# capabilities; there is no systemd to run it here) with a USB device on a
# umockdev testbed, the device listed and upgraded by a member of the group
# plugdev through /run/velmora/driver.sock, the upgrade program started from
# its desktop entry, a user outside the group refused, and nothing left
# behind by dpkg -r and dpkg --purge. Needs root; outside CI a run without
# root is skipped. Users, files and the package it made are removed on every
# way out, also those of a run that was killed.
#   install_and_use_test.sh PACKAGE.deb BUILD_DIR
# BUILD_DIR: a build with the tests (usb_testbed_run) and umockdev.
set -euo pipefail
deb=$(realpath "$1")
build=$(realpath "$2")
if [ "$(id -u)" -ne 0 ]; then
  [ -z "${CI:-}" ] || { echo "install_and_use_test: needs root"; exit 1; }
  echo "install_and_use_test: skipped: installing the package needs root"
  exit 0
fi
package=velmora-dfu
member=vlmutest-member
outsider=vlmutest-outsider
marker=/var/lib/velmora-install-test   # this test installed the package
runner=$build/tests/driver/usb_testbed_run
for tool in umockdev-wrapper setpriv useradd userdel systemd-analyze; do
  command -v "$tool" >/dev/null || { echo "install_and_use_test: $tool is missing (scripts/install-deps.sh)"; exit 1; }
done
[ -x "$runner" ] || { echo "install_and_use_test: $runner is missing (a build with libusb and umockdev)"; exit 1; }

work=$(mktemp -d)
chmod 755 "$work"
service_pid=""
fail() { echo "install_and_use_test: $*"; [ -f "$work/service.log" ] && sed 's/^/  service: /' "$work/service.log"; exit 1; }
step() { echo "== $*"; }
# dpkg, waiting (at most 5 minutes) while another dpkg or apt holds its lock.
dpkg_run() {
  for _ in $(seq 60); do
    DEBIAN_FRONTEND=noninteractive timeout 300 dpkg "$@" </dev/null >"$work/dpkg.log" 2>&1 && return 0
    grep -q 'lock' "$work/dpkg.log" || { cat "$work/dpkg.log"; return 1; }
    sleep 5
  done
  cat "$work/dpkg.log"
  return 1
}

# --- cleaning up --------------------------------------------------------
stop_service() {
  # A service a killed run left behind (its pid, if it still is that program).
  if [ -z "$service_pid" ] && [ -f "$marker.service-pid" ] \
     && grep -q usb_testbed_run "/proc/$(cat "$marker.service-pid")/cmdline" 2>/dev/null; then
    service_pid=$(cat "$marker.service-pid")
  fi
  rm -f "$marker.service-pid"
  [ -n "$service_pid" ] || return 0
  kill -TERM "$service_pid" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$service_pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$service_pid" 2>/dev/null || true
  wait "$service_pid" 2>/dev/null || true
  service_pid=""
  rm -rf "/run/$runtime_dir"   # as systemd does when the unit stops
}
cleanup() {
  stop_service
  if [ -e "$marker" ]; then
    rm -rf "/run/$runtime_dir"
    dpkg_run --purge "$package" >/dev/null || true
    rm -f "$marker"
  fi
  for u in $member $outsider $(cat "$marker.service-user" 2>/dev/null); do
    id "$u" >/dev/null 2>&1 && userdel "$u" 2>/dev/null || true
  done
  rm -f "$marker.service-user"
  rm -rf "$work"
}
runtime_dir=velmora
if [ -e "$marker" ]; then
  echo "install_and_use_test: removing what a killed run left"
  cleanup
  work=$(mktemp -d) && chmod 755 "$work"
fi
trap cleanup EXIT
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q installed; then
  fail "$package is installed on this machine already; the test installs and purges it: remove it first (dpkg --purge $package)"
fi
for u in $member $outsider; do
  ! id "$u" >/dev/null 2>&1 || fail "a user $u exists already; remove it (userdel $u)"
done

# --- installing ----------------------------------------------------------
step "dpkg -i $(basename "$deb")"
touch "$marker"
dpkg_run -i "$deb" || fail "dpkg -i failed"
# Where systemd runs, the package has started the service: this test starts
# its own, with a device on the testbed.
if [ -d /run/systemd/system ]; then systemctl stop velmora-driverd.service; fi
dpkg-query -L "$package" >"$work/files"
unit=$(grep -E '/systemd/system/velmora-driverd\.service$' "$work/files") || fail "no unit in the package"
desktop=$(grep -E '^/usr/share/applications/.*\.desktop$' "$work/files") || fail "no desktop entry in the package"
for f in /etc/velmora-driverd/usb.json /usr/share/doc/$package/examples/example-device.json \
         /usr/share/icons/hicolor/scalable/apps/com.velmora.flashtool.svg \
         /usr/share/icons/hicolor/48x48/apps/com.velmora.flashtool.png \
         /usr/share/metainfo/com.velmora.flashtool.metainfo.xml /usr/share/man/man1/VelmoraFlashTool_x64.1.gz; do
  [ -e "$f" ] || fail "not installed: $f"
done
[ -d /etc/velmora-driverd/devices ] && [ -z "$(ls -A /etc/velmora-driverd/devices)" ] \
  || fail "/etc/velmora-driverd/devices is not an empty folder"
grep -qx /etc/velmora-driverd/usb.json /var/lib/dpkg/info/$package.conffiles || fail "usb.json is not a conffile"
[ -L /etc/systemd/system/multi-user.target.wants/velmora-driverd.service ] || fail "the service was not enabled"

step "systemd-analyze verify and security of $unit"
systemd-analyze verify "$unit" >"$work/verify.log" 2>&1 || { cat "$work/verify.log"; fail "systemd-analyze verify failed"; }
[ ! -s "$work/verify.log" ] || { cat "$work/verify.log"; fail "systemd-analyze verify had something to say"; }
systemd-analyze security --offline=yes --threshold=25 "$unit" >"$work/security.log" 2>&1 \
  || { cat "$work/security.log"; fail "the unit's exposure is above 2.5 (OK)"; }
tail -1 "$work/security.log"

# --- the service as its unit starts it ------------------------------------
value() { sed -n "s/^$1=//p" "$unit" | tail -1; }
exec_start=$(value ExecStart)
user=$(value User) group=$(value Group) runtime_dir=$(value RuntimeDirectory)
runtime_mode=$(value RuntimeDirectoryMode) umask_value=$(value UMask)
[ "$(value DynamicUser)" = yes ] && [ -n "$user" ] && [ -n "$group" ] && [ -n "$runtime_dir" ] \
  && [ "$(value NoNewPrivileges)" = yes ] && grep -qx 'CapabilityBoundingSet=' "$unit" \
  || fail "the unit does not name a dynamic user, group, runtime folder, no new privileges and no capabilities"
# A system user of the same name in the group stands in for the dynamic one.
if ! id "$user" >/dev/null 2>&1; then
  echo "$user" >"$marker.service-user"
  useradd --system --no-create-home --no-user-group --gid "$group" --shell /usr/sbin/nologin "$user"
fi
start_service() {
  [ ! -e "/run/$runtime_dir" ] || fail "/run/$runtime_dir exists: another service uses it"
  install -d -m "$runtime_mode" -o "$user" -g "$group" "/run/$runtime_dir"
  (cd / && umask "$umask_value" && exec umockdev-wrapper "$runner" \
     /usr/share/doc/$package/examples/example-device.json "$work/stored.bin" \
     setpriv --reuid="$user" --regid="$group" --clear-groups --no-new-privs --bounding-set=-all --inh-caps=-all \
     -- $exec_start) >"$work/service.log" 2>&1 &
  service_pid=$!
  echo "$service_pid" >"$marker.service-pid"
  for _ in $(seq 200); do
    grep -q "listening on /run/$runtime_dir/driver.sock" "$work/service.log" && return 0
    kill -0 "$service_pid" 2>/dev/null || fail "the service ended at start-up"
    sleep 0.1
  done
  fail "the service does not listen after 20 s"
}
as_user() { # user command...: in the user's own home, offscreen
  local u=$1; shift
  local home=$work/home-$u
  mkdir -p "$home/run" && chown -R "$u" "$home" && chmod 700 "$home/run"
  (cd "$home" && timeout 120 setpriv --reuid="$u" --regid="$(id -g "$u")" --init-groups \
     env -i PATH=/usr/bin:/bin HOME="$home" TMPDIR="$home" XDG_RUNTIME_DIR="$home/run" QT_QPA_PLATFORM=offscreen "$@")
}
useradd --no-create-home --no-user-group --gid users --groups "$group" --shell /bin/sh "$member"
useradd --no-create-home --no-user-group --gid users --shell /bin/sh "$outsider"

step "service with the installed usb.json: no ids yet"
start_service
grep -q "no USB ids are set in /etc/velmora-driverd/usb.json, so no real device is served" "$work/service.log" \
  || fail "no line about the missing ids"
grep -q "no simulated devices" "$work/service.log" && fail "the empty devices folder was reported"
socket_mode=$(stat -c '%a %G' "/run/$runtime_dir/driver.sock")
[ "$socket_mode" = "660 $group" ] || fail "socket is '$socket_mode', not '660 $group'"
as_user "$member" vlmu-flash list >"$work/list0.txt" 2>&1 || true
grep -q "(no devices)" "$work/list0.txt" || { cat "$work/list0.txt"; fail "a device listed before its id was set"; }
stop_service

step "the administrator sets the ids; the service serves the device"
sed -i 's/"ids": \[\]/"ids": ["1234:5678"]/' /etc/velmora-driverd/usb.json
start_service
as_user "$member" vlmu-flash list >"$work/list1.txt" 2>&1 || { cat "$work/list1.txt"; fail "vlmu-flash list failed for $member"; }
grep -Eq '^0 +4660 / 22136 +SN0001 +\\\\\?\\usb#vid_1234&pid_5678#SN0001#' "$work/list1.txt" \
  || { cat "$work/list1.txt"; fail "the device is not listed"; }

step "a whole upgrade by $member"
as_user "$member" sh -c 'head -c 100000 /dev/urandom > payload.bin && vldtool create --out fw.vld --version 1 \
  --model 1 --sw-version 2 --hwid 3 --vendor-id 0x123456 --date 20261208 --time 120000 --payload payload.bin \
  --suffix --vid 0x1234 --pid 0x5678' >/dev/null || fail "vldtool create failed"
as_user "$member" vlmu-flash upgrade --serial SN0001 fw.vld >"$work/upgrade.txt" 2>&1 \
  || { cat "$work/upgrade.txt"; fail "vlmu-flash upgrade failed"; }
grep -q "Download successfully finished" "$work/upgrade.txt" || { cat "$work/upgrade.txt"; fail "no success line"; }

step "the program from its desktop entry lists the device"
program=$(sed -n 's/^Exec=//p' "$desktop")
as_user "$member" sh -c "$program & pid=\$!; for i in \$(seq 200); do
    grep -q 'VLMUFWDL_GetDeviceInfo.*returning 0x00000000' \"\$XDG_RUNTIME_DIR\"/VelmoraFlashTool_x64.log 2>/dev/null \
      && break; sleep 0.1; done
  kill \$pid; wait \$pid 2>/dev/null; true" || true
# The program keeps its log in the user's runtime folder.
program_log=$work/home-$member/run/VelmoraFlashTool_x64.log
grep -q 'VLMUFWDL_EnumerateDevices(\*NumberOfDevices = 1) returning 0x00000000' "$program_log" 2>/dev/null \
  && grep -q 'VLMUFWDL_GetDeviceInfo.*returning 0x00000000' "$program_log" \
  || { cat "$program_log" 2>/dev/null || true; fail "the program did not list the device"; }

step "$outsider is refused"
set +e
as_user "$outsider" vlmu-flash list >"$work/outsider.txt" 2>&1
status=$?
set -e
[ "$status" = 77 ] && grep -q "you may not use the driver service at /run/$runtime_dir/driver.sock (permission denied)" \
  "$work/outsider.txt" || { cat "$work/outsider.txt"; fail "$outsider was not refused clearly (status $status)"; }
stop_service
cmp -s "$work/stored.bin" "$work/home-$member/fw.vld" || fail "the device did not store the image byte for byte"

step "a broken usb.json stops the start with one line"
cp /etc/velmora-driverd/usb.json "$work/usb.json.edited"
echo '{"ids": ["1234:5678",]}' >/etc/velmora-driverd/usb.json
set +e
(cd / && setpriv --reuid="$user" --regid="$group" --clear-groups --no-new-privs -- $exec_start) >"$work/broken.log" 2>&1
status=$?
set -e
[ "$status" -ne 0 ] && [ "$(wc -l <"$work/broken.log")" = 1 ] \
  && grep -q "^velmora-driverd: /etc/velmora-driverd/usb.json: not valid JSON at line 1, column 22; correct the file" \
  "$work/broken.log" || { cat "$work/broken.log"; fail "a broken usb.json gave status $status"; }
cp "$work/usb.json.edited" /etc/velmora-driverd/usb.json

step "installing again keeps the edited conffile"
dpkg_run -i "$deb" || fail "dpkg -i (again) failed"
grep -q '"ids": \["1234:5678"\]' /etc/velmora-driverd/usb.json || fail "the edited usb.json was overwritten"

step "dpkg -r keeps only the configuration, dpkg --purge nothing"
# The package's files (not its folders) still there.
remaining() { while read -r f; do if [ -e "$f" ] && [ ! -d "$f" ]; then echo "$f"; fi; done <"$work/files"; }
dpkg_run -r "$package" || fail "dpkg -r failed"
left=$(remaining)
[ "$left" = /etc/velmora-driverd/usb.json ] || fail "after dpkg -r there are left: ${left:-nothing, not even usb.json}"
dpkg_run --purge "$package" || fail "dpkg --purge failed"
rm -f "$marker"
left=$(remaining; ls -d /etc/velmora-driverd /etc/systemd/system/*/velmora-driverd.service \
         /var/lib/systemd/deb-systemd-helper-*/*velmora* "/run/$runtime_dir" 2>/dev/null || true)
[ -z "$left" ] || fail "after dpkg --purge there are left: $left"
echo "install and use test passed"
