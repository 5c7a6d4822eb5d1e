#!/usr/bin/env bash
# Installs, from Debian, what building and testing qm needs and is missing.
set -euo pipefail
pkgs=(g++ cmake ninja-build pkg-config libgtest-dev libre2-dev python3 clang libclang-rt-14-dev clang-format)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
