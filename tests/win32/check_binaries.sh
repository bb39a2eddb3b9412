#!/usr/bin/env bash
# check_binaries.sh OBJDUMP DLL EXE BUILD_TYPE: the DLL exports exactly the
# twelve VLMUFWDL_ functions; both import system DLLs only (the program also
# the DLL); both carry their version resource; outside Debug builds both are
# stripped and their debug information is in the .debug file they name.
set -euo pipefail
objdump=$1 dll=$2 exe=$3 build_type=$4
fail() { echo "FAIL: $*"; exit 1; }

expected="VLMUFWDL_CloseDevice VLMUFWDL_EnableLogging VLMUFWDL_EnumerateDevices VLMUFWDL_GetApiVersion
VLMUFWDL_GetDeviceInfo VLMUFWDL_GetDownloadStatus VLMUFWDL_GetSerialNumber VLMUFWDL_GetVldFileInfo
VLMUFWDL_OpenDevice VLMUFWDL_SetSerialNumber VLMUFWDL_SetTimeout VLMUFWDL_StartDownload"
exports=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^[[:space:]]+\[/ {print $NF}' | sort)
[ "$(echo $exports)" = "$(echo $expected)" ] || fail "exports of $(basename "$dll"): $(echo $exports)"
echo "exports: $(echo "$exports" | wc -l) names, exactly the VLMUFWDL_ functions"

# System DLLs that the two files may import.
system='^(KERNEL32|USER32|GDI32|COMCTL32|COMDLG32|ADVAPI32|MSVCRT|OLE32|SHELL32)\.DLL$'
check_imports() { # file allowed-extra (upper case)
  local file=$1 extra=$2 name
  while read -r name; do
    [[ "$name" =~ $system ]] || [ "$name" = "$extra" ] || fail "$(basename "$file") imports $name"
  done < <("$objdump" -p "$file" | awk '/DLL Name:/ {print toupper($3)}')
  echo "imports of $(basename "$file"): $("$objdump" -p "$file" | awk '/DLL Name:/ {printf "%s ", $3}')"
}
check_imports "$dll" ""
check_imports "$exe" "VELMORA_DFU_X64.DLL"

# Version resources: the strings are UTF-16 in the resource section.
has_text() { # file text
  python3 -c 'import sys; sys.exit(0 if sys.argv[2].encode("utf-16-le") in open(sys.argv[1], "rb").read() else 1)' "$1" "$2"
}
has_text "$exe" 'Velmora USB Firmware Upgrade Application' || fail "program description missing"
has_text "$exe" '5.22.1.0' || fail "program version missing"
has_text "$dll" 'API Version: 1.1' || fail "DLL version text missing"
echo "version resources: present"

# Stripped release files; the debug information beside them.
if [ "$build_type" != Debug ]; then
  for file in "$dll" "$exe"; do
    name=$(basename "$file")
    sections=$("$objdump" -h "$file")
    if grep -q ' \.debug_' <<<"$sections"; then fail "$name has debug sections"; fi
    grep -q ' \.gnu_debuglink' <<<"$sections" || fail "$name names no debug file"
    "$objdump" -h "$file.debug" | grep -q ' \.debug_info' || fail "$name.debug holds no debug information"
    python3 -c 'import sys; sys.exit(0 if (sys.argv[2] + ".debug").encode() in open(sys.argv[1], "rb").read() else 1)' \
      "$file" "$name" || fail "$name does not name $name.debug"
    echo "$name: stripped, debug information in $name.debug"
  done
fi
