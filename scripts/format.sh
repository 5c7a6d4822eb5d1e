#!/usr/bin/env bash
# Lays out the C++ sources with clang-format and the tree's .clang-format.
#   scripts/format.sh           rewrites every source in place
#   scripts/format.sh --check   changes nothing; fails, naming each place, when
#                               a source is not laid out so
set -euo pipefail
cd "$(dirname "$0")/.."
fmt=$(command -v clang-format-14 || command -v clang-format) || {
  echo "format.sh: clang-format is not installed (apt-get install clang-format)" >&2
  exit 2
}
mapfile -t files < <(git ls-files '*.cpp' '*.hpp')
case ${1:-} in
  --check) "$fmt" --dry-run --Werror "${files[@]}" ;;
  "") "$fmt" -i "${files[@]}" ;;
  *) echo "usage: scripts/format.sh [--check]" >&2; exit 2 ;;
esac
