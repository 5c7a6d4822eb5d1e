#!/usr/bin/env bash
# Installs, from Debian, what building qm needs and is missing; with --test,
# also what its tests, sanitizer and fuzz builds and the format check need.
# Runs apt-get: as root.
#   scripts/setup.sh [--test]
set -euo pipefail
pkgs=(g++ cmake ninja-build pkg-config libre2-dev)
case "${1:-}" in
  "") ;;
  --test) pkgs+=(libgtest-dev python3 clang libclang-rt-14-dev clang-format) ;;
  *) echo "usage: scripts/setup.sh [--test]" >&2; exit 2 ;;
esac
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
