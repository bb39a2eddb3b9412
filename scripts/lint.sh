#!/usr/bin/env bash
# Format and static checks:
#   bash scripts/lint.sh           clang-format check of every C/C++ file (fails on an unformatted one)
#   bash scripts/lint.sh --tidy    also clang-tidy (.clang-tidy) on the product code, with build/'s
#                                  compile_commands.json
#   bash scripts/lint.sh --fix     reformat the files in place
set -euo pipefail
cd "$(dirname "$0")/.."
FORMAT=$(command -v clang-format-14 || command -v clang-format)
TIDY=$(command -v clang-tidy-14 || command -v clang-tidy || true)
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c' | grep -v '^tests/win32/googletest/')
if [ "${1:-}" = --fix ]; then
  "$FORMAT" -i --style=file "${files[@]}"
  exit 0
fi
# One run over every file; each file it would change is named in an error line.
mapfile -t bad < <("$FORMAT" --style=file --dry-run --Werror "${files[@]}" 2>&1 |
  grep -oE '^[^ :]+:[0-9]+:[0-9]+: error' | cut -d: -f1 | sort -u)
if ((${#bad[@]})); then
  printf 'not formatted (bash scripts/lint.sh --fix): %s\n' "${bad[@]}" >&2
  exit 1
fi
echo "format: ${#files[@]} files formatted"
if [ "${1:-}" = --tidy ]; then
  [ -n "$TIDY" ] || { echo "clang-tidy is not installed" >&2; exit 1; }
  [ -f build/compile_commands.json ] || { echo "build first: bash scripts/build.sh" >&2; exit 1; }
  mapfile -t product < <(git ls-files 'lib/*.cpp' 'app/core/*.cpp' 'app/qt/*.cpp' 'driver/*.cpp' 'tools/*.cpp' | grep -v '/win32/')
  "$TIDY" -p build --quiet "${product[@]}"
  echo "tidy: ${#product[@]} files clean"
fi
