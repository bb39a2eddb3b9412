#!/usr/bin/env bash
# The library's includes run one way: api -> dfu -> device -> image/log ->
# platform. Each folder of lib/ may include only its own headers and those of
# the layers below it (the link checks vlmu_*_check enforce the same for
# calls). The platform interfaces in lib/platform/ include no implementation
# of one system.
# usage: layer_includes_test.sh LIB_DIR
set -euo pipefail
lib=$1
declare -A allowed=(
  [platform]="platform"
  [log]="log platform"
  [image]="image log platform"
  [device]="device log platform"
  [dfu]="dfu device log platform"
  [api]="api dfu device image log platform"
)
fail=0
for layer in "${!allowed[@]}"; do
  while IFS=: read -r file line text; do
    target=$(sed -E 's/.*#include "([a-z]+)\/.*/\1/' <<<"$text")
    if [[ " ${allowed[$layer]} " != *" $target "* ]]; then
      echo "$file:$line: $layer includes $target: $text"
      fail=1
    fi
  done < <(grep -rnE '^#include "[a-z]+/' "$lib/$layer" --include='*.h' --include='*.cpp' || true)
done
while IFS= read -r hit; do
  echo "$hit: a platform interface includes a system's implementation"
  fail=1
done < <(grep -nE '^#include "platform/(posix|win32)/' "$lib"/platform/*.h "$lib"/platform/*.cpp 2>/dev/null || true)
exit $fail
