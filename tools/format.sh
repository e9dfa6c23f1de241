#!/usr/bin/env bash
# Formats every C++ file of the tree in the house style (.clang-format).
#   tools/format.sh          rewrites the files in place
#   tools/format.sh --check  changes nothing; lists the files out of style and exits 1 if any
set -euo pipefail
cd "$(dirname "$0")/.."
clang_format="${CLANG_FORMAT:-clang-format-14}"
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
  "$clang_format" --dry-run -Werror "${files[@]}"
else
  "$clang_format" -i "${files[@]}"
fi
