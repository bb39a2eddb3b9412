#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds and runs a small C
# program against the installed library twice: once with the flags from
# pkg-config, once through find_package(velmora_dfu). Also checks the files a
# package needs (versioned library and its links, header, tools, service unit,
# man pages).
# With a third argument "app", also the upgrade program, which must find the
# installed library.
# usage: install_consumer_test.sh BUILD_DIR CONSUMER_SOURCE_DIR [app]
set -euo pipefail
build=$1 consumer=$2 app=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(find "$prefix" -name 'libvelmora_dfu_x64.so.1.1' -printf '%h\n' | head -n1)
[ -n "$libdir" ] || { echo "libvelmora_dfu_x64.so.1.1 not installed"; exit 1; }
[ "$(readlink "$libdir/libvelmora_dfu_x64.so.1")" = libvelmora_dfu_x64.so.1.1 ] || { echo "soname link missing"; exit 1; }
[ "$(readlink "$libdir/libvelmora_dfu_x64.so")" = libvelmora_dfu_x64.so.1 ] || { echo "development link missing"; exit 1; }
soname=$(objdump -p "$libdir/libvelmora_dfu_x64.so.1.1" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = libvelmora_dfu_x64.so.1 ] || { echo "SONAME is '$soname'"; exit 1; }
for f in include/vlmufwdl.h bin/vlmu-flash bin/vldtool bin/velmora-driverctl sbin/velmora-driverd \
         lib/systemd/system/velmora-driverd.service etc/velmora-driverd/usb.json etc/velmora-driverd/devices \
         share/doc/velmora-dfu/examples/example-device.json lib/udev/rules.d/70-velmora-dfu.rules; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
for page in man1/vlmu-flash.1 man1/vldtool.1 man1/velmora-driverctl.1 man8/velmora-driverd.8; do
  ls "$prefix/share/man/$page"* >/dev/null 2>&1 || { echo "man page not installed: $page"; exit 1; }
done
if [ "$app" = app ]; then
  for f in bin/VelmoraFlashTool_x64 share/applications/com.velmora.flashtool.desktop \
           share/metainfo/com.velmora.flashtool.metainfo.xml share/icons/hicolor/scalable/apps/com.velmora.flashtool.svg; do
    [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
  done
  found=$(ldd "$prefix/bin/VelmoraFlashTool_x64" | awk '$1 == "libvelmora_dfu_x64.so.1" {print $3}')
  [ -n "$found" ] && [ "$(readlink -f "$(dirname "$found")")" = "$(readlink -f "$libdir")" ] \
    || { echo "the installed upgrade program does not find the installed library (${found:-not found})"; exit 1; }
fi
grep -q "^ExecStart=$prefix/sbin/velmora-driverd --foreground .* --usb-config $prefix/etc/velmora-driverd/usb.json --devices $prefix/etc/velmora-driverd/devices\$" \
  "$prefix/lib/systemd/system/velmora-driverd.service" || { echo "unit does not start the installed service"; exit 1; }

bash "$(dirname "$0")/build_consumer.sh" "$prefix" "$consumer"
echo "install and consumer test passed"
