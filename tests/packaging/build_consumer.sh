#!/usr/bin/env bash
# Builds and runs the consumer program against the library installed under
# PREFIX: once with the flags from pkg-config, once through
# find_package(velmora_dfu).
# usage: build_consumer.sh PREFIX CONSUMER_SOURCE_DIR
set -euo pipefail
prefix=$1 consumer=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
libdir=$(find "$prefix" -name 'libvelmora_dfu_x64.so.1.1' -printf '%h\n' | head -n1)
[ -n "$libdir" ] || { echo "no libvelmora_dfu_x64.so.1.1 under $prefix"; exit 1; }
export LD_LIBRARY_PATH=$libdir

export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion velmora_dfu)" = 1.1 ] || { echo "pkg-config: wrong version"; exit 1; }
cc -o "$work/consumer-pc" "$consumer/consumer.c" $(pkg-config --cflags --libs velmora_dfu)
"$work/consumer-pc"

cmake -S "$consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/vlmu_consumer"

# The example program of docs/api.md builds against the installed library
# with every warning as an error.
example=$(cd "$(dirname "$0")/../.." && pwd)/docs/examples/upgrade.c
cc -std=c99 -D_POSIX_C_SOURCE=200809L -Wall -Wextra -Werror -o "$work/upgrade" "$example" $(pkg-config --cflags --libs velmora_dfu)
rc=0
"$work/upgrade" >/dev/null 2>&1 || rc=$?
[ "$rc" -eq 2 ] || { echo "the example program without arguments exited with $rc, not 2 (usage)"; exit 1; }
